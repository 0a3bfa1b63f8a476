#include "store/readable_lines.h"

#include <algorithm>
#include <string_view>

namespace tessun {

namespace {

std::string_view Cut(const std::string& line) {
  return std::string_view(line).substr(0, ReadableLines::kLineLimit);
}

}  // namespace

ReadableLines::Change ReadableLines::Update() {
  Change change;
  const auto old_size = static_cast<int>(text_.size());
  const bool extends = StoreExtendsText();
  ReadFrom(extends ? std::max(LineCount(), 1) : 1);
  const int end = CompleteEnd();
  if (!extends) {
    change.replaced = true;
    change.changed_from = 0;
    complete_ = end;
    caret_ = end;
    held_from_ = -1;
    held_updates_ = 0;
    return change;
  }
  // The text begins with the old one: only its end can have changed.
  if (static_cast<int>(text_.size()) != old_size) {
    change.changed_from = old_size;
  }
  if (end > complete_) {
    if (held_from_ < 0) {
      held_from_ = complete_;
    }
    complete_ = end;
    if (++held_updates_ < kMostHeldUpdates) {
      return change;
    }
  } else if (held_from_ < 0) {
    return change;
  }
  change.inserted_at = held_from_;
  change.inserted_length = complete_ - held_from_;
  caret_ = complete_;
  held_from_ = -1;
  held_updates_ = 0;
  return change;
}

int ReadableLines::CaretLine() const {
  return static_cast<int>(std::upper_bound(starts_.begin(), starts_.end(), caret_) -
                          starts_.begin());
}

void ReadableLines::SetCaretLine(int line) {
  caret_ = starts_.empty() ? 0 : starts_[std::clamp(line, 1, LineCount()) - 1];
}

void ReadableLines::SetCaretNear(int line) {
  line = std::clamp(line, 1, std::max(LineCount(), 1));
  SetCaretLine(line > 1 && LineLength(line) == 0 ? line - 1 : line);
}

int ReadableLines::LineLength(int line) const {
  if (line < 1 || line > LineCount()) {
    return 0;
  }
  const int end = line < LineCount() ? starts_[line] - 1 : static_cast<int>(text_.size());
  return end - starts_[line - 1];
}

bool ReadableLines::StoreExtendsText() const {
  const int known = LineCount();
  if (store_.LineIndex < known) {
    return false;
  }
  // Complete lines never change while the store only grows: comparing their lengths is enough
  // to notice that it was emptied (the lines that were not empty have lost their text).
  for (int line = 1; line < known; ++line) {
    if (static_cast<int>(Cut(store_.Lines[line]).size()) != LineLength(line)) {
      return false;
    }
  }
  return known == 0 ||
         Cut(store_.Lines[known])
             .starts_with(std::string_view(text_).substr(static_cast<std::size_t>(starts_.back())));
}

void ReadableLines::ReadFrom(int first) {
  // Keeps the line feed after line first - 1.
  text_.resize(first > 1 ? static_cast<std::size_t>(starts_[first - 1]) : 0);
  starts_.resize(static_cast<std::size_t>(first - 1));
  for (int line = first; line <= store_.LineIndex; ++line) {
    if (line > first) {
      text_.push_back('\n');
    }
    starts_.push_back(static_cast<int>(text_.size()));
    text_.append(Cut(store_.Lines[line]));
  }
  caret_ = std::min(caret_, static_cast<int>(text_.size()));
}

int ReadableLines::CompleteEnd() const {
  if (starts_.empty()) {
    return 0;
  }
  return store_.LineIndex == LineStore::kLastLine ? static_cast<int>(text_.size()) : starts_.back();
}

}  // namespace tessun
