#include "core/capture_log.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "files/file_writer.h"

namespace tessun {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kStateHeader = "tessun capture state 1";

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

// The bytes of a regular file (links followed); nullopt when there is none or it cannot be read.
// Anything else at the name is never opened (a FIFO would block the start).
std::optional<std::string> ReadRegularFile(const fs::path& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) {
    return std::nullopt;
  }
  try {
    std::ifstream file(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    return file ? std::optional(std::move(bytes)) : std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;  // A read error: the standard library's file buffer throws it.
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
  if (lines.size() != 4 || lines[0] != kStateHeader || !lines[1].starts_with("file ") ||
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
  return state;
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

CaptureLog::CaptureLog(Clock& clock, FailureHandler on_failure)
    : clock_(clock), on_failure_(std::move(on_failure)) {}

CaptureLog::~CaptureLog() {
  if (file_ != nullptr) {
    if (unsynced_) {
      SyncFile(file_);
    }
    std::fclose(file_);
  }
}

bool CaptureLog::Open(const fs::path& folder, const std::tm& start) {
  folder_ = folder;
  std::error_code error;
  fs::create_directories(folder_, error);
  if (error) {
    Fail("cannot create the capture folder " + folder_.string() + ": " + error.message());
    return false;
  }

  // The previous run: did it take bytes after its last "Write File" and "Clear Data"?
  // Read and closed before it is replaced below: Windows replaces no file that is open.
  const std::optional<CaptureState> previous =
      ParseCaptureState(ReadRegularFile(folder_ / kStateFileName).value_or(std::string()));
  if (previous) {
    const std::optional<std::string> capture = ReadRegularFile(folder_ / previous->file);
    if (capture && capture->size() > std::max(previous->written, previous->cleared)) {
      unsaved_.emplace(capture->begin() + static_cast<std::ptrdiff_t>(previous->cleared),
                       capture->end());
    }
  }

  // A second start within the same second gets a name of its own.
  const std::string first = CaptureFileName(start);
  std::string name = first;
  for (int n = 2; fs::exists(folder_ / name, error) && n < 100; ++n) {
    name.assign(first, 0, first.size() - 4);
    name.append("_").append(std::to_string(n)).append(".txt");
  }
  path_ = folder_ / name;
  file_ = std::fopen(path_.string().c_str(), "ab");
  if (file_ == nullptr) {
    Fail(Why("cannot create the capture file", path_, errno));
    return false;
  }
  last_sync_ = clock_.Now();
  RemoveOldCaptures(folder_, fs::file_time_type::clock::now(), kMaxAge, kKeepNewest,
                    unsaved_ && previous ? std::string_view(previous->file) : std::string_view());

  state_ = {name, 0, 0};
  if (!unsaved_) {
    state_is_ours_ = true;
    return WriteState();
  }
  return true;
}

void CaptureLog::RestoreAnswered() {
  unsaved_.reset();
  if (!state_is_ours_ && file_ != nullptr) {
    // The restored bytes reach the disk before the state file stops naming the old run.
    Sync();
    state_is_ours_ = true;
    WriteState();
  }
}

void CaptureLog::TickEnded(std::span<const std::uint8_t> bytes) {
  if (file_ == nullptr) {
    return;
  }
  if (!bytes.empty()) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() ||
        std::fflush(file_) != 0) {
      Fail(Why("cannot write the capture file", path_, errno));
      return;
    }
    size_ += bytes.size();
    unsynced_ = true;
  }
  if (unsynced_ && clock_.Now() - last_sync_ >= kSyncInterval) {
    Sync();
  }
}

void CaptureLog::DataCleared() {
  state_.cleared = size_;
  if (state_is_ours_ && file_ != nullptr) {
    WriteState();
  }
}

void CaptureLog::FileWritten() {
  state_.written = size_;
  if (state_is_ours_ && file_ != nullptr) {
    WriteState();
  }
}

void CaptureLog::Sync() {
  if (file_ == nullptr) {
    return;
  }
  if (!SyncFile(file_)) {
    Fail(Why("cannot sync the capture file", path_, errno));
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
    Fail("cannot write the capture state: " + result.text);
  }
  return result.ok();
}

void CaptureLog::Fail(const std::string& why) {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (failed_) {
    return;
  }
  failed_ = true;
  if (on_failure_) {
    on_failure_(why);
  }
}

}  // namespace tessun
