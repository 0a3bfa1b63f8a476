// The system's local date and time, as the data file's header and the capture file's name show
// them.
#pragma once

#include <ctime>

namespace tessun {

// The current local time in the system's time zone, to the second.
std::tm LocalNow();

// `time` as the local time in the system's time zone.
std::tm LocalTimeOf(std::time_t time);

}  // namespace tessun
