// The parts of the Windows HID port that need no Windows call: taking the device path out of an
// interface-detail buffer, sizing the port's own read buffer, judging a finished wait, handing a
// completed report to the caller and tidying a system error message. Kept apart so they are
// tested on every platform.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "device/device_port.h"

namespace tessun::windows_detail {

// Wait results as WaitForSingleObject returns them.
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;

// The ANSI device path in a filled-in interface-detail buffer: the text from `path_offset` up to
// the first zero byte. A buffer the system did not fill completely (no zero byte) yields the text
// up to its end, never beyond it; an offset at or past the end yields "".
inline std::string DevicePathFromDetail(std::span<const std::uint8_t> detail,
                                        std::size_t path_offset) {
  if (path_offset >= detail.size()) {
    return {};
  }
  const auto text = detail.subspan(path_offset);
  const auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
  return std::string(text.begin(), end);
}

// Length of the port's own buffer for one read. The HID driver refuses a read into a buffer
// shorter than the device's input report, so the buffer is never shorter than that, even when
// the caller asks for less (the report is then cut to the caller's length on delivery).
inline std::size_t ReadBufferLength(std::size_t caller_length, int input_report_length) {
  return std::max(caller_length, static_cast<std::size_t>(std::max(input_report_length, 0)));
}

// What a finished wait for an overlapped read means. `transfer_ok` is the result of asking for
// the read's outcome after the wait signalled (GetOverlappedResult); it matters only then.
inline ReadStatus StatusOfWait(std::uint32_t wait_result, bool transfer_ok) {
  if (wait_result == kWaitObject0) {
    return transfer_ok ? ReadStatus::kCompleted : ReadStatus::kFailed;
  }
  return wait_result == kWaitTimeout ? ReadStatus::kTimedOut : ReadStatus::kFailed;
}

// Copies a completed report from the port's own buffer into the caller's: no more than the read
// transferred, than the own buffer holds, or than the caller's buffer takes. Returns the number
// of bytes delivered.
inline std::size_t DeliverReport(std::span<const std::uint8_t> own, std::size_t transferred,
                                 std::span<std::uint8_t> out) {
  const std::size_t count = std::min({transferred, own.size(), out.size()});
  if (count > 0) {
    std::memcpy(out.data(), own.data(), count);
  }
  return count;
}

// A system error message as one line of text: the system ends its messages with a full stop and
// a line break ("Access is denied.\r\n"), and a reason is shown after a colon. Trailing blanks,
// line breaks and full stops go; a message that is empty then says "error <code>".
inline std::string TidySystemMessage(std::string_view message, std::uint32_t code) {
  const auto end = message.find_last_not_of(" \t\r\n.");
  if (end == std::string_view::npos) {
    return "error " + std::to_string(code);
  }
  std::string tidy(message.substr(0, end + 1));
  // A message of several lines reads as one.
  std::erase(tidy, '\r');
  std::replace(tidy.begin(), tidy.end(), '\n', ' ');
  return tidy;
}

// The kind of failure a system error code of an open or a request stands for.
inline PortFailure FailureOfSystemError(std::uint32_t code) {
  switch (code) {
    case 0:
      return PortFailure::kNone;
    case 5:  // ERROR_ACCESS_DENIED
      return PortFailure::kAccessDenied;
    case 32:  // ERROR_SHARING_VIOLATION
      return PortFailure::kBusy;
    case 2:     // ERROR_FILE_NOT_FOUND
    case 3:     // ERROR_PATH_NOT_FOUND
    case 55:    // ERROR_DEV_NOT_EXIST
    case 1167:  // ERROR_DEVICE_NOT_CONNECTED
      return PortFailure::kNotPresent;
    case 121:   // ERROR_SEM_TIMEOUT
    case 258:   // WAIT_TIMEOUT
    case 1460:  // ERROR_TIMEOUT
      return PortFailure::kNoAnswer;
    default:
      return PortFailure::kOther;
  }
}

}  // namespace tessun::windows_detail
