// The simulated console stands in for the hardware in every other test, so its timing, its
// driver queue and the reasons it gives for its failures must behave as the tests assume.
#include "device/simulated/simulated_console.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/console_protocol.h"
#include "tests/common/forwarding_port.h"

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
    device =
        console.Open(std::string(SimulatedConsole::kConsolePath), OpenMode::kSynchronous).value;
    reads = console.Open(std::string(SimulatedConsole::kConsolePath), OpenMode::kForReads).value;
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
  ASSERT_EQ(console.WriteReport(device, Command(console::kGetDataCommand)).text, "");
  ASSERT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(buffer[kCountByte], kMaxDataBytes);
  EXPECT_EQ(Data(), "0123456");
  ASSERT_EQ(Read().status, ReadStatus::kCompleted);
  EXPECT_EQ(Data(), "78");
}

TEST_F(SimulatedConsoleTest, WrongLengthOrOtherCommandsSendNothing) {
  console.SetStoredData({'x'});
  const Report command = Command(console::kGetDataCommand);
  EXPECT_TRUE(console.WriteReport(device, std::span(command).first(kFirstDataByte + 1)));
  EXPECT_EQ(
      console.WriteReport(device, Command(static_cast<std::uint8_t>(console::kGetDataCommand - 1)))
          .text,
      "");
  EXPECT_EQ(console.PendingBytes(), 0u);
}

TEST_F(SimulatedConsoleTest, DriverQueueKeepsTheNewestReportsUpToItsSize) {
  console.SetReportInterval(milliseconds(1));
  ASSERT_EQ(console.SetNumInputBuffers(device, 200).text, "");
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

// A time-out is no failure: the read carries no error.
TEST_F(SimulatedConsoleTest, SilentConsoleTimesOutAfterTheWholeWait) {
  console.SetReportInterval(milliseconds(2), /*empty_reports=*/false);
  const auto start = clock.Now();
  const ReadResult read = Read();
  EXPECT_EQ(read.status, ReadStatus::kTimedOut);
  EXPECT_FALSE(read.error);
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
  EXPECT_TRUE(console.ListHidInterfaces().value.empty());
  console.Plug(SimulatedConsole::kConsolePath);
  EXPECT_EQ(Read().status, ReadStatus::kFailed);
  EXPECT_TRUE(console.GetAttributes(device).error);
  EXPECT_EQ(console.Close(device).text, "");
  EXPECT_EQ(console.Close(reads).text, "");
  EXPECT_TRUE(console.Close(reads));
  EXPECT_EQ(console.OpenHandleCount(), 0);
}

// Every call that fails carries its failure: the kind and the text saying what failed and why.
// The same holds through a forwarding double, which the other tests put in front of the console.
TEST(SimulatedConsoleErrorTest, EachFailingCallCarriesItsKindAndText) {
  struct Rig {
    DevicePort& port;
    SimulatedConsole& console;
    PortHandle device;
    PortHandle reads;
  };
  struct Case {
    const char* name;
    std::function<PortError(Rig&)> failing;
    PortFailure kind;
    std::string text;
  };
  const std::string path(SimulatedConsole::kConsolePath);
  Report buffer{};
  const Report command = Command(console::kGetDataCommand);
  // An open that fails gives no handle.
  const auto open_fails = [](Rig& x, const std::string& at, OpenMode mode) {
    const PortResult<PortHandle> opened = x.port.Open(at, mode);
    EXPECT_EQ(opened.value, kNoHandle);
    return opened.error;
  };
  // A read that fails says so in its status too.
  const auto read_fails = [&](Rig& x, PortHandle handle) {
    const ReadResult read = x.port.ReadReport(handle, buffer, milliseconds(500));
    EXPECT_EQ(read.status, ReadStatus::kFailed);
    return read.error;
  };
  const Case cases[] = {
      {"absent path", [&](Rig& x) { return open_fails(x, "sim:nothing", OpenMode::kSynchronous); },
       PortFailure::kNotPresent, "open sim:nothing: not present"},
      {"unplugged path",
       [&](Rig& x) {
         x.console.Unplug(path);
         return open_fails(x, path, OpenMode::kSynchronous);
       },
       PortFailure::kNotPresent, "open sim:console: not present"},
      {"injected open failure",
       [&](Rig& x) {
         x.console.FailOpens(path, 1, "busy", std::nullopt, PortFailure::kBusy);
         return open_fails(x, path, OpenMode::kForReads);
       },
       PortFailure::kBusy, "open sim:console: busy"},
      {"injected open failure, default reason",
       [&](Rig& x) {
         x.console.FailOpens(path, 1);
         return open_fails(x, path, OpenMode::kSynchronous);
       },
       PortFailure::kAccessDenied, "open sim:console: access denied"},
      {"unreadable attributes",
       [&](Rig& x) {
         x.console.FailAttributes(path, true);
         const PortResult<HidAttributes> attributes = x.port.GetAttributes(x.device);
         EXPECT_EQ(attributes.value.VendorID, 0);
         return attributes.error;
       },
       PortFailure::kOther, "attributes sim:console: unreadable"},
      {"closed handle",
       [](Rig& x) {
         EXPECT_EQ(x.port.Close(x.device).text, "");
         return x.port.Close(x.device);
       },
       PortFailure::kOther, "close: not an open handle"},
      {"refused input buffer count", [](Rig& x) { return x.port.SetNumInputBuffers(x.device, 1); },
       PortFailure::kOther, "input buffers sim:console: count 1 refused"},
      {"write of the wrong length",
       [&](Rig& x) { return x.port.WriteReport(x.device, std::span(command).first(3)); },
       PortFailure::kOther,
       "output report sim:console: 3 bytes, the device takes " + std::to_string(kReportLength)},
      {"write on the read handle", [&](Rig& x) { return x.port.WriteReport(x.reads, command); },
       PortFailure::kOther, "output report sim:console: open for reads only"},
      {"feature report on no handle",
       [](Rig& x) { return x.port.SetFeature(kNoHandle, console::kLineConfiguration); },
       PortFailure::kOther, "feature report: not an open handle"},
      {"read on the synchronous handle", [&](Rig& x) { return read_fails(x, x.device); },
       PortFailure::kOther, "read sim:console: not open for reads"},
      {"injected wait failure",
       [&](Rig& x) {
         x.console.InjectReadFault(SimulatedConsole::ReadFault::kFailure);
         return read_fails(x, x.reads);
       },
       PortFailure::kOther, "read sim:console: wait failed"},
      {"device unplugged under its handle",
       [&](Rig& x) {
         x.console.Unplug(path);
         const PortResult<std::optional<int>> output = x.port.OutputReportLength(x.device);
         EXPECT_EQ(output.value, std::nullopt);
         return output.error;
       },
       PortFailure::kNotPresent, "capabilities sim:console: device gone"},
  };
  for (const bool forwarded : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (forwarded ? ", forwarded" : ""));
      ManualClock clock;
      SimulatedConsole console(clock);
      console.AddInterface(SimulatedConsole::Console());
      test::ForwardingPort forwarding(console);
      DevicePort& port = forwarded ? static_cast<DevicePort&>(forwarding) : console;
      Rig rig{port, console, port.Open(path, OpenMode::kSynchronous).value,
              port.Open(path, OpenMode::kForReads).value};
      ASSERT_NE(rig.reads, kNoHandle);

      const PortError error = c.failing(rig);
      EXPECT_TRUE(error);
      EXPECT_EQ(error.kind, c.kind);
      EXPECT_EQ(error.text, c.text);
    }
  }
}

}  // namespace
}  // namespace tessun
