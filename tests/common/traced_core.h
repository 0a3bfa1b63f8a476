// The acquisition core over a port that traces it (as `tessun --trace` runs it), with the
// window's parts replaced by recording doubles; the trace is kept as text.
#pragma once

#include <string>
#include <string_view>

#include "core/acquisition.h"
#include "device/clock.h"
#include "device/report_trace.h"
#include "device/tracing_port.h"
#include "tests/common/core_rig.h"

namespace tessun::test {

struct TracedCore : WindowDoubles {
  TracedCore(DevicePort& port, Clock& clock)
      : tracing(port, clock,
                [this](std::string_view lines) {
                  text += lines;
                  return true;
                }),
        core(tracing, clock, timer, status, canvas, bar) {
    bar.view = &core.View();
  }

  std::string text;
  TracingPort tracing;
  Acquisition core;
};

}  // namespace tessun::test
