// Time as the device link and the windows see it: a monotonic clock that can also wait.
// Tests and the simulated console use ManualClock, so no test ever waits for real.
#pragma once

#include <chrono>
#include <thread>

namespace tessun {

class Clock {
 public:
  using Duration = std::chrono::steady_clock::duration;
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual TimePoint Now() const = 0;
  // Returns once Now() has reached `deadline` (at once if it already has).
  virtual void WaitUntil(TimePoint deadline) = 0;

  void WaitFor(Duration d) { WaitUntil(Now() + d); }
};

// The machine's monotonic clock: unaffected by midnight or by changes of the wall clock.
class SteadyClock final : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
  void WaitUntil(TimePoint deadline) override { std::this_thread::sleep_until(deadline); }
};

// A clock that only moves when told to; WaitUntil moves it straight to the deadline.
class ManualClock final : public Clock {
 public:
  TimePoint Now() const override { return now_; }
  void WaitUntil(TimePoint deadline) override {
    if (deadline > now_) {
      now_ = deadline;
    }
  }
  void Advance(Duration d) { now_ += d; }

 private:
  TimePoint now_{};
};

}  // namespace tessun
