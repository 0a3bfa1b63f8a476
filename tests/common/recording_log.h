// The link's log as tests see it: every message written, in order.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "device/link_log.h"

namespace tessun::test {

class RecordingLog : public LinkLog {
 public:
  struct Entry {
    LogLevel level;
    std::string message;
  };
  void Write(LogLevel level, std::string_view message) override {
    entries.push_back({level, std::string(message)});
  }
  // How many messages contain `part`.
  long Count(std::string_view part) const {
    return std::count_if(entries.begin(), entries.end(), [part](const Entry& entry) {
      return entry.message.find(part) != std::string::npos;
    });
  }
  std::vector<Entry> entries;
};

}  // namespace tessun::test
