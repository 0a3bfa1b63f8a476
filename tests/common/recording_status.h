// The status line as tests see it: every text the device link showed, in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "device/status_sink.h"

namespace tessun::test {

class RecordingStatus : public StatusSink {
 public:
  void SetStatus(std::string_view text) override { texts.emplace_back(text); }
  std::string Last() const { return texts.empty() ? "" : texts.back(); }
  std::vector<std::string> texts;
};

}  // namespace tessun::test
