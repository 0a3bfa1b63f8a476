// The device port on Windows: the system's own HID calls (setupapi.dll to enumerate the present
// HID interfaces, hid.dll to identify and configure a device, kernel32.dll to open, read and
// write). Reads are overlapped so that each can be waited for with a time-out.
//
// The header does not include <windows.h>, so that its macros stay out of the code that uses
// the port; handles are kept as the opaque pointers they are.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/device_port.h"

namespace tessun {

class WindowsPort final : public DevicePort {
 public:
  WindowsPort();
  // Closes every handle still open (cancelling its read first) and the read event.
  ~WindowsPort() override;
  WindowsPort(const WindowsPort&) = delete;
  WindowsPort& operator=(const WindowsPort&) = delete;

  // The reasons of the failures are the system's own messages (GetLastError, as FormatMessage
  // words them), after the operation and the device path: "open \\?\hid#...: Access is denied";
  // the kind is that of the system error code (FailureOfSystemError).
  PortResult<std::vector<std::string>> ListHidInterfaces() override;
  // A kForReads open also creates the port's read event the first time (one manual-reset event,
  // kept and reused by every later read handle).
  PortResult<PortHandle> Open(const std::string& path, OpenMode mode) override;
  PortError Close(PortHandle handle) override;
  PortResult<HidAttributes> GetAttributes(PortHandle handle) override;
  // The HID driver keeps a queue of input reports for each open handle. The count asked for is
  // remembered for the device and also given to every handle this port opens to it afterwards,
  // so the read handle gets the queue that was asked for on the synchronous one.
  PortError SetNumInputBuffers(PortHandle handle, int count) override;
  // Both lengths come from the device's HID capabilities, which count 0 for a report the device
  // does not have.
  PortResult<std::optional<int>> OutputReportLength(PortHandle handle) override;
  PortResult<std::optional<int>> InputReportLength(PortHandle handle) override;
  PortError SetFeature(PortHandle handle, std::span<const std::uint8_t> report) override;
  PortError WriteReport(PortHandle handle, std::span<const std::uint8_t> report) override;
  // Starts an overlapped read into the port's own buffer (or goes on waiting for the read a
  // previous call left outstanding) and waits for it at most `timeout`. The caller's buffer is
  // written only when the read has completed. With a zero time-out a read that has not
  // completed at once is cancelled, and a report that completed it meanwhile is delivered.
  ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds timeout) override;
  // Cancels the outstanding read and waits until the system has finished with it.
  void CancelRead(PortHandle handle) override;
  // The HID driver drops the oldest report of a full queue without telling anyone: unknown.
  std::optional<DroppedReports> DroppedInputReports(PortHandle) override { return std::nullopt; }

  // Handles this port has open now.
  std::size_t OpenHandleCount() const { return handles_.size(); }
  // The size of the driver's input report queue of a handle; 0 when it cannot be read.
  int InputBuffers(PortHandle handle);

 private:
  struct ReadRecord;  // an overlapped read record and the buffer it reads into
  struct OpenHandle;  // one open handle, with its read record when it is a read handle

  // The input or output report length from the device's HID capabilities.
  PortResult<std::optional<int>> CapsLength(PortHandle handle, bool input);
  OpenHandle* Find(PortHandle handle);
  void* ReadEvent();
  // Cancels a read and waits for it; a read the system will not give back is parked, never
  // released, so that it cannot complete into freed memory. Returns the bytes the read
  // delivered when it completed with a report before it could be cancelled, else nothing.
  std::optional<unsigned long> FinishRead(OpenHandle& open);

  std::map<PortHandle, std::unique_ptr<OpenHandle>> handles_;
  // Input buffers asked for, by device path.
  std::map<std::string, int> input_buffers_;
  std::vector<std::unique_ptr<ReadRecord>> parked_reads_;
  // The manual-reset event every overlapped read signals; created once, reused for the port's
  // whole life. Only one read is outstanding at a time, so one event serves all read handles.
  void* read_event_ = nullptr;
};

}  // namespace tessun
