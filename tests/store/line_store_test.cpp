#include "store/line_store.h"

#include <gtest/gtest.h>

#include <string>

namespace tessun {
namespace {

void StoreText(LineStore& store, const std::string& text) {
  for (char c : text) {
    store.StoreByte(static_cast<std::uint8_t>(c));
  }
}

bool RingIsEmpty(const LineStore& store) {
  for (auto slot : store.RingBuffer) {
    if (slot != 0) {
      return false;
    }
  }
  return true;
}

TEST(LineStoreTest, WriterAdvancesHeadBeforeStoringAndWraps) {
  LineStore store;
  store.StoreByte('A');
  EXPECT_EQ(store.RingHead, 1);
  EXPECT_EQ(store.RingBuffer[1], 'A');
  EXPECT_EQ(store.RingBuffer[0], 0);

  store.RingHead = 510;
  StoreText(store, "BCD");
  EXPECT_EQ(store.RingHead, 1);
  EXPECT_EQ(store.RingBuffer[511], 'B');
  EXPECT_EQ(store.RingBuffer[0], 'C');
  EXPECT_EQ(store.RingBuffer[1], 'D');
}

TEST(LineStoreTest, EmptyRingChangesNothing) {
  LineStore store;
  store.RingHead = 77;
  store.AssembleLines();
  EXPECT_EQ(store.NewData, 0);
  EXPECT_EQ(store.LineIndex, 0);
  EXPECT_EQ(store.Lines[0], "");
  EXPECT_EQ(store.RingHead, 77);
}

TEST(LineStoreTest, LineFeedEndsLineAndCarriageReturnIsDropped) {
  LineStore store;
  StoreText(store, "AB\r\nC");
  store.AssembleLines();
  EXPECT_EQ(store.Lines[0], "AB");
  EXPECT_EQ(store.Lines[1], "C");
  EXPECT_EQ(store.LineIndex, 1);
  EXPECT_EQ(store.NewData, 1);
  EXPECT_TRUE(RingIsEmpty(store));
}

TEST(LineStoreTest, BytesAcrossTheWrapAreTakenInStoredOrder) {
  for (int head : {505, 510, 511, 0, 300}) {
    LineStore store;
    store.RingHead = static_cast<std::int16_t>(head);
    StoreText(store, "0123456789");
    store.AssembleLines();
    EXPECT_EQ(store.Lines[0], "0123456789") << "head before " << head;
  }
}

// A full tick of 280 bytes, and up to kMostBytesPerPass, keeps its order; one byte more does not.
TEST(LineStoreTest, APassKeepsTheOrderOfAtMostItsMostBytesFromAnyHead) {
  std::string bytes;
  for (int i = 0; i <= LineStore::kMostBytesPerPass; ++i) {
    bytes.push_back(static_cast<char>('a' + i % 26));
  }
  for (const std::size_t count : {std::size_t{280}, std::size_t{LineStore::kMostBytesPerPass}}) {
    for (int head = 0; head < LineStore::kRingSize; head += 37) {
      LineStore store;
      store.RingHead = static_cast<std::int16_t>(head);
      StoreText(store, bytes.substr(0, count));
      store.AssembleLines();
      ASSERT_EQ(store.Lines[0], bytes.substr(0, count)) << "head before " << head;
      ASSERT_TRUE(RingIsEmpty(store));
    }
  }
  LineStore store;
  StoreText(store, bytes);
  store.AssembleLines();
  EXPECT_NE(store.Lines[0], bytes);
}

TEST(LineStoreTest, ScanStartsTwentySlotsPastTheHead) {
  // Two stale bytes sit on either side of the start slot: the one at head + 20 is examined
  // first, the one at head + 19 last.
  LineStore store;
  store.RingHead = 500;
  store.RingBuffer[(500 + 20) & 511] = 'F';
  store.RingBuffer[(500 + 19) & 511] = 'L';
  store.RingBuffer[(500 + 21) & 511] = 'S';
  store.AssembleLines();
  EXPECT_EQ(store.Lines[0], "FSL");
}

TEST(LineStoreTest, OnlyPrintableBytesUpToLowercaseZAreKept) {
  LineStore store;
  const std::string kept = " !09AZaz";
  StoreText(store, kept);
  for (int b : {9, 12, 13, 27, 123, 124, 125, 126, 127, 128, 200, 255}) {
    store.StoreByte(static_cast<std::uint8_t>(b));
  }
  store.AssembleLines();
  EXPECT_EQ(store.Lines[0], kept);
  EXPECT_EQ(store.LineIndex, 0);
  EXPECT_TRUE(RingIsEmpty(store));
}

TEST(LineStoreTest, DroppedByteAloneStillCountsAsNewData) {
  for (int b : {13, int{'{'}}) {
    LineStore store;
    store.StoreByte(static_cast<std::uint8_t>(b));
    store.AssembleLines();
    EXPECT_EQ(store.NewData, 1);
    EXPECT_EQ(store.Lines[0], "");
    EXPECT_EQ(store.LineIndex, 0);
    // Taking the flag clears it.
    EXPECT_TRUE(store.TakeNewData());
    EXPECT_EQ(store.NewData, 0);
    EXPECT_FALSE(store.TakeNewData());
  }
}

TEST(LineStoreTest, ZeroByteIsNeverConsumed) {
  LineStore store;
  store.StoreByte(0);
  store.AssembleLines();
  EXPECT_EQ(store.NewData, 0);
  StoreText(store, "X");
  store.StoreByte(0);
  StoreText(store, "Y");
  store.AssembleLines();
  EXPECT_EQ(store.Lines[0], "XY");
}

TEST(LineStoreTest, LineIndexStopsAtOneThousandAndTextGoesOnInTheLastLine) {
  LineStore store;
  for (int i = 0; i < 1000; ++i) {
    StoreText(store, "L\n");
    store.AssembleLines();
  }
  EXPECT_EQ(store.LineIndex, 1000);
  EXPECT_EQ(store.Lines[999], "L");
  EXPECT_EQ(store.Lines[1000], "");

  StoreText(store, "a\nb\n\nc");
  store.AssembleLines();
  EXPECT_EQ(store.LineIndex, 1000);
  EXPECT_EQ(store.Lines[1000], "abc");
}

TEST(LineStoreTest, EmptyLinesLeavesRingHeadAndNewDataAlone) {
  LineStore store;
  StoreText(store, "one\ntwo\nthree");
  store.AssembleLines();
  StoreText(store, "pending");
  const auto ring = store.RingBuffer;
  const auto head = store.RingHead;

  store.EmptyLines();

  EXPECT_EQ(store.LineIndex, 0);
  for (const auto& line : store.Lines) {
    EXPECT_TRUE(line.empty());
  }
  EXPECT_EQ(store.RingBuffer, ring);
  EXPECT_EQ(store.RingHead, head);
  EXPECT_EQ(store.NewData, 1);

  // Text that was waiting goes on in line 0.
  store.AssembleLines();
  EXPECT_EQ(store.Lines[0], "pending");
}

}  // namespace
}  // namespace tessun
