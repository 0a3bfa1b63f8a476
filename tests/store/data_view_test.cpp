#include "store/data_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/common/screen_doubles.h"

namespace tessun {
namespace {

using test::FakeScrollBar;
using test::IndentedLines;
using test::RecordingCanvas;

class DataViewTest : public ::testing::TestWithParam<bool> {
 protected:
  DataViewTest() : view(store, canvas, bar) {
    bar.view = &view;
    bar.notify_program_changes = GetParam();
  }
  // However the bar reports changes, the view's reactions to them never nest without end.
  void TearDown() override { EXPECT_LT(bar.max_depth, FakeScrollBar::kDepthLimit); }

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
    EXPECT_EQ(canvas.printed, IndentedLines(1, line_index)) << line_index;
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
    EXPECT_EQ(canvas.printed, IndentedLines(std::max(1, line_index - 30), line_index))
        << line_index;
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
  EXPECT_EQ(canvas.printed, IndentedLines(20, 50));

  bar.Drag(31);
  EXPECT_EQ(canvas.printed, IndentedLines(1, 31));

  view.RefreshDataView();
  EXPECT_EQ(canvas.printed, IndentedLines(70, 100));
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
    ASSERT_EQ(canvas.printed, IndentedLines(std::max(1, line_index - 30), line_index))
        << line_index;
    ASSERT_EQ(bar.value, line_index);
  }
  // After a clear the store grows again from a bar that still ranges up to 40.
  for (int line_index : {0, 5, 45}) {
    Fill(line_index);
    view.RefreshDataView();
    ASSERT_EQ(canvas.printed, IndentedLines(std::max(1, line_index - 30), line_index))
        << line_index;
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
