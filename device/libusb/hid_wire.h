// The USB HID wire format as the libusb port speaks it, kept free of libusb so that it can be
// tested without a device: report-id handling, HID class requests, the HID class descriptor,
// the port's interface paths, and what a finished input transfer means for the queue of input
// reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/libusb/input_report_queue.h"

namespace tessun {

// ---- Report ids --------------------------------------------------------------------------

// The bytes that go on the wire for a report given with its report id at index 0: a device
// without report ids gets the report without that byte. Empty for an empty report.
std::span<const std::uint8_t> ReportToWire(std::span<const std::uint8_t> report,
                                           bool uses_report_ids);

// The report as the port delivers it, from the bytes received: report id at index 0, for a
// device without report ids a 0 in front of the received bytes. Empty for an empty transfer.
std::vector<std::uint8_t> ReportFromWire(std::span<const std::uint8_t> received,
                                         bool uses_report_ids);

// ---- HID class requests ------------------------------------------------------------------

enum class HidReportType : std::uint8_t { kInput = 1, kOutput = 2, kFeature = 3 };

// The setup packet of a control request.
struct ControlSetup {
  std::uint8_t request_type = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;

  friend bool operator==(const ControlSetup&, const ControlSetup&) = default;
};

// SET_REPORT (class request 0x09, host to device, to the interface): wValue is the report type
// in the high byte and the report id (0 without report ids) in the low byte.
ControlSetup SetReportSetup(HidReportType type, std::uint8_t report_id, std::uint8_t interface,
                            std::uint16_t length);

// Standard GET_DESCRIPTOR to the interface for its report descriptor (type 0x22, index 0).
ControlSetup GetReportDescriptorSetup(std::uint8_t interface, std::uint16_t length);

// The length of the report descriptor announced by an interface's HID class descriptor (type
// 0x21), searched for in the descriptor bytes that follow the interface descriptor. Nothing when
// no well-formed HID class descriptor announces a report descriptor.
std::optional<std::uint16_t> ReportDescriptorLength(std::span<const std::uint8_t> extra);

// ---- Interface paths ---------------------------------------------------------------------

// A path names one USB device (bus number and address) and one interface of it:
// "usb:BBB:AAA:I", e.g. "usb:001:004:0".
struct UsbInterfacePath {
  std::uint8_t bus = 0;
  std::uint8_t address = 0;
  std::uint8_t interface = 0;

  friend bool operator==(const UsbInterfacePath&, const UsbInterfacePath&) = default;
};

std::string FormatUsbInterfacePath(const UsbInterfacePath& path);
std::optional<UsbInterfacePath> ParseUsbInterfacePath(const std::string& text);
// The usbfs device node that libusb opens for the device: "/dev/bus/usb/BBB/AAA".
std::string UsbfsNodePath(std::uint8_t bus, std::uint8_t address);

// ---- Finished input transfers ------------------------------------------------------------

// How an interrupt IN transfer ended, as the USB library reports it.
enum class InputTransferEnd {
  kCompleted,
  kCancelled,
  kTimedOut,
  kOverflow,
  kNoDevice,
  kStall,
  kError
};

// Transfers failing in a row before the device counts as gone.
inline constexpr int kMaxInputErrorsInRow = 3;

// What the port's reader does after one finished input transfer.
struct InputTransferVerdict {
  // The endpoint stalled: clear its halt before the next transfer.
  bool clear_halt = false;
  // Not empty: the device is unusable, for this reason; no further transfer is made.
  std::string failure;
};

// Bytes an interrupt IN transfer asks for: the descriptor's longest input report on the wire
// (`input_length` counts the report-id byte, which a device without ids does not send) or the
// endpoint's largest packet, whichever is longer, so that a device whose packets are longer than
// its descriptor says never overflows a transfer; at least 1, at most `limit`.
std::size_t InputTransferLength(std::size_t input_length, bool uses_report_ids,
                                std::size_t max_packet, std::size_t limit);

// Takes one finished interrupt IN transfer of `received` bytes. A completed transfer queues the
// report it carried in `queue` (report id at index 0; a zero-length transfer carries none) and
// ends a run of errors; cancelled and timed-out ones change nothing; an overflowing one (the
// device sent more than its largest packet) makes the device unusable, so that the lost report
// shows as a failed read; a stall asks for the halt to be cleared; a stall or error counts in
// `errors_in_row`, and the third in a row, like a vanished device, makes the device unusable.
// Runs on the reader's thread: it touches only its arguments.
InputTransferVerdict TakeInputTransfer(InputTransferEnd end, std::span<const std::uint8_t> received,
                                       bool uses_report_ids, int& errors_in_row,
                                       InputReportQueue& queue);

}  // namespace tessun
