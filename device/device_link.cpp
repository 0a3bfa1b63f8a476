#include "device/device_link.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace tessun {

using console::kCountByte;
using console::kCountMask;
using console::kFirstDataByte;

bool DeviceLink::OpenUsbDevice() {
  DeviceFound = false;
  bool result = false;

  // A new enumeration every time, from the first member on.
  const std::vector<std::string> members = port_.ListHidInterfaces();
  for (std::size_t index = 0; index < members.size() && !DeviceFound; ++index) {
    DevicePath = members[index];
    DeviceHandle = port_.Open(DevicePath, OpenMode::kSynchronous);
    DeviceAttributes = HidAttributes{};
    const bool known =
        DeviceHandle != kNoHandle && port_.GetAttributes(DeviceHandle, DeviceAttributes);
    if (known && DeviceAttributes.VendorID == kVendorId &&
        DeviceAttributes.ProductID == kProductId) {
      DeviceFound = true;
    } else {
      DeviceFound = false;
      CloseHandle(DeviceHandle);
    }
  }

  if (DeviceFound) {
    port_.SetNumInputBuffers(DeviceHandle, kInputBuffers);
    result = true;
    GetDeviceCapabilities();
    // A read handle that failed to open shows up later as a failed read, which closes the
    // device.
    ReadHandle = port_.Open(DevicePath, OpenMode::kForReads);
    ConfigureDeviceLine();
    status_.SetStatus(kUsbConnected);
  } else {
    status_.SetStatus(kUsbNotFound);
  }
  return result;
}

void DeviceLink::GetDeviceCapabilities() {
  const int length = port_.OutputReportLength(DeviceHandle);
  DeviceCaps.OutputReportByteLength = static_cast<std::uint16_t>(
      std::clamp(length, 0, int{std::numeric_limits<std::uint16_t>::max()}));
  ReportLength = static_cast<std::int16_t>(
      std::min<int>(DeviceCaps.OutputReportByteLength, std::numeric_limits<std::int16_t>::max()));
}

void DeviceLink::ConfigureDeviceLine() {
  port_.SetFeature(DeviceHandle, console::kLineConfiguration);
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

void DeviceLink::StoreReport(std::span<const std::uint8_t> report) {
  if (report.size() <= kCountByte || report[kCountByte] == 0) {
    return;
  }
  // Only bytes the read really delivered are taken, however large the count claims to be.
  const std::size_t count =
      std::min<std::size_t>(report[kCountByte] & kCountMask, report.size() - kFirstDataByte);
  for (std::size_t i = 0; i < count; ++i) {
    store_.StoreByte(report[kFirstDataByte + i]);
  }
}

void DeviceLink::ReadReports() {
  if (!EnsureOpen()) {
    return;
  }

  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::max<int>(ReportLength, 0)), 0);
  int passes = 0;
  do {
    const ReadResult read = port_.ReadReport(ReadHandle, buffer, kReadTimeout);
    switch (read.status) {
      case ReadStatus::kCompleted:
        LastResult = kWaitCompleted;
        StoreReport(std::span(buffer).first(std::min(read.bytes, buffer.size())));
        break;
      case ReadStatus::kTimedOut:
        LastResult = kWaitTimeout;
        break;
      case ReadStatus::kFailed:
        LastResult = kWaitFailed;
        break;
    }
    ++passes;
  } while (passes < kReportsPerCall && LastResult == kWaitCompleted);

  if (LastResult == kWaitCompleted) {
    status_.SetStatus(kUsbCommunicationOk);
    return;
  }
  // A read that timed out or failed: cancel it and close both handles, so that the next
  // search opens the device afresh and no read can complete into a released buffer.
  status_.SetStatus(LastResult == kWaitTimeout ? kReadfileTimeout : kReadfileUndefinedError);
  if (ReadHandle != kNoHandle) {
    port_.CancelRead(ReadHandle);
  }
  CloseDevice();
  DeviceFound = false;
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
