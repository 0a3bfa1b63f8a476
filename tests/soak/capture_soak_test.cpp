// Capture soak: about a megabyte of printout goes from the simulated console through the real
// acquisition tick (the core's Tick, as the window's timer runs it) into the line store, in
// virtual time. Every
// 900 lines the store is written with the data file format and cleared, as an operator would
// do it; the written lines, put together, must be exactly the printed text as the store keeps
// it. A second group finds the highest console report rate that the 200-report driver queue
// and the 40 reads per tick carry without loss.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "datafile/data_file.h"
#include "tests/common/core_rig.h"
#include "tests/common/timing_printout.h"

namespace tessun {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using Duration = Clock::Duration;

constexpr int kClearAt = 900;
// The console's serial line: 9600 baud, 10 bits a character.
constexpr double kLineRate = 960.0;
// A full report (7 bytes) every 7.3 ms is the line rate.
constexpr Duration kLineRateInterval = microseconds(7300);
// 40 reports of 7 bytes in every 100 ms tick.
constexpr Duration kHighestInterval = microseconds(2500);

// Bytes the soak prints; TESSUN_SOAK_BYTES overrides it (the sanitizer build sets it lower).
std::size_t SoakBytes() {
  if (const char* text = std::getenv("TESSUN_SOAK_BYTES")) {
    const long long value = std::atoll(text);
    if (value > 0) {
      return static_cast<std::size_t>(value);
    }
  }
  return 1'000'000;
}

using test::CoreRig;

// The data lines of a data file, without their indent, joined by line feeds. Fails the test
// when the file is not header plus indented CR LF lines.
std::string DataLinesOf(const std::string& file, int& line_count) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < file.size()) {
    const std::size_t end = file.find(kDataLineEnd, start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "data file does not end with CR LF";
      break;
    }
    lines.push_back(file.substr(start, end - start));
    start = end + kDataLineEnd.size();
  }
  if (lines.size() < 5) {
    ADD_FAILURE() << "data file has " << lines.size() << " lines";
    return {};
  }
  EXPECT_EQ(lines[0], kBlankHeaderLine);
  EXPECT_EQ(lines[2], kBlankHeaderLine);
  EXPECT_EQ(lines[3], kBlankHeaderLine);
  std::string joined;
  line_count = static_cast<int>(lines.size()) - 4;
  for (std::size_t i = 4; i < lines.size(); ++i) {
    if (!lines[i].starts_with(kLineIndent)) {
      ADD_FAILURE() << "data line " << i - 4 << " lacks the indent";
      continue;
    }
    if (i > 4) {
      joined += '\n';
    }
    joined.append(lines[i], kLineIndent.size());
  }
  return joined;
}

// Where two texts first differ, with some context, for a readable failure.
std::string FirstDifference(const std::string& expected, const std::string& actual) {
  const auto [e, a] = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
  const auto at = static_cast<std::size_t>(e - expected.begin());
  const std::size_t from = at < 40 ? 0 : at - 40;
  return "first difference at byte " + std::to_string(at) + " of " +
         std::to_string(expected.size()) + " expected / " + std::to_string(actual.size()) +
         " received\n expected: ..." + expected.substr(from, 80) + "\n received: ..." +
         actual.substr(from, 80);
}

struct SoakResult {
  std::string collected;
  int ticks = 0;
  int writes = 0;
  int lines_written = 0;
  int highest_line_index = 0;
  int ticks_not_ok = 0;
  std::uint64_t dropped_reports = 0;
  double virtual_seconds = 0;
};

// The program's core against the simulated console: ticks 100 ms apart (plus whatever their
// reads wait), run by the test instead of the window's timer so that only virtual time passes.
SoakResult RunSoak(const std::string& printout, Duration report_interval, double line_rate) {
  CoreRig rig;
  rig.console.AddInterface(SimulatedConsole::Console());
  // Set before start-up, so the console already sends (empty) reports during the start-up wait,
  // as a real one does once its read handle is open.
  rig.console.SetReportInterval(report_interval);
  rig.console.SetLineRate(line_rate);
  rig.core.StartUp();

  SoakResult result;
  const auto start = rig.clock.Now();
  const auto write_and_clear = [&] {
    const std::string file =
        FormatDataFile("TessunData.txt", "01-02-2024", "12:00:00", rig.core.Store());
    int lines = 0;
    // The line being filled ends one write and goes on in line 0 after the clear: the pieces
    // join without a line feed between them.
    result.collected += DataLinesOf(file, lines);
    result.lines_written += lines;
    ++result.writes;
    rig.core.ClearData();
  };

  rig.console.Print(printout);
  // A tick takes what is queued and does not wait for more: at the line rate that is about 96
  // bytes a tick, so the limit allows for 50.
  const int tick_limit = static_cast<int>(printout.size()) / 50 + 1000;
  while (!rig.console.AllDataRead() && result.ticks < tick_limit) {
    rig.Tick();
    ++result.ticks;
    if (rig.status.Last() != "USB Communication OK") {
      ++result.ticks_not_ok;
    }
    const int line_index = rig.core.Store().LineIndex;
    result.highest_line_index = std::max(result.highest_line_index, line_index);
    if (line_index >= kClearAt) {
      write_and_clear();
    }
  }
  write_and_clear();
  result.dropped_reports = rig.console.DroppedDataReports();
  result.virtual_seconds = std::chrono::duration<double>(rig.clock.Now() - start).count();
  EXPECT_TRUE(rig.console.AllDataRead()) << rig.console.PendingBytes() << " bytes never went out";
  return result;
}

void ExpectLossless(const char* name, const std::string& printout, const SoakResult& result) {
  const std::string expected = soak::KeptText(printout);
  const auto line_feeds = std::count(expected.begin(), expected.end(), '\n');
  const auto received_feeds = std::count(result.collected.begin(), result.collected.end(), '\n');
  std::printf(
      "[soak %s] %zu bytes printed (%zu kept, %td line feeds) in %.1f s virtual time, %d ticks; "
      "%d writes of %d lines in all; highest LineIndex %d; %zu bytes received, %td line feeds; "
      "%llu data reports dropped; %d ticks without \"USB Communication OK\"\n",
      name, printout.size(), expected.size(), line_feeds, result.virtual_seconds, result.ticks,
      result.writes, result.lines_written, result.highest_line_index, result.collected.size(),
      received_feeds, static_cast<unsigned long long>(result.dropped_reports), result.ticks_not_ok);
  EXPECT_EQ(result.dropped_reports, 0u);
  EXPECT_EQ(result.ticks_not_ok, 0);
  // Never reached the last line, where further lines would run together.
  EXPECT_LT(result.highest_line_index, LineStore::kLastLine);
  EXPECT_EQ(received_feeds, line_feeds) << "lines merged or split";
  EXPECT_TRUE(result.collected == expected) << FirstDifference(expected, result.collected);
}

TEST(CaptureSoak, AtTheConsoleLineRateNothingIsLostOrAdded) {
  const std::string printout = soak::TimingPrintout(SoakBytes());
  const SoakResult result = RunSoak(printout, kLineRateInterval, kLineRate);
  ExpectLossless("line rate", printout, result);
  // The console's pace, not the program's, sets the time: about 960 bytes a second.
  EXPECT_GT(result.virtual_seconds, static_cast<double>(printout.size()) / kLineRate);
}

TEST(CaptureSoak, AtFortyFullReportsPerTickNothingIsLostOrAdded) {
  const std::string printout = soak::TimingPrintout(SoakBytes(), 7);
  const SoakResult result = RunSoak(printout, kHighestInterval, 0);
  ExpectLossless("40 reports a tick", printout, result);
  // 280 bytes in every tick.
  EXPECT_LE(result.ticks, static_cast<int>(printout.size() / 280) + 10);
}

// ---- Highest lossless rate --------------------------------------------------------------

struct RateRun {
  std::uint64_t dropped_reports = 0;
  std::uint64_t bytes_received = 0;
  bool text_intact = false;
  double seconds = 0;
};

RateRun RunAtRate(Duration report_interval, double line_rate, Duration run_time) {
  CoreRig rig;
  SimulatedConsole& console = rig.console;
  console.AddInterface(SimulatedConsole::Console());
  console.SetReportInterval(report_interval);
  console.SetLineRate(line_rate);
  // With the start-up wait, during which nobody reads.
  rig.core.StartUp();
  LineStore& store = rig.core.Store();

  // More text than the console can send in the run time.
  const double seconds = std::chrono::duration<double>(run_time).count();
  const double per_report = std::chrono::duration<double>(report_interval).count();
  const auto size = static_cast<std::size_t>(seconds / per_report * 7 + 1000);
  const std::string printout = soak::TimingPrintout(size, 11);
  const std::string expected = soak::KeptText(printout);
  console.Print(printout);

  std::string received;
  const auto start = rig.clock.Now();
  while (rig.clock.Now() - start < run_time) {
    rig.Tick();
    if (store.LineIndex >= kClearAt) {
      for (int i = 0; i < store.LineIndex; ++i) {
        received += store.Lines[static_cast<std::size_t>(i)] + '\n';
      }
      received += store.Lines[static_cast<std::size_t>(store.LineIndex)];
      rig.core.ClearData();
    }
  }
  for (int i = 0; i <= store.LineIndex; ++i) {
    received += store.Lines[static_cast<std::size_t>(i)];
    if (i < store.LineIndex) {
      received += '\n';
    }
  }
  RateRun run;
  run.dropped_reports = console.DroppedDataReports();
  run.bytes_received = received.size();
  run.text_intact = expected.compare(0, received.size(), received) == 0;
  run.seconds = std::chrono::duration<double>(rig.clock.Now() - start).count();
  return run;
}

bool Lossless(const RateRun& run) {
  return run.dropped_reports == 0 && run.text_intact;
}

TEST(CaptureRate, HighestLosslessReportRateIsFortyReportsPerTick) {
  // Full reports, no line limit: bisect the report interval (to the microsecond) between one
  // that loses and one that does not, each run five virtual minutes long.
  const Duration run_time = std::chrono::minutes(5);
  microseconds lossy{2000};
  microseconds lossless{3000};
  ASSERT_FALSE(Lossless(RunAtRate(lossy, 0, run_time)));
  ASSERT_TRUE(Lossless(RunAtRate(lossless, 0, run_time)));
  while (lossless - lossy > microseconds(1)) {
    const microseconds middle = (lossy + lossless) / 2;
    (Lossless(RunAtRate(middle, 0, run_time)) ? lossless : lossy) = middle;
  }
  const double reports_per_second = 1e6 / static_cast<double>(lossless.count());
  const RateRun at_limit = RunAtRate(lossless, 0, run_time);
  std::printf(
      "[rate] shortest lossless report interval %lld us: %.1f reports/s, %.0f bytes/s of full "
      "reports (%.2f times the 9600-baud line); measured %.0f bytes/s over %.0f s\n",
      static_cast<long long>(lossless.count()), reports_per_second, reports_per_second * 7,
      reports_per_second * 7 / kLineRate,
      static_cast<double>(at_limit.bytes_received) / at_limit.seconds, at_limit.seconds);
  // 40 reads in every 100 ms tick that does not wait.
  EXPECT_NEAR(reports_per_second, 400.0, 1.0);
}

TEST(CaptureRate, ReportRateNotByteRateSetsTheLimit) {
  // A console sending short reports loses at a byte rate that full reports carry easily: the
  // queue counts reports, and a tick reads 40 of them whatever they hold.
  struct Case {
    double interval_ms;
    double line_rate;  // bytes per second; 0: full reports
    bool lossless;
  };
  const std::vector<Case> cases = {
      {1.0, kLineRate, false}, {2.0, kLineRate, false}, {2.5, kLineRate, true},
      {4.0, kLineRate, true},  {7.3, kLineRate, true},  {10.0, kLineRate, true},
      {2.4, 0, false},         {2.5, 0, true},          {3.0, 0, true},
      {2.5, 2000, true},       {1.0, 2000, false},
  };
  std::printf("[rate] interval ms | line rate B/s | dropped data reports | received B/s\n");
  for (const Case& c : cases) {
    const auto interval =
        duration_cast<Duration>(std::chrono::duration<double, std::milli>(c.interval_ms));
    const RateRun run = RunAtRate(interval, c.line_rate, std::chrono::minutes(2));
    std::printf("[rate] %17.1f | %13.0f | %20llu | %12.0f\n", c.interval_ms, c.line_rate,
                static_cast<unsigned long long>(run.dropped_reports),
                static_cast<double>(run.bytes_received) / run.seconds);
    EXPECT_EQ(Lossless(run), c.lossless)
        << "interval " << c.interval_ms << " ms, line rate " << c.line_rate;
  }
}

}  // namespace
}  // namespace tessun
