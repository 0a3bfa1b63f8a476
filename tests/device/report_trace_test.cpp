// The report trace: what the link saw, written down and read back, and replayed through the core
// so that a replayed run gives the lines and the data file of the traced one.
#include "device/report_trace.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/acquisition.h"
#include "datafile/data_file.h"
#include "device/console_raw_facts.h"
#include "device/simulated/simulated_console.h"
#include "device/simulated/trace_replay.h"
#include "tests/common/forwarding_port.h"
#include "tests/common/recording_log.h"
#include "tests/common/recording_status.h"
#include "tests/common/timing_printout.h"
#include "tests/common/trace_fixture.h"
#include "tests/common/traced_core.h"

namespace tessun {
namespace {

using std::chrono::milliseconds;

// The traced core, ticking in virtual time.
struct TracedCore : test::TracedCore {
  TracedCore(DevicePort& port, ManualClock& clock) : test::TracedCore(port, clock), clock(clock) {}
  void Tick(int ticks = 1) {
    for (int i = 0; i < ticks; ++i) {
      clock.Advance(Acquisition::kTickInterval);
      core.Tick();
    }
  }
  std::string DataFile() const {
    return FormatDataFile(test::kTraceFixtureFileName, test::kTraceFixtureDate,
                          test::kTraceFixtureTime, core.Store());
  }
  ManualClock& clock;
};

ReportTrace Parsed(std::string_view text) {
  TraceParse parse = ParseReportTrace(text);
  EXPECT_TRUE(parse.trace) << "line " << parse.line << ": " << parse.error;
  return parse.trace ? std::move(*parse.trace) : ReportTrace{};
}

// The operator's part of a run, and with `console` the console's too: idle ticks, a live line,
// "Get Data" (a tick of 40 reports), a read that times out, one that fails, an unplugged stretch.
void RunScenario(TracedCore& run, SimulatedConsole* console) {
  const std::string path(SimulatedConsole::kConsolePath);
  run.core.StartUp();
  run.Tick(3);
  if (console)
    console->Print("LIVE 1\r\n");
  run.Tick(2);
  run.core.GetData();
  run.Tick(20);
  if (console)
    console->InjectReadFault(SimulatedConsole::ReadFault::kTimeout);
  run.Tick(3);
  if (console)
    console->InjectReadFault(SimulatedConsole::ReadFault::kFailure);
  run.Tick(2);
  if (console)
    console->Unplug(path);
  run.Tick(3);
  if (console)
    console->Plug(path);
  run.Tick(15);
}

TEST(ReportTraceTest, ReplayGivesTheTracedTicksLinesAndDataFile) {
  ManualClock clock;
  SimulatedConsole console(clock);
  console.AddInterface(SimulatedConsole::Console());
  const std::string printout = soak::TimingPrintout(3000);
  console.SetStoredData({printout.begin(), printout.end()});
  TracedCore traced(console, clock);
  RunScenario(traced, &console);
  // The run met every case: a tick at the 40-report ceiling, a time-out, a failure, "Get Data",
  // a search that found nothing.
  int most = 0;
  int in_tick = 0;
  for (const TraceRecord& record : Parsed(traced.text).records) {
    in_tick = record.kind == TraceKind::kIn ? in_tick + 1 : 0;
    most = std::max(most, in_tick);
  }
  EXPECT_EQ(most, DeviceLink::kReportsPerCall);
  for (const char* record :
       {" timeout\n", " fail read sim:console: wait failed\n", " out 00 01 8d"}) {
    EXPECT_NE(traced.text.find(record), std::string::npos) << record;
  }
  EXPECT_NE(std::find(traced.status.texts.begin(), traced.status.texts.end(), kUsbNotFound),
            traced.status.texts.end());
  EXPECT_GT(traced.core.Store().LineIndex, 10);

  ManualClock replay_clock;
  TraceReplay replay(Parsed(traced.text), replay_clock);
  TracedCore replayed(replay, replay_clock);
  RunScenario(replayed, nullptr);
  EXPECT_TRUE(replay.Finished());
  EXPECT_EQ(replayed.status.texts, traced.status.texts);
  EXPECT_EQ(replayed.text, traced.text);
  EXPECT_EQ(replayed.DataFile(), traced.DataFile());
  // Once the trace is used up, the console is gone.
  replayed.Tick(2);
  EXPECT_EQ(replayed.status.Last(), kUsbNotFound);
}

TEST(ReportTraceTest, FixtureFromTheVirtualConsoleGivesItsDataFile) {
  const auto read = [](std::string_view name) {
    std::ifstream file(std::string(TESSUN_FIXTURES) + "/" + std::string(name), std::ios::binary);
    EXPECT_TRUE(file) << name;
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  ManualClock clock;
  TraceReplay replay(Parsed(read(test::kTraceFixture)), clock);
  TracedCore replayed(replay, clock);
  replayed.core.StartUp();
  for (int tick = 0; tick < 10000 && !replay.Finished(); ++tick) {
    replayed.Tick();
  }
  EXPECT_TRUE(replay.Finished());
  EXPECT_EQ(replayed.DataFile(), read(test::kTraceFixtureDataFile));
}

TEST(ReportTraceTest, DamagedTracesAreRefusedNamingTheLine) {
  const std::string head = std::string(kTraceHeader) + "\n";
  std::string full_tick = head + "0 tick\n";
  for (int i = 0; i < 41; ++i) {
    full_tick += "1 in 00 01 41\n";
  }
  const struct {
    std::string text;
    std::size_t line;  // 0: accepted
    std::string error;
  } cases[] = {
      {head + "# a note\r\n0 search\n5 open 9 9\n7 tick\n9 in 00 01 41\n9 fail gone\n", 0, ""},
      {"", 1, "empty"},
      {"meet results\n", 1, "not a trace"},
      {"tessun report trace 2\n", 1, "not a trace of version 1"},
      {head + "0 search", 2, "cut short"},
      {head + "9 tick\n5 in 00\n", 3, "time goes back"},
      {head + "x tick\n", 2, "time"},
      {head + "-1 tick\n", 2, "time"},
      {head + "0 tick\n1 in 00 0\n", 3, "hex"},
      {head + "0 tick\n1 in 00 zz\n", 3, "hex"},
      {head + "0 tick\n1 in 00  01\n", 3, "hex"},
      {head + "0 tick\n1 in\n", 3, "hex"},
      {head + "0 in 00 01\n", 2, "outside a tick"},
      {head + "0 tick\n0 in 00\n0 timeout\n", 4, "outside a tick"},
      {head + "0 open 9\n", 2, "report length"},
      {head + "0 open 9 70000\n", 2, "report length"},
      {head + "0 bogus\n", 2, "unknown record"},
      {head + "0 close now\n", 2, "nothing after"},
      {head + "\n", 2, "time"},
      {full_tick, 43, "more than 40"},
  };
  for (const auto& c : cases) {
    const TraceParse parse = ParseReportTrace(c.text);
    EXPECT_EQ(parse.trace.has_value(), c.line == 0) << c.text;
    EXPECT_EQ(parse.line, c.line == 0 ? parse.line : c.line) << c.text;
    EXPECT_NE(parse.error.find(c.error), std::string::npos) << c.text << " -> " << parse.error;
  }
}

TEST(ReportTraceTest, FullTraceEndsWithAWholeTickAndSaysSoOnce) {
  ManualClock clock;
  SimulatedConsole console(clock);
  console.AddInterface(SimulatedConsole::Console());
  std::string text;
  TracingPort tracing(
      console, clock,
      [&text](std::string_view lines) {
        text += lines;
        return true;
      },
      2000);
  test::RecordingLog log;
  tracing.SetLog(log);
  test::RecordingStatus status;
  DeviceLink link(tracing, status, &clock);
  for (int tick = 0; tick < 20; ++tick) {
    clock.Advance(milliseconds(100));
    link.ReadReports();
  }
  EXPECT_LE(text.size(), 2100u);
  EXPECT_NE(text.find("\n# the trace is full"), std::string::npos);
  EXPECT_EQ(log.Count("report trace is full"), 1);
  // What was written is a whole trace.
  EXPECT_FALSE(Parsed(text).records.empty());
}

// A console that gives its descriptors, as the libusb port does.
class DescribedConsole : public test::ForwardingPort {
 public:
  using ForwardingPort::ForwardingPort;
  PortResult<RawDescriptors> ReadRawDescriptors(PortHandle) override {
    // A configuration (9 bytes) with one endpoint descriptor (7 bytes).
    return {{{0x12, 0x01},
             {0x09, 0x02, 0x10, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x07, 0x05, 0x81, 0x03, 0x10,
              0x00, 0x0a},
             {0x06, 0xa0}},
            {}};
  }
};

TEST(ReportTraceTest, RawFactsShowDescriptorsEndpointsAndAnIdleTrace) {
  ManualClock clock;
  SimulatedConsole console(clock);
  console.AddInterface(SimulatedConsole::Console());
  console.SetReportInterval(milliseconds(10));
  DescribedConsole described(console);
  const std::string text = RawConsoleFacts(described, clock);
  for (const char* line : {"  device descriptor: 12 01\n", "  HID report descriptor: 06 a0\n",
                           "  endpoint 0x81: in, interrupt, max packet 16 bytes, bInterval 10\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  const ReportTrace trace = Parsed(text.substr(text.find(kTraceHeader)));
  EXPECT_GE(trace.records.back().time, 2'000'000);
  EXPECT_GT(std::count_if(trace.records.begin(), trace.records.end(),
                          [](const TraceRecord& r) { return r.kind == TraceKind::kIn; }),
            150);
  EXPECT_TRUE(std::none_of(trace.records.begin(), trace.records.end(),
                           [](const TraceRecord& r) { return r.kind == TraceKind::kOut; }));
  EXPECT_EQ(console.OpenHandleCount(), 0);
  // A port that does not hand its descriptors out says so.
  EXPECT_NE(RawConsoleFacts(console, clock).find("descriptors: not available on this platform"),
            std::string::npos);
}

}  // namespace
}  // namespace tessun
