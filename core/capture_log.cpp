#include "core/capture_log.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <exception>
#include <system_error>

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
bool SyncFile(std::FILE* file) {
#if defined(_WIN32)
  return _commit(_fileno(file)) == 0;
#else
  return fdatasync(fileno(file)) == 0;
#endif
}

std::string Why(std::string_view what, const fs::path& path, int error) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(error);
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

// Opens `path` for reading if it is a regular file, with its size: a link is not followed, and
// the type is checked on the open file, opened without waiting (a FIFO would block). Null with
// `why` empty when nothing is there, with `why` set when something else is or it cannot be opened.
std::FILE* OpenRegularFile(const fs::path& path, std::uint64_t& size, std::string& why) {
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
  size = static_cast<std::uint64_t>(info.st_size);
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

CaptureLog::CaptureLog(Clock& clock, ProblemHandler on_problem)
    : clock_(clock), on_problem_(std::move(on_problem)) {}

CaptureLog::~CaptureLog() {
  if (file_ != nullptr && unsynced_) {
    SyncFile(file_.get());
  }
}

bool CaptureLog::Open(const fs::path& folder, const std::tm& start) {
  folder_ = folder;
  if (const std::error_code error = MakePrivateFolder(folder_)) {
    Report(Problem::kNotKept,
           "cannot create the capture folder " + folder_.string() + ": " + error.message());
    return false;
  }
  ReadPrevious();

  // A second start within the same second gets a name of its own.
  const std::string first = CaptureFileName(start);
  std::string name = first;
  std::error_code error;
  for (int n = 2; fs::exists(fs::symlink_status(folder_ / name, error)) && n < 100; ++n) {
    name.assign(first, 0, first.size() - 4);
    name.append("_").append(std::to_string(n)).append(".txt");
  }
  path_ = folder_ / name;
  state_ = {name, 0, 0};
  file_.reset(CreateCaptureFile(path_));
  if (file_ == nullptr) {
    Report(Problem::kNotKept, Why("cannot create the capture file", path_, errno));
    return false;
  }
  last_sync_ = clock_.Now();
  RemoveOldCaptures(folder_, fs::file_time_type::clock::now(), kMaxAge, kKeepNewest,
                    unsaved_ ? std::string_view(previous_name_) : std::string_view());

  if (unsaved_) {
    CopyUnsaved();
    if (!Capturing()) {
      return false;  // The state names the previous run until the question is answered.
    }
  }
  state_is_ours_ = true;
  if (!WriteState()) {
    file_.reset();
    return false;
  }
  return true;
}

void CaptureLog::ReadPrevious() {
  const fs::path state_path = folder_ / kStateFileName;
  std::uint64_t size = 0;
  std::string why;
  const File state(OpenRegularFile(state_path, size, why));
  if (state == nullptr || size > kMostStateSize) {
    if (state != nullptr) {
      why = state_path.string() + " is too large for a capture state";
    }
    if (!why.empty()) {
      Report(Problem::kUnreadable, why);
    }
    return;
  }
  std::string text(size, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), state.get()));
  const std::optional<CaptureState> previous = ParseCaptureState(text);
  if (!previous) {
    Report(Problem::kUnreadable, state_path.string() + " holds no capture state");
    return;
  }

  // Did the previous run take bytes after its last "Write File" and "Clear Data"?
  const fs::path capture_path = folder_ / previous->file;
  File capture(OpenRegularFile(capture_path, size, why));
  if (capture == nullptr || size <= std::max(previous->written, previous->cleared)) {
    if (!why.empty()) {
      Report(Problem::kUnreadable, why);
    }
    return;
  }
  previous_start_ = std::max(previous->cleared, size - std::min(size, kMostRestored));
  unsaved_ = UnsavedCapture{size - previous_start_, previous_start_ > previous->cleared,
                            previous->incomplete};
  previous_ = std::move(capture);
  previous_name_ = previous->file;
}

void CaptureLog::CopyUnsaved() {
  // Large writes, synced before the state file names this run.
  std::uint64_t copied = 0;
  ReadUnsaved([this, &copied](std::span<const std::uint8_t> piece) {
    copied += piece.size();
    Append(piece);
  });
  Sync();
  if (copied == 0) {
    unsaved_.reset();
    previous_.reset();
  } else {
    unsaved_->size = copied;  // Less after a read error.
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
    RecordOrForget();
  }
}

void CaptureLog::TickEnded(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty() && Append(bytes)) {
    if (std::fflush(file_.get()) != 0) {
      CaptureFailed(Why("cannot write the capture file", path_, errno));
      return;
    }
    unsynced_ = true;
  }
  if (unsynced_ && clock_.Now() - last_sync_ >= kSyncInterval) {
    Sync();
  }
}

void CaptureLog::DataCleared() {
  state_.cleared = size_;
  RecordOrForget();
}

void CaptureLog::FileWritten() {
  state_.written = size_;
  RecordOrForget();
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

void CaptureLog::Sync() {
  if (file_ == nullptr) {
    return;
  }
  if (std::fflush(file_.get()) != 0 || !SyncFile(file_.get())) {
    CaptureFailed(Why("cannot sync the capture file", path_, errno));
    return;
  }
  last_sync_ = clock_.Now();
  unsynced_ = false;
}

bool CaptureLog::WriteState() {
  // Replaced in one step, so the state file is always whole.
  const FileWriteResult result =
      WriteFileAtomically(folder_, kStateFileName, FormatCaptureState(state_));
  if (!result.ok()) {
    Report(Problem::kNotKept, "cannot write the capture state: " + result.text);
    return false;
  }
#if !defined(_WIN32)
  std::error_code error;
  fs::permissions(folder_ / kStateFileName, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace, error);
#endif
  return true;
}

void CaptureLog::RecordOrForget() {
  if (!state_is_ours_ || WriteState()) {
    return;
  }
  std::error_code error;
  const fs::path path = folder_ / kStateFileName;
  if (fs::is_regular_file(fs::symlink_status(path, error))) {
    fs::remove(path, error);
  }
}

void CaptureLog::CaptureFailed(const std::string& why) {
  file_.reset();
  unsynced_ = false;
  Report(Problem::kNotKept, why);
  // Bytes from here on are counted, not captured: the state says so.
  state_.incomplete = true;
  if (state_is_ours_) {
    WriteState();
  }
}

void CaptureLog::Report(Problem problem, const std::string& why) {
  bool& reported = reported_[problem == Problem::kNotKept ? 0 : 1];
  if (!reported && on_problem_) {
    on_problem_(problem, why);
  }
  reported = true;
}

}  // namespace tessun
