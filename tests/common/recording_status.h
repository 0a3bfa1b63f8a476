// The status line as tests see it: every text the device link showed, in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "device/status_sink.h"

namespace tessun::test {

class RecordingStatus : public StatusSink {
 public:
  void SetStatus(std::string_view text) override {
    texts.emplace_back(text);
    last_ = text;
  }
  // The text shown now (also when a test has taken `texts` away).
  const std::string& Last() const { return last_; }
  std::vector<std::string> texts;

 private:
  std::string last_;
};

}  // namespace tessun::test
