#include "device/simulated/trace_replay.h"

#include <algorithm>
#include <utility>

#include "device/console_protocol.h"
#include "device/simulated/simulated_console.h"
#include "device/simulated/stored_data_file.h"

namespace tessun {

TraceReplay::TraceReplay(ReportTrace trace, Clock& clock)
    : ForwardingPort(silent_),
      silent_(clock),
      trace_(std::move(trace)),
      clock_(clock),
      output_length_(static_cast<int>(console::kReportLength)),
      input_length_(static_cast<int>(console::kReportLength)) {
  silent_.AddInterface(SimulatedConsole::Console());
  silent_.SetReportInterval(std::chrono::hours(1), false);
  const auto open = std::find_if(trace_.records.begin(), trace_.records.end(),
                                 [](const TraceRecord& r) { return r.kind == TraceKind::kOpen; });
  if (open != trace_.records.end()) {
    output_length_ = open->output_length;
    input_length_ = open->input_length;
  }
}

const TraceRecord* TraceReplay::Next() {
  for (; next_ < trace_.records.size(); ++next_) {
    const TraceRecord& record = trace_.records[next_];
    switch (record.kind) {
      case TraceKind::kOpen:
        output_length_ = record.output_length;
        input_length_ = record.input_length;
        break;
      case TraceKind::kFeature:
      case TraceKind::kOut:
      case TraceKind::kClose:
        break;
      default:
        return &record;
    }
  }
  return nullptr;
}

PortResult<std::vector<std::string>> TraceReplay::ListHidInterfaces() {
  const TraceRecord* record = Next();
  if (record == nullptr) {
    return {};
  }
  if (record->kind != TraceKind::kSearch) {
    // The traced link had the console open here.
    return {{std::string(SimulatedConsole::kConsolePath)}, {}};
  }
  // The traced search found the console when the link opened it next.
  if (++next_ >= trace_.records.size() || trace_.records[next_].kind != TraceKind::kOpen) {
    return {};
  }
  output_length_ = trace_.records[next_].output_length;
  input_length_ = trace_.records[next_].input_length;
  return {{std::string(SimulatedConsole::kConsolePath)}, {}};
}

PortResult<std::optional<int>> TraceReplay::Length(PortResult<std::optional<int>> checked,
                                                   int length) const {
  if (!checked.error) {
    checked.value = length > 0 ? std::optional<int>(length) : std::nullopt;
  }
  return checked;
}

PortResult<std::optional<int>> TraceReplay::OutputReportLength(PortHandle handle) {
  return Length(ForwardingPort::OutputReportLength(handle), output_length_);
}

PortResult<std::optional<int>> TraceReplay::InputReportLength(PortHandle handle) {
  return Length(ForwardingPort::InputReportLength(handle), input_length_);
}

ReadResult TraceReplay::ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds timeout) {
  // The silent console checks the handle: it fails a read as a closed console does, and has
  // nothing queued for any other.
  if (ReadResult checked = ForwardingPort::ReadReport(handle, buffer, {});
      checked.status == ReadStatus::kFailed) {
    return checked;
  }
  const Clock::TimePoint start = clock_.Now();
  const bool first = timeout > std::chrono::milliseconds::zero();
  const TraceRecord* record = Next();
  const bool tick_begins = first && record != nullptr && record->kind == TraceKind::kTick;
  if (tick_begins) {
    tick_time_ = record->time;
    ++next_;
    record = Next();
  }
  if (record != nullptr && record->kind == TraceKind::kIn) {
    if (tick_begins) {
      // As long as the traced read waited for its report, but never past the time-out.
      clock_.WaitUntil(start + std::min<Clock::Duration>(
                                   std::chrono::microseconds(record->time - tick_time_), timeout));
    }
    ++next_;
    const auto bytes = trace_.Bytes(*record);
    const std::size_t delivered = std::min(bytes.size(), buffer.size());
    std::copy_n(bytes.begin(), delivered, buffer.begin());
    return ReadResult::Completed(delivered);
  }
  if (record != nullptr && record->kind == TraceKind::kFail) {
    ++next_;
    const auto text = trace_.Bytes(*record);
    return ReadResult::Failed({PortFailure::kOther, std::string(text.begin(), text.end())});
  }
  if (!first) {
    return ReadResult::TimedOut();
  }
  if (tick_begins && record != nullptr && record->kind == TraceKind::kTimeout) {
    ++next_;
    clock_.WaitUntil(start + timeout);
    return ReadResult::TimedOut();
  }
  return ReadResult::Failed(
      PortError::Of("read", SimulatedConsole::kConsolePath,
                    record == nullptr ? "the trace ends here" : "the traced link closed here",
                    PortFailure::kNotPresent));
}

std::unique_ptr<DevicePort> SimulatedConsoleOfFile(const std::string& path, Clock& clock,
                                                   std::string& error) {
  auto bytes =
      ReadStoredDataFile(path, error, std::max<std::uintmax_t>(kMaxTraceBytes, kMaxStoredDataFile));
  if (!bytes) {
    return nullptr;
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (text.starts_with(kTraceHeaderStart)) {
    TraceParse parse = ParseReportTrace(text);
    if (!parse.trace) {
      error = path + " line " + std::to_string(parse.line) + ": " + parse.error;
      return nullptr;
    }
    return std::make_unique<TraceReplay>(std::move(*parse.trace), clock);
  }
  if (bytes->size() > kMaxStoredDataFile) {
    error = TooLargeReason(path, kMaxStoredDataFile);
    return nullptr;
  }
  auto console = std::make_unique<SimulatedConsole>(clock);
  console->AddInterface(SimulatedConsole::Console());
  console->SetStoredData(std::move(*bytes));
  return console;
}

}  // namespace tessun
