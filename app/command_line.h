// The program's command line: which console to talk to.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessun {

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kDiagnose, kUsageError };
  Action action = Action::kRun;
  // Talk to the simulated console instead of a real one.
  bool simulate = false;
  // With `simulate`: the file whose bytes are the console's stored data (else the built-in demo).
  std::optional<std::string> data_file;
  // The file to write the run's report trace to.
  std::optional<std::string> trace_file;
  // With kDiagnose: the consoles' descriptors and a short trace too.
  bool raw = false;
  // What was wrong, for kUsageError.
  std::string error;
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The text of --help.
std::string Usage(const std::string& program);

// The text of --version: the program's name and version, then its copyright and licence.
std::string VersionText(const std::string& version);

}  // namespace tessun
