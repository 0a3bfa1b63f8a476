#include "files/local_time.h"

namespace tessun {

std::tm LocalNow() {
  return LocalTimeOf(std::time(nullptr));
}

std::tm LocalTimeOf(std::time_t time) {
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &time);
#else
  localtime_r(&time, &local);
#endif
  return local;
}

}  // namespace tessun
