// Where the device link and its ports write what an operator or a developer needs to know about
// the console and the link: why a console on the bus cannot be used, reports lost, exchanges
// that failed. It is standard-library only, so that the link, the ports and the tests can write
// to it; the program writes it to its "tessun.usb" logging category, on stderr.
#pragma once

#include <string_view>

namespace tessun {

enum class LogLevel {
  kInfo,     // the link's state changed in a way worth knowing (a console taken into use)
  kWarning,  // something the operator can act on (permission, busy console, reports lost)
};

class LinkLog {
 public:
  virtual ~LinkLog() = default;
  // One message, one line, without a trailing newline. Called on the caller's thread.
  virtual void Write(LogLevel level, std::string_view message) = 0;
};

// The log of a link that was given none: every message is dropped.
class NullLinkLog final : public LinkLog {
 public:
  void Write(LogLevel /*level*/, std::string_view /*message*/) override {}
};

// One shared NullLinkLog.
inline LinkLog& NoLinkLog() {
  static NullLinkLog log;
  return log;
}

}  // namespace tessun
