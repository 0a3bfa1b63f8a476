#include "app/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

namespace tessun {

namespace {

constexpr std::string_view kSimulateWithFile = "--simulate=";
constexpr std::string_view kTraceToFile = "--trace=";

// Qt's own options (the toolkit takes them from the command line when the application object is
// made), taking a value or not. They are accepted here and left to Qt.
constexpr char kQtOptionsWithValue[] =
    "platform platformpluginpath platformtheme plugin qwindowgeometry qwindowicon qwindowtitle "
    "session style stylesheet display geometry title name visual ncols cmap im inputstyle dialogs "
    "fontengine qmljsdebugger qmljsdebuggerplugin";
constexpr char kQtFlags[] = "reverse widgetcount nograb dograb sync testability";

QCommandLineOption Hidden(QCommandLineOption option) {
  option.setFlags(QCommandLineOption::HiddenFromHelp);
  return option;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  // The parser has no option with an optional value, so "--simulate=FILE" is taken apart here,
  // and "--trace=FILE" with it; the file names are kept byte for byte.
  QStringList texts{QStringLiteral("tessun")};
  for (const std::string& argument : arguments) {
    const bool simulate_file = argument.starts_with(kSimulateWithFile);
    if (simulate_file || argument.starts_with(kTraceToFile)) {
      const std::size_t name = (simulate_file ? kSimulateWithFile : kTraceToFile).size();
      if (argument.size() == name) {
        line.action = CommandLine::Action::kUsageError;
        line.error = "unknown argument: " + argument;
        return line;
      }
      (simulate_file ? line.data_file : line.trace_file) = argument.substr(name);
      if (simulate_file) {
        texts.append(QStringLiteral("--simulate"));
      }
    } else {
      texts.append(
          QString::fromLocal8Bit(argument.data(), static_cast<qsizetype>(argument.size())));
    }
  }

  QCommandLineParser parser;
  // Qt's options are written with one dash ("-style fusion").
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringLiteral("version"));
  const QCommandLineOption simulate(QStringLiteral("simulate"));
  const QCommandLineOption diagnose(QStringLiteral("diagnose"));
  const QCommandLineOption raw(QStringLiteral("raw"));
  parser.addOptions({help, version, simulate, diagnose, raw});
  for (const QString& name : QString::fromLatin1(kQtOptionsWithValue).split(QLatin1Char(' '))) {
    parser.addOption(Hidden(QCommandLineOption(name, {}, QStringLiteral("value"))));
  }
  for (const QString& name : QString::fromLatin1(kQtFlags).split(QLatin1Char(' '))) {
    parser.addOption(Hidden(QCommandLineOption(name)));
  }

  if (!parser.parse(texts)) {
    line.action = CommandLine::Action::kUsageError;
    line.error = parser.errorText().toStdString();
    return line;
  }
  if (parser.isSet(help)) {
    line.action = CommandLine::Action::kHelp;
  } else if (parser.isSet(version)) {
    line.action = CommandLine::Action::kVersion;
  } else if (parser.isSet(diagnose)) {
    line.action = CommandLine::Action::kDiagnose;
  } else if (!parser.positionalArguments().isEmpty()) {
    line.action = CommandLine::Action::kUsageError;
    line.error = "unknown argument: " + parser.positionalArguments().constFirst().toStdString();
  }
  line.simulate = parser.isSet(simulate);
  line.raw = parser.isSet(raw);
  if (line.raw && line.action == CommandLine::Action::kRun) {
    line.action = CommandLine::Action::kUsageError;
    line.error = "--raw goes with --diagnose";
  }
  return line;
}

std::string Usage(const std::string& program) {
  return "Usage: " + program +
         " [--simulate | --simulate=FILE] [--trace=FILE] [--diagnose [--raw]] [Qt options]\n"
         "Shows the printed output of a timing console connected over USB.\n"
         "\n"
         "  --simulate       use a simulated console with a built-in demo printout\n"
         "  --simulate=FILE  use a simulated console whose stored data are the bytes of FILE\n"
         "                   (sent on \"Get Data\"; a regular file of at most 16 MiB), or that\n"
         "                   replays FILE when it is a report trace (at most 64 MiB)\n"
         "  --trace=FILE     write a report trace of the run to FILE: every report from and to\n"
         "                   the console, with its time\n"
         "  --diagnose       list the consoles found, say whether each can be used and what to\n"
         "                   do about it, and end (status 0 when one can be used, else 1);\n"
         "                   each console is opened briefly, as the program would\n"
         "  --raw            with --diagnose: also each console's descriptors and a report\n"
         "                   trace of its first 2 seconds, for a problem report\n"
         "  --help           show this text\n"
         "  --version        show the version\n"
         "\n"
         "Qt's own options are passed on to Qt, e.g. -style fusion, -platform offscreen,\n"
         "-qwindowgeometry 700x600+0+0.\n"
         "\n"
         "Every byte received is also appended to a capture file of the run, in\n"
         "$XDG_DATA_HOME/tessun/captures (by default ~/.local/share/tessun/captures;\n"
         "on Windows %LOCALAPPDATA%\\tessun\\captures).\n";
}

std::string VersionText(const std::string& version) {
  return "tessun " + version +
         "\n"
         "Copyright (C) 2026 The tessun developers\n"
         "License GPL-3.0-or-later: GNU GPL version 3 or later "
         "<https://gnu.org/licenses/gpl.html>.\n"
         "This is free software: you are free to change and redistribute it.\n"
         "There is NO WARRANTY, to the extent permitted by law.\n";
}

}  // namespace tessun
