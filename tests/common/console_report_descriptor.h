// The console's HID report descriptor as the tests assume it: a vendor-defined usage page,
// 8-byte input and output reports and a 5-byte feature report (the line configuration), no
// report ids. Windows counts each length with the report-id byte: input 9, output 9, feature 6.
#pragma once

#include <array>
#include <cstdint>

namespace tessun::test_data {

inline constexpr std::array<std::uint8_t, 33> kConsoleReportDescriptor = {
    0x06, 0xA0, 0xFF,  // Usage Page (vendor-defined 0xFFA0)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x09, 0x02,        //   Usage (2)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x08,        //   Report Count (8)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x09, 0x03,        //   Usage (3)
    0x95, 0x08,        //   Report Count (8)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0x09, 0x04,        //   Usage (4)
    0x95, 0x05,        //   Report Count (5)
    0xB1, 0x02,        //   Feature (Data, Variable, Absolute)
    0xC0,              // End Collection
};

}  // namespace tessun::test_data
