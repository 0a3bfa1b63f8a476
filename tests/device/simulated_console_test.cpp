// The simulated console stands in for the hardware in every other test, so its timing and its
// driver queue must behave as the tests assume.
#include "device/simulated/simulated_console.h"

#include <gtest/gtest.h>

#include <array>

namespace tessun {
namespace {

using std::chrono::milliseconds;

class SimulatedConsoleTest : public ::testing::Test {
 protected:
  SimulatedConsoleTest() : console(clock) {
    console.AddInterface(SimulatedConsole::Console());
    device = console.Open(std::string(SimulatedConsole::kConsolePath), OpenMode::kSynchronous);
    reads = console.Open(std::string(SimulatedConsole::kConsolePath), OpenMode::kForReads);
  }

  ReadResult Read() { return console.ReadReport(reads, buffer, milliseconds(500)); }

  ManualClock clock;
  SimulatedConsole console;
  PortHandle device = kNoHandle;
  PortHandle reads = kNoHandle;
  std::array<std::uint8_t, 9> buffer{};
};

TEST_F(SimulatedConsoleTest, IdleConsoleSendsEmptyReportsAtItsInterval) {
  console.SetReportInterval(milliseconds(4));
  const auto start = clock.Now();
  for (int i = 0; i < 3; ++i) {
    const ReadResult result = Read();
    ASSERT_EQ(result.status, ReadStatus::kCompleted);
    EXPECT_EQ(result.bytes, 9u);
    EXPECT_EQ(buffer[1], 0);
  }
  EXPECT_EQ(clock.Now() - start, milliseconds(12));
}

TEST_F(SimulatedConsoleTest, DataCommandSendsStoredDataSevenBytesAtATime) {
  console.SetStoredData({'0', '1', '2', '3', '4', '5', '6', '7', '8'});
  const std::array<std::uint8_t, 9> command{0, 1, 141, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(console.WriteReport(device, command));
  ASSERT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(buffer[1], 7);
  EXPECT_EQ(buffer[2], '0');
  EXPECT_EQ(buffer[8], '6');
  ASSERT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(buffer[1], 2);
  EXPECT_EQ(buffer[3], '8');
}

TEST_F(SimulatedConsoleTest, WrongLengthOrOtherCommandsSendNothing) {
  console.SetStoredData({'x'});
  const std::array<std::uint8_t, 3> short_command{0, 1, 141};
  EXPECT_FALSE(console.WriteReport(device, short_command));
  const std::array<std::uint8_t, 9> other{0, 1, 140, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(console.WriteReport(device, other));
  EXPECT_EQ(console.PendingBytes(), 0u);
}

TEST_F(SimulatedConsoleTest, DriverQueueKeepsTheNewestReportsUpToItsSize) {
  console.SetReportInterval(milliseconds(1));
  ASSERT_TRUE(console.SetNumInputBuffers(device, 200));
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += static_cast<char>('a' + i % 26);
  }
  console.Print(text);
  clock.Advance(milliseconds(1000));  // 1000 reports were due; nobody read them
  ASSERT_EQ(Read().status, ReadStatus::kCompleted);
  // 300 bytes made 43 data reports; the queue keeps the newest 200 reports, all empty.
  EXPECT_EQ(buffer[1], 0);
  EXPECT_EQ(console.DroppedDataReports(), 43u);
}

TEST_F(SimulatedConsoleTest, LineRateLimitsTheBytesPerReport) {
  console.SetReportInterval(milliseconds(2));
  console.SetLineRate(1000);  // two bytes per 2 ms report
  console.Print("abcdef");
  std::string received;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Read().status, ReadStatus::kCompleted);
    received.append(buffer.begin() + 2, buffer.begin() + 2 + buffer[1]);
  }
  EXPECT_EQ(received, "abcdef");
}

TEST_F(SimulatedConsoleTest, SilentConsoleTimesOutAfterTheWholeWait) {
  console.SetReportInterval(milliseconds(2), /*empty_reports=*/false);
  const auto start = clock.Now();
  EXPECT_EQ(Read().status, ReadStatus::kTimedOut);
  EXPECT_EQ(clock.Now() - start, milliseconds(500));
}

TEST_F(SimulatedConsoleTest, LiveLinesArePrintedOnTime) {
  console.SetReportInterval(milliseconds(5), /*empty_reports=*/false);
  console.SetLiveLines({"L1\n", "L2\n"}, milliseconds(300));
  const auto start = clock.Now();
  EXPECT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(clock.Now() - start, milliseconds(300));
  EXPECT_EQ(std::string(buffer.begin() + 2, buffer.begin() + 5), "L1\n");
  EXPECT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(clock.Now() - start, milliseconds(600));
  EXPECT_EQ(std::string(buffer.begin() + 2, buffer.begin() + 5), "L2\n");
  EXPECT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(std::string(buffer.begin() + 2, buffer.begin() + 5), "L1\n");
}

TEST_F(SimulatedConsoleTest, HandlesFromBeforeAnUnplugStayDeadAfterReplug) {
  console.Unplug(SimulatedConsole::kConsolePath);
  EXPECT_EQ(Read().status, ReadStatus::kFailed);
  EXPECT_TRUE(console.ListHidInterfaces().empty());
  console.Plug(SimulatedConsole::kConsolePath);
  EXPECT_EQ(Read().status, ReadStatus::kFailed);
  HidAttributes attributes;
  EXPECT_FALSE(console.GetAttributes(device, attributes));
  EXPECT_TRUE(console.Close(device));
  EXPECT_TRUE(console.Close(reads));
  EXPECT_FALSE(console.Close(reads));
  EXPECT_EQ(console.OpenHandleCount(), 0);
}

}  // namespace
}  // namespace tessun
