// The device port: the few platform operations the device link needs to find, open and talk to
// a HID device. The link's own logic sits above it; each platform (libusb on Linux, the HID
// calls on Windows, the simulated console for tests and demos) implements it once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
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

// What kind of failure the port's last operation met, so that the link can tell the operator what
// to do about it.
enum class PortFailure {
  kNone,          // the last operation succeeded
  kNotPresent,    // the device is gone or was never there
  kAccessDenied,  // this user may not open the device
  kBusy,          // another program (or driver) holds the device
  kNoAnswer,      // the device did not answer a request in time
  kOther,         // anything else; LastError says what
};

struct ReadResult {
  ReadStatus status = ReadStatus::kFailed;
  // Bytes delivered into the caller's buffer (only for kCompleted): the report id at index 0
  // (0 for a device without report ids) followed by the report's bytes.
  std::size_t bytes = 0;
};

// The text of a port's LastError: "operation path: reason", or "operation: reason" when the
// failure concerns no path. Every port words its failures this way.
inline std::string PortErrorText(std::string_view operation, std::string_view path,
                                 std::string_view reason) {
  std::string text(operation);
  if (!path.empty()) {
    text.append(" ").append(path);
  }
  return text.append(": ").append(reason);
}

class DevicePort {
 public:
  virtual ~DevicePort() = default;

  // Every call below except LastError, LastFailure and DroppedInputReports is an operation of
  // the port. An operation that fails says
  // so in its return value and leaves its reason for LastError; one that succeeds leaves
  // LastError empty. A call on a handle the port did not open (or has closed) touches nothing
  // and never crashes; it fails, except CancelRead, which then has nothing to do.

  // Paths of the HID interfaces present now, in the platform's order. Every call starts a new
  // enumeration, so a device plugged in since the last call is listed.
  // Returns the paths; an empty list when there are none or the enumeration failed (then
  // LastError says why).
  virtual std::vector<std::string> ListHidInterfaces() = 0;

  // Opens a listed path. A kForReads handle is ready for ReadReport when Open returns.
  // Returns the new handle, or kNoHandle when the open failed (a path not present, no access,
  // the device busy); LastError says why.
  virtual PortHandle Open(const std::string& path, OpenMode mode) = 0;
  // Closes a handle. A read still outstanding on it is cancelled first, and no read ever
  // completes into a buffer after Close returns.
  // Returns true when the handle was open and is now closed; false when it was not open (or the
  // system refused to close it).
  virtual bool Close(PortHandle handle) = 0;

  // Vendor id, product id and version of the device behind the handle.
  // Returns true with `attributes` filled; false when they cannot be read (`attributes` is then
  // left as it was).
  virtual bool GetAttributes(PortHandle handle, HidAttributes& attributes) = 0;
  // Asks the driver to queue up to `count` input reports.
  // Returns true when the driver took the count; false when it refused it (a count out of its
  // range) or the handle is not open.
  virtual bool SetNumInputBuffers(PortHandle handle, int count) = 0;
  // The device's output report length as the Windows HID capabilities count it: the report-id
  // byte is included even when the device uses no report ids.
  // Returns the length; 0 when it cannot be read (a failure) or the device has no output report
  // (a success).
  virtual int OutputReportLength(PortHandle handle) = 0;
  // The length of the longest input report ReadReport can deliver for the device, counted as
  // OutputReportLength counts (report-id byte included): a buffer of this length never cuts a
  // report.
  // Returns the length; 0 when it cannot be read (a failure) or the device has no input report
  // (a success).
  virtual int InputReportLength(PortHandle handle) = 0;

  // Sends a feature report; report[0] is the report id.
  // Returns true when the whole report was sent; false when it was not.
  virtual bool SetFeature(PortHandle handle, std::span<const std::uint8_t> report) = 0;
  // Writes an output report; report[0] is the report id.
  // Returns true when the whole report was written; false when it was not.
  virtual bool WriteReport(PortHandle handle, std::span<const std::uint8_t> report) = 0;

  // Reads one input report into `buffer`, waiting at most `timeout`. The oldest report queued
  // by the driver is delivered first. A report longer than the buffer is cut to its size.
  // A zero `timeout` takes a report only if one is queued now: it never waits, and it leaves no
  // read outstanding (kTimedOut then means that none was queued).
  // Returns kCompleted with the bytes delivered; kTimedOut when no report came in time (not a
  // failure: LastError is empty); kFailed when the handle is not open for reads or the wait
  // failed (device gone, I/O error), with LastError saying why. Only kCompleted writes into
  // `buffer`.
  virtual ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                std::chrono::milliseconds timeout) = 0;
  // Cancels a read left outstanding by a timed-out or failed ReadReport; nothing when there is
  // none. Once it returns, that read writes nothing anywhere.
  virtual void CancelRead(PortHandle handle) = 0;

  // What the port's last operation failed at and why, as text for the operator and the log:
  // the operation, what it was applied to, and the reason, for example
  // "open usb:001:004:0: access denied" or "claim usb:001:004:0: busy".
  // Returns "" when the last operation succeeded (or none was made). The text is the port's
  // own and only meant to be read; a caller that wants it takes it right after the failed call,
  // before the next operation replaces it.
  virtual std::string LastError() const = 0;
  // The kind of that failure; kNone when LastError is empty.
  virtual PortFailure LastFailure() const = 0;

  // How many input reports the driver's queue behind a kForReads handle has dropped so far
  // (the oldest report goes when one arrives at a full queue), counted from an arbitrary start:
  // a caller compares two readings. Not an operation: LastError is left as it is.
  // Returns the count; 0 for a handle not open for reads, and always 0 where the platform does
  // not tell (the Windows HID driver drops silently).
  virtual std::uint64_t DroppedInputReports(PortHandle handle) = 0;
};

}  // namespace tessun
