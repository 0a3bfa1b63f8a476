// Start-up: picks the device port from the command line, then shows the main window.
#include <QApplication>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "app/command_line.h"
#include "app/form1.h"
#include "device/demo_printout.h"
#include "device/simulated_console.h"
#include "save/qt_prompt.h"

#if defined(_WIN32)
#include "device/windows_port.h"
using PlatformPort = tessun::WindowsPort;
#else
#include "device/libusb_port.h"
using PlatformPort = tessun::LibusbPort;
#endif

namespace {

using tessun::CommandLine;

constexpr auto kDemoLivePeriod = std::chrono::seconds(3);

std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
  if (file.bad()) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::string program = argc > 0 ? argv[0] : "tessun";
  const CommandLine line = tessun::ParseCommandLine({argv + std::min(argc, 1), argv + argc});
  switch (line.action) {
    case CommandLine::Action::kHelp:
      std::fputs(tessun::Usage(program).c_str(), stdout);
      return 0;
    case CommandLine::Action::kVersion:
      std::printf("tessun %s\n", TESSUN_VERSION);
      return 0;
    case CommandLine::Action::kUsageError:
      std::fprintf(stderr, "tessun: %s\n%s", line.error.c_str(), tessun::Usage(program).c_str());
      return 2;
    case CommandLine::Action::kRun:
      break;
  }

  tessun::SteadyClock clock;
  std::unique_ptr<tessun::DevicePort> port;
  if (line.simulate) {
    auto console = std::make_unique<tessun::SimulatedConsole>(clock);
    console->AddInterface(tessun::SimulatedConsole::Console());
    if (line.data_file) {
      const auto bytes = ReadFileBytes(*line.data_file);
      if (!bytes) {
        std::fprintf(stderr, "tessun: cannot read %s\n", line.data_file->c_str());
        return 2;
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

  QApplication app(argc, argv);
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.tessun.Tessun"));
  tessun::QtPrompt prompt;
  tessun::Form1 window(*port, clock, prompt);
  window.Form_Load();
  window.show();
  return QApplication::exec();
}
