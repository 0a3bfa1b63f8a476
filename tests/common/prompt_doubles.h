// Answers the message boxes in place of the operator and records what was asked.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "ui/prompt.h"

namespace tessun::test {

class FakePrompt final : public Prompt {
 public:
  struct Call {
    std::string text;
    PromptButtons buttons;
  };

  // Answers with the next of `answers`, or OK when there is none left.
  Answer MsgBox(std::string_view text, PromptButtons buttons) override {
    calls.push_back({std::string(text), buttons});
    texts.emplace_back(text);
    if (answers.empty()) {
      return Answer::kOk;
    }
    const Answer answer = answers.front();
    answers.pop_front();
    return answer;
  }

  void Notify(std::string_view text) override { notices.emplace_back(text); }
  void UpdateNotice(std::string_view text) override { notices.emplace_back(text); }

  std::vector<Call> calls;
  // The non-modal notice's texts, in order: each shown and each update ("" closes it).
  std::vector<std::string> notices;
  std::vector<std::string> texts;
  std::deque<Answer> answers;
};

}  // namespace tessun::test
