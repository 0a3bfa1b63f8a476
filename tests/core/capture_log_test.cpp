// The capture log: its file and state file on disk, alone and under the acquisition core.
#include "core/capture_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include "tests/common/core_rig.h"
#include "tests/common/temp_folder.h"

namespace tessun {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::TempFolder;

// The local time 2026-12-08 14:00:`second`, whenever asked.
CaptureLog::LocalTime At(int second) {
  return [second] {
    std::tm time{};
    time.tm_year = 126, time.tm_mon = 11, time.tm_mday = 8, time.tm_hour = 14;
    time.tm_sec = second;
    return time;
  };
}

std::string Read(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void Write(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

Bytes AsBytes(std::string_view text) {
  return {text.begin(), text.end()};
}

// The bytes the log offers for restoring, as the restore reads them.
Bytes Offered(CaptureLog& log) {
  Bytes bytes;
  log.ReadUnsaved([&](std::span<const std::uint8_t> piece) {
    EXPECT_LE(piece.size(), 64U * 1024);
    bytes.insert(bytes.end(), piece.begin(), piece.end());
  });
  return bytes;
}

// The core over the simulated console, capturing into `folder` from a start at `second`.
struct CapturingRig : test::CoreRig {
  CapturingRig(const fs::path& folder, int second) : log(clock, nullptr) {
    console.AddInterface(SimulatedConsole::Console());
    EXPECT_TRUE(log.Open(folder, At(second)));
    core.SetCaptureLog(&log);
    core.StartUp();
  }
  CaptureLog log;
};

// A run that took `text` in one tick and ended without writing it.
void UnwrittenRun(const fs::path& folder, std::string_view text) {
  ManualClock clock;
  CaptureLog log(clock, nullptr);
  ASSERT_TRUE(log.Open(folder, At(1)));
  log.TickEnded(AsBytes(text));
}

// The problems a log reported, by kind.
struct Problems {
  CaptureLog::ProblemHandler Handler() {
    return [this](CaptureLog::Problem problem, const std::string& why) {
      (problem == CaptureLog::Problem::kNotKept ? not_kept : unreadable).push_back(why);
    };
  }
  std::vector<std::string> not_kept;
  std::vector<std::string> unreadable;
};

TEST(CaptureLog, EachTickAppendsItsBytesAsStoredBeforeTheTickEnds) {
  // A zero byte and bytes the store drops are captured too.
  std::string text("A\0\x7F\xFF\n", 5);
  for (int i = 1; i <= 300; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  TempFolder folder;
  CapturingRig rig(folder.path, 1);
  const CaptureLog& log = rig.log;
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
      {"", ""},         {"a", "a"},       {"aW", ""},      {"aC", ""},     {"aWb", "ab"},
      {"aCb", "b"},     {"aCbW", ""},     {"aWCbc", "bc"}, {"aCbWcC", ""}, {"aCbCc", "c"},
      {"abcWdCeW", ""}, {"aWbWc", "abc"}, {"Ca", "a"},     {"WCab", "ab"},
  };
  for (const auto& [steps, unsaved] : cases) {
    SCOPED_TRACE(steps);
    TempFolder folder;
    ManualClock clock;
    {
      CaptureLog log(clock, nullptr);
      ASSERT_TRUE(log.Open(folder.path, At(1)));
      for (const char step : steps) {
        step == 'C'   ? log.DataCleared()
        : step == 'W' ? log.FileWritten()
                      : log.TickEnded(AsBytes(std::string(1, step)));
      }
    }
    CaptureLog next(clock, nullptr);
    ASSERT_TRUE(next.Open(folder.path, At(1)));  // The same second: a name of its own.
    EXPECT_EQ(next.FilePath().filename(), unsaved.empty() ? "" : "2026-12-08_14-00-01_2.txt");
    EXPECT_EQ(next.Unsaved().has_value(), !unsaved.empty());
    EXPECT_EQ(Offered(next), AsBytes(unsaved));
    // Copied to the start of the new capture before the question is answered.
    EXPECT_EQ(Read(next.FilePath()), unsaved);
    next.RestoreAnswered(false);
    next.WaitForDisk();
    // Asked once: after No the run after that finds nothing to restore.
    CaptureLog third(clock, nullptr);
    ASSERT_TRUE(third.Open(folder.path, At(3)));
    EXPECT_FALSE(third.Unsaved().has_value());
  }
}

// A run that receives nothing leaves nothing: no capture file, no state. The first byte creates
// the file, named by the local time then, and the state names it from then on.
TEST(CaptureLog, TheCaptureFileAndItsStateComeWithTheFirstByte) {
  TempFolder folder;
  ManualClock clock;
  int second = 1;
  CaptureLog log(clock, nullptr);
  ASSERT_TRUE(log.Open(folder.path, [&] { return At(second)(); }));
  for (int tick = 0; tick < 30; ++tick) {
    log.TickEnded({});
  }
  log.DataCleared();
  log.FileWritten();
  log.WaitForDisk();
  EXPECT_TRUE(fs::is_empty(folder.path));
  second = 5;
  log.TickEnded(AsBytes("1"));
  log.WaitForDisk();
  EXPECT_EQ(Read(folder.path / "2026-12-08_14-00-05.txt"), "1");
  EXPECT_EQ(ParseCaptureState(Read(folder.path / CaptureLog::kStateFileName)),
            (CaptureState{"2026-12-08_14-00-05.txt", 0, 0}));
}

// The syncs are the log's own thread's: at most once a second while bytes keep arriving, and
// once at the end. Neither a tick nor "Clear Data" waits for one, not even for one that hangs;
// one that fails is reported by the tick after it, and the capture stops.
TEST(CaptureLog, SyncsRunOnTheLogsOwnThread) {
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  int syncs = 0;
  std::set<std::thread::id> threads;
  const auto set = [&](bool& flag, bool value) {
    const std::lock_guard lock(mutex);
    flag = value;
    changed.notify_all();
  };
  // Held syncs hang, except on the test's thread (which would never let go).
  const auto sync = [&, test = std::this_thread::get_id()](int) {
    std::unique_lock lock(mutex);
    ++syncs;
    threads.insert(std::this_thread::get_id());
    changed.notify_all();
    changed.wait(lock, [&] { return !held || std::this_thread::get_id() == test; });
    return true;
  };
  TempFolder folder;
  ManualClock clock;
  Problems problems;
  int before_end = 0;
  // Virtual time runs ahead of the log's thread: unless told not to, each tick waits until that
  // thread is done, as it is in the 100 ms between real ticks.
  const auto ticks = [&](CaptureLog& log, int count, std::string_view bytes, bool wait = true) {
    for (int tick = 0; tick < count; ++tick) {
      clock.Advance(Acquisition::kTickInterval);
      log.TickEnded(AsBytes(bytes));
      if (wait) {
        log.WaitForDisk();
      }
    }
    const std::lock_guard lock(mutex);
    return syncs;
  };
  {
    CaptureLog log(clock, problems.Handler());
    log.SetSync(sync);
    ASSERT_TRUE(log.Open(folder.path, At(1)));
    // Bytes from 0.1 s to 3 s: syncs at 1.1 s, 2.1 s and (for the bytes since) 3.1 s, then none.
    EXPECT_EQ(ticks(log, 30, "x"), 2);
    EXPECT_EQ(ticks(log, 30, ""), 3);
    // The sync of 6.1 s hangs; those of 7.1 s and 8.1 s wait behind it as one.
    set(held, true);
    ticks(log, 1, "y", false);
    std::unique_lock lock(mutex);
    const bool hangs = changed.wait_for(lock, std::chrono::seconds(10), [&] { return syncs == 4; });
    lock.unlock();
    auto window = std::async(std::launch::async, [&] {
      ticks(log, 29, "y", false);
      log.DataCleared();
    });
    EXPECT_TRUE(hangs && window.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
        << "a tick or a click waits for the disk";
    set(held, false);
    window.wait();
    log.WaitForDisk();
    before_end = ticks(log, 0, "");
    EXPECT_EQ(before_end, 5);
  }
  EXPECT_EQ(syncs, before_end + 1) << "no sync at the end for the bytes of 8.2 s to 9 s";
  EXPECT_EQ(threads.size(), 1U);
  EXPECT_FALSE(threads.contains(std::this_thread::get_id()));

  CaptureLog log(clock, problems.Handler());
  log.SetSync([](int) {
    errno = EIO;
    return false;
  });
  ASSERT_TRUE(log.Open(folder.path, At(2)));
  ticks(log, 11, "z");  // The sync of 10.1 s fails.
  EXPECT_TRUE(problems.not_kept.empty());
  ticks(log, 1, "z");
  ASSERT_EQ(problems.not_kept.size(), 1U);
  EXPECT_NE(problems.not_kept[0].find("cannot sync the capture file"), std::string::npos);
  EXPECT_FALSE(log.Capturing());
}

// The offer counts its lines (the line feeds, and an unfinished last line) and knows when its
// last byte came: the capture's last write, which the copy keeps, so that a start after one that
// ended without an answer says the same.
TEST(CaptureLog, TheOfferCountsItsLinesAndKnowsWhenTheLastCame) {
  const std::time_t last = 1'796'000'000;
  for (const auto& [text, lines] : std::vector<std::pair<std::string, std::uint64_t>>{
           {"a", 1},
           {"a\n", 1},
           {"\n\n", 2},
           {"\nEVENT 1\n  1  0:31", 3},
           {std::string(64 * 1024, 'x') + "\ny", 2},  // Read in two pieces.
           {std::string(64 * 1024 - 1, 'x') + "\n", 1}}) {
    TempFolder folder;
    UnwrittenRun(folder.path, text);
    fs::last_write_time(
        folder.path / "2026-12-08_14-00-01.txt",
        fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(last)));
    for (int start = 2; start <= 3; ++start) {  // Asked, not answered; asked again.
      ManualClock clock;
      CaptureLog log(clock, nullptr);
      ASSERT_TRUE(log.Open(folder.path, At(start)));
      EXPECT_EQ(log.Unsaved().value_or(UnsavedCapture{}).lines, lines) << text.size();
      EXPECT_EQ(log.Unsaved().value_or(UnsavedCapture{}).last_received, last) << start;
    }
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
  // A path through a file stops everyone, a read-only home (where the folder cannot be made)
  // everyone but the superuser; a state file that is no regular file is neither read (a FIFO
  // would block) nor replaced.
  std::vector<fs::path> paths = {folder.path / "file" / "captures",
                                 folder.path / "read-only" / "captures",
                                 folder.path / "state-is-a-folder"};
  fs::create_directories(paths.back() / CaptureLog::kStateFileName);
#if !defined(_WIN32)
  paths.push_back(folder.path / "state-is-a-fifo");
  fs::create_directory(paths.back());
  ASSERT_EQ(::mkfifo((paths.back() / CaptureLog::kStateFileName).c_str(), 0600), 0);
#endif
  for (const fs::path& path : paths) {
    if (path.parent_path().filename() == "read-only" &&
        std::ofstream(path.parent_path() / "probe")) {
      continue;  // Permissions do not stop this user (the superuser, or on Windows).
    }
    ManualClock clock;
    Problems problems;
    CaptureLog log(clock, problems.Handler());
    // Only a folder that cannot be made stops the start; the rest is found with the first byte
    // (the state by the log's own thread, reported by the tick after).
    const bool opened = log.Open(path, At(1));
    log.TickEnded(AsBytes("more"));
    log.DataCleared();
    log.WaitForDisk();
    log.TickEnded({});
    ASSERT_EQ(problems.not_kept.size(), 1U) << path;
    EXPECT_NE(problems.not_kept[0].find(path.string()), std::string::npos) << problems.not_kept[0];
    EXPECT_EQ(log.Capturing(), opened);
  }
}

// Makes `path` as `kind` says: "" a file of `text`, "junk" a file that is no state, "folder",
// "fifo", "link" (to a file of `text` elsewhere), or the size in MiB of a file that starts with
// `text`; "none" makes nothing.
void Make(const fs::path& path, const std::string& kind, std::string_view text) {
  if (kind == "folder") {
    fs::create_directory(path);
#if !defined(_WIN32)
  } else if (kind == "fifo") {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  } else if (kind == "link") {
    Write(path.string() + ".elsewhere", text);
    fs::create_symlink(path.string() + ".elsewhere", path);
#endif
  } else if (kind != "none") {
    Write(path, kind == "junk" ? "x\n" : text);
    if (!kind.empty() && kind != "junk") {
      fs::resize_file(path, std::stoull(kind) << 20);
    }
  }
}

// Only regular files of a bounded size are read, never through a link and never by a call that
// could block; anything else is one notice, and the window's start goes on.
TEST(CaptureLog, OddFilesInTheFolderAreNotRead) {
  const std::string not_regular = "is not a regular file";
  const struct {
    std::string state;  // how Make makes the state file and the capture it names
    std::string capture;
    std::uint64_t offered;
    std::string notice;  // what the one notice says; none when empty
  } cases[] = {
    {"", "", 6, ""},
    {"junk", "none", 0, "holds no capture state"},
    {"", "folder", 0, not_regular},
#if !defined(_WIN32)
    {"512", "none", 0, "is too large"},
    {"link", "", 0, not_regular},
    {"", "link", 0, not_regular},
    {"", "fifo", 0, not_regular},
    {"", "256", CaptureLog::kMostRestored, ""},  // the newest 16 MiB
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state + "/" + c.capture);
    TempFolder folder;
    Make(folder.path / "state", c.state,
         "tessun capture state 1\nfile 2026-12-08_14-00-00.txt\nwritten 0\ncleared 0\n");
    Make(folder.path / "2026-12-08_14-00-00.txt", c.capture, "lines\n");
    ManualClock clock;
    Problems problems;
    CaptureLog log(clock, problems.Handler());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(log.Open(folder.path, At(1)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(problems.unreadable.size(), c.notice.empty() ? 0U : 1U);
    if (!c.notice.empty()) {
      EXPECT_NE(problems.unreadable[0].find(c.notice), std::string::npos) << problems.unreadable[0];
    }
    EXPECT_TRUE(problems.not_kept.empty());
    EXPECT_EQ(log.Unsaved().value_or(UnsavedCapture{}).size, c.offered);
    EXPECT_EQ(log.Unsaved().value_or(UnsavedCapture{}).cut, c.offered > 6);
    EXPECT_EQ(log.Size(), c.offered);
    EXPECT_EQ(Offered(log).size(), c.offered);
  }
}

// The restore question stays open while the console prints: the ticks capture its bytes and
// hold them, and after the answer they follow the restored lines (Yes) or stand alone (No).
// Without an answer (the program ended on a signal) the next start offers both.
TEST(CaptureLog, TicksGoOnWhileTheRestoreQuestionIsOpen) {
  const std::string before = "\nEVENT 1 HEAT 1\n  1  0:31.07\n  2  0:32";
  std::string meanwhile;
  for (int i = 1; i <= 60; ++i) {
    meanwhile += ".4" + std::to_string(i) + "\n  LIVE " + std::to_string(i);
  }
  for (const std::string answer : {"yes", "no", "none"}) {
    SCOPED_TRACE(answer);
    TempFolder folder;
    UnwrittenRun(folder.path, before);
    std::string next_offer;
    {
      CapturingRig rig(folder.path, 2);
      ASSERT_TRUE(rig.core.PendingRestore());
      rig.console.Print(meanwhile);
      for (int tick = 0; tick < 50; ++tick) {  // 5 s of ticks with the question open
        rig.Tick();
      }
      EXPECT_TRUE(rig.console.AllDataRead());
      EXPECT_EQ(rig.core.Store().LineIndex, 0);  // Held, not shown.
      EXPECT_EQ(Read(rig.log.FilePath()), before + meanwhile);
      if (answer != "none") {
        rig.core.AnswerRestore(answer == "yes");
        LineStore expected;
        for (const char c : (answer == "yes" ? before : std::string()) + meanwhile) {
          expected.StoreByte(static_cast<std::uint8_t>(c));
          expected.AssembleLines();
        }
        EXPECT_EQ(rig.core.Store().LineIndex, expected.LineIndex);
        EXPECT_EQ(rig.core.Store().Lines, expected.Lines);
        EXPECT_FALSE(rig.core.PendingRestore());
      }
      next_offer = answer == "no" ? meanwhile : before + meanwhile;
    }
    ManualClock clock;
    CaptureLog next(clock, nullptr);
    ASSERT_TRUE(next.Open(folder.path, At(3)));
    EXPECT_EQ(Offered(next), AsBytes(next_offer));
  }
}

#if !defined(_WIN32)
// The capture stops on a write error (here the file size limit, as a full disk would): the
// state still records every "Write File" and "Clear Data", and says that the capture is
// incomplete, so no later start offers lines that were written or cleared.
TEST(CaptureLog, AfterTheCaptureFailsTheStateStillRecordsWritesAndClears) {
  for (const std::string after_failure : {"", "W", "C", "aWa"}) {
    SCOPED_TRACE(after_failure);
    TempFolder folder;
    ManualClock clock;
    {
      Problems problems;
      CaptureLog log(clock, problems.Handler());
      ASSERT_TRUE(log.Open(folder.path, At(1)));
      log.TickEnded(Bytes(3000, 'a'));
      rlimit limit{};
      ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
      const rlimit small{4096, limit.rlim_max};
      const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
      log.TickEnded(Bytes(3000, 'b'));
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
      std::signal(SIGXFSZ, old_handler);
      EXPECT_EQ(problems.not_kept.size(), 1U);
      EXPECT_FALSE(log.Capturing());
      for (const char step : after_failure) {
        step == 'C'   ? log.DataCleared()
        : step == 'W' ? log.FileWritten()
                      : log.TickEnded(Bytes(10, 'c'));
      }
    }
    CaptureLog next(clock, nullptr);
    ASSERT_TRUE(next.Open(folder.path, At(2)));
    // Bytes received after the failure are not in the capture, so nothing after a write.
    const bool offered = after_failure.empty();
    ASSERT_EQ(next.Unsaved().has_value(), offered);
    if (offered) {
      EXPECT_TRUE(next.Unsaved()->incomplete);
      EXPECT_EQ(next.Unsaved()->size, 4096U);  // What reached the file before the limit.
    }
  }
}

// The folder is the user's alone (0700) and so are its files (0600), whatever the umask; a
// folder that was wider is tightened.
TEST(CaptureLog, TheFolderAndItsFilesArePrivate) {
  TempFolder folder;
  const fs::path captures = folder.path / "captures";
  fs::create_directory(captures);
  fs::permissions(captures, fs::perms::all);
  const mode_t old_mask = ::umask(0);
  ManualClock clock;
  CaptureLog log(clock, nullptr);
  const bool opened = log.Open(captures, At(1));
  log.TickEnded(AsBytes("x"));
  log.FileWritten();
  log.WaitForDisk();
  ::umask(old_mask);
  ASSERT_TRUE(opened);
  const auto mode = [](const fs::path& path) { return fs::status(path).permissions(); };
  EXPECT_EQ(mode(captures), fs::perms::owner_all);
  EXPECT_EQ(mode(log.FilePath()), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode(captures / CaptureLog::kStateFileName),
            fs::perms::owner_read | fs::perms::owner_write);
}
#endif

}  // namespace
}  // namespace tessun
