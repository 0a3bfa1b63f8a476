// The device port: the few platform operations the device link needs to find, open and talk to
// a HID device. The link's own logic sits above it; each platform (libusb on Linux, the HID
// calls on Windows, the simulated console for tests and demos) implements it once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
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

// What kind of failure a port call met, so that the link can tell the operator what to do about
// it.
enum class PortFailure {
  kNone,          // the call succeeded
  kNotPresent,    // the device is gone or was never there
  kAccessDenied,  // this user may not open the device
  kBusy,          // another program (or driver) holds the device
  kNoAnswer,      // the device did not answer a request in time
  kOther,         // anything else; the text says what
};

// Why a port call failed, returned by the call itself: the kind, and the text for the operator
// and the log, "operation path: reason" ("operation: reason" when the failure concerns no path),
// for example "open usb:001:004:0: access denied" or "claim usb:001:004:0: busy". A call that
// succeeded returns kNone and an empty text. Tests as true when the call failed.
struct PortError {
  PortFailure kind = PortFailure::kNone;
  std::string text;

  // A failure of `kind`, worded as every port words its failures.
  static PortError Of(std::string_view operation, std::string_view path, std::string_view reason,
                      PortFailure kind = PortFailure::kOther) {
    std::string text(operation);
    if (!path.empty()) {
      text.append(" ").append(path);
    }
    return {kind, text.append(": ").append(reason)};
  }
  // The failure of a call on a handle the port did not open (or has closed).
  static PortError NotOpen(std::string_view operation) {
    return Of(operation, "", "not an open handle");
  }

  explicit operator bool() const { return kind != PortFailure::kNone; }
};

// The result of a port call that gives back a value: the value when `error` is none, else the
// value that stands for nothing (kNoHandle, an empty list, zero attributes, no length).
template <typename T>
struct PortResult {
  T value{};
  PortError error;
};

struct ReadResult {
  ReadStatus status = ReadStatus::kFailed;
  // Bytes delivered into the caller's buffer (only for kCompleted): the report id at index 0
  // (0 for a device without report ids) followed by the report's bytes.
  std::size_t bytes = 0;
  // Why the read failed (only for kFailed).
  PortError error;

  static ReadResult Completed(std::size_t bytes) { return {ReadStatus::kCompleted, bytes, {}}; }
  static ReadResult TimedOut() { return {ReadStatus::kTimedOut, 0, {}}; }
  static ReadResult Failed(PortError error) { return {ReadStatus::kFailed, 0, std::move(error)}; }
};

// Input reports a driver's queue dropped: all of them, and those among them that carried data
// bytes (the others were idle reports, with a count of 0).
struct DroppedReports {
  std::uint64_t all = 0;
  std::uint64_t with_data = 0;
};

// The USB descriptors of a device as it answers for them, byte for byte: for `--diagnose --raw`.
struct RawDescriptors {
  std::vector<std::uint8_t> device;
  // The active configuration with all its interface, class and endpoint descriptors.
  std::vector<std::uint8_t> configuration;
  std::vector<std::uint8_t> report;  // the HID report descriptor of the interface
};

class DevicePort {
 public:
  virtual ~DevicePort() = default;

  // Every call that can fail returns its failure with its result (a PortError, or a PortResult's
  // `error`, or a failed read's), and nothing of it outlives the call. A call on a handle the port
  // did not open (or has closed) touches nothing and never crashes; it fails with
  // PortError::NotOpen, except CancelRead and DroppedInputReports, which cannot fail.

  // Paths of the HID interfaces present now, in the platform's order. Every call starts a new
  // enumeration, so a device plugged in since the last call is listed.
  // Returns the paths (an empty list when there are none); an empty list and the error when the
  // enumeration failed.
  virtual PortResult<std::vector<std::string>> ListHidInterfaces() = 0;

  // Opens a listed path. A kForReads handle is ready for ReadReport when Open returns.
  // Returns the new handle; kNoHandle and the error when the open failed (a path not present, no
  // access, the device busy).
  virtual PortResult<PortHandle> Open(const std::string& path, OpenMode mode) = 0;
  // Closes a handle. A read still outstanding on it is cancelled first, and no read ever
  // completes into a buffer after Close returns.
  // Returns none when the handle was open and is now closed; the error when it was not open (or
  // the system refused to close it).
  virtual PortError Close(PortHandle handle) = 0;

  // Vendor id, product id and version of the device behind the handle.
  // Returns them; zeros and the error when they cannot be read.
  virtual PortResult<HidAttributes> GetAttributes(PortHandle handle) = 0;
  // Asks the driver to queue up to `count` input reports.
  // Returns none when the driver took the count; the error when it refused it (a count out of
  // its range) or the handle is not open.
  virtual PortError SetNumInputBuffers(PortHandle handle, int count) = 0;
  // The device's output report length as the Windows HID capabilities count it: the report-id
  // byte is included even when the device uses no report ids.
  // Returns the length, or nothing when the device has no output report (both successes);
  // nothing and the error when it cannot be read.
  virtual PortResult<std::optional<int>> OutputReportLength(PortHandle handle) = 0;
  // The length of the longest input report ReadReport can deliver for the device: a buffer of
  // this length never cuts a report. Counted as OutputReportLength counts.
  // Returns the length, or nothing when the device has no input report (both successes);
  // nothing and the error when it cannot be read.
  virtual PortResult<std::optional<int>> InputReportLength(PortHandle handle) = 0;

  // Sends a feature report; report[0] is the report id.
  // Returns none when the whole report was sent; the error when it was not.
  virtual PortError SetFeature(PortHandle handle, std::span<const std::uint8_t> report) = 0;
  // Writes an output report; report[0] is the report id.
  // Returns none when the whole report was written; the error when it was not.
  virtual PortError WriteReport(PortHandle handle, std::span<const std::uint8_t> report) = 0;

  // Reads one input report into `buffer`, waiting at most `timeout`. The oldest report queued
  // by the driver is delivered first. A report longer than the buffer is cut to its size.
  // A zero `timeout` takes a report only if one is queued now: it never waits, and it leaves no
  // read outstanding (kTimedOut then means that none was queued).
  // Returns kCompleted with the bytes delivered; kTimedOut when no report came in time (not a
  // failure: no error); kFailed with the error when the handle is not open for reads or the
  // wait failed (device gone, I/O error). Only kCompleted writes into `buffer`.
  virtual ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                std::chrono::milliseconds timeout) = 0;
  // Cancels a read left outstanding by a timed-out or failed ReadReport; nothing when there is
  // none (or the handle is not open). Once it returns, that read writes nothing anywhere.
  virtual void CancelRead(PortHandle handle) = 0;

  // How many input reports the driver's queue behind a kForReads handle has dropped so far
  // (the oldest report goes when one arrives at a full queue), counted from an arbitrary start:
  // a caller compares two readings.
  // Returns the counts; zeros for a handle not open for reads; nothing where the platform cannot
  // tell (the Windows HID driver drops silently).
  virtual std::optional<DroppedReports> DroppedInputReports(PortHandle handle) = 0;

  // The descriptors of the device behind a handle, as the device gives them now.
  // Returns them; nothing and the error when they cannot be read, and the error "not available
  // on this platform" where the platform does not hand them out (this default).
  virtual PortResult<RawDescriptors> ReadRawDescriptors(PortHandle /*handle*/) {
    return {{}, PortError::Of("descriptors", "", "not available on this platform")};
  }
};

}  // namespace tessun
