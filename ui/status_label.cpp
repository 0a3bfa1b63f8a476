#include "ui/status_label.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>

#include "ui/accessible_text.h"

namespace tessun {

namespace {

// The status bar's notice: a node without an object of its own, below the status bar, whose
// only purpose is to be shown when the status changes. Screen readers speak a notification that
// becomes showing (one inside a status bar without saying "notification"); nothing else a status
// bar can send is spoken unless it has the focus. It is invisible and has no area, so that
// reading the status bar reads the text once.
class StatusNotice final : public QAccessibleInterface {
 public:
  explicit StatusNotice(StatusLabel* label) : label_(label) {}

  bool isValid() const override { return !label_.isNull(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return label_ ? label_->window()->windowHandle() : nullptr; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QAccessibleInterface* parent() const override {
    return QAccessible::queryAccessibleInterface(label_.data());
  }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QString text(QAccessible::Text kind) const override {
    return kind == QAccessible::Name && label_ ? label_->text() : QString();
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override { return {}; }
  QAccessible::Role role() const override { return QAccessible::Notification; }
  QAccessible::State state() const override {
    QAccessible::State state;
    state.invisible = true;
    return state;
  }

 private:
  QPointer<StatusLabel> label_;
};

// The status label as a status bar named by its text, with that text as a read-only text, and
// its notice as its one child.
class StatusBarAccessible final : public QAccessibleWidget, public ReadOnlyAccessibleText {
 public:
  explicit StatusBarAccessible(StatusLabel* label)
      : QAccessibleWidget(label, QAccessible::StatusBar),
        notice_(new StatusNotice(label)),
        notice_id_(QAccessible::registerAccessibleInterface(notice_)) {}
  // Qt's cache owns the notice; it may have deleted it already when the program ends.
  ~StatusBarAccessible() override { QAccessible::deleteAccessibleInterface(notice_id_); }

  QAccessibleInterface* Notice() const { return notice_; }

  QString text(QAccessible::Text kind) const override {
    return kind == QAccessible::Name ? AllText() : QAccessibleWidget::text(kind);
  }
  using ReadOnlyAccessibleText::text;
  QString AllText() const override { return static_cast<QLabel*>(widget())->text(); }
  int childCount() const override { return 1; }
  QAccessibleInterface* child(int index) const override { return index == 0 ? notice_ : nullptr; }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child != nullptr && child == notice_ ? 0 : -1;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) {
      return static_cast<QAccessibleTextInterface*>(this);
    }
    return QAccessibleWidget::interface_cast(type);
  }

 private:
  StatusNotice* const notice_;
  const QAccessible::Id notice_id_;
};

QAccessibleInterface* StatusBarFactory(const QString&, QObject* object) {
  if (auto* label = qobject_cast<StatusLabel*>(object)) {
    return new StatusBarAccessible(label);
  }
  return nullptr;
}

}  // namespace

StatusLabel::StatusLabel(QWidget* parent) : QLabel(parent) {
  static const bool factory_installed = [] {
    QAccessible::installFactory(StatusBarFactory);
    return true;
  }();
  (void)factory_installed;
}

void StatusLabel::ShowStatus(const QString& text) {
  const QString old = this->text();
  if (text == old) {
    return;
  }
  setText(text);
  if (!QAccessible::isActive()) {
    return;
  }
  QAccessibleTextUpdateEvent changed(this, 0, old, text);
  QAccessible::updateAccessibility(&changed);
  if (auto* status =
          dynamic_cast<StatusBarAccessible*>(QAccessible::queryAccessibleInterface(this))) {
    // The name first, so that a client's cache holds the new text when the notice shows.
    QAccessibleEvent named(status->Notice(), QAccessible::NameChanged);
    QAccessible::updateAccessibility(&named);
    QAccessibleEvent shown(status->Notice(), QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
  }
}

}  // namespace tessun
