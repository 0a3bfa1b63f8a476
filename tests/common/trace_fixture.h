// The report trace recorded from the USB test's virtual console (tests/usb-vm) and the data file
// that the traced run wrote, both kept under tests/fixtures: the data file was written under
// this name, date and time, so that a replay writes the same bytes.
#pragma once

#include <string_view>

namespace tessun::test {

inline constexpr std::string_view kTraceFixture = "usbvm-trace.txt";
inline constexpr std::string_view kTraceFixtureDataFile = "usbvm-data.txt";
inline constexpr std::string_view kTraceFixtureFileName = "USBVM.TXT";
inline constexpr std::string_view kTraceFixtureDate = "12-08-2026";
inline constexpr std::string_view kTraceFixtureTime = "14:03:27";

}  // namespace tessun::test
