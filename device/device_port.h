// The device port: the few platform operations the device link needs to find, open and talk to
// a HID device. The link's own logic sits above it; each platform (libusb on Linux, the HID
// calls on Windows, the simulated console for tests and demos) implements it once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessun {

// An open handle of a port. Values are the port's own; kNoHandle is never a valid one.
using PortHandle = std::intptr_t;
inline constexpr PortHandle kNoHandle = -1;

struct HidAttributes {
  std::uint16_t VendorID = 0;
  std::uint16_t ProductID = 0;
  std::uint16_t VersionNumber = 0;
};

enum class OpenMode {
  kSynchronous,  // attributes, capabilities, feature and output reports
  kForReads,     // input reports, each read waited for with a time-out
};

enum class ReadStatus {
  kCompleted,  // a report was delivered
  kTimedOut,   // no report within the time-out; the read is still outstanding until cancelled
  kFailed,     // the wait for the read failed (device gone, I/O error)
};

struct ReadResult {
  ReadStatus status = ReadStatus::kFailed;
  // Bytes delivered into the caller's buffer (only for kCompleted): the report id at index 0
  // (0 for a device without report ids) followed by the report's bytes.
  std::size_t bytes = 0;
};

class DevicePort {
 public:
  virtual ~DevicePort() = default;

  // Paths of the HID interfaces present now, in the platform's order. Every call starts a new
  // enumeration, so a device plugged in since the last call is listed.
  virtual std::vector<std::string> ListHidInterfaces() = 0;

  // Opens a listed path; kNoHandle when the open fails.
  virtual PortHandle Open(const std::string& path, OpenMode mode) = 0;
  // Closes a handle; false when it was not open. A read still outstanding on it is cancelled
  // first, and no read ever completes into a buffer after Close returns.
  virtual bool Close(PortHandle handle) = 0;

  // Vendor id, product id and version of the device behind the handle; false when unreadable.
  virtual bool GetAttributes(PortHandle handle, HidAttributes& attributes) = 0;
  // Asks the driver to queue up to `count` input reports. A hint: a port may ignore it.
  virtual bool SetNumInputBuffers(PortHandle handle, int count) = 0;
  // The device's output report length as the Windows HID capabilities count it: the report-id
  // byte is included even when the device uses no report ids. 0 when it cannot be read.
  virtual int OutputReportLength(PortHandle handle) = 0;
  // Readies a kForReads handle for reads with a time-out. Ports that need nothing here (all but
  // the Windows one, which sets up its reused read event) may do nothing.
  virtual void PrepareReads(PortHandle handle) = 0;

  // Sends a feature report; report[0] is the report id. False when it was not sent.
  virtual bool SetFeature(PortHandle handle, std::span<const std::uint8_t> report) = 0;
  // Writes an output report; report[0] is the report id. False when it was not written.
  virtual bool WriteReport(PortHandle handle, std::span<const std::uint8_t> report) = 0;

  // Reads one input report into `buffer`, waiting at most `timeout`. The oldest report queued
  // by the driver is delivered first. A report longer than the buffer is cut to its size.
  virtual ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                std::chrono::milliseconds timeout) = 0;
  // Cancels a read left outstanding by a timed-out or failed ReadReport.
  virtual void CancelRead(PortHandle handle) = 0;
};

}  // namespace tessun
