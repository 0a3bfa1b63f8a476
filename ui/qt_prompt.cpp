#include "ui/qt_prompt.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QString>
#include <utility>

namespace tessun {

namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The answer each button gives; a box closed without one gives Answer::kNone.
constexpr std::pair<QMessageBox::StandardButton, Answer> kAnswers[] = {
    {QMessageBox::Ok, Answer::kOk},
    {QMessageBox::Cancel, Answer::kCancel},
    {QMessageBox::Yes, Answer::kYes},
    {QMessageBox::No, Answer::kNo}};

// A message box that Esc and the window's close button can be kept from closing: a Yes/No
// question has no Cancel, so only a button answers it (a Yes/No box would otherwise take them as
// No). An OK/Cancel box takes them as Cancel, an OK box as OK, as any message box does.
class QuestionBox final : public QMessageBox {
 public:
  QuestionBox(Icon icon, const QString& text, StandardButtons buttons, QWidget* parent,
              bool closable)
      : QMessageBox(icon, ToQString(kProgramTitle), text, buttons, parent), closable_(closable) {}

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (!closable_ && event->matches(QKeySequence::Cancel)) {
      event->accept();
      return;
    }
    QMessageBox::keyPressEvent(event);
  }
  void closeEvent(QCloseEvent* event) override {
    if (!closable_) {
      event->ignore();
      return;
    }
    QMessageBox::closeEvent(event);
  }

 private:
  const bool closable_;
};

}  // namespace

Answer QtPrompt::MsgBox(std::string_view text, PromptButtons buttons) {
  const bool yes_no = buttons == PromptButtons::kYesNo;
  const auto shown = yes_no ? QMessageBox::Yes | QMessageBox::No
                     : buttons == PromptButtons::kOkCancel
                         ? QMessageBox::Ok | QMessageBox::Cancel
                         : QMessageBox::StandardButtons(QMessageBox::Ok);
  QuestionBox box(yes_no ? QMessageBox::Question : QMessageBox::NoIcon, ToQString(text), shown,
                  parent_, !yes_no);
  box.setDefaultButton(yes_no ? QMessageBox::Yes : QMessageBox::Ok);
  // Without a button press (the event loop ended from outside, as when the program ends on a
  // signal) exec gives NoButton.
  const int button = box.exec();
  for (const auto& [shown_button, answer] : kAnswers) {
    if (button == shown_button) {
      return answer;
    }
  }
  return Answer::kNone;
}

void QtPrompt::Notify(std::string_view text) {
  if (notice_.isNull()) {
    notice_ = new QMessageBox(QMessageBox::NoIcon, ToQString(kProgramTitle), QString(),
                              QMessageBox::Ok, parent_);
    notice_->setModal(false);
    notice_->setWindowModality(Qt::NonModal);
    // Without a parent nothing else would ever free it.
    notice_->setAttribute(Qt::WA_DeleteOnClose);
    // It tells, it does not take the keyboard from the window the operator works in.
    notice_->setAttribute(Qt::WA_ShowWithoutActivating);
  }
  notice_->setText(ToQString(text));
  notice_->show();
}

void QtPrompt::UpdateNotice(std::string_view text) {
  if (notice_.isNull() || !notice_->isVisible()) {
    return;
  }
  if (text.empty()) {
    // Deleted on close: the next Notify makes a new one.
    notice_->close();
    notice_.clear();
  } else {
    notice_->setText(ToQString(text));
  }
}

}  // namespace tessun
