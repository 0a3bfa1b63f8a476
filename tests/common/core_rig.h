// The acquisition core against the simulated console in virtual time, with the window's parts
// replaced by recording doubles: what the program does on each tick, without a window.
#pragma once

#include <chrono>

#include "core/acquisition.h"
#include "device/clock.h"
#include "device/simulated/simulated_console.h"
#include "tests/common/recording_status.h"
#include "tests/common/screen_doubles.h"

namespace tessun::test {

// The window's parts that the core reaches, as recording doubles.
struct WindowDoubles {
  RecordingTimer timer;
  RecordingStatus status;
  RecordingCanvas canvas;
  FakeScrollBar bar;
};

struct CoreRig : WindowDoubles {
  // `port` defaults to the console itself; a test may put a port of its own in front of it.
  explicit CoreRig(DevicePort* port = nullptr)
      : console(clock), core(port ? *port : console, clock, timer, status, canvas, bar) {
    bar.view = &core.View();
  }

  // A tick 100 ms after the last one, as the window's timer runs it.
  void Tick() {
    clock.Advance(Acquisition::kTickInterval);
    core.Tick();
  }

  ManualClock clock;
  SimulatedConsole console;
  Acquisition core;
};

}  // namespace tessun::test
