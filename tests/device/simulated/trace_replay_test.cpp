// The replay of a report trace through the core: a replayed run gives the ticks, the statuses,
// the lines and the data file of the traced one, also for the trace recorded from the USB test's
// virtual console.
#include "device/simulated/trace_replay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "core/acquisition.h"
#include "device/simulated/simulated_console.h"
#include "tests/common/timing_printout.h"
#include "tests/common/traced_core.h"

namespace tessun {
namespace {

using test::TracedCore;

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

TEST(TraceReplayTest, ReplayGivesTheTracedTicksLinesAndDataFile) {
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

TEST(TraceReplayTest, FixtureFromTheVirtualConsoleGivesItsDataFile) {
  const auto read = [](std::string_view name) {
    std::ifstream file(std::string(TESSUN_FIXTURES) + "/" + std::string(name), std::ios::binary);
    EXPECT_TRUE(file) << name;
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  EXPECT_EQ(test::ReplayedDataFile(Parsed(read(test::kTraceFixture))),
            read(test::kTraceFixtureDataFile));
}

}  // namespace
}  // namespace tessun
