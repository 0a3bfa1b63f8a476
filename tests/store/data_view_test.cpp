#include "store/data_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tessun {
namespace {

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
// every change of its value back to the view at once (re-entrantly), as Qt does.
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
      ASSERT_LT(depth, 10) << "change notifications recurse";
      view->VScroll1_Change();
      --depth;
    }
  }
};

std::vector<std::string> Expected(int first, int last) {
  std::vector<std::string> lines;
  for (int i = first; i <= last; ++i) {
    lines.push_back(std::string(kLineIndent) + "line " + std::to_string(i));
  }
  return lines;
}

class DataViewTest : public ::testing::TestWithParam<bool> {
 protected:
  DataViewTest() : view(store, canvas, bar) {
    bar.view = &view;
    bar.notify_program_changes = GetParam();
  }

  void Fill(int line_index) {
    store.EmptyLines();
    for (int i = 0; i <= line_index; ++i) {
      store.Lines[i] = "line " + std::to_string(i);
    }
    store.LineIndex = static_cast<std::int16_t>(line_index);
  }

  LineStore store;
  RecordingCanvas canvas;
  FakeScrollBar bar;
  DataView view;
};

TEST_P(DataViewTest, SmallStoresShowLinesFromOneAndTheBarHasNoTravel) {
  for (int line_index : {0, 1, 2, 30}) {
    Fill(line_index);
    view.RefreshDataView();
    EXPECT_EQ(canvas.printed, Expected(1, line_index)) << line_index;
    EXPECT_EQ(bar.min, line_index);
    EXPECT_EQ(bar.max, line_index);
    EXPECT_EQ(bar.value, line_index);
    EXPECT_EQ(view.ViewLast, line_index);
  }
}

TEST_P(DataViewTest, FromThirtyOneLinesTheBarRangesFromThirtyOne) {
  for (int line_index : {31, 32, 100, 1000}) {
    Fill(line_index);
    view.RefreshDataView();
    EXPECT_EQ(canvas.printed, Expected(std::max(1, line_index - 30), line_index)) << line_index;
    EXPECT_EQ(bar.min, 31);
    EXPECT_EQ(bar.max, line_index);
    EXPECT_EQ(bar.value, line_index);
    EXPECT_EQ(view.ViewLast, line_index);
  }
}

TEST_P(DataViewTest, ScrollingBackShowsTheChosenWindowUntilNewDataArrives) {
  Fill(100);
  view.RefreshDataView();
  bar.Drag(50);
  EXPECT_EQ(view.ViewLast, 50);
  EXPECT_EQ(canvas.printed, Expected(20, 50));

  bar.Drag(31);
  EXPECT_EQ(canvas.printed, Expected(1, 31));

  view.RefreshDataView();
  EXPECT_EQ(canvas.printed, Expected(70, 100));
  EXPECT_EQ(bar.value, 100);
}

TEST_P(DataViewTest, ClearedStoreCollapsesTheBarOnTheNextMove) {
  Fill(100);
  view.RefreshDataView();
  store.EmptyLines();
  canvas.Cls();
  // The bar still has its old range; moving it now finds fewer than 31 lines.
  bar.Drag(60);
  EXPECT_EQ(bar.min, 0);
  EXPECT_EQ(bar.max, 0);
  EXPECT_EQ(bar.value, 0);
  EXPECT_EQ(view.ViewLast, 0);
  EXPECT_TRUE(canvas.printed.empty());
}

TEST_P(DataViewTest, GrowingPastThirtyOneLinesGivesTheSameViewEitherWay) {
  for (int line_index = 0; line_index <= 40; ++line_index) {
    Fill(line_index);
    view.RefreshDataView();
    ASSERT_EQ(canvas.printed, Expected(std::max(1, line_index - 30), line_index)) << line_index;
    ASSERT_EQ(bar.value, line_index);
  }
  // After a clear the store grows again from a bar that still ranges up to 40.
  for (int line_index : {0, 5, 45}) {
    Fill(line_index);
    view.RefreshDataView();
    ASSERT_EQ(canvas.printed, Expected(std::max(1, line_index - 30), line_index)) << line_index;
  }
}

TEST_P(DataViewTest, LastLineKeepsGrowingWhenTheStoreIsFull) {
  Fill(1000);
  store.Lines[1000] = std::string(10000, 'x');
  view.RefreshDataView();
  ASSERT_EQ(canvas.printed.size(), 31u);
  EXPECT_EQ(canvas.printed.front(), std::string(kLineIndent) + "line 970");
  EXPECT_EQ(canvas.printed.back(), std::string(kLineIndent) + std::string(10000, 'x'));
}

INSTANTIATE_TEST_SUITE_P(ProgramChangesReported, DataViewTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Reported" : "Silent"; });

}  // namespace
}  // namespace tessun
