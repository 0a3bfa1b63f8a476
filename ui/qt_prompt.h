// Message boxes on the screen.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include "ui/prompt.h"

namespace tessun {

class QtPrompt final : public Prompt {
 public:
  explicit QtPrompt(QWidget* parent = nullptr) : parent_(parent) {}
  Answer MsgBox(std::string_view text, PromptButtons buttons) override;
  // One non-modal message box, shown again with the newest text.
  void Notify(std::string_view text) override;
  void UpdateNotice(std::string_view text) override;

 private:
  QWidget* parent_;
  QPointer<QMessageBox> notice_;
};

}  // namespace tessun
