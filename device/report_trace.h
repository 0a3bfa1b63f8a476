// The report trace: every input report the device link takes and every output report it sends,
// with their times and what the link did around them (searches, opens, the configuration report,
// reads that timed out or failed, closes), as lines of text that a person can read and a script
// can parse (the format is described in the README, "Report trace"). `tessun --trace=FILE` writes
// one; `tessun --simulate=TRACE` replays one (device/simulated/trace_replay.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/clock.h"
#include "device/device_port.h"
#include "device/link_log.h"

namespace tessun {

// The first line of every trace; a file that starts with kTraceHeaderStart is taken for a trace.
inline constexpr std::string_view kTraceHeaderStart = "tessun report trace ";
inline constexpr std::string_view kTraceHeader = "tessun report trace 1";
// A trace stops growing at about this size.
inline constexpr std::uint64_t kMaxTraceBytes = 64 * 1024 * 1024;

enum class TraceKind { kSearch, kOpen, kFeature, kTick, kIn, kTimeout, kFail, kOut, kClose };

struct TraceRecord {
  std::int64_t time = 0;  // microseconds since the start of the run
  TraceKind kind = TraceKind::kSearch;
  // Where its bytes (in, out, feature) or its text (fail) lie in ReportTrace::data.
  std::uint32_t first = 0;
  std::uint32_t size = 0;
  int output_length = 0;  // open: the report lengths, with the report-id byte
  int input_length = 0;
};

struct ReportTrace {
  std::vector<TraceRecord> records;
  std::vector<std::uint8_t> data;

  std::span<const std::uint8_t> Bytes(const TraceRecord& record) const {
    return std::span(data).subspan(record.first, record.size);
  }
};

struct TraceParse {
  std::optional<ReportTrace> trace;  // none when the text is no valid trace
  std::size_t line = 0;              // the line at fault, counted from 1
  std::string error;                 // what is wrong with it
};

// Bytes as the trace writes them: two lower-case hex digits each, one blank between them.
std::string HexBytes(std::span<const std::uint8_t> bytes);

// Reads a whole trace; the first fault found refuses it.
TraceParse ParseReportTrace(std::string_view text);

// A device port that passes every call on to another port and records in a trace what the link
// saw. Complete lines go to the writer at the end of each tick's reads and after every record of
// the link's own (search, open, feature, out, close).
class TracingPort final : public DevicePort {
 public:
  // Takes the next lines of the trace; false when they could not be written.
  using Writer = std::function<bool(std::string_view lines)>;

  TracingPort(DevicePort& inner, Clock& clock, Writer write, std::uint64_t limit = kMaxTraceBytes);
  // Where the trace says that it is full or cannot be written; nowhere until set.
  void SetLog(LinkLog& log) { log_ = &log; }

  PortResult<std::vector<std::string>> ListHidInterfaces() override;
  PortResult<PortHandle> Open(const std::string& path, OpenMode mode) override;
  PortError Close(PortHandle handle) override;
  PortResult<HidAttributes> GetAttributes(PortHandle handle) override {
    return inner_.GetAttributes(handle);
  }
  PortError SetNumInputBuffers(PortHandle handle, int count) override {
    return inner_.SetNumInputBuffers(handle, count);
  }
  PortResult<std::optional<int>> OutputReportLength(PortHandle handle) override;
  PortResult<std::optional<int>> InputReportLength(PortHandle handle) override;
  PortError SetFeature(PortHandle handle, std::span<const std::uint8_t> report) override;
  PortError WriteReport(PortHandle handle, std::span<const std::uint8_t> report) override;
  ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds timeout) override;
  void CancelRead(PortHandle handle) override { inner_.CancelRead(handle); }
  std::uint64_t DroppedInputReports(PortHandle handle) override {
    return inner_.DroppedInputReports(handle);
  }
  PortResult<RawDescriptors> ReadRawDescriptors(PortHandle handle) override {
    return inner_.ReadRawDescriptors(handle);
  }

 private:
  void Record(TraceKind kind, std::string_view arguments = {});
  void Flush();

  DevicePort& inner_;
  Clock& clock_;
  Clock::TimePoint start_;
  Writer write_;
  std::uint64_t limit_;
  std::uint64_t written_ = 0;
  bool stopped_ = false;
  LinkLog* log_ = &NoLinkLog();
  std::string pending_;
  std::set<PortHandle> read_handles_;
  int reports_in_tick_ = 0;
  int output_length_ = 0;
  int input_length_ = 0;
};

// A writer into the file at `path`, created (or a regular file there replaced); nullptr, with
// the reason in `error`, when it cannot be created or something other than a regular file is
// there.
TracingPort::Writer TraceFileWriter(const std::string& path, std::string& error);

}  // namespace tessun
