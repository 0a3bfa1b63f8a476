// The capture log: its file and state file on disk, alone and under the acquisition core.
#include "core/capture_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "tests/common/core_rig.h"
#include "tests/common/temp_folder.h"

namespace tessun {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::TempFolder;

std::tm Start(int second) {
  std::tm start{};
  start.tm_year = 126, start.tm_mon = 11, start.tm_mday = 8, start.tm_hour = 14;
  start.tm_sec = second;
  return start;
}

std::string Read(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

Bytes AsBytes(std::string_view text) {
  return {text.begin(), text.end()};
}

TEST(CaptureLog, EachTickAppendsItsBytesAsStoredBeforeTheTickEnds) {
  // A zero byte and bytes the store drops are captured too.
  std::string text("A\0\x7F\xFF\n", 5);
  for (int i = 1; i <= 300; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  TempFolder folder;
  test::CoreRig rig;
  rig.console.AddInterface(SimulatedConsole::Console());
  CaptureLog log(rig.clock, nullptr);
  ASSERT_TRUE(log.Open(folder.path, Start(1)));
  rig.core.SetCaptureLog(&log);
  rig.core.StartUp();
  rig.console.Print(text);
  while (!rig.console.AllDataRead()) {
    rig.Tick();
    const std::string captured = Read(log.FilePath());
    ASSERT_EQ(captured, text.substr(0, captured.size()));
    ASSERT_EQ(captured.size(), log.Size());
  }
  EXPECT_EQ(Read(log.FilePath()), text);
}

TEST(CaptureLog, StateFileTellsWhichRunLeftUnwrittenBytes) {
  // 'a'..: a tick with that byte; C: "Clear Data"; W: a data file written.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},       {"a", "a"},     {"aW", ""},       {"aC", ""},
      {"aWb", "ab"},  {"aCb", "b"},   {"aCbW", ""},     {"aWCbc", "bc"},
      {"aCbWcC", ""}, {"aCbCc", "c"}, {"abcWdCeW", ""}, {"aWbWc", "abc"},
  };
  for (const auto& [steps, unsaved] : cases) {
    SCOPED_TRACE(steps);
    TempFolder folder;
    ManualClock clock;
    {
      CaptureLog log(clock, nullptr);
      ASSERT_TRUE(log.Open(folder.path, Start(1)));
      for (const char step : steps) {
        step == 'C'   ? log.DataCleared()
        : step == 'W' ? log.FileWritten()
                      : log.TickEnded(AsBytes(std::string(1, step)));
      }
    }
    CaptureLog next(clock, nullptr);
    ASSERT_TRUE(next.Open(folder.path, Start(1)));  // The same second: a name of its own.
    EXPECT_EQ(next.FilePath().filename(), "2026-12-08_14-00-01_2.txt");
    EXPECT_EQ(next.Unsaved().value_or(Bytes{}), AsBytes(unsaved));
    EXPECT_EQ(next.Unsaved().has_value(), !unsaved.empty());
    next.RestoreAnswered();
    // Asked once: the run after that finds nothing to restore.
    CaptureLog third(clock, nullptr);
    ASSERT_TRUE(third.Open(folder.path, Start(3)));
    EXPECT_FALSE(third.Unsaved().has_value());
  }
}

// Captures are kept for 60 days.
TEST(CaptureLog, RetentionRemovesOldCapturesButNeverTheNewest20) {
  struct Case {
    int old_files;  // 61 days old and more
    int new_files;  // 59 days old
    bool keep_oldest;
    std::size_t removed;
  };
  for (const Case c : {Case{3, 0, false, 0}, Case{25, 0, false, 5}, Case{25, 0, true, 4},
                       Case{15, 10, true, 4}, Case{5, 30, false, 5}, Case{0, 30, false, 0}}) {
    TempFolder folder;
    const auto now = fs::file_time_type::clock::now();
    std::vector<std::string> names;
    for (int i = 0; i < c.old_files + c.new_files; ++i) {
      names.push_back("2026-12-08_14-00-00_" + std::to_string(i) + ".txt");
      std::ofstream(folder.path / names.back()) << "x";
      fs::last_write_time(folder.path / names.back(),
                          now - std::chrono::hours(24 * (i < c.old_files ? 61 + i : 59)));
    }
    const std::string kept = c.keep_oldest ? names[c.old_files - 1] : "";
    const auto removed =
        RemoveOldCaptures(folder.path, now, CaptureLog::kMaxAge, CaptureLog::kKeepNewest, kept);
    EXPECT_EQ(removed.size(), c.removed) << c.old_files << "/" << c.new_files;
    for (const std::string& name : removed) {
      EXPECT_TRUE(!fs::exists(folder.path / name) && name != kept) << name;
    }
  }
}

TEST(CaptureLog, AFolderThatCannotBeWrittenIsReportedOnce) {
  TempFolder folder;
  std::ofstream(folder.path / "file") << "x";
  fs::create_directory(folder.path / "read-only");
  fs::permissions(folder.path / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
  // A path through a file stops everyone; a state file that is no regular file is neither read
  // (a FIFO would block) nor replaced.
  std::vector<fs::path> paths = {folder.path / "file" / "captures", folder.path / "read-only",
                                 folder.path / "state-is-a-folder"};
  fs::create_directories(paths.back() / CaptureLog::kStateFileName);
#if !defined(_WIN32)
  paths.push_back(folder.path / "state-is-a-fifo");
  fs::create_directory(paths.back());
  ASSERT_EQ(::mkfifo((paths.back() / CaptureLog::kStateFileName).c_str(), 0600), 0);
#endif
  for (const fs::path& path : paths) {
    std::ofstream probe(path / "probe");
    if (path.filename() == "read-only" && probe) {
      continue;  // Permissions do not stop this user (the superuser, or on Windows).
    }
    ManualClock clock;
    std::vector<std::string> failures;
    CaptureLog log(clock, [&](const std::string& why) { failures.push_back(why); });
    EXPECT_FALSE(log.Open(path, Start(1)));
    log.TickEnded(AsBytes("more"));
    log.DataCleared();
    ASSERT_EQ(failures.size(), 1U) << path;
    EXPECT_NE(failures[0].find(path.string()), std::string::npos) << failures[0];
    EXPECT_FALSE(log.Capturing());
  }
}

}  // namespace
}  // namespace tessun
