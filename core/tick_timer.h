// The acquisition timer as the core drives it: the window's timer, or a test's record of it.
#pragma once

#include <chrono>

namespace tessun {

class TickTimer {
 public:
  virtual ~TickTimer() = default;
  virtual void SetInterval(std::chrono::milliseconds interval) = 0;
  // Starts ticking (again), one interval from now.
  virtual void Enable() = 0;
  // No tick falls due until the next Enable.
  virtual void Disable() = 0;
};

}  // namespace tessun
