// What a screen reader reads of the data view, and when it is told about new lines. The text is
// every line the view can show by scrolling (1 to LineIndex; line 0 never), without the view's
// indent, each cut at kLineLimit characters, the lines joined by line feeds. In it stands a
// reading position, the caret, which is not drawn.
//
// New lines are announced as insertions once they are complete (their line feed came), so that
// a line is never spoken in pieces, and the caret is put at the end of each insertion, where a
// reader that follows a terminal expects it. The lines of a burst (the console's stored data
// arrives over many ticks) are held back until a tick completes no line, and announced as one
// insertion; a steady stream is still announced after kMostHeldUpdates updates. Once the store is
// full, line 1000 takes every further byte and never completes: its growth (up to the cut) is
// announced in the same way.
#pragma once

#include <string>
#include <vector>

#include "store/line_store.h"

namespace tessun {

class ReadableLines {
 public:
  // Line 1000 can reach megabytes: a screen reader gets this much of each line.
  static constexpr int kLineLimit = 4096;
  // How many updates in a row that complete lines may hold back their announcement: 2 s at the
  // 100 ms tick, so that a printout of a few kilobytes (about 1.5 s on the wire) is one
  // announcement.
  static constexpr int kMostHeldUpdates = 20;

  // What an update changed, and what to announce.
  struct Change {
    // The text no longer extends the previous one (the lines were emptied): it is replaced.
    bool replaced = false;
    // The first offset at which the text differs from before; -1 when it is the same.
    int changed_from = -1;
    // The insertion to announce now; a length of 0 for none.
    int inserted_at = 0;
    int inserted_length = 0;
  };

  explicit ReadableLines(const LineStore& store) : store_(store) {}

  // Brings the text up to the store. Called after every change of the store (each tick and
  // "Clear Data"); the lines only ever grow in between, so each update reads only the lines
  // from the newest one it knew on.
  Change Update();

  const std::string& Text() const { return text_; }
  int Caret() const { return caret_; }
  // The line (1 to LineIndex) that holds the caret; 0 when there are no lines.
  int CaretLine() const;
  // Puts the caret at the start of `line`, kept within the lines there are.
  void SetCaretLine(int line);
  // Puts the caret at the start of `line` or, when that line is empty (the newest line just after
  // a line feed), of the line above it: what a screen reader taking the focus reads.
  void SetCaretNear(int line);

 private:
  int LineCount() const { return static_cast<int>(starts_.size()); }
  int LineLength(int line) const;
  // Whether the store's lines still begin with the lines of the text (they only grew).
  bool StoreExtendsText() const;
  // Reads the lines from `first` to LineIndex into the text again.
  void ReadFrom(int first);
  // Where the complete lines end: the start of the newest line, or the end of the text once the
  // store is full.
  int CompleteEnd() const;

  const LineStore& store_;
  std::string text_;
  // Where each line starts in the text: starts_[i] for line i + 1.
  std::vector<int> starts_;
  int caret_ = 0;
  // The end of the lines already announced or held back.
  int complete_ = 0;
  // The start of the lines held back; -1 when none are.
  int held_from_ = -1;
  int held_updates_ = 0;
};

}  // namespace tessun
