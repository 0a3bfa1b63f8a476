#include "files/local_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace tessun {
namespace {

// Read back as local time, the fields give the clock's time now; in a zone away from UTC, fields
// of UTC would be five hours off.
TEST(LocalTime, IsTheSystemClockInTheLocalZone) {
#if !defined(_WIN32)
  // Five hours east of UTC, without daylight saving time (a POSIX zone rule, no zone files).
  const char* saved = std::getenv("TZ");
  const std::string saved_zone = saved != nullptr ? saved : "";
  ::setenv("TZ", "XYZ-5", 1);
  ::tzset();
#endif
  const std::time_t before = std::time(nullptr);
  std::tm now = LocalNow();
  const std::time_t after = std::time(nullptr);
  const std::time_t read_back = std::mktime(&now);
  EXPECT_GE(read_back, before);
  EXPECT_LE(read_back, after);
#if !defined(_WIN32)
  saved != nullptr ? ::setenv("TZ", saved_zone.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
#endif
}

}  // namespace
}  // namespace tessun
