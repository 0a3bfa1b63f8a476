// The capture log: every data byte the console sent, in the order the device link stored it into
// the receive ring, appended to one file per run, so that no received line is lost to a crash, a
// hasty "Exit" or the store's 1000-line cap. A small state file beside the captures records how
// far the capture had reached at the last successful "Write File" and at the last "Clear Data",
// so that the next start can tell whether the run ended with lines that were never written.
//
// Only what the log itself wrote is read back: regular files, never through a link, never by a
// call that could block, the state file at most kMostStateSize bytes and at most kMostRestored
// bytes of a capture. The folder and the files are private to the user.
//
// The capture file, and the state's entry that names it, come with the first byte, so a run that
// receives nothing leaves nothing behind. The window's thread only hands the bytes to the
// operating system: the syncs to the disk and the state file's writes are done by a thread of the
// log's own, so no tick and no click waits on the disk. Only Open, at start-up and before the
// window, waits on the disk itself (it syncs the copy of the previous run's unwritten bytes
// before the state file names this run).
//
// Standard library and the platform's file calls only. A failure never throws and never stops
// acquisition: the log reports each kind of problem once through the problem handler, always on
// the thread that calls the log (what its own thread met, at the next tick). After a capture
// write or sync fails it stops capturing until the next start but still records every "Write
// File" and "Clear Data" in the state file.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "device/clock.h"

namespace tessun {

// What the state file holds: the capture file of the run it describes (a bare name in the
// capture folder), how many bytes that run had received at its last "Write File" and "Clear
// Data", and whether its capture stopped on a write error (the file then ends early).
struct CaptureState {
  std::string file;
  std::uint64_t written = 0;
  std::uint64_t cleared = 0;
  bool incomplete = false;

  bool operator==(const CaptureState&) const = default;
};

// The state file's text, and back; nullopt for anything that is not a complete state file.
std::string FormatCaptureState(const CaptureState& state);
std::optional<CaptureState> ParseCaptureState(std::string_view text);

// What the previous run left unwritten, as offered for restoring: the newest bytes of its
// capture since its last "Clear Data", when it received bytes after the later of its last "Write
// File" and "Clear Data".
struct UnsavedCapture {
  std::uint64_t size = 0;
  // Older bytes are left out: there were more than CaptureLog::kMostRestored.
  bool cut = false;
  // That run's capture had stopped on a write error: lines received after it are missing.
  bool incomplete = false;
  // The line feeds in the bytes, plus one when the last line is unfinished: the lines a restore
  // shows (below the store's cap).
  std::uint64_t lines = 0;
  // When the last of them was received: the capture file's last write.
  std::time_t last_received = 0;

  bool operator==(const UnsavedCapture&) const = default;
};

// Creates `folder` (and its parents) if missing and makes it private to the user (0700 on POSIX,
// whatever the umask; a folder with wider permissions is tightened).
std::error_code MakePrivateFolder(const std::filesystem::path& folder);

// The name of a capture file begun at local time `start`: YYYY-MM-DD_HH-MM-SS.txt.
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
  // A state file is a few lines; anything larger is not one.
  static constexpr std::uint64_t kMostStateSize = 4096;
  // The most bytes offered for restoring: the newest ones.
  static constexpr std::uint64_t kMostRestored = 16 << 20;

  enum class Problem {
    // This run's bytes cannot be kept: the folder, the capture or the state cannot be written.
    kNotKept,
    // A file the previous run left cannot be read, so its lines are not offered.
    kUnreadable,
  };
  using ProblemHandler = std::function<void(Problem problem, const std::string& why)>;
  // The local time, which names the capture file when it is created.
  using LocalTime = std::function<std::tm()>;
  // Hands what was written to a file descriptor to the disk; false (errno set) on failure.
  using SyncFunction = std::function<bool(int descriptor)>;

  // `clock` paces the syncs; `on_problem` hears of the first problem of each kind.
  CaptureLog(Clock& clock, ProblemHandler on_problem);
  CaptureLog(const CaptureLog&) = delete;
  CaptureLog& operator=(const CaptureLog&) = delete;
  // Finishes the disk work asked for (the state, and a last sync of what is not yet on the disk)
  // and closes the file.
  ~CaptureLog();

  // Starts this run's capture in `folder` (created if missing): reads the previous run's state
  // and removes old captures. The capture file comes with the first byte, named by the local time
  // then, and the state file names this run from then on. When the previous run left bytes
  // unwritten, the file is created now instead, named by the local time now, and they are copied
  // to its start and synced before the state file names this run, so that the question about
  // them is asked again after a crash or a close signal before it was answered, together with
  // what came meanwhile. False (and the problem handler called) when the capture cannot be kept.
  bool Open(const std::filesystem::path& folder, LocalTime local_time);
  // The call that syncs the capture file (tests count or hold it); before Open.
  void SetSync(SyncFunction sync) { sync_ = std::move(sync); }
  // Returns once the syncs and state writes asked for so far are done (for tests).
  void WaitForDisk();

  bool Capturing() const { return file_ != nullptr; }
  // The capture folder, once Open has found it ready; empty before and when it could not.
  std::filesystem::path Folder() const {
    return disk_ != nullptr ? folder_ : std::filesystem::path();
  }
  // Empty until the capture file is created.
  const std::filesystem::path& FilePath() const { return path_; }
  // Bytes of this run: the unwritten bytes of the previous run copied at the start, and every
  // byte a tick ended with since (also those not captured after a write error).
  std::uint64_t Size() const { return size_; }

  // The previous run's unwritten bytes, until the restore question is answered.
  const std::optional<UnsavedCapture>& Unsaved() const { return unsaved_; }
  // Hands the previous run's unwritten bytes to `take`, oldest first, in pieces of at most 64 KiB.
  // A read error is reported, and the bytes after it are left out.
  void ReadUnsaved(const std::function<void(std::span<const std::uint8_t>)>& take);
  // The restore question was answered: after Yes the copied bytes are this run's own (offered
  // again only if it ends without writing them), after No they count as cleared.
  void RestoreAnswered(bool restored);

  // The end of a tick: reports what the log's thread met since the last tick, appends the bytes
  // the link stored during it (creating the file with the first byte) and hands them to the
  // operating system; asks for a sync when bytes arrived since the last one and a second has
  // passed.
  void TickEnded(std::span<const std::uint8_t> bytes);
  // The operator cleared the data / a data file was written: Size() is recorded.
  void DataCleared();
  void FileWritten();

 private:
  struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  using File = std::unique_ptr<std::FILE, CloseFile>;
  class DiskWork;

  void ReadPrevious();
  bool CreateCapture();
  void CopyUnsaved();
  void Report(Problem problem, const std::string& why);
  void ReportDiskWork();
  void CaptureFailed(const std::string& why);
  bool Append(std::span<const std::uint8_t> bytes);
  // Asks the log's thread to write the state; when it cannot and `or_forget` (a "Write File",
  // "Clear Data" or answer it cannot record), the state file goes, so that no later start offers
  // lines that were written or declined.
  void RecordState(bool or_forget);

  Clock& clock_;
  ProblemHandler on_problem_;
  SyncFunction sync_;
  bool reported_[2] = {false, false};
  std::filesystem::path folder_;
  LocalTime local_time_;
  // Open found the folder ready: the first byte creates the capture file.
  bool create_at_first_byte_ = false;
  std::filesystem::path path_;
  File file_;
  std::uint64_t size_ = 0;
  CaptureState state_;
  // The state file names this run.
  bool state_is_ours_ = false;
  bool unsynced_ = false;
  Clock::TimePoint last_sync_{};
  std::unique_ptr<DiskWork> disk_;
  // The previous run's capture, open for reading until the question is answered, and where its
  // unwritten bytes start.
  File previous_;
  std::string previous_name_;
  std::uint64_t previous_start_ = 0;
  std::optional<UnsavedCapture> unsaved_;
};

}  // namespace tessun
