// A console that replays a report trace (`tessun --simulate=TRACE`): the link gets the traced
// input reports again, tick by tick, as the traced link took them, with the same waits inside
// each tick, the same reads that timed out or failed, and the same stretches in which no console
// was found. So a replayed trace gives the lines, and the data file, of the traced run.
//
// The replay follows the link's calls through the trace: a search takes the next "search" record
// (the console is there when the traced search opened it), a tick's first read takes the next
// "tick" record with its reports, "timeout" or "fail". Output reports ("Get Data") are taken and
// change nothing: the reports the console sent in answer are in the trace already. Once the trace
// is used up, the console is gone.
//
// Handles, attributes and the configuration and output reports are a silent simulated console's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/clock.h"
#include "device/device_port.h"
#include "device/forwarding_port.h"
#include "device/report_trace.h"
#include "device/simulated/simulated_console.h"

namespace tessun {

class TraceReplay final : public ForwardingPort {
 public:
  // `clock` times the waits.
  TraceReplay(ReportTrace trace, Clock& clock);

  // Every record of the trace has been replayed.
  bool Finished() const { return next_ >= trace_.records.size(); }

  PortResult<std::vector<std::string>> ListHidInterfaces() override;
  PortResult<std::optional<int>> OutputReportLength(PortHandle handle) override;
  PortResult<std::optional<int>> InputReportLength(PortHandle handle) override;
  ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds timeout) override;

 private:
  // The record the replay has reached, after the link's own records (open, feature, out, close),
  // which take nothing from the console; nullptr at the end.
  const TraceRecord* Next();
  PortResult<std::optional<int>> Length(PortResult<std::optional<int>> checked, int length) const;

  SimulatedConsole silent_;
  ReportTrace trace_;
  Clock& clock_;
  std::size_t next_ = 0;
  // The tick being replayed: its time in the trace.
  std::int64_t tick_time_ = 0;
  // Report lengths of the console, from the last "open" record passed or ahead.
  int output_length_;
  int input_length_;
};

// The console of `--simulate=FILE`: the replay of FILE when it is a report trace (its first line
// starts with "tessun report trace "; at most kMaxTraceBytes), else the simulated console that
// sends FILE's bytes as its stored data (at most kMaxStoredDataFile). Null, with `error` set to a
// one-line reason ("FILE line N: what is wrong" for a damaged trace), when FILE is refused.
std::unique_ptr<DevicePort> SimulatedConsoleOfFile(const std::string& path, Clock& clock,
                                                   std::string& error);

}  // namespace tessun
