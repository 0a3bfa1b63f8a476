#include "device/windows/windows_port_detail.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
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

// The path is the text from the offset up to the first zero byte, never read past the buffer,
// with bytes above ASCII kept as they are.
TEST(DevicePathFromDetail, TakesTheTextFromTheOffsetUpToTheFirstZeroWithinTheBuffer) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> detail;
    std::size_t offset;
    std::string path;
  };
  const std::vector<std::uint8_t> unterminated = Bytes({5, 0, 0, 0, 'a', 'b', 'c'});
  const Case cases[] = {
      // cbSize 8 (a 64-bit program), the path, a zero, and leftovers from the system.
      {"a filled-in record",
       Bytes({8, 0, 0, 0, '\\', '\\', '?', '\\', 'h', 'i', 'd', '#', 'a', 0, 'x', 'y'}), 4,
       "\\\\?\\hid#a"},
      {"no zero byte at all", unterminated, 4, "abc"},
      {"offset at the end", unterminated, unterminated.size(), ""},
      {"offset past the end", unterminated, 100, ""},
      {"shorter than the size field", Bytes({5, 0}), 4, ""},
      {"an empty path", Bytes({5, 0, 0, 0, 0, 'z'}), 4, ""},
      {"bytes above ASCII", Bytes({5, 0, 0, 0, 0xE9, 'x', 0}), 4, "\xE9x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DevicePathFromDetail(c.detail, c.offset), c.path) << c.name;
  }
}

// System messages become one line that reads well after a colon.
TEST(TidySystemMessage, DropsTheFullStopAndLineBreaksAndNamesAnEmptyMessageByItsCode) {
  struct Case {
    std::string_view message;
    std::uint32_t code;
    std::string tidy;
  };
  const Case cases[] = {
      {"Access is denied.\r\n", 5, "Access is denied"},
      {"The system cannot find the file specified.\r\n", 2,
       "The system cannot find the file specified"},
      {"File not found.\n", 2, "File not found"},
      {"Two lines.\r\nOf text.\r\n", 31, "Two lines. Of text"},
      {"No full stop", 1, "No full stop"},
      {"", 1167, "error 1167"},
      {" .\r\n", 87, "error 87"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TidySystemMessage(c.message, c.code), c.tidy) << c.message;
  }
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
