// The queue that stands in for the platform HID driver's input buffers: its drop-oldest policy,
// its capacity limits, and reads that wait, fail or are abandoned across threads.
#include "device/libusb/input_report_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace tessun {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

TEST(InputReportQueueTest, KeepsTheNewestReportsUpToItsCapacity) {
  InputReportQueue queue;
  EXPECT_EQ(queue.Capacity(), 32u);
  // Byte 1 is the count: every eighth report (count 0) is idle, the others carry data.
  for (std::uint8_t i = 0; i < 40; ++i) {
    queue.Push(Bytes{0, i, 'x'});
  }
  EXPECT_EQ(queue.Size(), 32u);
  EXPECT_EQ(queue.Dropped().all, 8u);
  EXPECT_EQ(queue.Dropped().with_data, 7u);  // report 0 was idle

  const std::atomic<bool> live{false};
  std::array<std::uint8_t, 2> buffer{};
  ReadResult read = queue.Pop(buffer, milliseconds(0), live);
  EXPECT_EQ(read.status, ReadStatus::kCompleted);
  EXPECT_EQ(buffer[1], 8);  // reports 0 to 7 were dropped

  EXPECT_FALSE(queue.SetCapacity(1));
  EXPECT_FALSE(queue.SetCapacity(513));
  EXPECT_EQ(queue.Capacity(), 32u);
  EXPECT_TRUE(queue.SetCapacity(200));
  EXPECT_EQ(queue.Size(), 31u);
  EXPECT_TRUE(queue.SetCapacity(2));  // keeps the two newest
  EXPECT_EQ(queue.Size(), 2u);
  EXPECT_EQ(queue.Dropped().all, 8u + 29u);
  EXPECT_EQ(queue.Dropped().with_data, 7u + 26u);  // 16, 24 and 32 were idle
  read = queue.Pop(buffer, milliseconds(0), live);
  EXPECT_EQ(buffer[1], 38);
  read = queue.Pop(buffer, milliseconds(0), live);
  EXPECT_EQ(buffer[1], 39);
}

TEST(InputReportQueueTest, DeliversInOrderCutToTheBufferAndIgnoresEmptyReports) {
  InputReportQueue queue;
  const std::atomic<bool> live{false};
  queue.Push(Bytes{});
  queue.Push(Bytes{0, 3, 'A', 'B', 'C'});
  queue.Push(Bytes{0, 1, 'D'});
  EXPECT_EQ(queue.Size(), 2u);

  std::array<std::uint8_t, 4> small{};
  ReadResult read = queue.Pop(small, milliseconds(0), live);
  EXPECT_EQ(read.status, ReadStatus::kCompleted);
  EXPECT_EQ(read.bytes, 4u);
  EXPECT_EQ(small, (std::array<std::uint8_t, 4>{0, 3, 'A', 'B'}));

  std::array<std::uint8_t, 9> large{};
  read = queue.Pop(large, milliseconds(0), live);
  EXPECT_EQ(read.status, ReadStatus::kCompleted);
  EXPECT_EQ(read.bytes, 3u);
  EXPECT_EQ(large[2], 'D');
}

TEST(InputReportQueueTest, TimesOutWhenNothingArrives) {
  InputReportQueue queue;
  const std::atomic<bool> live{false};
  std::array<std::uint8_t, 9> buffer{};
  const auto start = std::chrono::steady_clock::now();
  const ReadResult read = queue.Pop(buffer, milliseconds(30), live);
  EXPECT_EQ(read.status, ReadStatus::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(30));
}

TEST(InputReportQueueTest, AReportFromAnotherThreadEndsTheWait) {
  InputReportQueue queue;
  const std::atomic<bool> live{false};
  std::array<std::uint8_t, 9> buffer{};
  std::thread reader([&] {
    std::this_thread::sleep_for(milliseconds(20));
    queue.Push(Bytes{0, 1, 'X'});
  });
  const auto start = std::chrono::steady_clock::now();
  const ReadResult read = queue.Pop(buffer, milliseconds(10000), live);
  reader.join();
  EXPECT_EQ(read.status, ReadStatus::kCompleted);
  EXPECT_EQ(buffer[2], 'X');
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(5000));
}

TEST(InputReportQueueTest, AFailedDeviceDeliversWhatIsQueuedThenFails) {
  InputReportQueue queue;
  const std::atomic<bool> live{false};
  std::array<std::uint8_t, 9> buffer{};
  queue.Push(Bytes{0, 1, 'Z'});
  queue.Fail();
  EXPECT_TRUE(queue.Failed());
  EXPECT_EQ(queue.Pop(buffer, milliseconds(0), live).status, ReadStatus::kCompleted);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(queue.Pop(buffer, milliseconds(10000), live).status, ReadStatus::kFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(5000));
  // A failure while a read waits ends that read at once.
  InputReportQueue waiting;
  std::thread failer([&] {
    std::this_thread::sleep_for(milliseconds(20));
    waiting.Fail();
  });
  EXPECT_EQ(waiting.Pop(buffer, milliseconds(10000), live).status, ReadStatus::kFailed);
  failer.join();
}

TEST(InputReportQueueTest, AnAbandonedReadNeverTouchesTheBuffer) {
  InputReportQueue queue;
  std::atomic<bool> abandoned{true};
  std::array<std::uint8_t, 3> buffer{};
  queue.Push(Bytes{0, 1, 'Q'});
  EXPECT_EQ(queue.Pop(buffer, milliseconds(0), abandoned).status, ReadStatus::kFailed);
  EXPECT_EQ(buffer, (std::array<std::uint8_t, 3>{}));
  EXPECT_EQ(queue.Size(), 1u);  // left for another reader

  // A closing thread wakes a waiting read; a report arriving afterwards is not delivered to it.
  InputReportQueue empty;
  std::atomic<bool> closing{false};
  std::thread closer([&] {
    std::this_thread::sleep_for(milliseconds(20));
    closing = true;
    empty.WakeAll();
    empty.Push(Bytes{0, 1, 'R'});
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(empty.Pop(buffer, milliseconds(10000), closing).status, ReadStatus::kFailed);
  closer.join();
  EXPECT_EQ(buffer, (std::array<std::uint8_t, 3>{}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(5000));
}

}  // namespace
}  // namespace tessun
