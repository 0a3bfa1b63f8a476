// Where the device link shows the state of the USB link to the operator: the main window's status
// label, and its notice when data from the console was lost.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessun {

class StatusSink {
 public:
  virtual ~StatusSink() = default;
  virtual void SetStatus(std::string_view text) = 0;
  // Input reports with data were lost (the console sent faster than the program read), `total`
  // of them since the program started. Called once per episode of loss, never for idle reports.
  virtual void DataLost(std::uint64_t total) = 0;
};

}  // namespace tessun
