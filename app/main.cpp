// Start-up: picks the device port from the command line, then shows the main window.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <optional>

#include "app/capture_session.h"
#include "app/command_line.h"
#include "app/form1.h"
#include "app/qt_link_log.h"
#include "core/close_signals.h"
#include "device/console_diagnosis.h"
#include "device/console_raw_facts.h"
#include "device/simulated/demo_printout.h"
#include "device/simulated/simulated_console.h"
#include "device/simulated/trace_replay.h"
#include "device/tracing_port.h"
#include "ui/dark_palette.h"
#include "ui/qt_prompt.h"

#if defined(_WIN32)
#include <QMessageBox>

#include "device/windows/windows_port.h"
using PlatformPort = tessun::WindowsPort;
#else
#include "device/libusb/libusb_port.h"
#include "device/libusb/usb_facts.h"
using PlatformPort = tessun::LibusbPort;
#endif

namespace tessun {
namespace {

constexpr auto kDemoLivePeriod = std::chrono::seconds(3);

// Help, version, command-line errors and (Windows) the diagnosis: on the standard streams, or
// (Windows, where the program has no console) in a message box. Returns the exit status.
int ShowText(int argc, char* argv[], const std::string& text, bool error) {
#if defined(_WIN32)
  QApplication app(argc, argv);
  const QString shown = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
  if (error) {
    QMessageBox::warning(nullptr, QStringLiteral("tessun"), shown);
  } else {
    QMessageBox::information(nullptr, QStringLiteral("tessun"), shown);
  }
#else
  (void)argc;
  (void)argv;
  std::fputs(text.c_str(), error ? stderr : stdout);
#endif
  return error ? 2 : 0;
}

// The console the program talks to: the simulated one (with the built-in demo, sending the bytes
// of the data file as its stored data, or replaying the report trace in the file) or the
// platform's port. Null, with `error` set, when the file is refused.
std::unique_ptr<DevicePort> ChoosePort(const CommandLine& line, Clock& clock, std::string& error) {
  if (!line.simulate) {
    return std::make_unique<PlatformPort>();
  }
  if (line.data_file) {
    return SimulatedConsoleOfFile(*line.data_file, clock, error);
  }
  auto console = std::make_unique<SimulatedConsole>(clock);
  console->AddInterface(SimulatedConsole::Console());
  const std::string printout = DemoPrintout();
  console->SetStoredData({printout.begin(), printout.end()});
  console->SetLiveLines(DemoLiveLines(), kDemoLivePeriod);
  return console;
}

// --trace=FILE: the port that writes the run's report trace in front of `port`; null without
// the option, and null with `error` set when the file cannot be created.
std::unique_ptr<TracingPort> TraceIfAsked(const CommandLine& line, DevicePort& port, Clock& clock,
                                          LinkLog& log, std::string& error) {
  if (!line.trace_file) {
    return nullptr;
  }
  TracingPort::Writer write = TraceFileWriter(*line.trace_file, error);
  if (!write) {
    return nullptr;
  }
  auto tracing = std::make_unique<TracingPort>(port, clock, std::move(write));
  tracing->SetLog(log);
  return tracing;
}

// --diagnose: no window and no display; the report goes to the standard output (Windows: a
// message box). With --raw the consoles' raw facts follow it. It takes no lock, so it runs
// beside the program, and says when that runs.
int Diagnose(int argc, char* argv[], const CommandLine& line, DevicePort& port, Clock& clock) {
  const auto show = [&](const Diagnosis& diagnosis) {
    const std::string text = diagnosis.text + RunningProgramNote(CaptureFolder()) +
                             (line.raw ? RawConsoleFacts(port, clock) : std::string());
#if defined(_WIN32)
    ShowText(argc, argv, text, diagnosis.exit_code != 0);
#else
    (void)argc;
    (void)argv;
    std::fputs(text.c_str(), stdout);
#endif
  };
#if defined(_WIN32)
  return RunDiagnosis(port, InterfaceFactsOf(), show);
#else
  return RunDiagnosis(
      port,
      line.simulate ? InterfaceFactsOf()
                    : [](const std::string& path) { return UsbInterfaceFacts(path); },
      show);
#endif
}

// SIGINT, SIGTERM and SIGHUP close the window, and with it the console, and end the program.
// Installed before start-up, so a signal during its wait is handled once the loop runs.
std::unique_ptr<QSocketNotifier> CloseOnSignals(Form1& window, LinkLog& log) {
  if (!CloseSignals::Install()) {
    return nullptr;
  }
  auto notifier = std::make_unique<QSocketNotifier>(CloseSignals::ReadFd(), QSocketNotifier::Read);
  QObject::connect(
      notifier.get(), &QSocketNotifier::activated, [&window, &log, notifier = notifier.get()] {
        const int signal = CloseSignals::Take();
        log.Write(LogLevel::kInfo,
                  "ending on signal " + std::to_string(signal) + ": closing the console");
        notifier->setEnabled(false);
        window.close();
        QCoreApplication::exit(0);
      });
  return notifier;
}

// The main window over `port`, with the capture log (every received byte on disk, and the
// question about unwritten lines once the window has appeared), until the program ends. A
// second start while the program runs says so and ends before it reads or writes the capture
// folder. `simulated` when `port` is the simulated console.
int StartUp(int argc, char* argv[], DevicePort& port, Clock& clock, bool simulated) {
  QApplication app(argc, argv);
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.tessun.Tessun"));
  QCoreApplication::setApplicationName(QStringLiteral("tessun"));
  if (qgetenv("TESSUN_PALETTE") == "dark") {
    QApplication::setPalette(DarkPalette());
  }
  QtPrompt prompt;
  const QString folder = CaptureFolder();
  const CaptureFolderLock lock(folder);
  if (const std::optional<qint64> holder = lock.HeldBy()) {
    const std::string text = AlreadyRunning(*holder);
    std::fprintf(stderr, "tessun: %s\n", text.c_str());
    prompt.MsgBox(text, PromptButtons::kOk);
    return kExitAlreadyRunning;
  }
  QtLinkLog link_log;
  CaptureSession capture(clock, folder);
  Form1 window(port, clock, prompt, link_log, &capture.Log());
  window.SetSimulated(simulated);
  capture.ShowNoticesOver(window);
  const auto close_signals = CloseOnSignals(window, link_log);
  window.Form_Load();
  window.show();
  QTimer::singleShot(0, &window, [&window] { window.AskRestore(); });
  return QApplication::exec();
}

// The command line decides: a text and the end, the diagnosis, or the window.
int Main(int argc, char* argv[]) {
  const std::string program = argc > 0 ? argv[0] : "tessun";
  const CommandLine line = ParseCommandLine({argv + std::min(argc, 1), argv + argc});
  switch (line.action) {
    case CommandLine::Action::kHelp:
      return ShowText(argc, argv, Usage(program), false);
    case CommandLine::Action::kVersion:
      return ShowText(argc, argv, tessun::VersionText(TESSUN_VERSION), false);
    case CommandLine::Action::kUsageError:
      return ShowText(argc, argv, "tessun: " + line.error + "\n" + Usage(program), true);
    case CommandLine::Action::kDiagnose:
    case CommandLine::Action::kRun:
      break;
  }
  SteadyClock clock;
  std::string error;
  const std::unique_ptr<DevicePort> port = ChoosePort(line, clock, error);
  if (!port) {
    return ShowText(argc, argv, "tessun: " + error + "\n", true);
  }
  if (line.action == CommandLine::Action::kDiagnose) {
    return Diagnose(argc, argv, line, *port, clock);
  }
  QtLinkLog trace_log;
  const std::unique_ptr<TracingPort> tracing = TraceIfAsked(line, *port, clock, trace_log, error);
  if (!error.empty()) {
    return ShowText(argc, argv, "tessun: " + error + "\n", true);
  }
  return StartUp(argc, argv, tracing ? *tracing : *port, clock, line.simulate);
}

}  // namespace
}  // namespace tessun

int main(int argc, char* argv[]) {
  return tessun::Main(argc, argv);
}
