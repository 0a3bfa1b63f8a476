// The report trace: its lines read back, and a damaged or cut one refused naming the line; the
// tracing port stops at its size limit with a whole tick and says so once.
#include "device/report_trace.h"

#include <gtest/gtest.h>

#include <string>

#include "device/simulated/simulated_console.h"
#include "tests/common/recording_log.h"
#include "tests/common/traced_core.h"

namespace tessun {
namespace {

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
  test::TracedCore traced(console, clock, 2000);
  test::RecordingLog log;
  traced.tracing.SetLog(log);
  traced.Tick(20);
  const std::string& text = traced.text;
  EXPECT_LE(text.size(), 2000u);
  EXPECT_NE(text.find("\n# the trace is full"), std::string::npos);
  EXPECT_EQ(log.Count("report trace is full"), 1);
  // What was written is a whole trace.
  const TraceParse parse = ParseReportTrace(text);
  ASSERT_TRUE(parse.trace) << parse.line << ": " << parse.error;
  EXPECT_FALSE(parse.trace->records.empty());
}

}  // namespace
}  // namespace tessun
