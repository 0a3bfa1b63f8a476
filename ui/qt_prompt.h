// Message boxes on the screen.
#pragma once

#include <QWidget>

#include "ui/prompt.h"

namespace tessun {

class QtPrompt final : public Prompt {
 public:
  explicit QtPrompt(QWidget* parent = nullptr) : parent_(parent) {}
  int MsgBox(std::string_view text, PromptButtons buttons) override;

 private:
  QWidget* parent_;
};

}  // namespace tessun
