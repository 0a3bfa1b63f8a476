// `tessun --diagnose --raw`: what only a real console can tell, for a problem report. Each
// console's device, configuration and HID report descriptors in hex and its endpoints, then a
// report trace of the link's first 2 seconds after the configuration report, without "Get Data",
// so that it shows what the console sends while idle.
#pragma once

#include <chrono>
#include <string>

#include "device/clock.h"
#include "device/device_port.h"

namespace tessun {

inline constexpr std::chrono::seconds kRawTraceLength{2};

// The text to append to the diagnosis, one line each, ending with a line feed. Nothing is left
// open.
std::string RawConsoleFacts(DevicePort& port, Clock& clock);

}  // namespace tessun
