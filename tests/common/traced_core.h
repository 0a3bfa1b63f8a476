// The acquisition core over a port that traces it (as `tessun --trace` runs it), with the
// window's parts replaced by recording doubles; the trace is kept as text. And the trace recorded
// from the USB test's virtual console (tests/usb-vm) with the data file that the traced run
// wrote, both kept under tests/fixtures: the data file is written under one name, date and time,
// so that a replay writes the same bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/acquisition.h"
#include "datafile/data_file.h"
#include "device/clock.h"
#include "device/report_trace.h"
#include "device/simulated/trace_replay.h"
#include "device/tracing_port.h"
#include "tests/common/core_rig.h"

namespace tessun::test {

inline constexpr std::string_view kTraceFixture = "usbvm-trace.txt";
inline constexpr std::string_view kTraceFixtureDataFile = "usbvm-data.txt";

struct TracedCore : WindowDoubles {
  TracedCore(DevicePort& port, Clock& clock, std::uint64_t limit = kMaxTraceBytes)
      : clock(clock),
        tracing(
            port, clock,
            [this](std::string_view lines) {
              text += lines;
              return true;
            },
            limit),
        core(tracing, clock, timer, status, canvas, bar) {
    bar.view = &core.View();
  }

  // Ticks as the window's timer runs them, each after the timer's interval.
  void Tick(int ticks = 1) {
    for (int i = 0; i < ticks; ++i) {
      clock.WaitFor(Acquisition::kTickInterval);
      core.Tick();
    }
  }
  // The data file of the lines so far, under the fixture's name, date and time.
  std::string DataFile() const {
    return FormatDataFile("USBVM.TXT", "12-08-2026", "14:03:27", core.Store());
  }

  Clock& clock;
  std::string text;
  TracingPort tracing;
  Acquisition core;
};

// The data file of `trace` replayed in virtual time to its end (as `tessun --simulate=TRACE`
// runs it); nothing when it has not ended after 10,000 ticks.
inline std::optional<std::string> ReplayedDataFile(ReportTrace trace) {
  ManualClock clock;
  TraceReplay replay(std::move(trace), clock);
  TracedCore replayed(replay, clock);
  replayed.core.StartUp();
  for (int tick = 0; tick < 10000 && !replay.Finished(); ++tick) {
    replayed.Tick();
  }
  return replay.Finished() ? std::optional(replayed.DataFile()) : std::nullopt;
}

}  // namespace tessun::test
