#include "device/windows/windows_port_detail.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace tessun::windows_detail {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> bytes;
  for (int v : values) {
    bytes.push_back(static_cast<std::uint8_t>(v));
  }
  return bytes;
}

TEST(DevicePathFromDetail, TakesTheTextAfterTheSizeFieldUpToTheFirstZero) {
  // cbSize 8 (a 64-bit program), then "\\?\hid#a", a zero, and leftovers from the system.
  auto detail = Bytes({8, 0, 0, 0, '\\', '\\', '?', '\\', 'h', 'i', 'd', '#', 'a', 0, 'x', 'y'});
  EXPECT_EQ(DevicePathFromDetail(detail, 4), "\\\\?\\hid#a");
}

TEST(DevicePathFromDetail, NeverReadsPastTheBuffer) {
  // No zero byte at all: the path ends with the buffer.
  auto unterminated = Bytes({5, 0, 0, 0, 'a', 'b', 'c'});
  EXPECT_EQ(DevicePathFromDetail(unterminated, 4), "abc");
  // Offset at or past the end, or a buffer shorter than the size field.
  EXPECT_EQ(DevicePathFromDetail(unterminated, unterminated.size()), "");
  EXPECT_EQ(DevicePathFromDetail(unterminated, 100), "");
  EXPECT_EQ(DevicePathFromDetail(Bytes({5, 0}), 4), "");
  // An empty path: the zero byte comes first.
  EXPECT_EQ(DevicePathFromDetail(Bytes({5, 0, 0, 0, 0, 'z'}), 4), "");
}

TEST(DevicePathFromDetail, KeepsBytesAboveAsciiAsTheyAre) {
  auto detail = Bytes({5, 0, 0, 0, 0xE9, 'x', 0});
  const std::string path = DevicePathFromDetail(detail, 4);
  ASSERT_EQ(path.size(), 2u);
  EXPECT_EQ(static_cast<std::uint8_t>(path[0]), 0xE9);
}

TEST(ReadBufferLength, IsNeverShorterThanTheInputReport) {
  // The console: output and input reports of 9 bytes.
  EXPECT_EQ(ReadBufferLength(9, 9), 9u);
  // A caller sized by a shorter output report still reads whole input reports.
  EXPECT_EQ(ReadBufferLength(3, 65), 65u);
  EXPECT_EQ(ReadBufferLength(65, 9), 65u);
  // Unknown input length (0 or a bad negative value) leaves the caller's length.
  EXPECT_EQ(ReadBufferLength(9, 0), 9u);
  EXPECT_EQ(ReadBufferLength(9, -1), 9u);
  EXPECT_EQ(ReadBufferLength(0, 0), 0u);
}

TEST(StatusOfWait, MapsWaitResults) {
  EXPECT_EQ(StatusOfWait(0, true), ReadStatus::kCompleted);
  // Signalled, but the read itself ended in an error (device removed, read aborted).
  EXPECT_EQ(StatusOfWait(0, false), ReadStatus::kFailed);
  EXPECT_EQ(StatusOfWait(258, false), ReadStatus::kTimedOut);
  EXPECT_EQ(StatusOfWait(258, true), ReadStatus::kTimedOut);
  // WAIT_FAILED and WAIT_ABANDONED are failures, whatever the transfer says.
  EXPECT_EQ(StatusOfWait(0xFFFFFFFF, true), ReadStatus::kFailed);
  EXPECT_EQ(StatusOfWait(0x80, true), ReadStatus::kFailed);
}

TEST(DeliverReport, CopiesOnlyWhatWasTransferredAndWhatFits) {
  const auto own = Bytes({0, 3, 'A', 'B', 'C', 0, 0, 0, 0});

  std::array<std::uint8_t, 9> whole;
  whole.fill(0xEE);
  EXPECT_EQ(DeliverReport(own, 9, whole), 9u);
  EXPECT_EQ(std::vector<std::uint8_t>(whole.begin(), whole.end()), own);

  // A short transfer: the rest of the caller's buffer is left alone.
  std::array<std::uint8_t, 9> partial;
  partial.fill(0xEE);
  EXPECT_EQ(DeliverReport(own, 4, partial), 4u);
  EXPECT_EQ(partial[3], 'B');
  EXPECT_EQ(partial[4], 0xEE);

  // A caller's buffer shorter than the report: cut to its size.
  std::array<std::uint8_t, 3> small;
  small.fill(0xEE);
  EXPECT_EQ(DeliverReport(own, 9, small), 3u);
  EXPECT_EQ(small[2], 'A');

  // A transfer count larger than the own buffer (never trusted): bounded by the buffer.
  std::array<std::uint8_t, 16> large;
  large.fill(0xEE);
  EXPECT_EQ(DeliverReport(own, 1000, large), own.size());
  EXPECT_EQ(large[own.size()], 0xEE);

  EXPECT_EQ(DeliverReport(own, 0, whole), 0u);
}

}  // namespace
}  // namespace tessun::windows_detail
