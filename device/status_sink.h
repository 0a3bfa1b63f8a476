// Where the device link shows the state of the USB link: the main window's status label.
#pragma once

#include <string_view>

namespace tessun {

class StatusSink {
 public:
  virtual ~StatusSink() = default;
  virtual void SetStatus(std::string_view text) = 0;
};

}  // namespace tessun
