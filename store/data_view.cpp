#include "store/data_view.h"

#include <algorithm>

namespace tessun {

namespace {

// Line 0 is never shown: with 31 or more lines the bar's lowest value is 31, whose window
// starts at line 1.
constexpr int kLowestBarValue = DataView::kShownLines;

}  // namespace

void DataView::RefreshDataView() {
  const std::int16_t last = store_.LineIndex;
  if (last >= kLowestBarValue) {
    bar_.SetMax(last);
    bar_.SetMin(kLowestBarValue);
    bar_.SetValue(last);
  } else {
    bar_.SetMax(last);
    bar_.SetMin(last);
    bar_.SetValue(last);
  }
  ViewLast = store_.LineIndex;
  PrintWindow(ViewLast > kShownLines - 1 ? ViewLast - (kShownLines - 1) : 1);
}

void DataView::VScroll1_Change() {
  const int v = bar_.Value();
  const std::int16_t last = store_.LineIndex;
  if (last < kLowestBarValue || v < kLowestBarValue) {
    bar_.SetMax(last);
    bar_.SetMin(last);
    bar_.SetValue(last);
    ViewLast = last;
    return;
  }
  bar_.SetMax(last);
  bar_.SetMin(kLowestBarValue);
  // Setting the range may have moved the value. Clamped so that a bar that does not keep its
  // value inside its range can never make the view index outside the store.
  ViewLast = static_cast<std::int16_t>(std::clamp(bar_.Value(), kLowestBarValue, int{last}));
  PrintWindow(ViewLast - (kShownLines - 1));
}

void DataView::PrintWindow(int first) {
  canvas_.Cls();
  // ViewLast is read before every line, as the bound of the window.
  for (int i = first; i <= ViewLast; ++i) {
    canvas_.PrintLine(kLineIndent, store_.Lines[i]);
  }
}

}  // namespace tessun
