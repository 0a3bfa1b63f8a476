#include "device/device_link.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "device/console_diagnosis.h"
#include "device/console_protocol.h"
#include "device/simulated/simulated_console.h"
#include "tests/common/core_rig.h"
#include "tests/common/forwarding_port.h"
#include "tests/common/recording_log.h"
#include "tests/common/recording_status.h"

namespace tessun {
namespace {

using console::kProductId;
using console::kVendorId;
using Kind = SimulatedConsole::Call::Kind;
using Bytes = std::vector<std::uint8_t>;

using test::CoreRig;

SimulatedHid OtherDevice(std::string path, std::uint16_t vendor, std::uint16_t product) {
  SimulatedHid hid;
  hid.path = std::move(path);
  hid.attributes = {vendor, product, 1};
  hid.output_report_length = 2;
  hid.input_report_length = 5;
  return hid;
}

Bytes Report(std::initializer_list<int> bytes) {
  Bytes report;
  for (int b : bytes) {
    report.push_back(static_cast<std::uint8_t>(b));
  }
  return report;
}

class DeviceLinkTest : public ::testing::Test {
 protected:
  DeviceLinkTest() = default;

  std::vector<std::string> Paths(Kind kind) const {
    std::vector<std::string> paths;
    for (const auto& call : console.Calls()) {
      if (call.kind == kind) {
        paths.push_back(call.path);
      }
    }
    return paths;
  }

  // One acquisition tick, with no time passing before it.
  void Tick() { rig.core.Tick(); }
  // The data bytes one ReadReports hands back, as text.
  std::string ReadReports() {
    const std::span<const std::uint8_t> bytes = link.ReadReports();
    return std::string(bytes.begin(), bytes.end());
  }

  CoreRig rig;
  ManualClock& clock = rig.clock;
  SimulatedConsole& console = rig.console;
  LineStore& store = rig.core.Store();
  test::RecordingStatus& status = rig.status;
  DeviceLink& link = rig.core.Link();
};

TEST_F(DeviceLinkTest, NoConsoleMeansNotFoundAndEveryMemberClosedAgain) {
  console.AddInterface(OtherDevice("mouse", 0x046D, 0xC077));
  console.AddInterface(OtherDevice("keyboard", kVendorId, 0x0001));  // vendor only
  console.AddInterface(OtherDevice("pad", 0x1234, kProductId));      // product only

  EXPECT_FALSE(link.OpenUsbDevice());

  EXPECT_FALSE(link.DeviceFound);
  EXPECT_EQ(status.Last(), "USB Not Found ");
  EXPECT_EQ(Paths(Kind::kOpen), (std::vector<std::string>{"mouse", "keyboard", "pad"}));
  EXPECT_EQ(Paths(Kind::kClose), Paths(Kind::kOpen));
  EXPECT_EQ(console.OpenHandleCount(), 0);
  EXPECT_TRUE(console.Reports(Kind::kFeature).empty());
}

TEST_F(DeviceLinkTest, ConsoleIsFoundAmongOtherDevicesAndTheSearchStopsThere) {
  console.AddInterface(OtherDevice("mouse", 0x046D, 0xC077));
  console.AddInterface(OtherDevice("keyboard", kVendorId, 0x0001));
  console.AddInterface(SimulatedConsole::Console());
  console.AddInterface(OtherDevice("after", kVendorId, kProductId));

  EXPECT_TRUE(link.OpenUsbDevice());

  EXPECT_TRUE(link.DeviceFound);
  EXPECT_EQ(status.Last(), "USB Connected ");
  EXPECT_EQ(Paths(Kind::kOpen),
            (std::vector<std::string>{"mouse", "keyboard", "sim:console", "sim:console"}));
  EXPECT_EQ(Paths(Kind::kClose), (std::vector<std::string>{"mouse", "keyboard"}));
  EXPECT_EQ(console.OpenHandleCount(), 2);
  EXPECT_NE(link.DeviceHandle, link.ReadHandle);
  EXPECT_EQ(link.DeviceAttributes.VendorID, kVendorId);
  EXPECT_EQ(link.DevicePath, "sim:console");
}

TEST_F(DeviceLinkTest, FailedOpenOrUnreadableAttributesCountAsNoMatch) {
  console.AddInterface(SimulatedConsole::Console());
  console.FailOpens(SimulatedConsole::kConsolePath, 1);
  EXPECT_FALSE(link.OpenUsbDevice());
  EXPECT_EQ(status.Last(), "USB Not Found ");

  console.FailAttributes(SimulatedConsole::kConsolePath, true);
  EXPECT_FALSE(link.OpenUsbDevice());
  EXPECT_EQ(console.OpenHandleCount(), 0);

  console.FailAttributes(SimulatedConsole::kConsolePath, false);
  EXPECT_TRUE(link.OpenUsbDevice());
}

TEST_F(DeviceLinkTest, OpenSendsTheLineConfigurationAndTakesTheOutputReportLength) {
  SimulatedHid hid = SimulatedConsole::Console();
  hid.output_report_length = 12;
  hid.input_report_length = 9;
  console.AddInterface(hid);

  ASSERT_TRUE(link.OpenUsbDevice());

  EXPECT_EQ(link.ReportLength, 12);
  EXPECT_EQ(link.DeviceCaps.OutputReportByteLength, 12);
  EXPECT_EQ(console.Reports(Kind::kFeature),
            (std::vector<Bytes>{Report({0x00, 0x80, 0x25, 0x00, 0x00, 0x03})}));
}

TEST_F(DeviceLinkTest, CloseDeviceClosesBothHandlesOnceAndKeepsDeviceFound) {
  console.AddInterface(SimulatedConsole::Console());
  ASSERT_TRUE(link.OpenUsbDevice());
  const PortHandle device = link.DeviceHandle;
  const PortHandle reads = link.ReadHandle;

  link.CloseDevice();
  link.CloseDevice();

  EXPECT_TRUE(link.DeviceFound);
  EXPECT_EQ(console.OpenHandleCount(), 0);
  std::vector<PortHandle> closed;
  for (const auto& call : console.Calls()) {
    if (call.kind == Kind::kClose) {
      closed.push_back(call.handle);
    }
  }
  EXPECT_EQ(closed, (std::vector<PortHandle>{device, reads}));
}

TEST_F(DeviceLinkTest, FortyCompletedReadsEndTheCallWithCommunicationOk) {
  console.AddInterface(SimulatedConsole::Console());
  ASSERT_TRUE(link.OpenUsbDevice());
  for (int i = 0; i < 45; ++i) {
    console.QueueRawReport(Report({0, 1, 'a' + i % 26, 0, 0, 0, 0, 0, 0}));
  }
  // All 45 sent and queued by the driver.
  clock.Advance(std::chrono::milliseconds(200));

  const std::string bytes = ReadReports();

  EXPECT_EQ(status.Last(), "USB Communication OK");
  EXPECT_EQ(link.LastResult, DeviceLink::kWaitCompleted);
  EXPECT_EQ(bytes.size(), 40u);
  EXPECT_EQ(bytes.substr(0, 3), "abc");
}

// The driver is asked for enough input buffers to keep 0.2 s of reports at one a millisecond,
// as a tick that comes late (or "Get Data"'s pause) leaves them waiting.
TEST_F(DeviceLinkTest, TheInputBuffersKeepEveryReportOfALateTick) {
  console.AddInterface(SimulatedConsole::Console());
  console.SetReportInterval(std::chrono::milliseconds(1));
  console.Print(std::string(2000, 'x'));
  ASSERT_TRUE(link.OpenUsbDevice());
  clock.Advance(std::chrono::milliseconds(199));
  EXPECT_EQ(ReadReports().size(), DeviceLink::kMostBytesPerCall);
  EXPECT_EQ(console.DroppedDataReports(), 0u);
}

// A port that cannot tell whether its driver's queue dropped reports, as on Windows.
class SilentDropsPort : public test::ForwardingPort {
 public:
  using ForwardingPort::ForwardingPort;
  std::optional<DroppedReports> DroppedInputReports(PortHandle) override { return std::nullopt; }
};

// Reports the driver's queue drops are never lost in silence: each tick that saw drops logs how
// many, with data and idle, and the link keeps both totals. The operator hears of lost data once
// per episode (a console printing faster than the ticks read), naming the total; idle reports
// lost are no lost data, and a port that cannot tell never says so.
TEST(DeviceLinkLoss, LostReportsAreLoggedAndLostDataIsNoticedOncePerEpisode) {
  struct Case {
    const char* name;
    std::chrono::microseconds interval;
    bool empty_reports;
    bool port_tells;
    std::size_t printed;  // bytes, twice, with quiet ticks after each
    bool data_lost;
    bool idle_lost;
  };
  const Case cases[] = {
      {"data faster than the ticks", std::chrono::microseconds(1000), false, true, 20000, true,
       false},
      {"idle reports faster than the ticks", std::chrono::microseconds(1000), true, true, 0, false,
       true},
      {"data within the ticks' pace", std::chrono::microseconds(2500), false, true, 2000, false,
       false},
      {"a port that cannot tell", std::chrono::microseconds(1000), false, false, 20000, false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    SimulatedConsole console(clock);
    SilentDropsPort silent(console);
    test::RecordingStatus status;
    test::RecordingLog log;
    DeviceLink link(c.port_tells ? static_cast<DevicePort&>(console) : silent, status, &clock);
    link.SetLog(log);
    console.AddInterface(SimulatedConsole::Console());
    console.SetReportInterval(c.interval, c.empty_reports);
    ASSERT_TRUE(link.OpenUsbDevice());
    for (int episode = 0; episode < 2; ++episode) {
      console.Print(std::string(c.printed, 'x'));
      for (int tick = 0; tick < 40; ++tick) {
        clock.Advance(Acquisition::kTickInterval);
        link.ReadReports();
      }
    }
    std::uint64_t logged = 0;
    std::uint64_t logged_data = 0;
    for (const auto& entry : log.entries) {
      const auto at = entry.message.find(" input reports lost (");
      if (at != std::string::npos) {
        EXPECT_EQ(entry.level, LogLevel::kWarning);
        logged += std::stoull(entry.message.substr(0, at));
        logged_data += std::stoull(entry.message.substr(at + 21));
      }
    }
    EXPECT_EQ(logged, link.InputReportsLost);
    EXPECT_EQ(logged_data, link.DataReportsLost);
    EXPECT_EQ(link.DataReportsLost > 0, c.data_lost) << link.DataReportsLost;
    EXPECT_EQ(link.InputReportsLost - link.DataReportsLost > 0, c.idle_lost);
    EXPECT_EQ(link.DataReportsLost, c.port_tells ? console.DroppedDataReports() : 0);
    EXPECT_EQ(console.DroppedDataReports() > 0, c.data_lost || !c.port_tells);
    // One notice per episode, each naming the total so far.
    if (c.data_lost) {
      ASSERT_EQ(status.data_lost.size(), 2u);
      EXPECT_LT(status.data_lost.front(), status.data_lost.back());
      EXPECT_LE(status.data_lost.back(), link.DataReportsLost);
    } else {
      EXPECT_TRUE(status.data_lost.empty());
    }
  }
}

TEST_F(DeviceLinkTest, CountByteLowBitsGiveTheNumberOfDataBytes) {
  console.AddInterface(SimulatedConsole::Console());
  ASSERT_TRUE(link.OpenUsbDevice());
  console.QueueRawReport(Report({0, 0x03, 'A', 'B', 'C', 'x', 'x', 'x', 'x'}));
  console.QueueRawReport(Report({0, 0x08, 'N', 'O', 'P', 'E', 'x', 'x', 'x'}));
  console.QueueRawReport(Report({0, 0x0F, '1', '2', '3', '4', '5', '6', '7'}));
  clock.Advance(std::chrono::milliseconds(20));

  EXPECT_EQ(ReadReports(), "ABC1234567");
}

TEST_F(DeviceLinkTest, OnlyDeliveredBytesAreTakenWhateverTheCountClaims) {
  SimulatedHid hid = SimulatedConsole::Console();
  // Reads of 5 bytes: room for 3 data bytes.
  hid.output_report_length = 5;
  hid.input_report_length = 5;
  console.AddInterface(hid);
  ASSERT_TRUE(link.OpenUsbDevice());
  console.QueueRawReport(Report({0, 7, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}));  // longer than 5
  console.QueueRawReport(Report({0, 7, 'H'}));                                // short read
  console.QueueRawReport(Report({0}));                                        // no count byte
  clock.Advance(std::chrono::milliseconds(20));

  // Nothing beyond the buffer, and no stale byte of the earlier report after the short one.
  EXPECT_EQ(ReadReports(), "ABCH");
}

// A read that does not complete, whether it times out or its wait fails: the status says which,
// the read is cancelled before both handles are closed, and the next call searches again.
TEST(DeviceLinkReadFaultTest, ReadThatDoesNotCompleteCancelsClosesBothHandlesAndSearchesAgain) {
  struct Case {
    const char* name;
    void (*fault)(SimulatedConsole&);
    std::string status;
    std::uint32_t wait_result;
    std::size_t bytes_kept;              // by the reads that completed before
    std::chrono::milliseconds duration;  // of the read pass
    const char* logged;                  // why the read failed, or nothing
  };
  const Case cases[] = {
      {"silent console",
       [](SimulatedConsole& c) {
         c.SetReportInterval(std::chrono::milliseconds(2), /*empty_reports=*/false);
       },
       "Readfile Timeout ", DeviceLink::kWaitTimeout, 0,
       // The first read waits its whole 500 ms.
       std::chrono::milliseconds(500), nullptr},
      {"failed wait",
       [](SimulatedConsole& c) { c.InjectReadFault(SimulatedConsole::ReadFault::kFailure); },
       "Readfile Undefined Error", DeviceLink::kWaitFailed, 0, std::chrono::milliseconds(0),
       "console 04B4:5500 at sim:console: read sim:console: wait failed; the link searches"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CoreRig fresh;
    test::RecordingLog log;
    DeviceLink& link = fresh.core.Link();
    link.SetLog(log);
    SimulatedConsole& console = fresh.console;
    console.AddInterface(SimulatedConsole::Console());
    ASSERT_TRUE(link.OpenUsbDevice());
    c.fault(console);
    const auto start = fresh.clock.Now();

    const std::size_t bytes_kept = link.ReadReports().size();

    EXPECT_EQ(fresh.status.Last(), c.status);
    EXPECT_EQ(link.LastResult, c.wait_result);
    EXPECT_FALSE(link.DeviceFound);
    EXPECT_EQ(link.DeviceHandle, kNoHandle);
    EXPECT_EQ(link.ReadHandle, kNoHandle);
    EXPECT_EQ(console.OpenHandleCount(), 0);
    EXPECT_EQ(bytes_kept, c.bytes_kept);
    EXPECT_EQ(fresh.clock.Now() - start, c.duration);
    EXPECT_EQ(log.entries.size(), c.logged ? 2u : 1u);  // after "in use"
    if (c.logged) {
      EXPECT_EQ(log.Count(c.logged), 1);
    }
    // The cancel came before the handles were closed.
    const auto& calls = console.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3].kind, Kind::kCancel);
    EXPECT_EQ(calls[calls.size() - 2].kind, Kind::kClose);
    EXPECT_EQ(calls[calls.size() - 1].kind, Kind::kClose);

    console.SetReportInterval(std::chrono::milliseconds(2), /*empty_reports=*/true);
    link.ReadReports();
    EXPECT_TRUE(link.DeviceFound);
    ASSERT_GE(fresh.status.texts.size(), 2u);
    EXPECT_EQ(fresh.status.texts[fresh.status.texts.size() - 2], "USB Connected ");
    EXPECT_EQ(fresh.status.Last(), "USB Communication OK");
  }
}

// A console that cannot be set up counts as not matching: it is closed again, the reason is
// logged, and the next interface with the console's ids is tried; with none usable the status is
// "USB Not Found ". `tessun --diagnose` judges each console by the same rule, with the same
// reason and advice.
TEST(DeviceLinkSetUpTest, AConsoleThatCannotBeSetUpIsSkippedForTheNextOne) {
  struct Case {
    const char* name;
    PortFailure read_open_fails;  // kNone: the read handle opens
    int output_length;
    int input_length;
    const char* logged;  // in the log and in the diagnosis's advice
    const char* step;    // the step that failed, and the port's reason
  };
  const int full = static_cast<int>(console::kReportLength);
  const char* refused = "open for reads: open sim:a: refused";
  const Case cases[] = {
    {"held by another program", PortFailure::kBusy, full, full, "another program holds the console",
     refused},
#if defined(_WIN32)
    {"no permission", PortFailure::kAccessDenied, full, full, "close any other program", refused},
#else
    {"no permission", PortFailure::kAccessDenied, full, full, "70-tessun.rules", refused},
#endif
    {"no output report", PortFailure::kNone, 0, full, "too short", "capabilities"},
    {"input report without data bytes", PortFailure::kNone, full, 2, "too short", "capabilities"},
  };
  for (const Case& c : cases) {
    for (const bool second_console : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (second_console ? ", a second console" : ", alone"));
      const auto plug = [&](SimulatedConsole& port) {
        SimulatedHid a = SimulatedConsole::Console();
        a.path = "sim:a";
        a.output_report_length = c.output_length;
        a.input_report_length = c.input_length;
        port.AddInterface(a);
        if (c.read_open_fails != PortFailure::kNone) {
          port.FailOpens("sim:a", 1, "refused", OpenMode::kForReads, c.read_open_fails);
        }
        if (second_console) {
          SimulatedHid b = SimulatedConsole::Console();
          b.path = "sim:b";
          port.AddInterface(b);
        }
      };
      CoreRig rig;
      test::RecordingLog log;
      DeviceLink& link = rig.core.Link();
      link.SetLog(log);
      plug(rig.console);

      EXPECT_EQ(link.OpenUsbDevice(), second_console);
      EXPECT_EQ(rig.status.Last(), second_console ? "USB Connected " : "USB Not Found ");
      EXPECT_EQ(rig.console.OpenHandleCount(), second_console ? 2 : 0);
      if (second_console) {
        EXPECT_EQ(link.DevicePath, "sim:b");
      }
      ASSERT_FALSE(log.entries.empty());
      EXPECT_EQ(log.entries.front().level, LogLevel::kWarning);
      EXPECT_EQ(log.Count(c.logged), 1);
      EXPECT_EQ(log.Count("sim:a cannot be used (" + std::string(c.step)), 1);

      SimulatedConsole diagnosed(rig.clock);
      plug(diagnosed);
      std::string said;
      EXPECT_EQ(RunDiagnosis(diagnosed, {}, [&](const Diagnosis& d) { said = d.text; }),
                second_console ? 0 : 1);
      EXPECT_NE(said.find("usable: no (" + std::string(c.step)), std::string::npos) << said;
      EXPECT_NE(said.find(c.logged, said.find("  advice: ")), std::string::npos) << said;
      EXPECT_NE(said.find(second_console ? "2 consoles found, 1 usable" : "1 console found, 0"),
                std::string::npos)
          << said;
    }
  }
}

// A console whose set-up failed is left out of the searches for 5 seconds, so a console that
// keeps failing costs the ticks nothing most of the time; its reason is logged once, and that it
// works again once more.
TEST(DeviceLinkSetUpTest, AFailedConsoleIsBackedOffAndItsReasonLoggedOnce) {
  CoreRig rig;
  test::RecordingLog log;
  DeviceLink& link = rig.core.Link();
  link.SetLog(log);
  rig.console.AddInterface(SimulatedConsole::Console());
  const std::string path(SimulatedConsole::kConsolePath);
  rig.console.FailOpens(path, 3, "no answer", OpenMode::kForReads, PortFailure::kNoAnswer);
  const auto opens = [&] {
    return std::count_if(rig.console.Calls().begin(), rig.console.Calls().end(),
                         [](const auto& call) { return call.kind == Kind::kOpen; });
  };

  const auto back_off = std::chrono::seconds(5);
  EXPECT_FALSE(link.OpenUsbDevice());
  const auto after_first = opens();
  rig.clock.Advance(back_off - std::chrono::milliseconds(1));
  EXPECT_FALSE(link.OpenUsbDevice());
  EXPECT_EQ(opens(), after_first) << "tried again within the back-off";
  rig.clock.Advance(std::chrono::milliseconds(1));
  EXPECT_FALSE(link.OpenUsbDevice());
  EXPECT_GT(opens(), after_first);
  EXPECT_EQ(log.Count("does not answer"), 1);

  rig.clock.Advance(back_off);
  EXPECT_FALSE(link.OpenUsbDevice());
  rig.clock.Advance(back_off);
  EXPECT_TRUE(link.OpenUsbDevice());
  EXPECT_EQ(log.Count("does not answer"), 1);
  EXPECT_EQ(log.Count("in use"), 1);
}

// Once a tick has its first report it takes only those already queued: with the console sending
// a report every 7.3 ms, a tick 100 ms after the last takes what came meanwhile and lets no
// virtual time pass.
TEST_F(DeviceLinkTest, AfterItsFirstReportATickTakesOnlyQueuedReports) {
  console.AddInterface(SimulatedConsole::Console());
  console.SetReportInterval(std::chrono::microseconds(7300));
  ASSERT_TRUE(link.OpenUsbDevice());
  console.Print(std::string(200, 'x'));
  clock.Advance(std::chrono::milliseconds(100));
  const auto start = clock.Now();

  const std::string bytes = ReadReports();

  EXPECT_EQ(clock.Now(), start);
  EXPECT_EQ(status.Last(), "USB Communication OK");
  // 13 reports of 7 bytes came in 100 ms.
  EXPECT_EQ(bytes.size(), 13u * 7u);
}

// `tessun --diagnose` over the port: no console, a usable one (one that cannot be used: see
// above).
TEST(ConsoleDiagnosisTest, SaysWhatItFindsAndExitsZeroOnlyWithAUsableConsole) {
  struct Case {
    const char* name;
    bool console;
    int exit_code;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"no console", false, 1, {"no console 04B4:5500 found"}},
      {"usable console",
       true,
       0,
       {"console 04B4:5500 at sim:console", "input 9 bytes, output 9 bytes", "usable: yes",
        "1 console found, 1 usable"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    SimulatedConsole port(clock);
    port.AddInterface(OtherDevice("mouse", 0x046D, 0xC077));
    if (c.console) {
      port.AddInterface(SimulatedConsole::Console());
    }
    std::string said;
    EXPECT_EQ(RunDiagnosis(port, {}, [&](const Diagnosis& d) { said = d.text; }), c.exit_code);
    for (const std::string& part : c.said) {
      EXPECT_NE(said.find(part), std::string::npos) << part << "\n" << said;
    }
    EXPECT_EQ(port.OpenHandleCount(), 0);
  }
}

TEST_F(DeviceLinkTest, WithoutTheDeviceReadReportsAndSendCommandOnlyReportNotFound) {
  EXPECT_EQ(ReadReports(), "");
  EXPECT_EQ(status.Last(), "USB Not Found ");
  link.SendCommand(kGetDataCommand);
  EXPECT_EQ(status.Last(), "USB Not Found ");
  EXPECT_TRUE(console.Calls().empty());
}

TEST_F(DeviceLinkTest, SendCommandWritesOneOutputReportOfReportLength) {
  console.AddInterface(SimulatedConsole::Console());
  link.SendCommand(kGetDataCommand);  // opens the device first

  EXPECT_TRUE(link.DeviceFound);
  EXPECT_EQ(console.Reports(Kind::kOutput),
            (std::vector<Bytes>{Report({0x00, 0x01, 0x8D, 0, 0, 0, 0, 0, 0})}));
}

TEST_F(DeviceLinkTest, LastResultIsTheWaitResultOfTheLastReadOnly) {
  console.AddInterface(SimulatedConsole::Console());
  ASSERT_TRUE(link.OpenUsbDevice());
  console.InjectReadFault(SimulatedConsole::ReadFault::kTimeout);
  link.ReadReports();  // closes the device
  ASSERT_EQ(link.LastResult, DeviceLink::kWaitTimeout);

  // Neither a write that succeeds, nor one that fails, nor a close changes it.
  link.SendCommand(kGetDataCommand);
  ASSERT_EQ(console.Reports(Kind::kOutput).size(), 1u);
  EXPECT_EQ(link.LastResult, DeviceLink::kWaitTimeout);
  console.Unplug(SimulatedConsole::kConsolePath);
  link.SendCommand(kGetDataCommand);
  EXPECT_EQ(console.Reports(Kind::kOutput).size(), 1u) << "the write to a gone console failed";
  EXPECT_EQ(link.LastResult, DeviceLink::kWaitTimeout);
  link.CloseDevice();
  EXPECT_EQ(link.LastResult, DeviceLink::kWaitTimeout);
}

TEST_F(DeviceLinkTest, ReportTooShortForACommandIsNotWritten) {
  SimulatedHid hid = SimulatedConsole::Console();
  hid.output_report_length = 2;
  console.AddInterface(hid);
  ASSERT_TRUE(link.OpenUsbDevice());
  link.SendCommand(kGetDataCommand);
  EXPECT_TRUE(console.Reports(Kind::kOutput).empty());
}

TEST_F(DeviceLinkTest, GetDataBringsTheStoredPrintoutIntoTheLines) {
  console.AddInterface(OtherDevice("mouse", 0x046D, 0xC077));
  console.AddInterface(SimulatedConsole::Console());
  const std::string printout = "Event 1  Heat 2\r\nLane 3  1:02.34\r\n\tdone\n";
  console.SetStoredData(Bytes(printout.begin(), printout.end()));
  ASSERT_TRUE(link.OpenUsbDevice());

  link.SendCommand(kGetDataCommand);
  for (int i = 0; i < 5; ++i) {
    clock.Advance(std::chrono::milliseconds(100));
    Tick();
  }

  EXPECT_EQ(store.LineIndex, 3);
  EXPECT_EQ(store.Lines[0], "Event 1  Heat 2");
  EXPECT_EQ(store.Lines[1], "Lane 3  1:02.34");
  EXPECT_EQ(store.Lines[2], "done");
  EXPECT_EQ(store.Lines[3], "");
  EXPECT_EQ(status.Last(), "USB Communication OK");
}

TEST_F(DeviceLinkTest, UnplugEndsInAFailedReadAndReplugBringsTheLinkBack) {
  console.AddInterface(SimulatedConsole::Console());
  ASSERT_TRUE(link.OpenUsbDevice());
  console.Print("before\n");
  Tick();
  EXPECT_EQ(store.Lines[0], "before");

  console.Unplug(SimulatedConsole::kConsolePath);
  Tick();
  EXPECT_EQ(status.Last(), "Readfile Undefined Error");
  EXPECT_FALSE(link.DeviceFound);
  EXPECT_EQ(console.OpenHandleCount(), 0);

  Tick();
  EXPECT_EQ(status.Last(), "USB Not Found ");

  console.Plug(SimulatedConsole::kConsolePath);
  console.Print("after\n");
  Tick();
  EXPECT_TRUE(link.DeviceFound);
  EXPECT_EQ(status.Last(), "USB Communication OK");
  EXPECT_EQ(store.Lines[1], "after");
}

TEST_F(DeviceLinkTest, NoHandleIsLeftOpenAfterAnySequenceOfEvents) {
  console.AddInterface(OtherDevice("mouse", 0x046D, 0xC077));
  console.AddInterface(SimulatedConsole::Console());
  console.SetStoredData(Bytes(100, 'x'));
  std::mt19937 random(12345);
  for (int step = 0; step < 3000; ++step) {
    switch (random() % 9) {
      case 0:
        console.Unplug(SimulatedConsole::kConsolePath);
        break;
      case 1:
        console.Plug(SimulatedConsole::kConsolePath);
        break;
      case 2:
        console.FailOpens(SimulatedConsole::kConsolePath, 1);
        break;
      case 3:
        console.FailAttributes(SimulatedConsole::kConsolePath, random() % 2 == 0);
        break;
      case 4:
        console.InjectReadFault(SimulatedConsole::ReadFault::kTimeout);
        break;
      case 5:
        console.InjectReadFault(SimulatedConsole::ReadFault::kFailure);
        break;
      case 6:
        link.SendCommand(kGetDataCommand);
        break;
      default:
        Tick();
        break;
    }
    clock.Advance(std::chrono::milliseconds(random() % 200));
    // Open handles are exactly the link's own: two while it is open, none otherwise.
    const int expected = (link.DeviceHandle != kNoHandle) + (link.ReadHandle != kNoHandle);
    ASSERT_EQ(console.OpenHandleCount(), expected) << "step " << step;
    ASSERT_TRUE(expected == 0 || expected == 2) << "step " << step;
    ASSERT_EQ(link.DeviceFound, expected == 2) << "step " << step;
  }
  link.CloseDevice();
  EXPECT_EQ(console.OpenHandleCount(), 0);
}

}  // namespace
}  // namespace tessun
