// The port that writes a report trace (`tessun --trace=FILE`, and the trace of
// `tessun --diagnose --raw`): it stands between the device link and the platform's port and
// writes down what the link saw.
#pragma once

#include <chrono>
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
#include "device/forwarding_port.h"
#include "device/link_log.h"
#include "device/report_trace.h"

namespace tessun {

// A device port that passes every call on to another port and records in a trace what the link
// saw. Complete lines go to the writer at the end of each tick's reads and after every record of
// the link's own (search, open, feature, out, close).
class TracingPort final : public ForwardingPort {
 public:
  // Takes the next lines of the trace; false when they could not be written.
  using Writer = std::function<bool(std::string_view lines)>;

  TracingPort(DevicePort& inner, Clock& clock, Writer write, std::uint64_t limit = kMaxTraceBytes);
  // Where the trace says that it is full or cannot be written; nowhere until set.
  void SetLog(LinkLog& log) { log_ = &log; }

  PortResult<std::vector<std::string>> ListHidInterfaces() override;
  PortResult<PortHandle> Open(const std::string& path, OpenMode mode) override;
  PortError Close(PortHandle handle) override;
  PortResult<std::optional<int>> OutputReportLength(PortHandle handle) override;
  PortResult<std::optional<int>> InputReportLength(PortHandle handle) override;
  PortError SetFeature(PortHandle handle, std::span<const std::uint8_t> report) override;
  PortError WriteReport(PortHandle handle, std::span<const std::uint8_t> report) override;
  ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds timeout) override;

 private:
  void Record(TraceKind kind, std::string_view arguments = {});
  void Flush();

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
