// The HID device link: finds the console among the present HID interfaces, opens and configures
// it, reads its input reports and hands back their data bytes, sends it commands, and keeps the
// status message up to date. All of it runs on the caller's (the window's) thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/clock.h"
#include "device/console_protocol.h"
#include "device/device_port.h"
#include "device/link_log.h"
#include "device/status_sink.h"

namespace tessun {

// The status texts, exactly as the operator sees them (note the trailing blanks).
inline constexpr std::string_view kUsbConnected = "USB Connected ";
inline constexpr std::string_view kUsbNotFound = "USB Not Found ";
inline constexpr std::string_view kUsbCommunicationOk = "USB Communication OK";
inline constexpr std::string_view kReadfileTimeout = "Readfile Timeout ";
inline constexpr std::string_view kReadfileUndefinedError = "Readfile Undefined Error";

// The one command the program sends: the console answers it with its stored data.
inline constexpr std::uint8_t kGetDataCommand = console::kGetDataCommand;

class DeviceLink {
 public:
  static constexpr std::uint16_t kVendorId = console::kVendorId;
  static constexpr std::uint16_t kProductId = console::kProductId;
  static constexpr int kInputBuffers = 200;
  static constexpr int kReportsPerCall = 40;
  // The most data bytes one ReadReports hands back: 40 reports of at most 7.
  static constexpr std::size_t kMostBytesPerCall = kReportsPerCall * console::kMaxDataBytes;
  // The first read of a call waits this long; the others take only reports already queued.
  static constexpr std::chrono::milliseconds kReadTimeout{500};
  static constexpr std::chrono::milliseconds kQueuedOnly{0};
  // A console whose set-up failed is left out of the searches for this long.
  static constexpr std::chrono::seconds kSetUpBackOff{5};
  // Wait results kept in LastResult after a read, as the platform's wait reports them.
  static constexpr std::uint32_t kWaitCompleted = 0;
  static constexpr std::uint32_t kWaitTimeout = 258;
  static constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;

  struct HidCaps {
    std::uint16_t OutputReportByteLength = 0;
    std::uint16_t InputReportByteLength = 0;
  };

  // What setting up a console gave: its report lengths as far as they were read, and either an
  // open read handle or the step that failed, with the port's error (none when the port did not
  // fail there: the report lengths are of no use).
  struct SetUpResult {
    HidCaps caps;
    PortHandle read_handle = kNoHandle;
    std::string_view failed_step;  // "" when it worked
    PortError error;
  };
  // The one rule by which a console is set up, by the link and by `tessun --diagnose`: with the
  // console's synchronous handle `device` open on `path`, asks for the input buffers, reads the
  // report lengths (a console needs an output report and an input report with room for data),
  // opens `path` for reads and configures the console. On a failure nothing it opened is left
  // open; `device` stays open either way.
  static SetUpResult SetUpConsole(DevicePort& port, PortHandle device, const std::string& path);

  // `clock` times the back-off of consoles whose set-up failed (the machine's clock when none
  // is given); it must outlive the link.
  DeviceLink(DevicePort& port, StatusSink& status, Clock* clock = nullptr);
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // Where the link writes why a console cannot be used and what went wrong in an exchange;
  // nowhere until set. The log must outlive the link.
  void SetLog(LinkLog& log) { log_ = &log; }
  LinkLog& Log() const { return *log_; }

  // Searches the present HID interfaces from the first one on, opens the first usable console
  // found, configures it and shows "USB Connected " or "USB Not Found ". A console that cannot
  // be opened for reads, has no usable report length or cannot be configured counts as not
  // matching: what was opened is closed, the reason is logged, the search goes on with the next
  // interface, and that console is left out of the searches for kSetUpBackOff. Returns
  // DeviceFound.
  bool OpenUsbDevice();
  // Closes both handles. DeviceFound is left as it is.
  void CloseDevice();
  // Reads input reports, opening the device first if needed, and shows the state of the link:
  // the first read waits up to kReadTimeout, then only the reports already queued are taken, up
  // to 40 in all. A first read that times out, or any read that fails, closes the device; the
  // next call searches for it again.
  // Returns the data bytes of the reports read (those of the reads that completed before a
  // failed one too), in the order received, at most kMostBytesPerCall; valid until the next
  // call.
  std::span<const std::uint8_t> ReadReports();
  // Sends one command byte in an output report, opening the device first if needed.
  void SendCommand(std::uint8_t command);

  // Why the status line reads what it reads, in the words of the log and of `tessun --diagnose`:
  // the console in use, why the console found cannot be used (also while it is left out of the
  // searches), that no console was found, or why the console was lost. Set before each status
  // text is shown, so a status sink may read it in SetStatus.
  const std::string& StatusReason() const { return status_reason_; }

  // The device is open and configured.
  bool DeviceFound = false;
  // Synchronous handle: attributes, capabilities, feature and output reports.
  PortHandle DeviceHandle = kNoHandle;
  // Handle for input reports, read with a time-out.
  PortHandle ReadHandle = kNoHandle;
  HidAttributes DeviceAttributes;
  HidCaps DeviceCaps;
  // The device's output report length, used for every output report. Input reports are read
  // into a buffer as long as the longest of this and the device's input report.
  std::int16_t ReportLength = 0;
  // The wait result of the last read (kWaitCompleted, kWaitTimeout or kWaitFailed);
  // kWaitCompleted until the first read. Nothing else (no close, no write) changes it.
  std::uint32_t LastResult = kWaitCompleted;
  // Path of the interface examined last.
  std::string DevicePath;
  // Input reports the driver's queue dropped since the program started (the console sent
  // faster than the ticks read), as far as the port can tell: all of them, and those that
  // carried data (the others were idle reports).
  std::uint64_t InputReportsLost = 0;
  std::uint64_t DataReportsLost = 0;

 private:
  // Sets up the console just matched (DeviceHandle open on DevicePath) by SetUpConsole's rule.
  // On a failure everything is closed again, the reason logged and the console backed off;
  // returns false.
  bool UseConsole();
  // Logs why the console at `path` cannot be used at `step`, once per change of reason: the
  // port's error, or (when the port did not fail) the report lengths it has.
  void NoteUnusable(const std::string& path, std::string_view step, const PortError& error);
  void NoteUsable(const std::string& path);
  // "console 04B4:5500 at PATH in use: ..." for the console just set up.
  std::string InUse(const std::string& path) const;
  // Shows `text` in the status line with `reason` as its StatusReason.
  void ShowStatus(std::string_view text, std::string reason);
  // Takes the data bytes of one delivered input report.
  void TakeReport(std::span<const std::uint8_t> report);
  // Closes a handle that is open and forgets it, so that no handle is ever closed twice.
  void CloseHandle(PortHandle& handle);
  // Opens the device when it is not open; false (with "USB Not Found ") when it is absent.
  bool EnsureOpen();
  // Counts and logs the input reports the driver's queue dropped since the last look, and tells
  // the status sink when reports with data were lost after a call that lost none.
  void NoteLostReports();

  DevicePort& port_;
  // The status line: every text the link shows goes there.
  StatusSink& status_;
  LinkLog* log_ = &NoLinkLog();
  Clock& clock_;
  // Consoles whose set-up failed, by path, and until when they are left out of searches.
  std::map<std::string, Clock::TimePoint> backed_off_;
  // The port's counts of dropped input reports at the last look, for the open read handle.
  DroppedReports dropped_seen_;
  // The last ReadReports lost reports with data: a loss in the next one is the same episode.
  bool losing_data_ = false;
  // What was last logged about each console: why it could not be used, or "" once it was.
  std::map<std::string, std::string> logged_;
  std::string status_reason_;
  // The data bytes of the current ReadReports.
  std::vector<std::uint8_t> received_;
};

}  // namespace tessun
