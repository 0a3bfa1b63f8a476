#include "app/command_line.h"

namespace tessun {

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  constexpr std::string_view kSimulateWithFile = "--simulate=";
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      line.action = CommandLine::Action::kHelp;
      return line;
    }
    if (argument == "--version") {
      line.action = CommandLine::Action::kVersion;
      return line;
    }
    if (argument == "--simulate") {
      line.simulate = true;
    } else if (argument.starts_with(kSimulateWithFile) &&
               argument.size() > kSimulateWithFile.size()) {
      line.simulate = true;
      line.data_file = argument.substr(kSimulateWithFile.size());
    } else {
      line.action = CommandLine::Action::kUsageError;
      line.error = "unknown argument: " + argument;
      return line;
    }
  }
  return line;
}

std::string Usage(const std::string& program) {
  return "Usage: " + program +
         " [--simulate | --simulate=FILE]\n"
         "Shows the printed output of a timing console connected over USB.\n"
         "\n"
         "  --simulate       use a simulated console with a built-in demo printout\n"
         "  --simulate=FILE  use a simulated console whose stored data are the bytes of FILE\n"
         "                   (sent on \"Get Data\")\n"
         "  --help           show this text\n"
         "  --version        show the version\n"
         "\n"
         "Every byte received is also appended to a capture file of the run, in\n"
         "$XDG_DATA_HOME/tessun/captures (by default ~/.local/share/tessun/captures;\n"
         "on Windows %LOCALAPPDATA%\\tessun\\captures).\n";
}

}  // namespace tessun
