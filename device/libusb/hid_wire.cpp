#include "device/libusb/hid_wire.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace tessun {

namespace {

// bmRequestType values: direction, type (standard or class), recipient interface.
constexpr std::uint8_t kHostToDeviceClassInterface = 0x21;
constexpr std::uint8_t kDeviceToHostStandardInterface = 0x81;
constexpr std::uint8_t kRequestSetReport = 0x09;
constexpr std::uint8_t kRequestGetDescriptor = 0x06;
constexpr std::uint8_t kDescriptorTypeHid = 0x21;
constexpr std::uint8_t kDescriptorTypeReport = 0x22;

}  // namespace

std::span<const std::uint8_t> ReportToWire(std::span<const std::uint8_t> report,
                                           bool uses_report_ids) {
  if (report.empty() || uses_report_ids) {
    return report;
  }
  return report.subspan(1);
}

std::vector<std::uint8_t> ReportFromWire(std::span<const std::uint8_t> received,
                                         bool uses_report_ids) {
  std::vector<std::uint8_t> report;
  if (received.empty()) {
    return report;
  }
  report.reserve(received.size() + 1);
  if (!uses_report_ids) {
    report.push_back(0);
  }
  report.insert(report.end(), received.begin(), received.end());
  return report;
}

ControlSetup SetReportSetup(HidReportType type, std::uint8_t report_id, std::uint8_t interface,
                            std::uint16_t length) {
  return ControlSetup{
      .request_type = kHostToDeviceClassInterface,
      .request = kRequestSetReport,
      .value = static_cast<std::uint16_t>((static_cast<unsigned>(type) << 8) | report_id),
      .index = interface,
      .length = length,
  };
}

ControlSetup GetReportDescriptorSetup(std::uint8_t interface, std::uint16_t length) {
  return ControlSetup{
      .request_type = kDeviceToHostStandardInterface,
      .request = kRequestGetDescriptor,
      .value = static_cast<std::uint16_t>(kDescriptorTypeReport << 8),
      .index = interface,
      .length = length,
  };
}

std::optional<std::uint16_t> ReportDescriptorLength(std::span<const std::uint8_t> extra) {
  // The extra bytes are a run of descriptors, each starting with its length and type.
  std::size_t pos = 0;
  while (pos + 2 <= extra.size()) {
    const std::size_t length = extra[pos];
    if (length < 2 || length > extra.size() - pos) {
      return std::nullopt;
    }
    // HID descriptor: length, type 0x21, bcdHID (2), country, count of class descriptors, then
    // per class descriptor its type (1) and length (2, little-endian).
    if (extra[pos + 1] == kDescriptorTypeHid && length >= 6) {
      const std::size_t count = extra[pos + 5];
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = pos + 6 + 3 * i;
        if (at + 3 > pos + length) {
          break;
        }
        if (extra[at] == kDescriptorTypeReport) {
          return static_cast<std::uint16_t>(extra[at + 1] | (extra[at + 2] << 8));
        }
      }
    }
    pos += length;
  }
  return std::nullopt;
}

std::string FormatUsbInterfacePath(const UsbInterfacePath& path) {
  char text[32];
  std::snprintf(text, sizeof text, "usb:%03u:%03u:%u", unsigned{path.bus}, unsigned{path.address},
                unsigned{path.interface});
  return text;
}

std::optional<UsbInterfacePath> ParseUsbInterfacePath(const std::string& text) {
  // Exactly "usb:" then three decimal fields separated by ':', each 0..255.
  constexpr std::string_view kPrefix = "usb:";
  if (text.compare(0, kPrefix.size(), kPrefix) != 0) {
    return std::nullopt;
  }
  unsigned fields[3] = {};
  std::size_t pos = kPrefix.size();
  for (int field = 0; field < 3; ++field) {
    if (field > 0) {
      if (pos >= text.size() || text[pos] != ':') {
        return std::nullopt;
      }
      ++pos;
    }
    const std::size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    if (pos == start || value > 255) {
      return std::nullopt;
    }
    fields[field] = value;
  }
  if (pos != text.size()) {
    return std::nullopt;
  }
  return UsbInterfacePath{static_cast<std::uint8_t>(fields[0]),
                          static_cast<std::uint8_t>(fields[1]),
                          static_cast<std::uint8_t>(fields[2])};
}

std::string UsbfsNodePath(std::uint8_t bus, std::uint8_t address) {
  char text[32];
  std::snprintf(text, sizeof text, "/dev/bus/usb/%03u/%03u", unsigned{bus}, unsigned{address});
  return text;
}

std::size_t InputTransferLength(std::size_t input_length, bool uses_report_ids,
                                std::size_t max_packet, std::size_t limit) {
  const std::size_t on_wire =
      input_length > 0 && !uses_report_ids ? input_length - 1 : input_length;
  return std::clamp<std::size_t>(std::max(on_wire, max_packet), 1, std::max<std::size_t>(limit, 1));
}

InputTransferVerdict TakeInputTransfer(InputTransferEnd end, std::span<const std::uint8_t> received,
                                       bool uses_report_ids, int& errors_in_row,
                                       InputReportQueue& queue) {
  InputTransferVerdict verdict;
  switch (end) {
    case InputTransferEnd::kCompleted:
      errors_in_row = 0;
      queue.Push(ReportFromWire(received, uses_report_ids));
      break;
    case InputTransferEnd::kCancelled:
    case InputTransferEnd::kTimedOut:
      break;
    case InputTransferEnd::kOverflow:
      // A report was lost: never silently.
      verdict.failure = "input report longer than the transfer (overflow)";
      break;
    case InputTransferEnd::kNoDevice:
      verdict.failure = "device gone";
      break;
    case InputTransferEnd::kStall:
      verdict.clear_halt = true;
      [[fallthrough]];
    case InputTransferEnd::kError:
      // After an unplug the pending transfer often ends with an I/O error instead.
      if (++errors_in_row >= kMaxInputErrorsInRow) {
        verdict.failure = "repeated transfer errors";
      }
      break;
  }
  return verdict;
}

}  // namespace tessun
