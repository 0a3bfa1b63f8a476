#include "store/readable_lines.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tessun {
namespace {

using Change = ReadableLines::Change;

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

struct Announced {
  std::string text;
  int caret;
};

class ReadableLinesTest : public ::testing::Test {
 protected:
  // One tick: `text` arrives, then the update; what it announced, if anything.
  std::optional<Announced> Tick(const std::string& text) {
    Receive(store, text);
    last = lines.Update();
    if (last.inserted_length == 0) {
      return std::nullopt;
    }
    EXPECT_FALSE(last.replaced);
    return Announced{lines.Text().substr(last.inserted_at, last.inserted_length), lines.Caret()};
  }

  LineStore store;
  ReadableLines lines{store};
  Change last;
};

TEST_F(ReadableLinesTest, TextIsTheLinesTheViewCanShowWithoutLineZeroEachCut) {
  Receive(store, "zero\none\n\nthree\n" + std::string(5000, 'x'));
  lines.Update();
  EXPECT_EQ(lines.Text(), "one\n\nthree\n" + std::string(ReadableLines::kLineLimit, 'x'));
  // However the bytes were cut into ticks, the text is the same as one read at once.
  LineStore same;
  ReadableLines step{same};
  for (const char* piece : {"zero\no", "ne\n", "\nthr", "ee\n", "xxx"}) {
    Receive(same, piece);
    step.Update();
  }
  Receive(same, std::string(4997, 'x'));
  step.Update();
  EXPECT_EQ(step.Text(), lines.Text());
}

// Completed lines are held while ticks keep completing lines, then announced whole in one
// insertion with the caret at its end; a line being filled announces nothing.
TEST_F(ReadableLinesTest, CompletedLinesOfABurstAreAnnouncedOnceWhole) {
  EXPECT_FALSE(Tick("\nHeat 1"));
  EXPECT_EQ(last.changed_from, 0);
  EXPECT_FALSE(Tick(" Lane 2\nHea"));  // completes line 1: held
  EXPECT_EQ(last.changed_from, 6);
  EXPECT_FALSE(Tick("t 2\nA\nB"));  // completes lines 2 and 3: held
  const auto burst = Tick("");      // a quiet tick
  ASSERT_TRUE(burst);
  EXPECT_EQ(burst->text, "Heat 1 Lane 2\nHeat 2\nA\n");
  EXPECT_EQ(last.inserted_at, 0);
  EXPECT_EQ(burst->caret, 23);
  EXPECT_EQ(last.changed_from, -1);
  EXPECT_FALSE(Tick(""));
  EXPECT_FALSE(Tick("\n"));
  const auto next = Tick("C");
  ASSERT_TRUE(next);
  EXPECT_EQ(next->text, "B\n");
  EXPECT_EQ(last.inserted_at, 23);
  EXPECT_EQ(lines.CaretLine(), 5);
}

TEST_F(ReadableLinesTest, ASteadyStreamIsAnnouncedAfterTheHoldingLimit) {
  Tick("\n");
  std::string expected;
  for (int tick = 1; tick < ReadableLines::kMostHeldUpdates; ++tick) {
    const std::string line = "line " + std::to_string(tick) + "\n";
    EXPECT_FALSE(Tick(line));
    expected += line;
  }
  const auto announced = Tick("line 10\n");
  ASSERT_TRUE(announced);
  EXPECT_EQ(announced->text, expected + "line 10\n");
}

TEST_F(ReadableLinesTest, EmptiedLinesReplaceTheTextAndDropWhatWasHeld) {
  Tick("\nkept\nheld\n");
  store.EmptyLines();
  Receive(store, "0\nnew");
  last = lines.Update();
  EXPECT_TRUE(last.replaced);
  EXPECT_EQ(last.changed_from, 0);
  EXPECT_EQ(last.inserted_length, 0);
  EXPECT_EQ(lines.Text(), "new");
  EXPECT_EQ(lines.Caret(), 0);
  // Emptied without an update in between, and grown past the old lines meanwhile.
  Tick("\nsecond\nthird");
  Tick("");
  store.EmptyLines();
  Receive(store, "\n\n\n\nfourth");
  EXPECT_TRUE(lines.Update().replaced);
  EXPECT_EQ(lines.Text(), "\n\n\nfourth");
}

// Line 1000 never completes: once the store is full its growth is announced, up to the cut.
TEST_F(ReadableLinesTest, TheLastLineIsAnnouncedAsItGrowsUpToTheCut) {
  Receive(store, std::string(LineStore::kLastLine - 1, '\n'));
  Tick("\nfull");
  ASSERT_TRUE(Tick(""));
  EXPECT_EQ(lines.CaretLine(), LineStore::kLastLine);
  EXPECT_FALSE(Tick(" more\nand"));
  const auto grown = Tick("");
  ASSERT_TRUE(grown);
  EXPECT_EQ(grown->text, " moreand");
  EXPECT_EQ(grown->caret, static_cast<int>(lines.Text().size()));
  Tick(std::string(ReadableLines::kLineLimit, 'x'));
  Tick("");
  EXPECT_FALSE(Tick("beyond the cut"));
  EXPECT_FALSE(Tick(""));
}

TEST_F(ReadableLinesTest, CaretMovesByLinesWithinTheText) {
  lines.SetCaretLine(3);
  EXPECT_EQ(lines.Caret(), 0);
  EXPECT_EQ(lines.CaretLine(), 0);
  Receive(store, "\none\ntwo\nthree\n");
  lines.Update();
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
