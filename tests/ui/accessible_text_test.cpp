// Text boundaries for screen readers, and the line edit's accessible that answers them instead
// of Qt 6.4 (which never returns from a word or sentence query at the end of a line edit).
#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <algorithm>
#include <memory>

#include "ui/accessible_text.h"
#include "ui/line_edit_accessible.h"

namespace tessun {
namespace {

using Boundary = QAccessible::TextBoundaryType;

constexpr Boundary kAllBoundaries[] = {
    QAccessible::CharBoundary,      QAccessible::WordBoundary, QAccessible::SentenceBoundary,
    QAccessible::ParagraphBoundary, QAccessible::LineBoundary, QAccessible::NoBoundary};

// A view of lines: sentences are lines there.
class LinesText final : public ReadOnlyAccessibleText {
 public:
  QString AllText() const override { return QStringLiteral("Heat 1. Lane 2\nEnd"); }
  QAccessible::TextBoundaryType Boundary(QAccessible::TextBoundaryType type) const override {
    return type == QAccessible::SentenceBoundary ? QAccessible::LineBoundary : type;
  }
};

}  // namespace

class AccessibleTextTest : public QObject {
  Q_OBJECT

 private slots:
  void unitsAtBeforeAndAfterAnOffset() {
    const QString file = QStringLiteral("TessunData.txt");
    const QString lines = QStringLiteral("ab\ncd\n");
    const struct {
      QString text;
      int offset;
      Boundary type;
      int start;
      int end;
    } units[] = {
        {file, 3, QAccessible::CharBoundary, 3, 4},
        {file, 14, QAccessible::CharBoundary, 14, 14},     // empty at the end
        {file, 4, QAccessible::WordBoundary, 0, 11},       // a word with what follows it
        {file, 14, QAccessible::WordBoundary, 11, 14},     // at the end: the last word
        {file, -1, QAccessible::WordBoundary, 11, 14},     // -1 is the end
        {file, 14, QAccessible::SentenceBoundary, 0, 14},  // a dot inside a word ends none
        {QStringLiteral("One. Two!  Three"), 6, QAccessible::SentenceBoundary, 5, 11},
        {lines, 2, QAccessible::LineBoundary, 0, 3},  // a line feed belongs to its line
        {lines, 6, QAccessible::LineBoundary, 6, 6},  // after a final line feed: empty
        {QStringLiteral("ab\ncd"), 4, QAccessible::ParagraphBoundary, 3, 5},
        {file, 5, QAccessible::NoBoundary, 0, 14},
        {QString(), 0, QAccessible::WordBoundary, 0, 0},
        {file, 15, QAccessible::WordBoundary, -1, -1},  // outside: nothing
        {file, -2, QAccessible::CharBoundary, -1, -1},
    };
    for (const auto& unit : units) {
      int start = -2;
      int end = -2;
      const QString at = TextAtOffset(unit.text, unit.offset, unit.type, &start, &end);
      QCOMPARE(start, unit.start);
      QCOMPARE(end, unit.end);
      QCOMPARE(at, unit.text.mid(std::max(start, 0), end - start));
    }
    const QString text = QStringLiteral("ab\ncd\nef");
    int start = 0;
    int end = 0;
    QCOMPARE(TextBeforeOffset(text, 4, QAccessible::LineBoundary, &start, &end), "ab\n");
    QCOMPARE(TextAfterOffset(text, 4, QAccessible::LineBoundary, &start, &end), "ef");
    QCOMPARE(TextBeforeOffset(text, 1, QAccessible::LineBoundary, &start, &end), QString());
    QCOMPARE(TextAfterOffset(text, 7, QAccessible::LineBoundary, &start, &end), QString());
    QCOMPARE(start, 8);
  }

  // Over texts with every kind of unit, the unit at each offset holds it (the end only for an
  // empty unit there), and the units, walked from the start, tile the text without a gap.
  void unitsTileTheText() {
    for (const QString text : {"TessunData.txt", "  1   Lane 1   NORTH     0:33.68\n  2   Lane 2\n",
                               "Go. Now!   Then? yes.\n\nend", "...  ", "x"}) {
      const auto length = static_cast<int>(text.size());
      for (const Boundary type : kAllBoundaries) {
        for (int offset = 0; offset <= length; ++offset) {
          const TextSpan span = SpanAt(text, offset, type);
          QVERIFY2(span.start <= offset && offset <= span.end && span.end <= length &&
                       (offset < span.end || offset == length),
                   qPrintable(QStringLiteral("%1 at %2 type %3").arg(text).arg(offset).arg(type)));
        }
        for (int covered = 0; covered < length;) {
          const TextSpan span = SpanAt(text, covered, type);
          QCOMPARE(span.start, covered);
          QVERIFY(span.end > covered);
          covered = span.end;
        }
      }
    }
  }

  // One attribute run over all of it (a screen reader then asks once, not once per character),
  // and the boundaries it chooses.
  void readOnlyTextIsOneRunWithItsOwnBoundaries() {
    const LinesText text;
    int start = -1;
    int end = -1;
    QCOMPARE(text.attributes(5, &start, &end), QString());
    QCOMPARE(start, 0);
    QCOMPARE(end, 18);
    QCOMPARE(text.text(-3, 4), QStringLiteral("Heat"));
    QCOMPARE(text.textAtOffset(9, QAccessible::SentenceBoundary, &start, &end), "Heat 1. Lane 2\n");
  }

  // The wrapper is what Qt hands out for a line edit, answers every boundary query at every
  // offset (Qt's own never returns for a word at the end), and passes the rest on to Qt's.
  void lineEditAnswersEveryBoundaryQuery() {
    InstallLineEditAccessibleFix();
    for (int round = 0; round < 2; ++round) {  // a second line edit after the first was deleted
      auto edit = std::make_unique<QLineEdit>(QStringLiteral("TessunData.txt"));
      QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(edit.get());
      QVERIFY(IsWrappedLineEditAccessible(iface));
      QCOMPARE(QAccessible::queryAccessibleInterface(edit.get()), iface);
      QCOMPARE(iface->role(), QAccessible::EditableText);
      QAccessibleTextInterface* text = iface->textInterface();
      for (const Boundary type : kAllBoundaries) {
        for (int offset = 0; offset <= 14; ++offset) {
          int start = -2;
          int end = -2;
          text->textAtOffset(offset, type, &start, &end);
          QVERIFY(start >= 0 && end <= 14);
          text->textBeforeOffset(offset, type, &start, &end);
          text->textAfterOffset(offset, type, &start, &end);
        }
      }
      int start = 0;
      int end = 0;
      QCOMPARE(text->textAtOffset(14, QAccessible::WordBoundary, &start, &end), "txt");
      // Editing goes through Qt's accessible to the line edit.
      iface->editableTextInterface()->insertText(0, QStringLiteral("A"));
      QCOMPARE(edit->text(), QStringLiteral("ATessunData.txt"));
    }
  }
};

}  // namespace tessun

QTEST_MAIN(tessun::AccessibleTextTest)
#include "accessible_text_test.moc"
