// The simulated console stands in for the hardware in every other test, so its timing, its
// driver queue and the reasons it gives for its failures must behave as the tests assume.
#include "device/simulated/simulated_console.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "device/console_protocol.h"

namespace tessun {
namespace {

using console::kCountByte;
using console::kFirstDataByte;
using console::kMaxDataBytes;
using console::kReportLength;
using std::chrono::milliseconds;
using Report = std::array<std::uint8_t, kReportLength>;

// An output report with one command byte, framed as the console expects it.
Report Command(std::uint8_t command) {
  Report report{};
  report[kCountByte] = 1;
  report[kFirstDataByte] = command;
  return report;
}

class SimulatedConsoleTest : public ::testing::Test {
 protected:
  SimulatedConsoleTest() : console(clock) {
    console.AddInterface(SimulatedConsole::Console());
    device = console.Open(std::string(SimulatedConsole::kConsolePath), OpenMode::kSynchronous);
    reads = console.Open(std::string(SimulatedConsole::kConsolePath), OpenMode::kForReads);
  }

  ReadResult Read() { return console.ReadReport(reads, buffer, milliseconds(500)); }
  // The data bytes of the report read last.
  std::string Data() const {
    const auto first = buffer.begin() + kFirstDataByte;
    return std::string(first, first + buffer[kCountByte]);
  }

  ManualClock clock;
  SimulatedConsole console;
  PortHandle device = kNoHandle;
  PortHandle reads = kNoHandle;
  Report buffer{};
};

TEST_F(SimulatedConsoleTest, IdleConsoleSendsEmptyReportsAtItsInterval) {
  console.SetReportInterval(milliseconds(4));
  const auto start = clock.Now();
  for (int i = 0; i < 3; ++i) {
    const ReadResult result = Read();
    ASSERT_EQ(result.status, ReadStatus::kCompleted);
    EXPECT_EQ(result.bytes, kReportLength);
    EXPECT_EQ(buffer[kCountByte], 0);
  }
  EXPECT_EQ(clock.Now() - start, milliseconds(12));
}

TEST_F(SimulatedConsoleTest, DataCommandSendsStoredDataAReportAtATime) {
  console.SetStoredData({'0', '1', '2', '3', '4', '5', '6', '7', '8'});
  ASSERT_TRUE(console.WriteReport(device, Command(console::kGetDataCommand)));
  ASSERT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(buffer[kCountByte], kMaxDataBytes);
  EXPECT_EQ(Data(), "0123456");
  ASSERT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(Data(), "78");
}

TEST_F(SimulatedConsoleTest, WrongLengthOrOtherCommandsSendNothing) {
  console.SetStoredData({'x'});
  const Report command = Command(console::kGetDataCommand);
  EXPECT_FALSE(console.WriteReport(device, std::span(command).first(kFirstDataByte + 1)));
  EXPECT_TRUE(console.WriteReport(
      device, Command(static_cast<std::uint8_t>(console::kGetDataCommand - 1))));
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
  EXPECT_EQ(buffer[kCountByte], 0);
  EXPECT_EQ(console.DroppedDataReports(), 43u);
}

TEST_F(SimulatedConsoleTest, LineRateLimitsTheBytesPerReport) {
  console.SetReportInterval(milliseconds(2));
  console.SetLineRate(1000);  // two bytes per 2 ms report
  console.Print("abcdef");
  std::string received;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Read().status, ReadStatus::kCompleted);
    EXPECT_EQ(buffer[kCountByte], 2);
    received += Data();
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
  EXPECT_EQ(Data(), "L1\n");
  EXPECT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(clock.Now() - start, milliseconds(600));
  EXPECT_EQ(Data(), "L2\n");
  EXPECT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(Data(), "L1\n");
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

// Every failure says what failed and why; the next operation that succeeds empties the reason.
TEST(SimulatedConsoleErrorTest, FailuresTellTheirReasonUntilTheNextSuccess) {
  using Step = std::function<bool(SimulatedConsole&, PortHandle device, PortHandle reads)>;
  struct Case {
    const char* name;
    Step failing;  // returns whether the operation reported its failure
    std::string reason;
  };
  const std::string path(SimulatedConsole::kConsolePath);
  HidAttributes attributes;
  Report buffer{};
  const std::string length = std::to_string(kReportLength);
  const Report command = Command(console::kGetDataCommand);
  const Case cases[] = {
      {"absent path",
       [](SimulatedConsole& c, PortHandle, PortHandle) {
         return c.Open("sim:nothing", OpenMode::kSynchronous) == kNoHandle;
       },
       "open sim:nothing: not present"},
      {"unplugged path",
       [&](SimulatedConsole& c, PortHandle, PortHandle) {
         c.Unplug(path);
         return c.Open(path, OpenMode::kSynchronous) == kNoHandle;
       },
       "open sim:console: not present"},
      {"injected open failure",
       [&](SimulatedConsole& c, PortHandle, PortHandle) {
         c.FailOpens(path, 1, "busy");
         return c.Open(path, OpenMode::kForReads) == kNoHandle;
       },
       "open sim:console: busy"},
      {"injected open failure, default reason",
       [&](SimulatedConsole& c, PortHandle, PortHandle) {
         c.FailOpens(path, 1);
         return c.Open(path, OpenMode::kSynchronous) == kNoHandle;
       },
       "open sim:console: access denied"},
      {"unreadable attributes",
       [&](SimulatedConsole& c, PortHandle d, PortHandle) {
         c.FailAttributes(path, true);
         return !c.GetAttributes(d, attributes);
       },
       "attributes sim:console: unreadable"},
      {"closed handle",
       [](SimulatedConsole& c, PortHandle d, PortHandle) { return c.Close(d) && !c.Close(d); },
       "close: not an open handle"},
      {"refused input buffer count",
       [](SimulatedConsole& c, PortHandle d, PortHandle) { return !c.SetNumInputBuffers(d, 1); },
       "input buffers sim:console: count 1 refused"},
      {"write of the wrong length",
       [&](SimulatedConsole& c, PortHandle d, PortHandle) {
         return !c.WriteReport(d, std::span(command).first(3));
       },
       "output report sim:console: 3 bytes, the device takes " + length},
      {"write on the read handle",
       [&](SimulatedConsole& c, PortHandle, PortHandle r) { return !c.WriteReport(r, command); },
       "output report sim:console: open for reads only"},
      {"read on the synchronous handle",
       [&](SimulatedConsole& c, PortHandle d, PortHandle) {
         return c.ReadReport(d, buffer, milliseconds(500)).status == ReadStatus::kFailed;
       },
       "read sim:console: not open for reads"},
      {"injected wait failure",
       [&](SimulatedConsole& c, PortHandle, PortHandle r) {
         c.InjectReadFault(SimulatedConsole::ReadFault::kFailure);
         return c.ReadReport(r, buffer, milliseconds(500)).status == ReadStatus::kFailed;
       },
       "read sim:console: wait failed"},
      {"device unplugged under its handle",
       [&](SimulatedConsole& c, PortHandle d, PortHandle) {
         c.Unplug(path);
         return c.OutputReportLength(d) == 0;
       },
       "capabilities sim:console: device gone"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    SimulatedConsole fresh(clock);
    fresh.AddInterface(SimulatedConsole::Console());
    const PortHandle d = fresh.Open(path, OpenMode::kSynchronous);
    const PortHandle r = fresh.Open(path, OpenMode::kForReads);
    ASSERT_EQ(fresh.LastError(), "");

    ASSERT_TRUE(c.failing(fresh, d, r));
    EXPECT_EQ(fresh.LastError(), c.reason);
    EXPECT_EQ(fresh.LastError(), c.reason) << "reading the reason changes nothing";
    fresh.ListHidInterfaces();
    EXPECT_EQ(fresh.LastError(), "");
  }
}

TEST_F(SimulatedConsoleTest, ATimedOutReadIsNoFailure) {
  console.SetReportInterval(milliseconds(2), /*empty_reports=*/false);
  console.Close(12345);
  ASSERT_NE(console.LastError(), "");
  EXPECT_EQ(Read().status, ReadStatus::kTimedOut);
  EXPECT_EQ(console.LastError(), "");
}

}  // namespace
}  // namespace tessun
