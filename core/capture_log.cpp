#include "core/capture_log.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "files/file_writer.h"

namespace tessun {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kStateHeader = "tessun capture state 1";
constexpr std::string_view kIncomplete = "incomplete";
// The restore and its copy read the previous capture in pieces of this size.
constexpr std::size_t kReadPiece = 64 * 1024;

// Hands the file's data to the disk (not only to the operating system's cache).
bool SyncDescriptor(int descriptor) {
#if defined(_WIN32)
  return _commit(descriptor) == 0;
#else
  return fdatasync(descriptor) == 0;
#endif
}

int Descriptor(std::FILE* file) {
#if defined(_WIN32)
  return _fileno(file);
#else
  return fileno(file);
#endif
}

// A descriptor of its own for the file, which the log's thread syncs whatever the window's
// thread does with the stream; -1 (errno set) when there is none.
int DuplicateDescriptor(std::FILE* file) {
#if defined(_WIN32)
  return _dup(_fileno(file));
#else
  return ::fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
#endif
}

void CloseDescriptor(int descriptor) {
#if defined(_WIN32)
  _close(descriptor);
#else
  ::close(descriptor);
#endif
}

// Thread-safe, unlike strerror: both of the log's threads give reasons.
std::string Why(std::string_view what, const fs::path& path, int error) {
  return std::string(what) + " " + path.string() + ": " + std::generic_category().message(error);
}

bool IsDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// YYYY-MM-DD_HH-MM-SS.txt or YYYY-MM-DD_HH-MM-SS_N.txt.
bool IsCaptureName(std::string_view name) {
  constexpr std::string_view kShape = "0000-00-00_00-00-00";
  constexpr std::string_view kExtension = ".txt";
  if (name.size() < kShape.size() + kExtension.size() || !name.ends_with(kExtension)) {
    return false;
  }
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    if ((kShape[i] == '0') != (name[i] >= '0' && name[i] <= '9') ||
        (kShape[i] != '0' && name[i] != kShape[i])) {
      return false;
    }
  }
  const std::string_view rest =
      name.substr(kShape.size(), name.size() - kShape.size() - kExtension.size());
  return rest.empty() || (rest.front() == '_' && IsDigits(rest.substr(1)));
}

std::string NotRegular(const fs::path& path) {
  return path.string() + " is not a regular file";
}

struct FileFacts {
  std::uint64_t size = 0;
  std::time_t modified = 0;
};

// Opens `path` for reading if it is a regular file, with its size and last write: a link is not
// followed, and the type is checked on the open file, opened without waiting (a FIFO would
// block). Null with `why` empty when nothing is there, with `why` set when something else is or
// it cannot be opened.
std::FILE* OpenRegularFile(const fs::path& path, FileFacts& facts, std::string& why) {
  why.clear();
#if defined(_WIN32)
  std::error_code error;
  const fs::file_type type = fs::symlink_status(path, error).type();
  if (type == fs::file_type::not_found) {
    return nullptr;
  }
  if (type != fs::file_type::regular) {
    why = NotRegular(path);
    return nullptr;
  }
  std::FILE* file = _wfopen(path.c_str(), L"rb");
  struct _stat64 info {};
  if (file == nullptr || _fstat64(_fileno(file), &info) != 0) {
    why = Why("cannot open", path, errno);
    if (file != nullptr) {
      std::fclose(file);
    }
    return nullptr;
  }
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) {
      why = errno == ELOOP ? NotRegular(path) : Why("cannot open", path, errno);
    }
    return nullptr;
  }
  struct stat info {};
  std::FILE* file = nullptr;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    why = NotRegular(path);
  } else if (file = ::fdopen(fd, "rb"); file == nullptr) {
    why = Why("cannot open", path, errno);
  }
  if (file == nullptr) {
    ::close(fd);
    return nullptr;
  }
#endif
  facts = {static_cast<std::uint64_t>(info.st_size), static_cast<std::time_t>(info.st_mtime)};
  return file;
}

// Creates this run's capture file, private to the user whatever the umask (never an existing
// file on POSIX); null with errno set when it cannot be created.
std::FILE* CreateCaptureFile(const fs::path& path) {
#if defined(_WIN32)
  return _wfopen(path.c_str(), L"ab");
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
  std::FILE* file = fd < 0 || ::fchmod(fd, 0600) != 0 ? nullptr : ::fdopen(fd, "ab");
  if (file == nullptr && fd >= 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return file;
#endif
}

bool SeekTo(std::FILE* file, std::uint64_t offset) {
#if defined(_WIN32)
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// Replaces the state file in one step, so that it is always whole; the reason when it cannot.
std::string WriteStateFile(const fs::path& folder, const CaptureState& state) {
  const FileWriteResult result =
      WriteFileAtomically(folder, CaptureLog::kStateFileName, FormatCaptureState(state));
  if (!result.ok()) {
    return "cannot write the capture state: " + result.text;
  }
#if !defined(_WIN32)
  std::error_code error;
  fs::permissions(folder / CaptureLog::kStateFileName,
                  fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, error);
#endif
  return {};
}

void RemoveStateFile(const fs::path& folder) {
  std::error_code error;
  const fs::path path = folder / CaptureLog::kStateFileName;
  if (fs::is_regular_file(fs::symlink_status(path, error))) {
    fs::remove(path, error);
  }
}

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (!IsDigits(text) || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string FormatCaptureState(const CaptureState& state) {
  std::string text(kStateHeader);
  text.append("\nfile ").append(state.file);
  text.append("\nwritten ").append(std::to_string(state.written));
  text.append("\ncleared ").append(std::to_string(state.cleared)).append("\n");
  if (state.incomplete) {
    text.append(kIncomplete).append("\n");
  }
  return text;
}

std::optional<CaptureState> ParseCaptureState(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      return std::nullopt;  // The last line is cut short.
    }
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  if (lines.size() < 4 || lines.size() > 5 || (lines.size() == 5 && lines[4] != kIncomplete) ||
      lines[0] != kStateHeader || !lines[1].starts_with("file ") ||
      !lines[2].starts_with("written ") || !lines[3].starts_with("cleared ")) {
    return std::nullopt;
  }
  CaptureState state;
  state.file = lines[1].substr(5);
  const auto written = ParseNumber(lines[2].substr(8));
  const auto cleared = ParseNumber(lines[3].substr(8));
  if (!IsCaptureName(state.file) || !written || !cleared) {
    return std::nullopt;
  }
  state.written = *written;
  state.cleared = *cleared;
  state.incomplete = lines.size() == 5;
  return state;
}

std::error_code MakePrivateFolder(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
#if !defined(_WIN32)
  constexpr fs::perms kPrivate = fs::perms::owner_all;
  if (!error && (fs::status(folder, error).permissions() & fs::perms::mask) != kPrivate) {
    fs::permissions(folder, kPrivate, fs::perm_options::replace, error);
  }
#endif
  return error;
}

std::string CaptureFileName(const std::tm& start) {
  char name[32] = {};
  std::strftime(name, sizeof name, "%Y-%m-%d_%H-%M-%S.txt", &start);
  return name;
}

std::vector<std::string> RemoveOldCaptures(const fs::path& folder, fs::file_time_type now,
                                           std::chrono::hours max_age, std::size_t keep_newest,
                                           std::string_view keep) {
  struct Capture {
    fs::file_time_type time;
    std::string name;
  };
  std::vector<Capture> captures;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    std::string name = entry.path().filename().string();
    std::error_code entry_error;
    const fs::file_time_type time = entry.last_write_time(entry_error);
    if (IsCaptureName(name) && entry.is_regular_file(entry_error) && !entry_error) {
      captures.push_back({time, std::move(name)});
    }
  }
  // Newest first; the name (the start time) decides between equal times.
  std::sort(captures.begin(), captures.end(), [](const Capture& a, const Capture& b) {
    return a.time != b.time ? a.time > b.time : a.name > b.name;
  });
  std::vector<std::string> removed;
  for (std::size_t i = keep_newest; i < captures.size(); ++i) {
    if (now - captures[i].time > max_age && captures[i].name != keep &&
        fs::remove(folder / captures[i].name, error)) {
      removed.push_back(captures[i].name);
    }
  }
  return removed;
}

// The log's own thread: syncs the capture file and replaces the state file when asked, in that
// order, so that the window's thread never waits on the disk. Requests made while it works are
// merged (the newest state wins); what fails is kept until the window's thread takes it.
class CaptureLog::DiskWork {
 public:
  struct Failures {
    std::string sync;
    std::string state;
  };

  DiskWork(fs::path folder, SyncFunction sync)
      : folder_(std::move(folder)), sync_(std::move(sync)), thread_([this] { Run(); }) {}
  DiskWork(const DiskWork&) = delete;
  DiskWork& operator=(const DiskWork&) = delete;
  // Does what was asked, then ends the thread.
  ~DiskWork() {
    Ask([this] { stopping_ = true; });
    thread_.join();
    if (descriptor_ >= 0) {
      CloseDescriptor(descriptor_);
    }
  }

  // The capture file to sync from now on: a descriptor of its own (closed at the end).
  void SetCapture(int descriptor, const fs::path& path) {
    Ask([&] {
      descriptor_ = descriptor;
      path_ = path;
    });
  }
  void Sync() {
    Ask([this] { sync_asked_ = true; });
  }
  void WriteState(const CaptureState& state, bool or_forget) {
    Ask([&] {
      state_ = state;
      forget_ = forget_ || or_forget;
    });
  }
  Failures TakeFailures() {
    const std::lock_guard lock(mutex_);
    return std::exchange(failures_, {});
  }
  void WaitUntilDone() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return !busy_ && !sync_asked_ && !state_; });
  }

 private:
  void Ask(const std::function<void()>& change) {
    {
      const std::lock_guard lock(mutex_);
      change();
    }
    wake_.notify_one();
  }

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || sync_asked_ || state_; });
      if (!sync_asked_ && !state_) {
        return;
      }
      const bool sync = std::exchange(sync_asked_, false);
      const std::optional<CaptureState> state = std::exchange(state_, std::nullopt);
      const bool forget = std::exchange(forget_, false);
      const int descriptor = descriptor_;
      const fs::path path = path_;
      busy_ = true;
      lock.unlock();
      Failures met;
      if (sync && descriptor >= 0 && !sync_(descriptor)) {
        met.sync = Why("cannot sync the capture file", path, errno);
      }
      if (state) {
        met.state = WriteStateFile(folder_, *state);
        if (!met.state.empty() && forget) {
          RemoveStateFile(folder_);
        }
      }
      lock.lock();
      busy_ = false;
      if (failures_.sync.empty()) {
        failures_.sync = std::move(met.sync);
      }
      if (failures_.state.empty()) {
        failures_.state = std::move(met.state);
      }
      done_.notify_all();
    }
  }

  const fs::path folder_;
  const SyncFunction sync_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  int descriptor_ = -1;
  fs::path path_;
  bool sync_asked_ = false;
  std::optional<CaptureState> state_;
  bool forget_ = false;
  bool busy_ = false;
  bool stopping_ = false;
  Failures failures_;
  // Last: it starts once everything it uses is there.
  std::thread thread_;
};

CaptureLog::CaptureLog(Clock& clock, ProblemHandler on_problem)
    : clock_(clock), on_problem_(std::move(on_problem)), sync_(SyncDescriptor) {}

CaptureLog::~CaptureLog() {
  if (file_ != nullptr && unsynced_) {
    disk_->Sync();
  }
  disk_.reset();
}

bool CaptureLog::Open(const fs::path& folder, LocalTime local_time) {
  folder_ = folder;
  local_time_ = std::move(local_time);
  if (const std::error_code error = MakePrivateFolder(folder_)) {
    Report(Problem::kNotKept,
           "cannot create the capture folder " + folder_.string() + ": " + error.message());
    return false;
  }
  disk_ = std::make_unique<DiskWork>(folder_, sync_);
  ReadPrevious();
  RemoveOldCaptures(folder_, fs::file_time_type::clock::now(), kMaxAge, kKeepNewest,
                    unsaved_ ? std::string_view(previous_name_) : std::string_view());
  if (!unsaved_) {
    create_at_first_byte_ = true;
    return true;
  }
  CreateCapture();
  CopyUnsaved();
  if (!Capturing()) {
    return false;  // The state names the previous run until the question is answered.
  }
  state_is_ours_ = true;
  if (const std::string why = WriteStateFile(folder_, state_); !why.empty()) {
    Report(Problem::kNotKept, why);
    file_.reset();
    return false;
  }
  return true;
}

void CaptureLog::WaitForDisk() {
  if (disk_ != nullptr) {
    disk_->WaitUntilDone();
  }
}

bool CaptureLog::CreateCapture() {
  create_at_first_byte_ = false;
  // A second file within the same second gets a name of its own.
  const std::string first = CaptureFileName(local_time_());
  std::string name = first;
  std::error_code error;
  for (int n = 2; fs::exists(fs::symlink_status(folder_ / name, error)) && n < 100; ++n) {
    name.assign(first, 0, first.size() - 4);
    name.append("_").append(std::to_string(n)).append(".txt");
  }
  path_ = folder_ / name;
  state_ = {name, 0, 0};
  file_.reset(CreateCaptureFile(path_));
  const int descriptor = file_ != nullptr ? DuplicateDescriptor(file_.get()) : -1;
  if (descriptor < 0) {
    Report(Problem::kNotKept, Why("cannot create the capture file", path_, errno));
    file_.reset();
    return false;
  }
  disk_->SetCapture(descriptor, path_);
  last_sync_ = clock_.Now();
  return true;
}

void CaptureLog::ReadPrevious() {
  const fs::path state_path = folder_ / kStateFileName;
  FileFacts facts;
  std::string why;
  const File state(OpenRegularFile(state_path, facts, why));
  if (state == nullptr || facts.size > kMostStateSize) {
    if (state != nullptr) {
      why = state_path.string() + " is too large for a capture state";
    }
    if (!why.empty()) {
      Report(Problem::kUnreadable, why);
    }
    return;
  }
  std::string text(facts.size, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), state.get()));
  const std::optional<CaptureState> previous = ParseCaptureState(text);
  if (!previous) {
    Report(Problem::kUnreadable, state_path.string() + " holds no capture state");
    return;
  }

  // Did the previous run take bytes after its last "Write File" and "Clear Data"?
  const fs::path capture_path = folder_ / previous->file;
  File capture(OpenRegularFile(capture_path, facts, why));
  const std::uint64_t size = facts.size;
  if (capture == nullptr || size <= std::max(previous->written, previous->cleared)) {
    if (!why.empty()) {
      Report(Problem::kUnreadable, why);
    }
    return;
  }
  previous_start_ = std::max(previous->cleared, size - std::min(size, kMostRestored));
  unsaved_ = UnsavedCapture{size - previous_start_, previous_start_ > previous->cleared,
                            previous->incomplete};
  unsaved_->last_received = facts.modified;
  previous_ = std::move(capture);
  previous_name_ = previous->file;
}

void CaptureLog::CopyUnsaved() {
  // Large writes, synced before the state file names this run; the lines are counted on the way.
  std::uint64_t copied = 0;
  std::uint64_t line_feeds = 0;
  std::uint8_t last = '\n';
  ReadUnsaved([&](std::span<const std::uint8_t> piece) {
    copied += piece.size();
    line_feeds += static_cast<std::uint64_t>(std::count(piece.begin(), piece.end(), '\n'));
    last = piece.back();
    Append(piece);
  });
  if (copied == 0) {
    unsaved_.reset();
    previous_.reset();
  } else {
    unsaved_->size = copied;  // Less after a read error.
    unsaved_->lines = line_feeds + (last != '\n' ? 1 : 0);
  }
  if (file_ == nullptr) {
    return;
  }
  const bool flushed = std::fflush(file_.get()) == 0;
  if (unsaved_) {
    // The copy keeps the time of the last byte received, which the question names, also when
    // the program ends before it is answered.
    std::error_code error;
    fs::last_write_time(path_,
                        fs::file_time_type::clock::from_sys(
                            std::chrono::system_clock::from_time_t(unsaved_->last_received)),
                        error);
  }
  if (!flushed || !sync_(Descriptor(file_.get()))) {
    CaptureFailed(Why("cannot sync the capture file", path_, errno));
  }
}

void CaptureLog::ReadUnsaved(const std::function<void(std::span<const std::uint8_t>)>& take) {
  if (!unsaved_ || previous_ == nullptr) {
    return;
  }
  std::vector<std::uint8_t> piece(kReadPiece);
  std::uint64_t left = unsaved_->size;
  bool read = SeekTo(previous_.get(), previous_start_);
  while (read && left > 0) {
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadPiece));
    const std::size_t got = std::fread(piece.data(), 1, wanted, previous_.get());
    if (got > 0) {
      take(std::span(piece.data(), got));
    }
    read = got == wanted;
    left -= got;
  }
  if (!read) {
    const fs::path path = folder_ / previous_name_;
    Report(Problem::kUnreadable, std::ferror(previous_.get()) != 0
                                     ? Why("cannot read", path, errno)
                                     : path.string() + " ended early");
  }
}

void CaptureLog::RestoreAnswered(bool restored) {
  if (!unsaved_) {
    return;
  }
  if (!restored) {
    state_.cleared = std::max(state_.cleared, unsaved_->size);
  }
  unsaved_.reset();
  previous_.reset();
  if (!restored || !state_is_ours_) {
    state_is_ours_ = true;
    RecordState(true);
  }
}

void CaptureLog::TickEnded(std::span<const std::uint8_t> bytes) {
  ReportDiskWork();
  if (!bytes.empty() && create_at_first_byte_ && CreateCapture()) {
    state_is_ours_ = true;
    RecordState(false);
  }
  if (!bytes.empty() && Append(bytes)) {
    if (std::fflush(file_.get()) != 0) {
      CaptureFailed(Why("cannot write the capture file", path_, errno));
      return;
    }
    unsynced_ = true;
  }
  if (unsynced_ && clock_.Now() - last_sync_ >= kSyncInterval) {
    disk_->Sync();
    last_sync_ = clock_.Now();
    unsynced_ = false;
  }
}

void CaptureLog::DataCleared() {
  state_.cleared = size_;
  RecordState(true);
}

void CaptureLog::FileWritten() {
  state_.written = size_;
  RecordState(true);
}

bool CaptureLog::Append(std::span<const std::uint8_t> bytes) {
  size_ += bytes.size();
  if (file_ == nullptr) {
    return false;
  }
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size()) {
    CaptureFailed(Why("cannot write the capture file", path_, errno));
    return false;
  }
  return true;
}

void CaptureLog::RecordState(bool or_forget) {
  if (state_is_ours_) {
    disk_->WriteState(state_, or_forget);
  }
}

void CaptureLog::ReportDiskWork() {
  if (disk_ == nullptr) {
    return;
  }
  const DiskWork::Failures failures = disk_->TakeFailures();
  if (!failures.sync.empty() && file_ != nullptr) {
    CaptureFailed(failures.sync);
  }
  if (!failures.state.empty()) {
    Report(Problem::kNotKept, failures.state);
  }
}

void CaptureLog::CaptureFailed(const std::string& why) {
  file_.reset();
  unsynced_ = false;
  Report(Problem::kNotKept, why);
  // Bytes from here on are counted, not captured: the state says so.
  state_.incomplete = true;
  RecordState(false);
}

void CaptureLog::Report(Problem problem, const std::string& why) {
  bool& reported = reported_[problem == Problem::kNotKept ? 0 : 1];
  if (!reported && on_problem_) {
    on_problem_(problem, why);
  }
  reported = true;
}

}  // namespace tessun
