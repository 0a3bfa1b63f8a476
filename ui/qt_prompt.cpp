#include "ui/qt_prompt.h"

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

}  // namespace

Answer QtPrompt::MsgBox(std::string_view text, PromptButtons buttons) {
  const bool yes_no = buttons == PromptButtons::kYesNo;
  const auto shown = yes_no ? QMessageBox::Yes | QMessageBox::No
                     : buttons == PromptButtons::kOkCancel
                         ? QMessageBox::Ok | QMessageBox::Cancel
                         : QMessageBox::StandardButtons(QMessageBox::Ok);
  QMessageBox box(yes_no ? QMessageBox::Question : QMessageBox::NoIcon, ToQString(kProgramTitle),
                  ToQString(text), shown, parent_);
  box.setDefaultButton(yes_no ? QMessageBox::Yes : QMessageBox::Ok);
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
  }
  notice_->setText(ToQString(text));
  notice_->show();
}

}  // namespace tessun
