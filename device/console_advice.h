// What the operator can do about a console that cannot be used, in this platform's terms: one
// line each, used by the link's log and by `tessun --diagnose`.
#pragma once

#include <string_view>

#include "device/device_port.h"

namespace tessun {

// Advice for a failure of the kind `failure`; "" for kNone.
inline std::string_view AdviceFor(PortFailure failure) {
  switch (failure) {
    case PortFailure::kNone:
      return "";
    case PortFailure::kNotPresent:
      return "it went away during the set-up; plug it in again";
#if defined(_WIN32)
    case PortFailure::kAccessDenied:
      return "access denied; close any other program that uses the console, then plug it in "
             "again";
#else
    case PortFailure::kAccessDenied:
      return "permission denied; install packaging/linux/70-tessun.rules (copy it to "
             "/etc/udev/rules.d/), then unplug the console and plug it in again";
#endif
    case PortFailure::kBusy:
      return "another program holds the console (a second tessun?); close it";
    case PortFailure::kNoAnswer:
      return "the console does not answer; switch it off and on, or unplug it and plug it in "
             "again";
    case PortFailure::kOther:
      break;
  }
  return "unplug the console and plug it in again; if that does not help, run tessun "
         "--diagnose";
}

// Advice for a console whose reports the program cannot use.
inline constexpr std::string_view kNoUsableReportAdvice =
    "its reports are too short for the console's data; is it really the timing console?";

}  // namespace tessun
