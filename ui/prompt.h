// Questions and messages to the operator. The windows ask through this interface, so tests
// can answer in place of a person.
#pragma once

#include <string_view>

namespace tessun {

// The program's title, shown on every message box.
inline constexpr std::string_view kProgramTitle = "TessunUSBPrinter";

enum class PromptButtons { kOk, kOkCancel, kYesNo };

// The button that closed a message box; kNone when the box was closed without one (its event
// loop was ended from outside, as when the program ends on a signal).
enum class Answer { kNone, kOk, kCancel, kYes, kNo };

// `answer`, or `if_none` for a box closed without an answer: each caller says in one place what
// that counts as.
constexpr Answer AnswerOr(Answer answer, Answer if_none) {
  return answer == Answer::kNone ? if_none : answer;
}

class Prompt {
 public:
  virtual ~Prompt() = default;
  // Shows `text` with the program's title and waits for the answer (kOk or kCancel; kYes or kNo
  // for kYesNo, whose default button is Yes; kNone for a box closed without an answer).
  virtual Answer MsgBox(std::string_view text, PromptButtons buttons) = 0;
  // Shows `text` with the program's title and returns at once: the program goes on meanwhile. A
  // notice still on the screen is replaced by the new one.
  virtual void Notify(std::string_view text) = 0;
  // Changes the text of the notice still on the screen to `text`, or closes it when `text` is
  // empty; does nothing when no notice is on the screen (the operator closed it), so a fact that
  // went away never brings a closed notice back.
  virtual void UpdateNotice(std::string_view text) = 0;
};

}  // namespace tessun
