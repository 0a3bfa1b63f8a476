#include "device/tracing_port.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "device/device_link.h"

namespace tessun {

namespace {

constexpr std::uint64_t kFullNoteRoom = 100;

}  // namespace

TracingPort::TracingPort(DevicePort& inner, Clock& clock, Writer write, std::uint64_t limit)
    : ForwardingPort(inner),
      clock_(clock),
      start_(clock.Now()),
      write_(std::move(write)),
      limit_(limit) {
  pending_ = std::string(kTraceHeader) + "\n";
  Flush();
}

void TracingPort::Record(TraceKind kind, std::string_view arguments) {
  const auto time =
      std::chrono::duration_cast<std::chrono::microseconds>(clock_.Now() - start_).count();
  pending_.append(std::to_string(time)).append(" ").append(TraceKindName(kind));
  if (!arguments.empty()) {
    pending_.append(" ").append(arguments);
  }
  pending_ += "\n";
  if (kind != TraceKind::kTick && kind != TraceKind::kIn) {
    Flush();
  }
}

void TracingPort::Flush() {
  if (stopped_ || pending_.empty()) {
    pending_.clear();
    return;
  }
  // Room is kept for the note that the trace is full, so that it never grows past its limit.
  if (written_ + pending_.size() + kFullNoteRoom > limit_) {
    // The lines of the tick that would not fit are left out: the trace ends with a whole tick.
    stopped_ = true;
    pending_ =
        "# the trace is full (" + std::to_string(written_) + " bytes): nothing more was recorded\n";
    log_->Write(LogLevel::kWarning, "the report trace is full (" + std::to_string(written_) +
                                        " bytes): nothing more is recorded");
  }
  if (!write_(pending_)) {
    stopped_ = true;
    log_->Write(LogLevel::kWarning, "the report trace cannot be written: nothing more is recorded");
  }
  written_ += pending_.size();
  pending_.clear();
}

PortResult<std::vector<std::string>> TracingPort::ListHidInterfaces() {
  Record(TraceKind::kSearch);
  return ForwardingPort::ListHidInterfaces();
}

PortResult<PortHandle> TracingPort::Open(const std::string& path, OpenMode mode) {
  PortResult<PortHandle> opened = ForwardingPort::Open(path, mode);
  if (mode == OpenMode::kForReads && !opened.error) {
    read_handles_.insert(opened.value);
    Record(TraceKind::kOpen, std::to_string(output_length_) + " " + std::to_string(input_length_));
  }
  return opened;
}

PortError TracingPort::Close(PortHandle handle) {
  if (read_handles_.erase(handle) != 0) {
    Record(TraceKind::kClose);
  }
  return ForwardingPort::Close(handle);
}

PortResult<std::optional<int>> TracingPort::OutputReportLength(PortHandle handle) {
  PortResult<std::optional<int>> length = ForwardingPort::OutputReportLength(handle);
  output_length_ = length.value.value_or(0);
  return length;
}

PortResult<std::optional<int>> TracingPort::InputReportLength(PortHandle handle) {
  PortResult<std::optional<int>> length = ForwardingPort::InputReportLength(handle);
  input_length_ = length.value.value_or(0);
  return length;
}

PortError TracingPort::SetFeature(PortHandle handle, std::span<const std::uint8_t> report) {
  Record(TraceKind::kFeature, HexBytes(report));
  return ForwardingPort::SetFeature(handle, report);
}

PortError TracingPort::WriteReport(PortHandle handle, std::span<const std::uint8_t> report) {
  Record(TraceKind::kOut, HexBytes(report));
  return ForwardingPort::WriteReport(handle, report);
}

ReadResult TracingPort::ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds timeout) {
  // The link's first read of a tick is the one that waits.
  const bool first = timeout > std::chrono::milliseconds::zero();
  if (first) {
    Record(TraceKind::kTick);
    reports_in_tick_ = 0;
  }
  ReadResult read = ForwardingPort::ReadReport(handle, buffer, timeout);
  switch (read.status) {
    case ReadStatus::kCompleted:
      Record(TraceKind::kIn, HexBytes(buffer.first(std::min(read.bytes, buffer.size()))));
      if (++reports_in_tick_ == DeviceLink::kReportsPerCall) {
        Flush();
      }
      break;
    case ReadStatus::kTimedOut:
      if (first) {
        Record(TraceKind::kTimeout);
      }
      Flush();
      break;
    case ReadStatus::kFailed: {
      std::string why = read.error.text;
      std::replace_if(
          why.begin(), why.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
      Record(TraceKind::kFail, why);
      break;
    }
  }
  return read;
}

TracingPort::Writer TraceFileWriter(const std::string& path, std::string& error) {
  std::error_code code;
  const auto status = std::filesystem::status(path, code);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    error = path + " is not a regular file";
    return nullptr;
  }
  std::FILE* const open = std::fopen(path.c_str(), "wb");
  if (open == nullptr) {
    error = "cannot create " + path;
    return nullptr;
  }
  const std::shared_ptr<std::FILE> file(open, [](std::FILE* done) { std::fclose(done); });
  return [file](std::string_view lines) {
    return std::fwrite(lines.data(), 1, lines.size(), file.get()) == lines.size() &&
           std::fflush(file.get()) == 0;
  };
}

}  // namespace tessun
