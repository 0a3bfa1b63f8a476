// Questions and messages to the operator. The windows ask through this interface, so tests
// can answer in place of a person.
#pragma once

#include <string_view>

namespace tessun {

// The program's title, shown on every message box.
inline constexpr std::string_view kProgramTitle = "TessunUSBPrinter";

enum class PromptButtons { kOk, kOkCancel, kYesNo };

// The answers, numbered as the message box numbers them.
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerCancel = 2;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

class Prompt {
 public:
  virtual ~Prompt() = default;
  // Shows `text` with the program's title and waits for the answer (kAnswerOk or kAnswerCancel;
  // kAnswerYes or kAnswerNo for kYesNo, whose default button is Yes).
  virtual int MsgBox(std::string_view text, PromptButtons buttons) = 0;
  // Shows `text` with the program's title and returns at once: the program goes on meanwhile. A
  // notice still on the screen is replaced by the new one.
  virtual void Notify(std::string_view text) = 0;
};

}  // namespace tessun
