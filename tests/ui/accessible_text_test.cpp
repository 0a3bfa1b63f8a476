// Text boundaries for screen readers, and the line edit's accessible that answers them instead
// of Qt 6.4 (which never returns from a word or sentence query at the end of a line edit).
#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <memory>

#include "ui/accessible_text.h"
#include "ui/line_edit_accessible.h"

namespace tessun {
namespace {

using Boundary = QAccessible::TextBoundaryType;

constexpr Boundary kAllBoundaries[] = {
    QAccessible::CharBoundary,      QAccessible::WordBoundary, QAccessible::SentenceBoundary,
    QAccessible::ParagraphBoundary, QAccessible::LineBoundary, QAccessible::NoBoundary};

class AccessibleTextTest : public QObject {
  Q_OBJECT

 private slots:
  void SpanAtGivesTheUnit_data();
  void SpanAtGivesTheUnit();
  void EveryOffsetHasAUnitThatHoldsIt();
  void BeforeAndAfterAreTheNeighbouringUnits();
  void OffsetsOutsideTheTextGiveNothing();
  void ReadOnlyTextIsOneRunWithItsOwnBoundaries();
  void LineEditAnswersEveryBoundaryQuery();
};

void AccessibleTextTest::SpanAtGivesTheUnit_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("offset");
  QTest::addColumn<int>("type");
  QTest::addColumn<int>("start");
  QTest::addColumn<int>("end");
  const QString file = QStringLiteral("TessunData.txt");
  QTest::newRow("char inside") << file << 3 << int(QAccessible::CharBoundary) << 3 << 4;
  QTest::newRow("char at the end is empty")
      << file << 14 << int(QAccessible::CharBoundary) << 14 << 14;
  QTest::newRow("word with what follows it")
      << file << 4 << int(QAccessible::WordBoundary) << 0 << 11;
  QTest::newRow("word at the end: the last word")
      << file << 14 << int(QAccessible::WordBoundary) << 11 << 14;
  QTest::newRow("word: leading blanks are a unit")
      << QStringLiteral("  1   Lane 1") << 1 << int(QAccessible::WordBoundary) << 0 << 2;
  QTest::newRow("sentence after a full stop")
      << QStringLiteral("One. Two!  Three") << 6 << int(QAccessible::SentenceBoundary) << 5 << 11;
  QTest::newRow("sentence at the end")
      << QStringLiteral("One. Two") << 8 << int(QAccessible::SentenceBoundary) << 5 << 8;
  QTest::newRow("a dot inside a word ends no sentence")
      << file << 14 << int(QAccessible::SentenceBoundary) << 0 << 14;
  QTest::newRow("line with its line feed")
      << QStringLiteral("ab\ncd\n") << 1 << int(QAccessible::LineBoundary) << 0 << 3;
  QTest::newRow("line: a line feed belongs to its line")
      << QStringLiteral("ab\ncd\n") << 2 << int(QAccessible::LineBoundary) << 0 << 3;
  QTest::newRow("line at the end after a line feed is empty")
      << QStringLiteral("ab\ncd\n") << 6 << int(QAccessible::LineBoundary) << 6 << 6;
  QTest::newRow("line at the end without a line feed is the last line")
      << QStringLiteral("ab\ncd") << 5 << int(QAccessible::LineBoundary) << 3 << 5;
  QTest::newRow("paragraph is a line")
      << QStringLiteral("ab\ncd") << 4 << int(QAccessible::ParagraphBoundary) << 3 << 5;
  QTest::newRow("no boundary: everything") << file << 5 << int(QAccessible::NoBoundary) << 0 << 14;
  QTest::newRow("empty text") << QString() << 0 << int(QAccessible::WordBoundary) << 0 << 0;
}

void AccessibleTextTest::SpanAtGivesTheUnit() {
  QFETCH(QString, text);
  QFETCH(int, offset);
  QFETCH(int, type);
  QFETCH(int, start);
  QFETCH(int, end);
  const TextSpan span = SpanAt(text, offset, static_cast<Boundary>(type));
  QCOMPARE(span.start, start);
  QCOMPARE(span.end, end);
  int at_start = -2;
  int at_end = -2;
  QCOMPARE(TextAtOffset(text, offset, static_cast<Boundary>(type), &at_start, &at_end),
           text.mid(start, end - start));
  QCOMPARE(at_start, start);
  QCOMPARE(at_end, end);
}

// Over texts with every kind of unit, the unit at each offset holds it (the end only for an
// empty unit there), and the units, walked from the start, tile the text without a gap.
void AccessibleTextTest::EveryOffsetHasAUnitThatHoldsIt() {
  const QString texts[] = {QStringLiteral("TessunData.txt"),
                           QStringLiteral("  1   Lane 1   NORTH     0:33.68\n  2   Lane 2\n"),
                           QStringLiteral("Go. Now!   Then? yes.\n\nend"), QStringLiteral("...  "),
                           QStringLiteral("x")};
  for (const QString& text : texts) {
    const auto length = static_cast<int>(text.size());
    for (const Boundary type : kAllBoundaries) {
      for (int offset = 0; offset <= length; ++offset) {
        const TextSpan span = SpanAt(text, offset, type);
        QVERIFY2(span.start <= offset && offset <= span.end && span.end <= length,
                 qPrintable(QStringLiteral("%1 at %2 type %3").arg(text).arg(offset).arg(type)));
        QVERIFY(offset < span.end || offset == length);
      }
      int covered = 0;
      while (covered < length) {
        const TextSpan span = SpanAt(text, covered, type);
        QCOMPARE(span.start, covered);
        QVERIFY(span.end > covered);
        covered = span.end;
      }
    }
  }
}

void AccessibleTextTest::BeforeAndAfterAreTheNeighbouringUnits() {
  const QString text = QStringLiteral("ab\ncd\nef");
  int start = 0;
  int end = 0;
  QCOMPARE(TextBeforeOffset(text, 4, QAccessible::LineBoundary, &start, &end),
           QStringLiteral("ab\n"));
  QCOMPARE(start, 0);
  QCOMPARE(TextAfterOffset(text, 4, QAccessible::LineBoundary, &start, &end), QStringLiteral("ef"));
  QCOMPARE(start, 6);
  QCOMPARE(TextBeforeOffset(text, 1, QAccessible::LineBoundary, &start, &end), QString());
  QCOMPARE(TextAfterOffset(text, 7, QAccessible::LineBoundary, &start, &end), QString());
  QCOMPARE(start, 8);
  QCOMPARE(TextBeforeOffset(text, 8, QAccessible::CharBoundary, &start, &end), QStringLiteral("f"));
  QCOMPARE(TextAtOffset(text, -1, QAccessible::WordBoundary, &start, &end), QStringLiteral("ef"));
}

void AccessibleTextTest::OffsetsOutsideTheTextGiveNothing() {
  const QString text = QStringLiteral("abc");
  for (const int offset : {-2, 4, 100}) {
    int start = 0;
    int end = 0;
    QCOMPARE(TextAtOffset(text, offset, QAccessible::WordBoundary, &start, &end), QString());
    QCOMPARE(start, -1);
    QCOMPARE(end, -1);
  }
}

// A view of lines: sentences are lines there.
class LinesText final : public ReadOnlyAccessibleText {
 public:
  QString AllText() const override { return QStringLiteral("Heat 1. Lane 2\nEnd"); }
  QAccessible::TextBoundaryType Boundary(QAccessible::TextBoundaryType type) const override {
    return type == QAccessible::SentenceBoundary ? QAccessible::LineBoundary : type;
  }
};

void AccessibleTextTest::ReadOnlyTextIsOneRunWithItsOwnBoundaries() {
  const LinesText text;
  int start = -1;
  int end = -1;
  QCOMPARE(text.attributes(5, &start, &end), QString());
  QCOMPARE(start, 0);
  QCOMPARE(end, 18);
  QCOMPARE(text.text(15, -1), QStringLiteral("End"));
  QCOMPARE(text.text(-3, 4), QStringLiteral("Heat"));
  QCOMPARE(text.textAtOffset(9, QAccessible::SentenceBoundary, &start, &end),
           QStringLiteral("Heat 1. Lane 2\n"));
  QCOMPARE(text.textAfterOffset(9, QAccessible::SentenceBoundary, &start, &end),
           QStringLiteral("End"));
  QCOMPARE(text.selectionCount(), 0);
}

// The wrapper is what Qt hands out for a line edit, answers every boundary query at every offset
// (Qt's own never returns for a word at the end), and passes the rest on to Qt's accessible.
void AccessibleTextTest::LineEditAnswersEveryBoundaryQuery() {
  InstallLineEditAccessibleFix();
  for (int round = 0; round < 2; ++round) {  // a second line edit after the first was deleted
    auto edit = std::make_unique<QLineEdit>(QStringLiteral("TessunData.txt"));
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(edit.get());
    QVERIFY(IsWrappedLineEditAccessible(iface));
    QCOMPARE(QAccessible::queryAccessibleInterface(edit.get()), iface);
    QCOMPARE(iface->role(), QAccessible::EditableText);
    QCOMPARE(iface->text(QAccessible::Value), edit->text());
    QAccessibleTextInterface* text = iface->textInterface();
    QVERIFY(text != nullptr);
    QVERIFY(iface->editableTextInterface() != nullptr);
    QCOMPARE(text->characterCount(), 14);
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
    QCOMPARE(text->textAtOffset(14, QAccessible::WordBoundary, &start, &end),
             QStringLiteral("txt"));
    // Editing goes through Qt's accessible to the line edit.
    iface->editableTextInterface()->insertText(0, QStringLiteral("A"));
    QCOMPARE(edit->text(), QStringLiteral("ATessunData.txt"));
  }
}

}  // namespace
}  // namespace tessun

QTEST_MAIN(tessun::AccessibleTextTest)
#include "accessible_text_test.moc"
