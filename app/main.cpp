// Start-up: picks the device port from the command line, then shows the main window.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/capture_setup.h"
#include "app/command_line.h"
#include "app/form1.h"
#include "app/usb_log.h"
#include "core/close_signals.h"
#include "device/console_diagnosis.h"
#include "device/simulated/demo_printout.h"
#include "device/simulated/simulated_console.h"
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

namespace {

using tessun::CommandLine;

constexpr auto kDemoLivePeriod = std::chrono::seconds(3);

// The largest file the simulated console takes as its stored data.
constexpr std::uintmax_t kMaxDataFile = 16 * 1024 * 1024;

// The bytes of the data file for the simulated console; nullopt, with `error` set to a one-line
// reason, unless it is a regular file (links followed) of at most kMaxDataFile bytes. The type is
// looked at before the file is opened, so a FIFO is never opened and a device never read.
std::optional<std::vector<std::uint8_t>> ReadDataFile(const std::string& path, std::string& error) {
  std::error_code code;
  const auto status = std::filesystem::status(path, code);
  if (code) {
    error = "cannot read " + path + ": " + code.message();
    return std::nullopt;
  }
  if (!std::filesystem::is_regular_file(status)) {
    error = path + " is not a regular file";
    return std::nullopt;
  }
  const std::uintmax_t size = std::filesystem::file_size(path, code);
  if (code || size > kMaxDataFile) {
    error = code ? "cannot read " + path + ": " + code.message() : path + " is larger than 16 MiB";
    return std::nullopt;
  }
  std::ifstream file(path, std::ios::binary);
  // One byte more than allowed, to notice a file that grew meanwhile.
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size) + 1);
  if (file) {
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  if (!file.is_open() || file.bad() || file.gcount() > static_cast<std::streamsize>(size)) {
    error =
        file.is_open() && !file.bad() ? path + " changed while it was read" : "cannot read " + path;
    return std::nullopt;
  }
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

// Help, version and command-line errors: on the standard streams, or (Windows, where the program
// has no console) in a message box.
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

}  // namespace

int main(int argc, char* argv[]) {
  const std::string program = argc > 0 ? argv[0] : "tessun";
  const CommandLine line = tessun::ParseCommandLine({argv + std::min(argc, 1), argv + argc});
  switch (line.action) {
    case CommandLine::Action::kHelp:
      return ShowText(argc, argv, tessun::Usage(program), false);
    case CommandLine::Action::kVersion:
      return ShowText(argc, argv, tessun::VersionText(TESSUN_VERSION), false);
    case CommandLine::Action::kUsageError:
      return ShowText(argc, argv, "tessun: " + line.error + "\n" + tessun::Usage(program), true);
    case CommandLine::Action::kDiagnose:
    case CommandLine::Action::kRun:
      break;
  }

  tessun::SteadyClock clock;
  std::unique_ptr<tessun::DevicePort> port;
  if (line.simulate) {
    auto console = std::make_unique<tessun::SimulatedConsole>(clock);
    console->AddInterface(tessun::SimulatedConsole::Console());
    if (line.data_file) {
      std::string error;
      const auto bytes = ReadDataFile(*line.data_file, error);
      if (!bytes) {
        return ShowText(argc, argv, "tessun: " + error + "\n", true);
      }
      console->SetStoredData(*bytes);
    } else {
      const std::string printout = tessun::DemoPrintout();
      console->SetStoredData({printout.begin(), printout.end()});
      console->SetLiveLines(tessun::DemoLiveLines(), kDemoLivePeriod);
    }
    port = std::move(console);
  } else {
    port = std::make_unique<PlatformPort>();
  }

  if (line.action == CommandLine::Action::kDiagnose) {
    // No window and no display: the report goes to the standard output.
#if defined(_WIN32)
    const tessun::InterfaceFactsOf facts;
#else
    const tessun::InterfaceFactsOf facts =
        line.simulate ? tessun::InterfaceFactsOf()
                      : [](const std::string& path) { return tessun::UsbInterfaceFacts(path); };
#endif
    const tessun::Diagnosis diagnosis = tessun::DiagnoseConsoles(*port, facts);
#if defined(_WIN32)
    ShowText(argc, argv, diagnosis.text, diagnosis.exit_code != 0);
#else
    std::fputs(diagnosis.text.c_str(), stdout);
#endif
    return diagnosis.exit_code;
  }

  QApplication app(argc, argv);
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.tessun.Tessun"));
  if (qgetenv("TESSUN_PALETTE") == "dark") {
    QApplication::setPalette(tessun::DarkPalette());
  }
  tessun::QtPrompt prompt;
  tessun::QtLinkLog usb_log;
  tessun::Form1 window(*port, clock, prompt);
  window.Core().Link().SetLog(usb_log);
  // SIGINT, SIGTERM and SIGHUP close the window, and with it the console, and end the program.
  // Installed before start-up, so a signal during its wait is handled once the loop runs.
  std::unique_ptr<QSocketNotifier> close_signals;
  if (tessun::CloseSignals::Install()) {
    close_signals =
        std::make_unique<QSocketNotifier>(tessun::CloseSignals::ReadFd(), QSocketNotifier::Read);
    QObject::connect(close_signals.get(), &QSocketNotifier::activated, [&] {
      const int signal = tessun::CloseSignals::Take();
      usb_log.Write(tessun::LogLevel::kInfo,
                    "ending on signal " + std::to_string(signal) + ": closing the console");
      close_signals->setEnabled(false);
      window.close();
      QCoreApplication::exit(0);
    });
  }
  // The capture log: every received byte on disk, and the question about unwritten lines once
  // the window has appeared.
  QCoreApplication::setApplicationName(QStringLiteral("tessun"));
  tessun::CaptureSession capture(window, clock, prompt, tessun::CaptureFolder());
  window.Form_Load();
  window.show();
  QTimer::singleShot(0, &window, [&capture] { capture.AskRestore(); });
  return QApplication::exec();
}
