// The status line as tests see it: every text the device link showed, in order, and every
// notice of lost data.
#pragma once

#include <cstdint>
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
  void DataLost(std::uint64_t total) override { data_lost.push_back(total); }
  // The text shown now (also when a test has taken `texts` away).
  const std::string& Last() const { return last_; }
  std::vector<std::string> texts;
  // The totals each notice of lost data named.
  std::vector<std::uint64_t> data_lost;

 private:
  std::string last_;
};

}  // namespace tessun::test
