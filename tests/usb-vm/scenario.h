// What the virtual console and the link test inside the virtual machine agree on: where they
// talk to each other, the console's stored printout, and how the console cuts text into input
// reports. Both programs are built from this one header, so the test can work out exactly which
// bytes the console has sent after any number of reports.
#pragma once

#include <linux/usb/ch9.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tests/common/console_report_descriptor.h"

namespace tessun::usbvm {

// The console reads one command per line from this FIFO:
//   plug             plug the gadget into the virtual bus
//   unplug           unplug it
//   live N           send N live lines
//   cut K P          during the next printout, stop after K data reports, stay silent for
//                    P ms, then unplug
//   zlp on|off       send a zero-length packet after every data report, or not
//   mute on|off      stop answering the requests sent to the interface (control requests), or
//                    answer them again
//   shape long|8     "long": the report descriptor offers a 2-byte output report and input
//                    reports go out as kLongInputSize-byte packets (longer than the descriptor's
//                    input report); "8": 8-byte reports both ways (the console as it is)
//   quit             unplug and end
inline constexpr const char* kCommandFifo = "/run/console.cmd";
// The console appends one line per event here (and echoes it to its standard output).
inline constexpr const char* kEventLog = "/run/console.events";

// Size of an input and of an output report on the wire (no report id byte).
inline constexpr std::size_t kWireReportSize = 8;
// Wire sizes of the "shape long" console: its output report and its input packets.
inline constexpr std::size_t kShortOutputSize = 2;
inline constexpr std::size_t kLongInputSize = 16;
// The interrupt IN endpoint's largest packet: room for the long input packets.
inline constexpr std::size_t kInMaxPacket = kLongInputSize;

// The console's report descriptor, shared with the parser's tests.
inline constexpr const auto& kReportDescriptor = test_data::kConsoleReportDescriptor;
inline constexpr std::uint8_t kHidDescriptorType = 0x21;
inline constexpr std::uint8_t kReportDescriptorType = 0x22;
// Full-speed polling interval in ms, and the high-speed equivalent (2^(7-1) microframes, 8 ms).
inline constexpr std::uint8_t kFullSpeedInterval = 10;
inline constexpr std::uint8_t kHighSpeedInterval = 7;

inline void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// The interface, HID class descriptor and the two interrupt endpoints the console declares for
// one speed: the link test finds them in the configuration descriptor that --diagnose --raw shows.
inline void PutInterfaceDescriptors(std::vector<std::uint8_t>& out, std::uint8_t interval) {
  const std::uint8_t interface[] = {
      USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, 0x03, 0, 0, 0};
  out.insert(out.end(), std::begin(interface), std::end(interface));
  const std::uint8_t hid[] = {9, kHidDescriptorType, 0x11, 0x01, 0, 1, kReportDescriptorType};
  out.insert(out.end(), std::begin(hid), std::end(hid));
  PutLe16(out, static_cast<std::uint16_t>(kReportDescriptor.size()));
  for (const std::uint8_t address : {std::uint8_t{1 | USB_DIR_IN}, std::uint8_t{2 | USB_DIR_OUT}}) {
    const std::uint8_t endpoint[] = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address,
                                     USB_ENDPOINT_XFER_INT};
    out.insert(out.end(), std::begin(endpoint), std::end(endpoint));
    PutLe16(out, (address & USB_DIR_IN) != 0 ? kInMaxPacket : kWireReportSize);
    out.push_back(interval);
  }
}

// Data bytes an input report can carry after its count byte.
inline constexpr std::size_t kMaxDataBytes = 7;

// The printout the console stores and sends on command 141. Carriage returns, the tab, the
// braces, the tilde and the byte 0xB0 are there to be dropped on the way into the line store.
inline constexpr std::string_view kPrintout =
    "\r\n"
    "TESSUN TIMING  RESULTS PRINTOUT\r\n"
    "EVENT 14   HEAT 2 OF 3   100 FREE\r\n"
    "LANE PLACE   TIME     SPLIT\r\n"
    "  1    3   1:04.27   30.91\r\n"
    "  2    1   1:02.85   30.12\r\n"
    "  3    5   1:06.02   31.77\r\n"
    "  4    2   1:03.10   30.40\r\n"
    "  5    4   1:05.66   31.05\r\n"
    "  6   DQ   {false start}\r\n"
    "\tpad 4 backup ~ ok \xB0\r\n"
    "\r\n"
    "END OF HEAT 2\r\n";

// The lines the program must show for kPrintout: line 0 holds what came before the first line
// feed (nothing), and the last line is the empty one being filled after the final line feed.
inline const std::vector<std::string> kPrintoutLines = {
    "",
    "TESSUN TIMING  RESULTS PRINTOUT",
    "EVENT 14   HEAT 2 OF 3   100 FREE",
    "LANE PLACE   TIME     SPLIT",
    "  1    3   1:04.27   30.91",
    "  2    1   1:02.85   30.12",
    "  3    5   1:06.02   31.77",
    "  4    2   1:03.10   30.40",
    "  5    4   1:05.66   31.05",
    "  6   DQ   false start",
    "pad 4 backup  ok ",
    "",
    "END OF HEAT 2",
    "",
};

// A live line as the console prints it (number counts from 1).
inline std::string LiveLine(int number, int total) {
  return "LIVE LINE " + std::to_string(number) + " OF " + std::to_string(total);
}

// Cuts text into the data parts of input reports. The sizes vary (like a console that sends
// whatever its serial side has collected) so that every count from 1 to 7 occurs.
inline std::vector<std::string> SplitIntoReports(std::string_view text) {
  static constexpr std::size_t kSizes[] = {7, 7, 3, 7, 5, 7, 1, 6, 7, 2, 4, 7};
  std::vector<std::string> parts;
  std::size_t next = 0;
  for (std::size_t i = 0; next < text.size(); ++i) {
    const std::size_t size = std::min(kSizes[i % std::size(kSizes)], text.size() - next);
    parts.emplace_back(text.substr(next, size));
    next += size;
  }
  return parts;
}

// The input report on the wire for one data part: the count, the data, zeros up to `size`.
inline std::vector<std::uint8_t> WireReport(std::string_view part,
                                            std::size_t size = kWireReportSize) {
  std::vector<std::uint8_t> report(size, 0);
  report[0] = static_cast<std::uint8_t>(part.size());
  for (std::size_t i = 0; i < part.size() && i < kMaxDataBytes; ++i) {
    report[1 + i] = static_cast<std::uint8_t>(part[i]);
  }
  return report;
}

}  // namespace tessun::usbvm
