#include "store/readable_lines.h"

#include <gtest/gtest.h>

#include <string>

namespace tessun {
namespace {

// Bytes assembled into the store as AssembleLines takes them: a line feed moves to the next line
// (never past line 1000), anything else is appended to the line being filled.
void Receive(LineStore& store, const std::string& text) {
  for (const char c : text) {
    if (c != '\n') {
      store.Lines[store.LineIndex].push_back(c);
    } else if (store.LineIndex < LineStore::kLastLine) {
      ++store.LineIndex;
    }
  }
}

class ReadableLinesTest : public ::testing::Test {
 protected:
  // One tick: `text` arrives, then the update; the text it announces (empty for none), which
  // ends where the caret then stands.
  std::string Tick(const std::string& text) {
    Receive(store, text);
    last = lines.Update();
    EXPECT_FALSE(last.replaced);
    if (last.inserted_length > 0) {
      EXPECT_EQ(lines.Caret(), last.inserted_at + last.inserted_length);
    }
    return lines.Text().substr(last.inserted_at, last.inserted_length);
  }

  LineStore store;
  ReadableLines lines{store};
  ReadableLines::Change last;
};

TEST_F(ReadableLinesTest, TextIsTheLinesTheViewCanShowWithoutLineZeroEachCut) {
  const std::string long_line(5000, 'x');
  // However the bytes were cut into ticks, the text is the same.
  for (const char* piece : {"zero\no", "ne\n", "\nthr", "ee\n", "xxx"}) {
    Tick(piece);
  }
  Tick(long_line.substr(3));
  EXPECT_EQ(lines.Text(), "one\n\nthree\n" + long_line.substr(0, ReadableLines::kLineLimit));
}

// Completed lines are held while ticks keep completing lines, then announced whole in one
// insertion; a line being filled announces nothing.
TEST_F(ReadableLinesTest, CompletedLinesOfABurstAreAnnouncedOnceWhole) {
  EXPECT_EQ(Tick("\nHeat 1"), "");
  EXPECT_EQ(last.changed_from, 0);
  EXPECT_EQ(Tick(" Lane 2\nHea"), "");  // completes line 1: held
  EXPECT_EQ(last.changed_from, 6);
  EXPECT_EQ(Tick("t 2\nA\nB"), "");                   // completes lines 2 and 3: held
  EXPECT_EQ(Tick(""), "Heat 1 Lane 2\nHeat 2\nA\n");  // a quiet tick
  EXPECT_EQ(last.changed_from, -1);
  EXPECT_EQ(Tick("\n"), "");
  EXPECT_EQ(Tick("C"), "B\n");
  EXPECT_EQ(last.inserted_at, 23);
  EXPECT_EQ(lines.CaretLine(), 5);
}

TEST_F(ReadableLinesTest, ASteadyStreamIsAnnouncedAfterTheHoldingLimit) {
  Tick("\n");
  std::string expected;
  for (int tick = 1; tick <= ReadableLines::kMostHeldUpdates; ++tick) {
    const std::string line = "line " + std::to_string(tick) + "\n";
    expected += line;
    EXPECT_EQ(Tick(line), tick < ReadableLines::kMostHeldUpdates ? "" : expected);
  }
}

TEST_F(ReadableLinesTest, EmptiedLinesReplaceTheTextAndDropWhatWasHeld) {
  Tick("\nkept\nheld\n");
  for (const char* refill : {"0\nnew", "\n\n\n\nfourth"}) {  // the second past the old lines
    store.EmptyLines();
    Receive(store, refill);
    last = lines.Update();
    EXPECT_TRUE(last.replaced);
    EXPECT_EQ(last.inserted_length, 0);
    EXPECT_EQ(lines.Caret(), static_cast<int>(lines.Text().rfind('\n') + 1));
    Tick("\nsecond\nthird");
    Tick("");
  }
  EXPECT_EQ(lines.Text(), "\n\n\nfourth\nsecond\nthird");
}

// Line 1000 never completes: once the store is full its growth is announced, up to the cut.
TEST_F(ReadableLinesTest, TheLastLineIsAnnouncedAsItGrowsUpToTheCut) {
  Receive(store, std::string(LineStore::kLastLine - 1, '\n'));
  Tick("\nfull");
  EXPECT_EQ(Tick(""), std::string(LineStore::kLastLine - 2, '\n') + "\nfull");
  EXPECT_EQ(Tick(" more\nand"), "");
  EXPECT_EQ(Tick(""), " moreand");
  Tick(std::string(ReadableLines::kLineLimit, 'x'));
  Tick("");
  EXPECT_EQ(Tick("beyond the cut"), "");
  EXPECT_EQ(Tick(""), "");
}

TEST_F(ReadableLinesTest, CaretMovesByLinesWithinTheText) {
  lines.SetCaretLine(3);
  EXPECT_EQ(lines.CaretLine(), 0);
  Tick("\none\ntwo\nthree\n");
  const struct {
    int line;
    int caret;
    int caret_line;
  } moves[] = {{2, 4, 2}, {0, 0, 1}, {4, 14, 4}, {99, 14, 4}, {3, 8, 3}};
  for (const auto& move : moves) {
    lines.SetCaretLine(move.line);
    EXPECT_EQ(lines.Caret(), move.caret) << move.line;
    EXPECT_EQ(lines.CaretLine(), move.caret_line) << move.line;
  }
  // Taking the focus on the empty newest line reads the line above it.
  lines.SetCaretNear(4);
  EXPECT_EQ(lines.CaretLine(), 3);
  lines.SetCaretNear(2);
  EXPECT_EQ(lines.CaretLine(), 2);
}

}  // namespace
}  // namespace tessun
