// The capture log: its file and state file on disk, alone and under the acquisition core.
#include "core/capture_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tests/common/core_rig.h"

namespace tessun {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct TempFolder {
  TempFolder() {
    std::string name = (fs::temp_directory_path() / "capture_log_test.XXXXXX").string();
    path = mkdtemp(name.data());
  }
  ~TempFolder() { fs::remove_all(path); }
  fs::path path;
};

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

// The console prints `text`; ticks run until all of it is read.
void TickWith(test::CoreRig& rig, std::string_view text) {
  rig.console.Print(text);
  for (int tick = 0; tick < 100 && !rig.console.AllDataRead(); ++tick) {
    rig.Tick();
  }
}

TEST(CaptureLog, KeepsEveryByteOfEachTickAndRestoresThemIntoANewRun) {
  // More than 1000 lines, a zero byte and bytes the store drops: all of them are captured.
  std::string text("A\0\x7F\xFF\n", 5);
  for (int i = 1; i <= 1100; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  struct Case {
    bool clear_midway;
    bool restore;
  };
  for (const Case c : {Case{false, true}, Case{true, true}, Case{false, false}}) {
    SCOPED_TRACE(testing::Message() << c.clear_midway << c.restore);
    TempFolder folder;
    std::vector<std::string> lines_before;
    std::size_t cleared_at = 0;
    {
      test::CoreRig rig;
      rig.console.AddInterface(SimulatedConsole::Console());
      CaptureLog log(rig.clock, nullptr);
      ASSERT_TRUE(log.Open(folder.path, Start(1)));
      rig.core.SetCaptureLog(&log);
      rig.core.StartUp();
      rig.console.Print(text);
      for (int tick = 0; !rig.console.AllDataRead(); ++tick) {
        rig.Tick();
        // Written and handed to the system by the end of the tick: a prefix of the printout.
        const std::string captured = Read(log.FilePath());
        ASSERT_EQ(captured, text.substr(0, captured.size()));
        ASSERT_EQ(captured.size(), log.Size());
        if (c.clear_midway && tick == 20) {
          rig.core.ClearData();
          cleared_at = captured.size();
        }
      }
      EXPECT_EQ(Read(log.FilePath()), text);
      lines_before.assign(rig.core.Store().Lines.begin(), rig.core.Store().Lines.end());
      // The run ends without a write: the log is destroyed as a kill would leave it.
    }
    test::CoreRig rig;
    rig.console.AddInterface(SimulatedConsole::Console());
    CaptureLog log(rig.clock, nullptr);
    ASSERT_TRUE(log.Open(folder.path, Start(2)));
    rig.core.SetCaptureLog(&log);
    rig.core.StartUp();
    ASSERT_TRUE(rig.core.RestorePending());
    EXPECT_EQ(*log.Unsaved(), AsBytes(text.substr(cleared_at)));
    rig.console.Print("late\n");
    rig.Tick();  // No tick takes bytes before the answer.
    EXPECT_EQ(rig.core.Store().LineIndex, 0);
    rig.core.AnswerRestore(c.restore);
    EXPECT_FALSE(rig.core.RestorePending());
    const std::vector<std::string> lines(rig.core.Store().Lines.begin(),
                                         rig.core.Store().Lines.end());
    if (c.restore) {
      EXPECT_EQ(lines, lines_before);
      EXPECT_EQ(rig.canvas.printed.back(), "  " + lines_before[rig.core.Store().LineIndex]);
      EXPECT_EQ(Read(log.FilePath()), text.substr(cleared_at));
    } else {
      EXPECT_EQ(rig.core.Store().LineIndex, 0);
      EXPECT_EQ(log.Size(), 0U);
    }
    TickWith(rig, "");
    EXPECT_TRUE(Read(log.FilePath()).ends_with("late\n"));
  }
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
  for (const char* broken : {"", "tessun capture state 1\nfile x.txt\nwritten 0\ncleared 0\n",
                             "tessun capture state 1\nfile 2026-12-08_14-00-01.txt\nwritten "
                             "-1\ncleared 0\n",
                             "tessun capture state 1\nfile 2026-12-08_14-00-01.txt\nwritten 1"}) {
    EXPECT_FALSE(ParseCaptureState(broken).has_value()) << broken;
  }
  const CaptureState state{"2026-12-08_14-00-01_3.txt", 12, 7};
  EXPECT_EQ(ParseCaptureState(FormatCaptureState(state)), state);
}

TEST(CaptureLog, RetentionRemovesOldCapturesButNeverTheNewest20) {
  struct Case {
    int old_files;  // 61 days old
    int new_files;  // 1 day old
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
                          now - std::chrono::hours(24 * (i < c.old_files ? 61 + i : 1)));
    }
    std::ofstream(folder.path / "notes.txt") << "x";
    fs::last_write_time(folder.path / "notes.txt", now - std::chrono::hours(24 * 400));
    const std::string kept = c.keep_oldest ? names[c.old_files - 1] : "";
    const auto removed =
        RemoveOldCaptures(folder.path, now, CaptureLog::kMaxAge, CaptureLog::kKeepNewest, kept);
    EXPECT_EQ(removed.size(), c.removed) << c.old_files << "/" << c.new_files;
    for (const std::string& name : removed) {
      EXPECT_FALSE(fs::exists(folder.path / name));
      EXPECT_NE(name, kept);
    }
    EXPECT_TRUE(fs::exists(folder.path / "notes.txt"));
  }
}

TEST(CaptureLog, AFolderThatCannotBeWrittenIsReportedOnceAndAcquisitionGoesOn) {
  TempFolder folder;
  std::ofstream(folder.path / "file") << "x";
  fs::create_directory(folder.path / "read-only");
  fs::permissions(folder.path / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
  std::vector<fs::path> folders = {folder.path / "file" / "captures"};
  if (geteuid() != 0) {  // Permissions do not stop the superuser.
    folders.push_back(folder.path / "read-only");
  }
  for (const fs::path& path : folders) {
    test::CoreRig rig;
    rig.console.AddInterface(SimulatedConsole::Console());
    std::vector<std::string> failures;
    CaptureLog log(rig.clock, [&](const std::string& why) { failures.push_back(why); });
    EXPECT_FALSE(log.Open(path, Start(1)));
    rig.core.SetCaptureLog(&log);
    rig.core.StartUp();
    TickWith(rig, "one\ntwo\n");
    rig.core.ClearData();
    TickWith(rig, "three\n");
    EXPECT_EQ(rig.core.Store().Lines[0], "three");
    ASSERT_EQ(failures.size(), 1U) << path;
    EXPECT_NE(failures[0].find(path.string()), std::string::npos) << failures[0];
    EXPECT_FALSE(log.Capturing());
  }
}

}  // namespace
}  // namespace tessun
