// The window's parts as the core sees them, without a window: a canvas that keeps what was
// printed, a scroll bar that behaves like a toolkit's, and a timer that only records.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "core/tick_timer.h"
#include "store/data_view.h"

namespace tessun::test {

// "line FIRST" to "line LAST", one a line, indented as the view prints them.
inline std::vector<std::string> IndentedLines(int first, int last) {
  std::vector<std::string> lines;
  for (int i = first; i <= last; ++i) {
    lines.push_back(std::string(kLineIndent) + "line " + std::to_string(i));
  }
  return lines;
}

class RecordingCanvas : public TextCanvas {
 public:
  void Cls() override {
    printed.clear();
    ++clears;
  }
  void PrintLine(std::string_view indent, std::string_view text) override {
    printed.push_back(std::string(indent) + std::string(text));
  }
  std::vector<std::string> printed;
  int clears = 0;
};

// A scroll bar that keeps its value inside its range, like a toolkit's, and optionally reports
// every change of its value back to the view at once (re-entrantly), as Qt does. Reports nested
// deeper than kDepthLimit are not made (max_depth shows it), so a view that recursed forever
// fails its test instead of overflowing the stack.
class FakeScrollBar : public ScrollBar {
 public:
  void SetMax(int value) override {
    max = value;
    min = std::min(min, max);
    Clamp();
  }
  void SetMin(int value) override {
    min = value;
    max = std::max(min, max);
    Clamp();
  }
  void SetValue(int v) override {
    const int old = value;
    value = std::clamp(v, min, max);
    Notify(old);
  }
  int Value() const override { return value; }

  static constexpr int kDepthLimit = 10;

  // The user drags the bar.
  void Drag(int v) {
    const int old = value;
    value = std::clamp(v, min, max);
    if (value != old && view != nullptr) {
      view->VScroll1_Change();
    }
  }

  int min = 0;
  int max = 0;
  int value = 0;
  bool notify_program_changes = false;
  DataView* view = nullptr;
  int depth = 0;
  int max_depth = 0;

 private:
  void Clamp() {
    const int old = value;
    value = std::clamp(value, min, max);
    Notify(old);
  }
  void Notify(int old) {
    if (notify_program_changes && value != old && view != nullptr) {
      ++depth;
      max_depth = std::max(max_depth, depth);
      if (depth < kDepthLimit) {
        view->VScroll1_Change();
      }
      --depth;
    }
  }
};

// Records what was done to the timer, in order ("interval 100", "off", "on").
class RecordingTimer : public TickTimer {
 public:
  void SetInterval(std::chrono::milliseconds interval) override {
    steps.push_back("interval " + std::to_string(interval.count()));
  }
  void Enable() override {
    enabled = true;
    steps.emplace_back("on");
  }
  void Disable() override {
    enabled = false;
    steps.emplace_back("off");
  }
  std::vector<std::string> steps;
  bool enabled = false;
};

}  // namespace tessun::test
