// The capture log: every data byte the console sent, in the order the device link stored it into
// the receive ring, appended to one file per run, so that no received line is lost to a crash, a
// hasty "Exit" or the store's 1000-line cap. A small state file beside the captures records how
// far the capture had reached at the last successful "Write File" and at the last "Clear Data",
// so that the next start can tell whether the run ended with lines that were never written.
//
// Standard library and the platform's file calls only. A failure never throws and never stops
// acquisition: the log reports it once through the failure handler and stops capturing until the
// next start.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/clock.h"

namespace tessun {

// What the state file holds: the capture file of the run it describes (a bare name in the
// capture folder) and the capture's size at that run's last "Write File" and "Clear Data".
struct CaptureState {
  std::string file;
  std::uint64_t written = 0;
  std::uint64_t cleared = 0;

  bool operator==(const CaptureState&) const = default;
};

// The state file's text, and back; nullopt for anything that is not a complete state file.
std::string FormatCaptureState(const CaptureState& state);
std::optional<CaptureState> ParseCaptureState(std::string_view text);

// The name of a capture file for a run started at local time `start`: YYYY-MM-DD_HH-MM-SS.txt.
std::string CaptureFileName(const std::tm& start);

// Removes the capture files (names as CaptureFileName gives them, with an optional "_N" before
// ".txt") last written more than `max_age` before `now`, except the `keep_newest` newest ones and
// `keep`. Returns the names removed.
std::vector<std::string> RemoveOldCaptures(const std::filesystem::path& folder,
                                           std::filesystem::file_time_type now,
                                           std::chrono::hours max_age, std::size_t keep_newest,
                                           std::string_view keep = {});

class CaptureLog {
 public:
  static constexpr char kStateFileName[] = "state";
  // The file is synced to the disk at most this often while bytes keep arriving.
  static constexpr std::chrono::seconds kSyncInterval{1};
  // Retention at start-up: older captures go, but never the newest ones.
  static constexpr std::chrono::hours kMaxAge{24 * 60};
  static constexpr std::size_t kKeepNewest = 20;

  using FailureHandler = std::function<void(const std::string& why)>;

  // `clock` paces the syncs; `on_failure` hears of the first failure (opening or later).
  CaptureLog(Clock& clock, FailureHandler on_failure);
  CaptureLog(const CaptureLog&) = delete;
  CaptureLog& operator=(const CaptureLog&) = delete;
  // Syncs what is not yet on the disk and closes the file.
  ~CaptureLog();

  // Starts this run's capture in `folder` (created if missing), named by the local start time:
  // reads the previous run's state, creates the capture file, removes old captures and, unless
  // the previous run has lines to restore, makes the state file name this run. False (and the
  // failure handler called) when the capture cannot be kept.
  bool Open(const std::filesystem::path& folder, const std::tm& start);

  bool Capturing() const { return file_ != nullptr; }
  const std::filesystem::path& FilePath() const { return path_; }
  // Bytes in this run's capture file.
  std::uint64_t Size() const { return size_; }

  // The previous run's bytes since its last "Clear Data", when it took bytes after the later of
  // its last "Write File" and last "Clear Data" and the question has not been answered yet.
  const std::optional<std::vector<std::uint8_t>>& Unsaved() const { return unsaved_; }
  // The restore question was answered (the restored bytes, if any, are already appended): the
  // state file now names this run, so the question does not come again.
  void RestoreAnswered();

  // The end of a tick: appends the bytes the link stored during it and hands them to the
  // operating system; syncs when bytes arrived since the last sync and a second has passed.
  void TickEnded(std::span<const std::uint8_t> bytes);
  // The operator cleared the data / a data file was written: the capture's size is recorded.
  void DataCleared();
  void FileWritten();

 private:
  void Fail(const std::string& why);
  void Sync();
  bool WriteState();

  Clock& clock_;
  FailureHandler on_failure_;
  std::filesystem::path folder_;
  std::filesystem::path path_;
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
  CaptureState state_;
  // The state file names this run (not while a restore question is open).
  bool state_is_ours_ = false;
  bool failed_ = false;
  bool unsynced_ = false;
  Clock::TimePoint last_sync_{};
  std::optional<std::vector<std::uint8_t>> unsaved_;
};

}  // namespace tessun
