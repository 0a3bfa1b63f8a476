#include "core/acquisition.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <poll.h>

#include <csignal>
#endif
#include <stdexcept>
#include <string>
#include <vector>

#include "core/close_signals.h"
#include "device/clock.h"
#include "device/simulated/simulated_console.h"
#include "tests/common/forwarding_port.h"
#include "tests/common/recording_status.h"
#include "tests/common/screen_doubles.h"

namespace tessun {
namespace {

using Steps = std::vector<std::string>;

// Notes the timer's state whenever a report is written, and can fail the write.
class WatchedPort : public test::ForwardingPort {
 public:
  WatchedPort(DevicePort& inner, const test::RecordingTimer& timer)
      : ForwardingPort(inner), timer_(timer) {}
  PortError WriteReport(PortHandle handle, std::span<const std::uint8_t> report) override {
    timer_on_at_write.push_back(timer_.enabled);
    if (throw_on_write) {
      throw std::runtime_error("write went wrong");
    }
    return ForwardingPort::WriteReport(handle, report);
  }
  std::vector<bool> timer_on_at_write;
  bool throw_on_write = false;

 private:
  const test::RecordingTimer& timer_;
};

// The timer is off while the device is opened at start-up and while "Get Data" waits and
// writes, and always on again afterwards, even when the write fails.
TEST(Acquisition, TheTimerIsOffAroundStartUpAndGetDataAndAlwaysOnAgain) {
  ManualClock clock;
  SimulatedConsole console(clock);
  console.AddInterface(SimulatedConsole::Console());
  test::RecordingTimer timer;
  test::RecordingStatus status;
  test::RecordingCanvas canvas;
  test::FakeScrollBar bar;
  WatchedPort port(console, timer);
  Acquisition core(port, clock, timer, status, canvas, bar);

  const auto start = clock.Now();
  core.StartUp();
  EXPECT_EQ(timer.steps, (Steps{"interval 100", "off", "on"}));
  EXPECT_GE(clock.Now() - start, Acquisition::kStartupWait);
  EXPECT_EQ(status.Last(), "USB Connected ");
  EXPECT_EQ(canvas.clears, 1);

  timer.steps.clear();
  const auto before_get_data = clock.Now();
  core.GetData();
  EXPECT_GE(clock.Now() - before_get_data, Acquisition::kGetDataWait);
  port.throw_on_write = true;
  EXPECT_THROW(core.GetData(), std::runtime_error);
  EXPECT_EQ(timer.steps, (Steps{"off", "on", "off", "on"}));
  EXPECT_EQ(port.timer_on_at_write, (std::vector<bool>{false, false}));
  EXPECT_TRUE(timer.enabled);
}

#if !defined(_WIN32)
// Each close signal (SIGINT, SIGTERM, SIGHUP) reaches the program's loop through the pipe, once;
// the program itself then closes the console (the VM test and close_signal_test check that path).
TEST(CloseSignalsTest, EachCloseSignalIsTakenFromThePipeOnce) {
  ASSERT_TRUE(CloseSignals::Install());
  ASSERT_TRUE(CloseSignals::Install());
  EXPECT_EQ(CloseSignals::Take(), 0);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    // Not handled, the signal would end the test instead of failing it.
    struct sigaction handling {};
    ASSERT_EQ(sigaction(signal, nullptr, &handling), 0);
    ASSERT_NE(handling.sa_handler, SIG_DFL);
    ASSERT_EQ(std::raise(signal), 0);
    pollfd pipe{CloseSignals::ReadFd(), POLLIN, 0};
    EXPECT_EQ(poll(&pipe, 1, 1000), 1);
    EXPECT_EQ(CloseSignals::Take(), signal);
    EXPECT_EQ(CloseSignals::Take(), 0);
  }
}
#endif

}  // namespace
}  // namespace tessun
