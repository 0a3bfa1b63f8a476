// What the program knows of the console's side of the USB link, written once for the device link
// and the simulated console.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tessun::console {

// The console's USB ids.
inline constexpr std::uint16_t kVendorId = 0x04B4;
inline constexpr std::uint16_t kProductId = 0x5500;

// The one command the program sends: the console answers it with its stored data.
inline constexpr std::uint8_t kGetDataCommand = 141;

// Input and output reports, as the host sees them (report id first): byte 0 the report id (0,
// the console uses none), byte 1 the count of data bytes (its low 3 bits), the data from byte 2
// on. An output report carries one command byte, with a count of 1.
inline constexpr std::size_t kCountByte = 1;
inline constexpr std::size_t kFirstDataByte = 2;
inline constexpr std::uint8_t kCountMask = 0x07;
// At most this many data bytes in one input report.
inline constexpr std::size_t kMaxDataBytes = 7;
// The data bytes of an input report as delivered (report id first): as many as its count byte
// says, but none beyond the report's end. An idle report (count 0) carries none.
inline std::span<const std::uint8_t> DataBytes(std::span<const std::uint8_t> report) {
  if (report.size() <= kFirstDataByte) {
    return {};
  }
  const std::size_t count =
      std::min<std::size_t>(report[kCountByte] & kCountMask, report.size() - kFirstDataByte);
  return report.subspan(kFirstDataByte, count);
}

// The length of the console's input and output reports as the HID capabilities count them (the
// report-id byte included): a count byte and room for the most data bytes.
inline constexpr std::size_t kReportLength = kFirstDataByte + kMaxDataBytes;

// The line configuration, sent as a feature report when the console is opened: report id 0, then
// 9600 (baud) as a 32-bit little-endian number, then the configuration byte 3.
inline constexpr std::array<std::uint8_t, 6> kLineConfiguration = {0x00, 0x80, 0x25,
                                                                   0x00, 0x00, 0x03};

}  // namespace tessun::console
