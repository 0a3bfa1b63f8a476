#include "ui/qt_prompt.h"

#include <QMessageBox>
#include <QString>

namespace tessun {

namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

int QtPrompt::MsgBox(std::string_view text, PromptButtons buttons) {
  if (buttons == PromptButtons::kYesNo) {
    QMessageBox box(QMessageBox::Question, ToQString(kProgramTitle), ToQString(text),
                    QMessageBox::Yes | QMessageBox::No, parent_);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes ? kAnswerYes : kAnswerNo;
  }
  const auto shown = buttons == PromptButtons::kOkCancel
                         ? QMessageBox::Ok | QMessageBox::Cancel
                         : QMessageBox::StandardButtons(QMessageBox::Ok);
  QMessageBox box(QMessageBox::NoIcon, ToQString(kProgramTitle), ToQString(text), shown, parent_);
  box.setDefaultButton(QMessageBox::Ok);
  return box.exec() == QMessageBox::Cancel ? kAnswerCancel : kAnswerOk;
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
