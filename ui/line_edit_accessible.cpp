#include "ui/line_edit_accessible.h"

#include <QAccessible>
#include <QLineEdit>

#include "ui/accessible_text.h"

namespace tessun {

namespace {

// Passes every call on to Qt's own accessible for the line edit, `inner`, except the boundary
// queries. Qt's cache owns both: it deletes them together when the line edit goes.
class WrappedLineEdit final : public QAccessibleInterface,
                              public QAccessibleTextInterface,
                              public QAccessibleEditableTextInterface {
 public:
  explicit WrappedLineEdit(QAccessibleInterface* inner) : inner_(inner) {}

  // QAccessibleInterface
  bool isValid() const override { return inner_->isValid(); }
  QObject* object() const override { return inner_->object(); }
  QWindow* window() const override { return inner_->window(); }
  QList<QPair<QAccessibleInterface*, QAccessible::Relation>> relations(
      QAccessible::Relation match) const override {
    return inner_->relations(match);
  }
  QAccessibleInterface* focusChild() const override { return inner_->focusChild(); }
  QAccessibleInterface* childAt(int x, int y) const override { return inner_->childAt(x, y); }
  QAccessibleInterface* parent() const override { return inner_->parent(); }
  QAccessibleInterface* child(int index) const override { return inner_->child(index); }
  int childCount() const override { return inner_->childCount(); }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return inner_->indexOfChild(child);
  }
  QString text(QAccessible::Text t) const override { return inner_->text(t); }
  void setText(QAccessible::Text t, const QString& text) override { inner_->setText(t, text); }
  QRect rect() const override { return inner_->rect(); }
  QAccessible::Role role() const override { return inner_->role(); }
  QAccessible::State state() const override { return inner_->state(); }
  QColor foregroundColor() const override { return inner_->foregroundColor(); }
  QColor backgroundColor() const override { return inner_->backgroundColor(); }
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface && inner_->textInterface() != nullptr) {
      return static_cast<QAccessibleTextInterface*>(this);
    }
    if (type == QAccessible::EditableTextInterface && inner_->editableTextInterface() != nullptr) {
      return static_cast<QAccessibleEditableTextInterface*>(this);
    }
    return inner_->interface_cast(type);
  }

  // QAccessibleTextInterface: the boundary queries are answered here, over the text that Qt's
  // accessible gives (the shown text: a password is masked).
  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                           int* end) const override {
    return TextBeforeOffset(AllText(), offset, type, start, end);
  }
  QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                       int* end) const override {
    return TextAtOffset(AllText(), offset, type, start, end);
  }
  QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                          int* end) const override {
    return TextAfterOffset(AllText(), offset, type, start, end);
  }
  void selection(int index, int* start, int* end) const override {
    Text()->selection(index, start, end);
  }
  int selectionCount() const override { return Text()->selectionCount(); }
  void addSelection(int start, int end) override { Text()->addSelection(start, end); }
  void removeSelection(int index) override { Text()->removeSelection(index); }
  void setSelection(int index, int start, int end) override {
    Text()->setSelection(index, start, end);
  }
  int cursorPosition() const override { return Text()->cursorPosition(); }
  void setCursorPosition(int position) override { Text()->setCursorPosition(position); }
  QString text(int start, int end) const override { return Text()->text(start, end); }
  int characterCount() const override { return Text()->characterCount(); }
  QRect characterRect(int offset) const override { return Text()->characterRect(offset); }
  int offsetAtPoint(const QPoint& point) const override { return Text()->offsetAtPoint(point); }
  void scrollToSubstring(int start, int end) override { Text()->scrollToSubstring(start, end); }
  QString attributes(int offset, int* start, int* end) const override {
    return Text()->attributes(offset, start, end);
  }

  // QAccessibleEditableTextInterface
  void deleteText(int start, int end) override { Editable()->deleteText(start, end); }
  void insertText(int offset, const QString& text) override {
    Editable()->insertText(offset, text);
  }
  void replaceText(int start, int end, const QString& text) override {
    Editable()->replaceText(start, end, text);
  }

 private:
  QAccessibleTextInterface* Text() const { return inner_->textInterface(); }
  QAccessibleEditableTextInterface* Editable() const { return inner_->editableTextInterface(); }
  QString AllText() const { return Text()->text(0, Text()->characterCount()); }

  QAccessibleInterface* const inner_;
};

// Set while Qt's own accessible is made, so that this factory steps aside for that one query.
bool making_inner = false;

QAccessibleInterface* LineEditFactory(const QString& class_name, QObject* object) {
  if (making_inner || class_name != QLatin1String("QLineEdit") ||
      qobject_cast<QLineEdit*>(object) == nullptr) {
    return nullptr;
  }
  // Asking Qt again, with this factory out of the way, makes (and caches) its own accessible.
  // The wrapper returned here is cached after it, for the same object; Qt's cache then hands
  // out the wrapper (it gives the entry inserted last), and deletes both with the object.
  making_inner = true;
  QAccessibleInterface* inner = QAccessible::queryAccessibleInterface(object);
  making_inner = false;
  if (inner == nullptr || inner->textInterface() == nullptr) {
    // Not what Qt 6.4 makes for a line edit; Qt's own factory, asked next, makes another
    // (both are cached, so both are deleted with the object).
    return nullptr;
  }
  return new WrappedLineEdit(inner);
}

}  // namespace

void InstallLineEditAccessibleFix() {
  static const bool installed = [] {
    QAccessible::installFactory(LineEditFactory);
    return true;
  }();
  (void)installed;
}

bool IsWrappedLineEditAccessible(QAccessibleInterface* iface) {
  return dynamic_cast<WrappedLineEdit*>(iface) != nullptr;
}

}  // namespace tessun
