// A device port with no hardware behind it: a configurable set of HID interfaces, one of which
// can behave as the timing console. Tests drive it in virtual time (ManualClock); the program's
// demo mode runs it in real time. It records every call so tests can check what the link did.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/clock.h"
#include "device/console_protocol.h"
#include "device/device_port.h"

namespace tessun {

// One simulated HID interface.
struct SimulatedHid {
  std::string path;
  HidAttributes attributes;
  // Lengths as the Windows HID capabilities count them (with the report-id byte).
  int output_report_length = static_cast<int>(console::kReportLength);
  int input_report_length = static_cast<int>(console::kReportLength);
  // Behaves as the timing console (answers the data command, prints text); else a silent device.
  bool console = false;
};

class SimulatedConsole final : public DevicePort {
 public:
  static constexpr std::string_view kConsolePath = "sim:console";
  static constexpr int kDefaultInputBuffers = 32;

  // What happened, in order.
  struct Call {
    enum class Kind { kOpen, kClose, kFeature, kOutput, kCancel };
    Kind kind;
    std::string path;
    PortHandle handle = kNoHandle;
    std::vector<std::uint8_t> bytes;  // the report sent (kFeature, kOutput)
  };

  // Faults a test can inject into the console's next reads.
  enum class ReadFault {
    kTimeout,  // the read waits its whole time-out and does not complete
    kFailure,  // the wait for the read fails at once
  };

  explicit SimulatedConsole(Clock& clock) : clock_(clock) {}

  // The console with its ids 04B4:5500, report lengths 9 and 9; plugged in.
  static SimulatedHid Console();
  // Adds an interface, plugged in, after those added before.
  void AddInterface(SimulatedHid hid);

  void Plug(std::string_view path);
  void Unplug(std::string_view path);

  // Makes the next `count` opens of `path` (only those in mode `only`, when given) fail for
  // `reason` (what their error's text then tells) of kind `kind`; makes its attribute queries
  // fail or work.
  void FailOpens(std::string_view path, int count, std::string_view reason = "access denied",
                 std::optional<OpenMode> only = std::nullopt,
                 PortFailure kind = PortFailure::kAccessDenied);
  void FailAttributes(std::string_view path, bool fail);

  // The console's stored data, sent when it receives the data command.
  void SetStoredData(std::vector<std::uint8_t> data) { stored_data_ = std::move(data); }
  // The console prints text now: it goes out in reports of up to console::kMaxDataBytes data
  // bytes.
  void Print(std::string_view text);
  // Every `period` the console prints the next of `lines` by itself (round and round).
  void SetLiveLines(std::vector<std::string> lines, Clock::Duration period);
  // The console sends one report every `interval` while a read handle is open: data while it
  // has any, else an empty report (count 0) unless `empty_reports` is false.
  void SetReportInterval(Clock::Duration interval, bool empty_reports = true);
  // Limits the printed text to the console's serial line rate (bytes per second; 0: no limit),
  // so a report carries only the bytes that have come down the line since the last one.
  void SetLineRate(double bytes_per_second) { line_rate_ = bytes_per_second; }
  // Queues a report exactly as given (any length, any count byte); it goes out before any
  // printed data that is waiting.
  void QueueRawReport(std::vector<std::uint8_t> report);
  void InjectReadFault(ReadFault fault) { read_faults_.push_back(fault); }

  const std::vector<Call>& Calls() const { return calls_; }
  std::vector<std::vector<std::uint8_t>> Reports(Call::Kind kind) const;
  int OpenHandleCount() const;
  // Bytes printed or sent that have not yet gone out in a report.
  std::size_t PendingBytes() const { return pending_.size(); }
  // Everything printed or queued has gone out and been read: no data waits anywhere.
  bool AllDataRead() const;
  // Reports with data that the driver queue dropped because no one read them in time.
  std::uint64_t DroppedDataReports() const { return dropped_.with_data; }

  // DevicePort. The reasons of its failures are the simulated device's own: "open sim:console:
  // not present", "read sim:console: device gone", the reason given to FailOpens, and so on.
  // A report length of 0 given to SimulatedHid means the device has no such report.
  PortResult<std::vector<std::string>> ListHidInterfaces() override;
  PortResult<PortHandle> Open(const std::string& path, OpenMode mode) override;
  PortError Close(PortHandle handle) override;
  PortResult<HidAttributes> GetAttributes(PortHandle handle) override;
  PortError SetNumInputBuffers(PortHandle handle, int count) override;
  PortResult<std::optional<int>> OutputReportLength(PortHandle handle) override;
  PortResult<std::optional<int>> InputReportLength(PortHandle handle) override;
  PortError SetFeature(PortHandle handle, std::span<const std::uint8_t> report) override;
  PortError WriteReport(PortHandle handle, std::span<const std::uint8_t> report) override;
  ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds timeout) override;
  void CancelRead(PortHandle handle) override;
  // The reports the driver queue dropped (idle ones too), as of the last operation.
  std::optional<DroppedReports> DroppedInputReports(PortHandle handle) override;

 private:
  struct Interface {
    SimulatedHid hid;
    bool plugged = true;
    int generation = 0;  // grows with every plug, so handles from before an unplug go stale
    int failing_opens = 0;
    std::string failing_open_reason{};
    std::optional<OpenMode> failing_open_mode{};
    PortFailure failing_open_kind = PortFailure::kAccessDenied;
    bool failing_attributes = false;
    int input_buffers = kDefaultInputBuffers;
  };
  struct Handle {
    std::string path;
    OpenMode mode;
    int generation;
  };

  Interface* Find(std::string_view path);
  // The interface behind an open, current handle; nullptr when closed or the device is gone,
  // with the reason in `error` under the name of `operation`.
  Interface* Live(PortHandle handle, OpenMode mode, std::string_view operation, PortError& error);
  // Produces the reports the console sent up to `now` into the driver queue.
  void CatchUp(Clock::TimePoint now);
  // When the console next has a report to send, if ever.
  std::optional<Clock::TimePoint> NextReportTime() const;
  // The first report time at or after `t`.
  Clock::TimePoint ReportTimeAtOrAfter(Clock::TimePoint t) const;
  void SendReport(Interface& console);
  void EnqueueReport(std::vector<std::uint8_t> report, int capacity);
  Interface* ConsoleInterface();
  // A read handle of the plugged-in console is open: the driver is polling it.
  bool Reading() const;

  Clock& clock_;
  std::vector<Interface> interfaces_;
  std::map<PortHandle, Handle> handles_;
  PortHandle next_handle_ = 1;
  std::vector<Call> calls_;

  std::vector<std::uint8_t> stored_data_;
  std::deque<std::uint8_t> pending_;
  std::deque<std::vector<std::uint8_t>> raw_reports_;
  std::deque<std::vector<std::uint8_t>> driver_queue_;
  std::deque<ReadFault> read_faults_;
  DroppedReports dropped_;

  Clock::Duration report_interval_ = std::chrono::milliseconds(3);
  double line_rate_ = 0;
  double line_credit_ = 0;
  bool empty_reports_ = true;
  Clock::TimePoint next_report_time_{};

  std::vector<std::string> live_lines_;
  std::size_t next_live_line_ = 0;
  Clock::Duration live_period_{};
  std::optional<Clock::TimePoint> next_live_time_;
};

}  // namespace tessun
