// Process start to the first paint of the main window, and peak resident memory.
//   bench_startup [runs]     starts itself `runs` times (default 10) and prints the figures
//   bench_startup --child    the program's start-up (the platform port, as `tessun` without
//                            arguments), prints the monotonic time of the first paint, ends
//   bench_startup --full     the same with the simulated console and a full store (1001 lines
//                            of 80 characters) received and shown before it ends
// The start-up wait of 0.5 s is skipped (a clock that does not really wait), so the figure is
// start to first paint minus that wait. Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/form1.h"
#include "device/libusb/libusb_port.h"
#include "device/simulated/simulated_console.h"
#include "tests/common/controls.h"
#include "tests/common/prompt_doubles.h"
#include "tests/common/timing_printout.h"

extern char** environ;

namespace tessun {
namespace {

// Notes the first paint of the window it watches, then ends the event loop.
class FirstPaint final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !seen_) {
      seen_ = true;
      const auto now = std::chrono::steady_clock::now().time_since_epoch();
      std::printf("%lld\n", static_cast<long long>(
                                std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
      std::fflush(stdout);
      QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool seen_ = false;
};

int Child(int argc, char** argv, bool full) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  ManualClock clock;
  std::unique_ptr<DevicePort> port;
  SimulatedConsole* console = nullptr;
  if (full) {
    auto simulated = std::make_unique<SimulatedConsole>(clock);
    simulated->AddInterface(SimulatedConsole::Console());
    console = simulated.get();
    port = std::move(simulated);
  } else {
    port = std::make_unique<LibusbPort>();
  }
  QApplication app(argc, argv);
  test::FakePrompt prompt;
  Form1 window(*port, clock, prompt, NoLinkLog(), nullptr);
  window.Form_Load();
  if (console != nullptr) {
    test::Find<QTimer>(window, "Timer1")->stop();
    std::string text;
    for (int i = 0; i < LineStore::kLastLine; ++i) {
      std::string line = soak::KeptText(soak::TimingPrintout(81, static_cast<std::uint64_t>(i)));
      std::replace(line.begin(), line.end(), '\n', ' ');
      text += line.substr(0, 80) + '\n';
    }
    text += std::string(80, 'x');
    console->Print(text);
    while (!console->AllDataRead()) {
      clock.Advance(std::chrono::milliseconds(100));
      window.Timer1_Timer();
    }
    // The scroll bar's range reaches the line being filled.
    const int line_index = test::Find<QScrollBar>(window, "VScroll1")->maximum();
    if (line_index != LineStore::kLastLine) {
      std::fprintf(stderr, "store not full: LineIndex %d\n", line_index);
      return 1;
    }
  }
  FirstPaint first_paint;
  window.installEventFilter(&first_paint);
  window.show();
  return QApplication::exec();
}

struct ChildRun {
  double first_paint_ms = 0;
  long peak_rss_kib = 0;
  bool ok = false;
};

ChildRun RunChild(const char* self, const char* mode) {
  int out[2];
  if (pipe(out) != 0) {
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  char* args[] = {const_cast<char*>(self), const_cast<char*>(mode), nullptr};
  pid_t pid = 0;
  const auto start = std::chrono::steady_clock::now();
  const int spawned = posix_spawn(&pid, self, &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return {};
  }
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  ChildRun run;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !text.empty();
  if (run.ok) {
    const std::chrono::nanoseconds painted(std::strtoll(text.c_str(), nullptr, 10));
    run.first_paint_ms =
        std::chrono::duration<double, std::milli>(painted - start.time_since_epoch()).count();
  }
  run.peak_rss_kib = usage.ru_maxrss;
  return run;
}

int Parent(const char* self, int runs) {
  for (const char* mode : {"--child", "--full"}) {
    std::vector<double> times;
    std::vector<long> rss;
    for (int i = 0; i < runs; ++i) {
      const ChildRun run = RunChild(self, mode);
      if (!run.ok) {
        std::fprintf(stderr, "bench_startup %s failed\n", mode);
        return 1;
      }
      times.push_back(run.first_paint_ms);
      rss.push_back(run.peak_rss_kib);
    }
    std::sort(times.begin(), times.end());
    std::sort(rss.begin(), rss.end());
    std::printf(
        "%-8s %d runs: start to first paint median %.1f ms (min %.1f, max %.1f); "
        "peak resident memory median %.1f MiB (max %.1f)\n",
        std::strcmp(mode, "--child") == 0 ? "empty" : "full", runs, times[times.size() / 2],
        times.front(), times.back(), static_cast<double>(rss[rss.size() / 2]) / 1024,
        static_cast<double>(rss.back()) / 1024);
  }
  return 0;
}

}  // namespace
}  // namespace tessun

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) {
    return tessun::Child(argc, argv, false);
  }
  if (argc > 1 && std::strcmp(argv[1], "--full") == 0) {
    return tessun::Child(argc, argv, true);
  }
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
    std::perror("bench_startup: /proc/self/exe");
    return 1;
  }
  return tessun::Parent(self, runs);
}
