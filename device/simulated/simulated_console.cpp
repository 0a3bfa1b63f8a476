#include "device/simulated/simulated_console.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "device/console_protocol.h"

namespace tessun {

namespace {

using console::kCountByte;
using console::kFirstDataByte;
using console::kMaxDataBytes;

bool IsDataCommand(std::span<const std::uint8_t> report) {
  return report.size() > kFirstDataByte && report[kCountByte] >= 1 &&
         report[kFirstDataByte] == console::kGetDataCommand;
}

// A report length as the port gives it: a length of 0 (or less) is none.
PortResult<std::optional<int>> Length(int length, PortError error) {
  return {length > 0 ? std::optional<int>(length) : std::nullopt, std::move(error)};
}

}  // namespace

SimulatedHid SimulatedConsole::Console() {
  SimulatedHid hid;
  hid.path = std::string(kConsolePath);
  hid.attributes = {console::kVendorId, console::kProductId, 0x0100};
  hid.console = true;
  return hid;
}

void SimulatedConsole::AddInterface(SimulatedHid hid) {
  interfaces_.push_back(Interface{.hid = std::move(hid)});
}

SimulatedConsole::Interface* SimulatedConsole::Find(std::string_view path) {
  for (auto& interface : interfaces_) {
    if (interface.hid.path == path) {
      return &interface;
    }
  }
  return nullptr;
}

SimulatedConsole::Interface* SimulatedConsole::ConsoleInterface() {
  for (auto& interface : interfaces_) {
    if (interface.hid.console) {
      return &interface;
    }
  }
  return nullptr;
}

void SimulatedConsole::Plug(std::string_view path) {
  if (Interface* interface = Find(path); interface != nullptr && !interface->plugged) {
    interface->plugged = true;
    ++interface->generation;
    interface->input_buffers = kDefaultInputBuffers;
  }
}

void SimulatedConsole::Unplug(std::string_view path) {
  if (Interface* interface = Find(path); interface != nullptr) {
    interface->plugged = false;
    if (interface->hid.console) {
      // The driver's queue goes with the device.
      driver_queue_.clear();
    }
  }
}

void SimulatedConsole::FailOpens(std::string_view path, int count, std::string_view reason,
                                 std::optional<OpenMode> only, PortFailure kind) {
  if (Interface* interface = Find(path)) {
    interface->failing_opens = count;
    interface->failing_open_reason = reason;
    interface->failing_open_mode = only;
    interface->failing_open_kind = kind;
  }
}

void SimulatedConsole::FailAttributes(std::string_view path, bool fail) {
  if (Interface* interface = Find(path)) {
    interface->failing_attributes = fail;
  }
}

void SimulatedConsole::Print(std::string_view text) {
  // Reports due before now went out before this text existed.
  CatchUp(clock_.Now());
  pending_.insert(pending_.end(), text.begin(), text.end());
}

void SimulatedConsole::SetLiveLines(std::vector<std::string> lines, Clock::Duration period) {
  live_lines_ = std::move(lines);
  next_live_line_ = 0;
  live_period_ = period;
  next_live_time_.reset();
  if (!live_lines_.empty() && period > Clock::Duration::zero()) {
    next_live_time_ = clock_.Now() + period;
  }
}

void SimulatedConsole::SetReportInterval(Clock::Duration interval, bool empty_reports) {
  report_interval_ = std::max(interval, Clock::Duration(1));
  empty_reports_ = empty_reports;
  next_report_time_ = clock_.Now() + report_interval_;
}

void SimulatedConsole::QueueRawReport(std::vector<std::uint8_t> report) {
  CatchUp(clock_.Now());
  raw_reports_.push_back(std::move(report));
}

std::vector<std::vector<std::uint8_t>> SimulatedConsole::Reports(Call::Kind kind) const {
  std::vector<std::vector<std::uint8_t>> reports;
  for (const auto& call : calls_) {
    if (call.kind == kind) {
      reports.push_back(call.bytes);
    }
  }
  return reports;
}

bool SimulatedConsole::AllDataRead() const {
  return pending_.empty() && raw_reports_.empty() &&
         std::none_of(driver_queue_.begin(), driver_queue_.end(),
                      [](const auto& report) { return !console::DataBytes(report).empty(); });
}

int SimulatedConsole::OpenHandleCount() const {
  return static_cast<int>(handles_.size());
}

PortResult<std::vector<std::string>> SimulatedConsole::ListHidInterfaces() {
  PortResult<std::vector<std::string>> paths;
  for (const auto& interface : interfaces_) {
    if (interface.plugged) {
      paths.value.push_back(interface.hid.path);
    }
  }
  return paths;
}

PortResult<PortHandle> SimulatedConsole::Open(const std::string& path, OpenMode mode) {
  Interface* interface = Find(path);
  if (interface == nullptr || !interface->plugged) {
    return {kNoHandle, PortError::Of("open", path, "not present", PortFailure::kNotPresent)};
  }
  if (interface->failing_opens > 0 && interface->failing_open_mode.value_or(mode) == mode) {
    --interface->failing_opens;
    return {kNoHandle, PortError::Of("open", path, interface->failing_open_reason,
                                     interface->failing_open_kind)};
  }
  if (mode == OpenMode::kForReads && interface->hid.console && !Reading()) {
    // The driver starts polling the console now.
    driver_queue_.clear();
    next_report_time_ = clock_.Now() + report_interval_;
  }
  const PortHandle handle = next_handle_++;
  handles_[handle] = Handle{path, mode, interface->generation};
  calls_.push_back({Call::Kind::kOpen, path, handle, {}});
  return {handle, {}};
}

PortError SimulatedConsole::Close(PortHandle handle) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) {
    return PortError::NotOpen("close");
  }
  calls_.push_back({Call::Kind::kClose, it->second.path, handle, {}});
  handles_.erase(it);
  if (!Reading()) {
    // The driver stops polling and its queue goes with the last read handle.
    driver_queue_.clear();
  }
  return {};
}

SimulatedConsole::Interface* SimulatedConsole::Live(PortHandle handle, OpenMode mode,
                                                    std::string_view operation, PortError& error) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) {
    error = PortError::NotOpen(operation);
    return nullptr;
  }
  if (it->second.mode != mode) {
    error =
        PortError::Of(operation, it->second.path,
                      mode == OpenMode::kForReads ? "not open for reads" : "open for reads only");
    return nullptr;
  }
  Interface* interface = Find(it->second.path);
  if (interface == nullptr || !interface->plugged ||
      interface->generation != it->second.generation) {
    error = PortError::Of(operation, it->second.path, "device gone", PortFailure::kNotPresent);
    return nullptr;
  }
  return interface;
}

PortResult<HidAttributes> SimulatedConsole::GetAttributes(PortHandle handle) {
  const auto it = handles_.find(handle);
  const OpenMode mode = it == handles_.end() ? OpenMode::kSynchronous : it->second.mode;
  PortResult<HidAttributes> attributes;
  const Interface* interface = Live(handle, mode, "attributes", attributes.error);
  if (interface != nullptr && interface->failing_attributes) {
    attributes.error = PortError::Of("attributes", interface->hid.path, "unreadable");
  } else if (interface != nullptr) {
    attributes.value = interface->hid.attributes;
  }
  return attributes;
}

PortError SimulatedConsole::SetNumInputBuffers(PortHandle handle, int count) {
  PortError error;
  Interface* interface = Live(handle, OpenMode::kSynchronous, "input buffers", error);
  if (interface == nullptr) {
    return error;
  }
  if (count < 2) {
    return PortError::Of("input buffers", interface->hid.path,
                         "count " + std::to_string(count) + " refused");
  }
  interface->input_buffers = count;
  return {};
}

PortResult<std::optional<int>> SimulatedConsole::OutputReportLength(PortHandle handle) {
  PortError error;
  const Interface* interface = Live(handle, OpenMode::kSynchronous, "capabilities", error);
  return Length(interface == nullptr ? 0 : interface->hid.output_report_length, std::move(error));
}

PortResult<std::optional<int>> SimulatedConsole::InputReportLength(PortHandle handle) {
  PortError error;
  const Interface* interface = Live(handle, OpenMode::kSynchronous, "capabilities", error);
  return Length(interface == nullptr ? 0 : interface->hid.input_report_length, std::move(error));
}

PortError SimulatedConsole::SetFeature(PortHandle handle, std::span<const std::uint8_t> report) {
  PortError error;
  const Interface* interface = Live(handle, OpenMode::kSynchronous, "feature report", error);
  if (interface != nullptr) {
    calls_.push_back(
        {Call::Kind::kFeature, interface->hid.path, handle, {report.begin(), report.end()}});
  }
  return error;
}

PortError SimulatedConsole::WriteReport(PortHandle handle, std::span<const std::uint8_t> report) {
  PortError error;
  const Interface* interface = Live(handle, OpenMode::kSynchronous, "output report", error);
  if (interface == nullptr) {
    return error;
  }
  calls_.push_back(
      {Call::Kind::kOutput, interface->hid.path, handle, {report.begin(), report.end()}});
  // As with the platform's HID driver, a report must have exactly the device's length.
  if (static_cast<int>(report.size()) != interface->hid.output_report_length) {
    return PortError::Of("output report", interface->hid.path,
                         std::to_string(report.size()) + " bytes, the device takes " +
                             std::to_string(interface->hid.output_report_length));
  }
  if (interface->hid.console && IsDataCommand(report)) {
    CatchUp(clock_.Now());
    pending_.insert(pending_.end(), stored_data_.begin(), stored_data_.end());
  }
  return {};
}

Clock::TimePoint SimulatedConsole::ReportTimeAtOrAfter(Clock::TimePoint t) const {
  if (t <= next_report_time_) {
    return next_report_time_;
  }
  const auto steps =
      (t - next_report_time_ + report_interval_ - Clock::Duration(1)) / report_interval_;
  return next_report_time_ + steps * report_interval_;
}

bool SimulatedConsole::Reading() const {
  for (const auto& [handle, open] : handles_) {
    if (open.mode != OpenMode::kForReads) {
      continue;
    }
    for (const auto& interface : interfaces_) {
      if (interface.hid.console && interface.plugged && interface.hid.path == open.path &&
          interface.generation == open.generation) {
        return true;
      }
    }
  }
  return false;
}

std::optional<Clock::TimePoint> SimulatedConsole::NextReportTime() const {
  if (!Reading()) {
    return std::nullopt;
  }
  if (!raw_reports_.empty() || !pending_.empty() || empty_reports_) {
    return next_report_time_;
  }
  if (next_live_time_) {
    return ReportTimeAtOrAfter(*next_live_time_);
  }
  return std::nullopt;
}

void SimulatedConsole::EnqueueReport(std::vector<std::uint8_t> report, int capacity) {
  while (static_cast<int>(driver_queue_.size()) >= std::max(capacity, 1)) {
    ++dropped_.all;
    if (!console::DataBytes(driver_queue_.front()).empty()) {
      ++dropped_.with_data;
    }
    driver_queue_.pop_front();
  }
  driver_queue_.push_back(std::move(report));
}

std::optional<DroppedReports> SimulatedConsole::DroppedInputReports(PortHandle handle) {
  const auto found = handles_.find(handle);
  return found != handles_.end() && found->second.mode == OpenMode::kForReads ? dropped_
                                                                              : DroppedReports{};
}

void SimulatedConsole::SendReport(Interface& console) {
  if (!raw_reports_.empty()) {
    EnqueueReport(std::move(raw_reports_.front()), console.input_buffers);
    raw_reports_.pop_front();
    return;
  }
  const double elapsed = std::chrono::duration<double>(report_interval_).count();
  const auto most = static_cast<double>(kMaxDataBytes);
  line_credit_ = line_rate_ > 0 ? std::min(line_credit_ + line_rate_ * elapsed, most) : most;
  const auto length = static_cast<std::size_t>(std::max(console.hid.input_report_length, 0));
  const auto count =
      std::min<std::size_t>({pending_.size(), static_cast<std::size_t>(std::floor(line_credit_)),
                             length > kFirstDataByte ? length - kFirstDataByte : 0});
  if (count == 0 && !empty_reports_) {
    return;
  }
  std::vector<std::uint8_t> report(length, 0);
  if (report.size() > kCountByte) {
    report[kCountByte] = static_cast<std::uint8_t>(count);
  }
  for (std::size_t i = 0; i < count; ++i) {
    report[kFirstDataByte + i] = pending_.front();
    pending_.pop_front();
  }
  line_credit_ -= static_cast<double>(count);
  EnqueueReport(std::move(report), console.input_buffers);
}

void SimulatedConsole::CatchUp(Clock::TimePoint now) {
  Interface* console = ConsoleInterface();
  if (console == nullptr || !Reading()) {
    return;
  }
  while (next_report_time_ <= now) {
    const Clock::TimePoint t = next_report_time_;
    while (next_live_time_ && *next_live_time_ <= t) {
      const std::string& line = live_lines_[next_live_line_];
      pending_.insert(pending_.end(), line.begin(), line.end());
      next_live_line_ = (next_live_line_ + 1) % live_lines_.size();
      *next_live_time_ += live_period_;
    }
    if (!raw_reports_.empty() || !pending_.empty()) {
      SendReport(*console);
      next_report_time_ = t + report_interval_;
      continue;
    }
    // A quiet stretch up to `now` or to the next live line: at most a queue's worth of empty
    // reports can still be waiting at its end, so only those are made.
    Clock::TimePoint until = now;
    if (next_live_time_ && *next_live_time_ - Clock::Duration(1) < until) {
      until = *next_live_time_ - Clock::Duration(1);
    }
    const auto quiet = (until - t) / report_interval_ + 1;
    if (empty_reports_) {
      const auto made = std::min<std::int64_t>(quiet, console->input_buffers);
      for (std::int64_t i = 0; i < made; ++i) {
        SendReport(*console);
      }
    }
    next_report_time_ = t + quiet * report_interval_;
  }
}

ReadResult SimulatedConsole::ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                        std::chrono::milliseconds timeout) {
  PortError error;
  Interface* interface = Live(handle, OpenMode::kForReads, "read", error);
  if (interface == nullptr) {
    return ReadResult::Failed(std::move(error));
  }
  if (interface->hid.console && !read_faults_.empty()) {
    const ReadFault fault = read_faults_.front();
    read_faults_.pop_front();
    if (fault == ReadFault::kFailure) {
      return ReadResult::Failed(PortError::Of("read", interface->hid.path, "wait failed"));
    }
    clock_.WaitFor(timeout);
    return ReadResult::TimedOut();
  }

  const Clock::TimePoint deadline = clock_.Now() + timeout;
  CatchUp(clock_.Now());
  // A zero time-out takes only a report queued now: the loop below does not wait for one.
  while (driver_queue_.empty() || !interface->hid.console) {
    const auto next = interface->hid.console ? NextReportTime() : std::nullopt;
    if (!next || *next > deadline) {
      clock_.WaitUntil(deadline);
      return ReadResult::TimedOut();
    }
    clock_.WaitUntil(*next);
    CatchUp(clock_.Now());
  }
  const std::vector<std::uint8_t> report = std::move(driver_queue_.front());
  driver_queue_.pop_front();
  const std::size_t delivered = std::min(report.size(), buffer.size());
  std::copy_n(report.begin(), delivered, buffer.begin());
  return ReadResult::Completed(delivered);
}

void SimulatedConsole::CancelRead(PortHandle handle) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) {
    return;
  }
  calls_.push_back({Call::Kind::kCancel, it->second.path, handle, {}});
}

}  // namespace tessun
