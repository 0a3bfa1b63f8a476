// How long the acquisition tick holds up the window's thread while the console prints at its
// own pace: the simulated console in real time sends a report every 7.3 ms (7 data bytes each,
// its 9600-baud serial line), and the ticks come 100 ms apart as the window's timer runs them.
// The reads really wait here; the counters give the median and the longest tick, and the share of
// the time the thread was held.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <QScrollBar>
#include <QTimer>

#include "app/form1.h"
#include "device/simulated/simulated_console.h"
#include "tests/common/controls.h"
#include "tests/common/prompt_doubles.h"
#include "tests/common/timing_printout.h"

namespace tessun {
namespace {

using Steady = std::chrono::steady_clock;

void BM_TickAtTheConsolesRate(benchmark::State& state) {
  SteadyClock clock;
  SimulatedConsole console(clock);
  console.AddInterface(SimulatedConsole::Console());
  console.SetReportInterval(std::chrono::microseconds(7300));
  console.SetLineRate(960);
  test::FakePrompt prompt;
  Form1 form(console, clock, prompt, NoLinkLog(), nullptr);
  form.Form_Load();
  test::Find<QTimer>(form, "Timer1")->stop();
  // The line being filled: the scroll bar's range reaches it at each refresh of the view.
  const QScrollBar& bar = *test::Find<QScrollBar>(form, "VScroll1");
  console.Print(soak::TimingPrintout(1 << 20));

  std::vector<double> ticks;
  double held = 0;
  const auto first = Steady::now();
  for (auto _ : state) {
    // The timer's interval, then the tick.
    std::this_thread::sleep_for(Acquisition::kTickInterval);
    if (bar.maximum() >= 900) {
      form.TODC_Click();
    }
    const auto start = Steady::now();
    form.Timer1_Timer();
    const auto stop = Steady::now();
    const double seconds = std::chrono::duration<double>(stop - start).count();
    state.SetIterationTime(seconds);
    held += seconds;
    ticks.push_back(seconds * 1e3);
  }
  const double elapsed = std::chrono::duration<double>(Steady::now() - first).count();
  std::sort(ticks.begin(), ticks.end());
  if (!ticks.empty()) {
    state.counters["median_ms"] = ticks[ticks.size() / 2];
    state.counters["max_ms"] = ticks.back();
    state.counters["held_share"] = held / elapsed;
  }
  if (console.DroppedDataReports() != 0) {
    state.SkipWithError("reports were dropped");
  }
}
BENCHMARK(BM_TickAtTheConsolesRate)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessun
