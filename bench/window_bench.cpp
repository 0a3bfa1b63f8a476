// The acquisition tick against the simulated console with a full tick of data, the data view's
// refresh at the end of a full store with a very long last line, and the save window's write of
// a full store; all offscreen.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/picture_box.h"
#include "app/scroll_bar.h"
#include "core/capture_log.h"
#include "device/simulated/simulated_console.h"
#include "save/file_lists.h"
#include "save/form6.h"
#include "tests/common/controls.h"
#include "tests/common/prompt_doubles.h"
#include "tests/common/timing_printout.h"
#include "ui/twips.h"

namespace tessun {
namespace {

using std::chrono::milliseconds;

constexpr std::size_t kFullTick = 280;

// The main window against a console that sends 40 full reports in every 100 ms and nothing
// while it has nothing to send; with a `capture_folder`, capturing into it (a failure skips the
// benchmark). The test drives the ticks; the window's own timer is stopped.
struct Window {
  explicit Window(benchmark::State* state = nullptr, const QString& capture_folder = {})
      : console(clock), log(clock, [state](CaptureLog::Problem, const std::string& why) {
          state->SkipWithError(why.c_str());
        }) {
    if (state != nullptr && !capture_folder.isEmpty()) {
      log.Open(capture_folder.toStdString(), [] { return std::tm{}; });
    }
    console.AddInterface(SimulatedConsole::Console());
    console.SetReportInterval(std::chrono::microseconds(2500), /*empty_reports=*/false);
    form = std::make_unique<Form1>(console, clock, prompt, NoLinkLog(),
                                   capture_folder.isEmpty() ? nullptr : &log);
    form->Form_Load();
    test::Find<QTimer>(*form, "Timer1")->stop();
  }
  // The line being filled: the scroll bar's range reaches it at each refresh of the view.
  int LineIndex() const { return test::Find<QScrollBar>(*form, "VScroll1")->maximum(); }
  PictureBox& Picture1() const { return *test::Find<PictureBox>(*form, "Picture1"); }
  ManualClock clock;
  SimulatedConsole console;
  test::FakePrompt prompt;
  CaptureLog log;
  std::unique_ptr<Form1> form;
};

// One tick: 40 reports read (all already queued, so no read waits), 280 bytes assembled, the
// view refreshed. With `paint`, the window is shown and the view's repaint is timed as well.
// With `capture`, the bytes also go to a capture log in a temporary folder (on the build's disk),
// which syncs every tenth tick (once a second of the virtual clock). The counters give the
// median and the largest single tick, since the syncs make the mean a poor summary.
void TickBenchmark(benchmark::State& state, bool paint, bool capture = false) {
  QTemporaryDir folder(QDir::currentPath() + QStringLiteral("/bench_capture.XXXXXX"));
  Window window(&state, capture ? folder.path() : QString());
  std::vector<double> times;
  if (paint) {
    window.form->show();
    QCoreApplication::processEvents();
  }
  const std::string printout = soak::TimingPrintout(1 << 20);
  std::size_t at = 0;
  for (auto _ : state) {
    if (at + kFullTick > printout.size()) {
      at = 0;
    }
    window.console.Print(std::string_view(printout).substr(at, kFullTick));
    at += kFullTick;
    window.clock.Advance(milliseconds(100));
    // Makes the console's reports of the last 100 ms now, outside the timed part.
    window.console.Print("");
    if (window.LineIndex() >= 900) {
      window.form->TODC_Click();
    }
    const auto before = window.clock.Now();
    const auto start = std::chrono::steady_clock::now();
    window.form->Timer1_Timer();
    if (paint) {
      window.Picture1().repaint();
    }
    const auto stop = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    times.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
    if (window.clock.Now() != before || window.console.PendingBytes() != 0) {
      state.SkipWithError("the tick waited for the device or left data behind");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFullTick));
  if (!times.empty()) {
    std::sort(times.begin(), times.end());
    state.counters["median_us"] = times[times.size() / 2];
    state.counters["max_us"] = times.back();
  }
  if (capture && window.log.Size() != state.iterations() * kFullTick) {
    state.SkipWithError("the capture log missed bytes");
  }
}

void BM_TickFullTick(benchmark::State& state) {
  TickBenchmark(state, false);
}
BENCHMARK(BM_TickFullTick)->UseManualTime();

void BM_TickFullTickCaptured(benchmark::State& state) {
  TickBenchmark(state, false, true);
}
BENCHMARK(BM_TickFullTickCaptured)->UseManualTime();

void BM_TickFullTickAndPaint(benchmark::State& state) {
  TickBenchmark(state, true);
}
BENCHMARK(BM_TickFullTickAndPaint)->UseManualTime();

// LineIndex 1000: lines 970 to 1000 are shown, line 1000 has `last_line` characters.
void FillForView(LineStore& store, std::size_t last_line) {
  const std::string printout = soak::KeptText(soak::TimingPrintout(200'000));
  for (std::size_t i = 0; i < store.Lines.size(); ++i) {
    store.Lines[i] = printout.substr(i * 80 % (printout.size() - 80), 80);
    std::replace(store.Lines[i].begin(), store.Lines[i].end(), '\n', ' ');
  }
  std::string& last = store.Lines[LineStore::kLastLine];
  last.clear();
  while (last.size() < last_line) {
    last += printout.substr(0, last_line - last.size());
  }
  std::replace(last.begin(), last.end(), '\n', ' ');
  store.LineIndex = LineStore::kLastLine;
}

// The data view over a full store, on a picture box and a scroll bar of the main window's.
void RefreshBenchmark(benchmark::State& state, bool paint, std::size_t last_line = 10'000) {
  LineStore store;
  FillForView(store, last_line);
  PictureBox picture(DataView::kShownLines, FromTwips(0, 0, 0, 6135).height());
  picture.resize(FromTwips(0, 0, 9375, 6135).size());
  VerticalScrollBar bar;
  DataView view(store, picture, bar);
  QObject::connect(&bar, &QScrollBar::valueChanged, [&view] { view.VScroll1_Change(); });
  if (paint) {
    picture.show();
    QCoreApplication::processEvents();
  }
  for (auto _ : state) {
    view.RefreshDataView();
    if (paint) {
      picture.repaint();
    }
  }
  if (picture.PrintedLines().back().size() != last_line + kLineIndent.size()) {
    state.SkipWithError("the long line was not shown");
  }
}

void BM_RefreshDataViewLongLastLine(benchmark::State& state) {
  RefreshBenchmark(state, false);
}
BENCHMARK(BM_RefreshDataViewLongLastLine);

void BM_RefreshDataViewLongLastLineAndPaint(benchmark::State& state) {
  RefreshBenchmark(state, true);
}
BENCHMARK(BM_RefreshDataViewLongLastLineAndPaint);

// The same with a last line of 1 MB, as after about 17 minutes of printout into a full store.
void BM_RefreshDataViewMegabyteLastLineAndPaint(benchmark::State& state) {
  RefreshBenchmark(state, true, 1'000'000);
}
BENCHMARK(BM_RefreshDataViewMegabyteLastLineAndPaint)->Unit(benchmark::kMillisecond);

// "Write" in the save window: a full store (1001 lines of 80 characters) through its save file
// into a temporary directory, replacing the file of the previous round.
void BM_SaveWindowWriteFullStore(benchmark::State& state) {
  LineStore store;
  const std::string printout = soak::KeptText(soak::TimingPrintout(200'000));
  for (std::size_t i = 0; i < store.Lines.size(); ++i) {
    store.Lines[i] = printout.substr(i * 80 % (printout.size() - 80), 80);
    std::replace(store.Lines[i].begin(), store.Lines[i].end(), '\n', ' ');
  }
  store.LineIndex = LineStore::kLastLine;
  QTemporaryDir directory;
  test::FakePrompt prompt;
  Form6 form6(store, prompt, nullptr);
  const test::Form6Controls controls(form6);
  controls.Dir1->SetPath(directory.path());
  controls.Text4->setText("TessunData.txt");
  const QString path = QDir(directory.path()).filePath("TessunData.txt");
  for (auto _ : state) {
    form6.Save1_Click();
  }
  if (QFileInfo(path).size() < 1001 * 82) {
    state.SkipWithError("the file was not written");
  }
}
BENCHMARK(BM_SaveWindowWriteFullStore);

}  // namespace
}  // namespace tessun
