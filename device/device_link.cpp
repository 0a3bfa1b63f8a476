#include "device/device_link.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "device/console_advice.h"

namespace tessun {

using console::kCountByte;
using console::kFirstDataByte;

namespace {

SteadyClock& MachineClock() {
  static SteadyClock clock;
  return clock;
}

// Reads both report lengths into `caps`; returns the port's error when one cannot be read.
PortError ReadCapabilities(DevicePort& port, PortHandle device, DeviceLink::HidCaps& caps) {
  const auto clamped = [](std::optional<int> length) {
    return static_cast<std::uint16_t>(
        std::clamp(length.value_or(0), 0, int{std::numeric_limits<std::uint16_t>::max()}));
  };
  const PortResult<std::optional<int>> output = port.OutputReportLength(device);
  caps.OutputReportByteLength = clamped(output.value);
  caps.InputReportByteLength = 0;
  // A device without an output report is no usable console, and one that cannot tell its
  // capabilities is not asked twice.
  if (output.error || caps.OutputReportByteLength == 0) {
    return output.error;
  }
  const PortResult<std::optional<int>> input = port.InputReportLength(device);
  caps.InputReportByteLength = clamped(input.value);
  return input.error;
}

// "04B4:5500".
std::string Ids(std::uint16_t vendor, std::uint16_t product) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X:%04X", vendor, product);
  return text;
}

}  // namespace

DeviceLink::DeviceLink(DevicePort& port, StatusSink& status, Clock* clock)
    : port_(port), status_(status), clock_(clock ? *clock : MachineClock()) {
  received_.reserve(kMostBytesPerCall);
}

bool DeviceLink::OpenUsbDevice() {
  DeviceFound = false;
  const Clock::TimePoint now = clock_.Now();
  std::erase_if(backed_off_, [now](const auto& entry) { return entry.second <= now; });

  // A new enumeration every time, from the first member on.
  const PortResult<std::vector<std::string>> listed = port_.ListHidInterfaces();
  const std::vector<std::string>& members = listed.value;
  // Why the last console met cannot be used, now or while it is left out of the searches.
  std::string refused;
  for (std::size_t index = 0; index < members.size() && !DeviceFound; ++index) {
    if (backed_off_.contains(members[index])) {
      refused = logged_[members[index]];
      continue;
    }
    DevicePath = members[index];
    DeviceHandle = port_.Open(DevicePath, OpenMode::kSynchronous).value;
    // Zeros, which match nothing, when the open failed or the attributes cannot be read.
    DeviceAttributes =
        DeviceHandle == kNoHandle ? HidAttributes{} : port_.GetAttributes(DeviceHandle).value;
    if (DeviceAttributes.VendorID == kVendorId && DeviceAttributes.ProductID == kProductId) {
      DeviceFound = UseConsole();
      refused = DeviceFound ? "" : logged_[DevicePath];
    } else {
      CloseHandle(DeviceHandle);
    }
  }

  if (DeviceFound) {
    ShowStatus(kUsbConnected, InUse(DevicePath));
  } else if (!refused.empty()) {
    ShowStatus(kUsbNotFound, refused);
  } else {
    const std::string why = listed.error ? " (" + listed.error.text + ")" : "";
    ShowStatus(kUsbNotFound, "no console " + Ids(kVendorId, kProductId) + " found" + why +
                                 "; plug it in: the program keeps looking");
  }
  return DeviceFound;
}

void DeviceLink::ShowStatus(std::string_view text, std::string reason) {
  status_reason_ = std::move(reason);
  status_.SetStatus(text);
}

DeviceLink::SetUpResult DeviceLink::SetUpConsole(DevicePort& port, PortHandle device,
                                                 const std::string& path) {
  SetUpResult result;
  const auto fail = [&result](std::string_view step, PortError error) {
    result.failed_step = step;
    result.error = std::move(error);
    return result;
  };
  // The driver's queue size is a wish: a driver that keeps fewer reports still works.
  port.SetNumInputBuffers(device, kInputBuffers);
  if (PortError error = ReadCapabilities(port, device, result.caps);
      error || result.caps.OutputReportByteLength == 0 ||
      result.caps.InputReportByteLength <= kFirstDataByte) {
    return fail("capabilities", std::move(error));
  }
  PortResult<PortHandle> reads = port.Open(path, OpenMode::kForReads);
  if (reads.error) {
    return fail("open for reads", std::move(reads.error));
  }
  if (PortError error = port.SetFeature(device, console::kLineConfiguration)) {
    port.Close(reads.value);
    return fail("configuration", std::move(error));
  }
  result.read_handle = reads.value;
  return result;
}

bool DeviceLink::UseConsole() {
  SetUpResult set_up = SetUpConsole(port_, DeviceHandle, DevicePath);
  DeviceCaps = set_up.caps;
  ReportLength = static_cast<std::int16_t>(
      std::min<int>(DeviceCaps.OutputReportByteLength, std::numeric_limits<std::int16_t>::max()));
  if (!set_up.failed_step.empty()) {
    NoteUnusable(DevicePath, set_up.failed_step, set_up.error);
    CloseDevice();
    backed_off_[DevicePath] = clock_.Now() + kSetUpBackOff;
    return false;
  }
  ReadHandle = set_up.read_handle;
  NoteUsable(DevicePath);
  dropped_seen_ = port_.DroppedInputReports(ReadHandle).value_or(DroppedReports{});
  losing_data_ = false;
  return true;
}

void DeviceLink::NoteLostReports() {
  const std::optional<DroppedReports> dropped = port_.DroppedInputReports(ReadHandle);
  const bool was_losing = losing_data_;
  losing_data_ = false;
  if (!dropped) {
    return;  // the port cannot tell
  }
  const std::uint64_t lost = dropped->all - std::min(dropped->all, dropped_seen_.all);
  const std::uint64_t lost_data =
      dropped->with_data - std::min(dropped->with_data, dropped_seen_.with_data);
  dropped_seen_ = *dropped;
  if (lost == 0) {
    return;
  }
  InputReportsLost += lost;
  DataReportsLost += lost_data;
  log_->Write(LogLevel::kWarning, std::to_string(lost) + " input reports lost (" +
                                      std::to_string(lost_data) + " with data, " +
                                      std::to_string(lost - lost_data) +
                                      " idle): the console sends faster than the program reads");
  losing_data_ = lost_data > 0;
  // The operator hears of it once per episode: again only after a call that lost no data.
  if (losing_data_ && !was_losing) {
    status_.DataLost(DataReportsLost);
  }
}

void DeviceLink::NoteUnusable(const std::string& path, std::string_view step,
                              const PortError& error) {
  std::string reason = error.text;
  std::string_view advice = AdviceFor(error.kind);
  if (!error) {
    // The port did not fail: the capabilities it read are of no use.
    reason = "output report " + std::to_string(ReportLength) + " bytes, input report " +
             std::to_string(DeviceCaps.InputReportByteLength) + " bytes";
    advice = kNoUsableReportAdvice;
  }
  const std::string text = "console " + Ids(kVendorId, kProductId) + " at " + path +
                           " cannot be used (" + std::string(step) + ": " + reason + "); " +
                           std::string(advice);
  if (const auto logged = logged_.find(path); logged == logged_.end() || logged->second != text) {
    log_->Write(LogLevel::kWarning, text);
    logged_[path] = text;
  }
}

void DeviceLink::NoteUsable(const std::string& path) {
  if (const auto logged = logged_.find(path); logged == logged_.end() || !logged->second.empty()) {
    log_->Write(LogLevel::kInfo, InUse(path));
    logged_[path] = "";
  }
}

std::string DeviceLink::InUse(const std::string& path) const {
  return "console " + Ids(kVendorId, kProductId) + " at " + path + " in use: output report " +
         std::to_string(ReportLength) + " bytes, input report " +
         std::to_string(DeviceCaps.InputReportByteLength) + " bytes";
}

void DeviceLink::CloseHandle(PortHandle& handle) {
  if (handle != kNoHandle) {
    port_.Close(handle);
    handle = kNoHandle;
  }
}

void DeviceLink::CloseDevice() {
  CloseHandle(DeviceHandle);
  CloseHandle(ReadHandle);
}

bool DeviceLink::EnsureOpen() {
  if (!DeviceFound) {
    DeviceFound = OpenUsbDevice();
    if (!DeviceFound) {
      status_.SetStatus(kUsbNotFound);
      return false;
    }
  }
  return true;
}

void DeviceLink::TakeReport(std::span<const std::uint8_t> report) {
  // Only bytes the read really delivered are taken, however large the count claims to be.
  const auto data = console::DataBytes(report);
  received_.insert(received_.end(), data.begin(), data.end());
}

std::span<const std::uint8_t> DeviceLink::ReadReports() {
  received_.clear();
  if (!EnsureOpen()) {
    losing_data_ = false;
    return received_;
  }

  // Input reports may be longer than output reports: the buffer holds the longer of the two.
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::max<int>({ReportLength, DeviceCaps.InputReportByteLength, 0})),
      0);
  int passes = 0;
  bool drained = false;
  PortError failure;
  do {
    // The first read waits for a report; after it only reports already queued are taken, so the
    // window's thread is not held up waiting for reports that are still to come.
    const ReadResult read =
        port_.ReadReport(ReadHandle, buffer, passes == 0 ? kReadTimeout : kQueuedOnly);
    switch (read.status) {
      case ReadStatus::kCompleted:
        LastResult = kWaitCompleted;
        TakeReport(std::span(buffer).first(std::min(read.bytes, buffer.size())));
        break;
      case ReadStatus::kTimedOut:
        if (passes == 0) {
          LastResult = kWaitTimeout;
        } else {
          drained = true;
        }
        break;
      case ReadStatus::kFailed:
        LastResult = kWaitFailed;
        failure = read.error;
        break;
    }
    ++passes;
  } while (passes < kReportsPerCall && LastResult == kWaitCompleted && !drained);
  NoteLostReports();

  if (LastResult == kWaitCompleted) {
    status_.SetStatus(kUsbCommunicationOk);
    return received_;
  }
  // A read that timed out or failed: cancel it and close both handles, so that the next
  // search opens the device afresh and no read can complete into a released buffer.
  const std::string console = "console " + Ids(kVendorId, kProductId) + " at " + DevicePath;
  if (LastResult == kWaitTimeout) {
    ShowStatus(kReadfileTimeout, console + " sent no report within " +
                                     std::to_string(kReadTimeout.count()) +
                                     " ms; the link closed it and searches for it again");
  } else {
    // Why the console was lost (unplugged, an overflowing report, repeated transfer errors).
    ShowStatus(kReadfileUndefinedError,
               console + ": " + failure.text + "; the link searches for it again");
    log_->Write(LogLevel::kWarning, status_reason_);
  }
  if (ReadHandle != kNoHandle) {
    port_.CancelRead(ReadHandle);
  }
  CloseDevice();
  DeviceFound = false;
  return received_;
}

void DeviceLink::SendCommand(std::uint8_t command) {
  if (!EnsureOpen()) {
    return;
  }
  // A report too short to hold the count and the command byte cannot carry a command.
  if (ReportLength <= static_cast<std::int16_t>(kFirstDataByte)) {
    return;
  }
  std::vector<std::uint8_t> report(static_cast<std::size_t>(ReportLength), 0);
  report[0] = 0;
  report[kCountByte] = 1;
  report[kFirstDataByte] = command;
  // The outcome is not acted on: a console that did not take the command sends nothing, and a
  // console that is gone shows up in the next read pass.
  port_.WriteReport(DeviceHandle, report);
}

}  // namespace tessun
