// Text boundaries for screen readers, worked out here instead of by Qt. Qt 6.4's own
// QAccessibleTextInterface::textAtOffset (which QLineEdit's accessible uses) never returns for a
// word or sentence query at the end of the text: it spins in QTextBoundaryFinder. These answer
// every offset from 0 to the length, and every boundary type, with bounded scans.
#pragma once

#include <QAccessible>
#include <QString>
#include <QStringView>

namespace tessun {

// A range of the text: [start, end).
struct TextSpan {
  int start = 0;
  int end = 0;
};

// The unit of `type` that holds `offset` (0..length):
// - characters: [offset, offset + 1), empty at the end of the text;
// - words: from the start of a word to the start of the next one (a word is a run of letters
//   and digits; what follows it, up to the next word, belongs to it);
// - sentences: from a sentence's first character to the next one's (a sentence ends after
//   '.', '!' or '?' and the blanks that follow);
// - lines and paragraphs: a line with its line feed.
// At the end of the text, words, sentences and lines give the last unit (empty after a final
// line feed).
TextSpan SpanAt(QStringView text, int offset, QAccessible::TextBoundaryType type);

// The three queries of QAccessibleTextInterface over `text`. An offset of -1 means the length;
// any other offset outside 0..length gives an empty string with start and end -1.
QString TextAtOffset(QStringView text, int offset, QAccessible::TextBoundaryType type, int* start,
                     int* end);
QString TextBeforeOffset(QStringView text, int offset, QAccessible::TextBoundaryType type,
                         int* start, int* end);
QString TextAfterOffset(QStringView text, int offset, QAccessible::TextBoundaryType type,
                        int* start, int* end);

// A read-only text without selections, for an accessible that shows text (a view, a status):
// the text, its length and the boundary queries come from AllText(); the caret stays at 0 unless
// the subclass keeps one. Attributes are one empty run over the whole text, so that a screen
// reader asks once and not once per character (Orca 43 then also drops a line's last character).
class ReadOnlyAccessibleText : public QAccessibleTextInterface {
 public:
  // The whole text.
  virtual QString AllText() const = 0;
  // The boundary used for `type` (e.g. a view of lines has no sentences).
  virtual QAccessible::TextBoundaryType Boundary(QAccessible::TextBoundaryType type) const {
    return type;
  }

  void selection(int, int* start, int* end) const override { *start = *end = 0; }
  int selectionCount() const override { return 0; }
  void addSelection(int, int) override {}
  void removeSelection(int) override {}
  void setSelection(int, int, int) override {}
  int cursorPosition() const override { return 0; }
  void setCursorPosition(int) override {}
  QString text(int start, int end) const override;
  int characterCount() const override { return static_cast<int>(AllText().size()); }
  QRect characterRect(int) const override { return {}; }
  int offsetAtPoint(const QPoint&) const override { return -1; }
  void scrollToSubstring(int, int) override {}
  QString attributes(int, int* start, int* end) const override;
  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                           int* end) const override {
    return TextBeforeOffset(AllText(), offset, Boundary(type), start, end);
  }
  QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                       int* end) const override {
    return TextAtOffset(AllText(), offset, Boundary(type), start, end);
  }
  QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                          int* end) const override {
    return TextAfterOffset(AllText(), offset, Boundary(type), start, end);
  }
};

}  // namespace tessun
