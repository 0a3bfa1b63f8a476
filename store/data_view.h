// The data view's logic: which stored lines the picture box shows and how the scroll bar follows.
// It reaches the screen only through the two small interfaces below, so it runs without a window.
#pragma once

#include <cstdint>
#include <string_view>

#include "store/line_store.h"

namespace tessun {

// The picture box as the view uses it: a surface that prints lines of text top to bottom.
class TextCanvas {
 public:
  virtual ~TextCanvas() = default;
  // Blanks the surface and puts the print position at the top left.
  virtual void Cls() = 0;
  // Prints one line made of two items, the positioning item and the text, then moves the print
  // position to the start of the next line.
  virtual void PrintLine(std::string_view indent, std::string_view text) = 0;
};

// The vertical scroll bar as the view uses it. Setting a property may report a change of Value
// back through DataView::VScroll1_Change before the setter returns, as a toolkit may do.
class ScrollBar {
 public:
  virtual ~ScrollBar() = default;
  virtual void SetMax(int value) = 0;
  virtual void SetMin(int value) = 0;
  virtual void SetValue(int value) = 0;
  virtual int Value() const = 0;
};

class DataView {
 public:
  // At most this many lines are shown; the newest is the last.
  static constexpr int kShownLines = 31;

  DataView(const LineStore& store, TextCanvas& canvas, ScrollBar& bar)
      : store_(store), canvas_(canvas), bar_(bar) {}

  // Index of the last line shown; 0 at start-up, afterwards between 0 and LineIndex.
  std::int16_t ViewLast = 0;

  // Shows the newest lines (up to 31, never line 0) and sets the scroll bar to match.
  void RefreshDataView();
  // The scroll bar moved (by the user or by a property the program set): show the 31 lines
  // ending at its value, or collapse the bar when there is nothing to scroll.
  void VScroll1_Change();

 private:
  void PrintWindow(int first);

  const LineStore& store_;
  TextCanvas& canvas_;
  ScrollBar& bar_;
};

}  // namespace tessun
