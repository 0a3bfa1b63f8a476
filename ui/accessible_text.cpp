#include "ui/accessible_text.h"

#include <algorithm>

namespace tessun {

namespace {

bool IsWordCharacter(QChar c) {
  return c.isLetterOrNumber();
}

bool IsSentenceEnd(QChar c) {
  return c == QLatin1Char('.') || c == QLatin1Char('!') || c == QLatin1Char('?');
}

// Whether a unit of `type` starts at `i` (0 < i < length).
bool StartsAt(QStringView text, qsizetype i, QAccessible::TextBoundaryType type) {
  switch (type) {
    case QAccessible::CharBoundary:
      return true;
    case QAccessible::WordBoundary:
      return IsWordCharacter(text[i]) && !IsWordCharacter(text[i - 1]);
    case QAccessible::SentenceBoundary: {
      if (text[i].isSpace() || !text[i - 1].isSpace()) {
        return false;
      }
      qsizetype j = i - 1;
      while (j > 0 && text[j].isSpace()) {
        --j;
      }
      return IsSentenceEnd(text[j]);
    }
    case QAccessible::ParagraphBoundary:
    case QAccessible::LineBoundary:
      return text[i - 1] == QLatin1Char('\n');
    case QAccessible::NoBoundary:
      return false;
  }
  return false;
}

QString Answer(QStringView text, TextSpan span, int* start, int* end) {
  *start = span.start;
  *end = span.end;
  return text.mid(span.start, span.end - span.start).toString();
}

// Resolves -1 to the length; false for any other offset outside 0..length.
bool ResolveOffset(QStringView text, int& offset, int* start, int* end) {
  if (offset == -1) {
    offset = static_cast<int>(text.size());
  }
  if (offset < 0 || offset > text.size()) {
    *start = -1;
    *end = -1;
    return false;
  }
  return true;
}

}  // namespace

TextSpan SpanAt(QStringView text, int offset, QAccessible::TextBoundaryType type) {
  const auto length = static_cast<int>(text.size());
  if (length == 0) {
    return {};
  }
  if (type == QAccessible::NoBoundary) {
    return {0, length};
  }
  if (offset >= length) {
    // A line feed at the end opens an empty last line; a character needs one to stand on.
    const bool empty_last_line =
        (type == QAccessible::LineBoundary || type == QAccessible::ParagraphBoundary) &&
        text[length - 1] == QLatin1Char('\n');
    if (type == QAccessible::CharBoundary || empty_last_line) {
      return {length, length};
    }
    offset = length - 1;
  }
  int start = offset;
  while (start > 0 && !StartsAt(text, start, type)) {
    --start;
  }
  int end = offset + 1;
  while (end < length && !StartsAt(text, end, type)) {
    ++end;
  }
  return {start, end};
}

QString TextAtOffset(QStringView text, int offset, QAccessible::TextBoundaryType type, int* start,
                     int* end) {
  if (!ResolveOffset(text, offset, start, end)) {
    return {};
  }
  return Answer(text, SpanAt(text, offset, type), start, end);
}

QString TextBeforeOffset(QStringView text, int offset, QAccessible::TextBoundaryType type,
                         int* start, int* end) {
  if (!ResolveOffset(text, offset, start, end)) {
    return {};
  }
  const TextSpan at = SpanAt(text, offset, type);
  if (at.start == 0) {
    return Answer(text, {0, 0}, start, end);
  }
  return Answer(text, SpanAt(text, at.start - 1, type), start, end);
}

QString TextAfterOffset(QStringView text, int offset, QAccessible::TextBoundaryType type,
                        int* start, int* end) {
  if (!ResolveOffset(text, offset, start, end)) {
    return {};
  }
  const auto length = static_cast<int>(text.size());
  const TextSpan at = SpanAt(text, offset, type);
  if (at.end >= length) {
    return Answer(text, {length, length}, start, end);
  }
  return Answer(text, SpanAt(text, at.end, type), start, end);
}

QString ReadOnlyAccessibleText::text(int start, int end) const {
  const QString all = AllText();
  if (end < 0 || end > all.size()) {
    end = static_cast<int>(all.size());
  }
  start = std::clamp(start, 0, end);
  return all.mid(start, end - start);
}

QString ReadOnlyAccessibleText::attributes(int, int* start, int* end) const {
  *start = 0;
  *end = characterCount();
  return {};
}

}  // namespace tessun
