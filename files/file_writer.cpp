#include "files/file_writer.h"

#include <algorithm>
#include <exception>
#include <random>
#include <system_error>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace tessun {

namespace {

namespace fs = std::filesystem;

#if defined(_WIN32)
using Handle = HANDLE;
const Handle kNoFile = INVALID_HANDLE_VALUE;
constexpr fs::path::string_type::value_type kSeparators[] = L"/\\";

std::error_code SystemError(DWORD code) {
  return {static_cast<int>(code), std::system_category()};
}
std::error_code LastError() {
  return SystemError(GetLastError());
}
#else
using Handle = int;
constexpr Handle kNoFile = -1;
constexpr fs::path::string_type::value_type kSeparators[] = "/";

std::error_code LastError() {
  return {errno, std::generic_category()};
}
#endif

FileWriteResult Failure(FileWriteError error, std::string_view what, const fs::path& path,
                        std::error_code why = {}) {
  std::string text(what);
  text.append(" ").append(path.string());
  if (why) {
    text.append(": ").append(why.message());
  }
  return {error, std::move(text)};
}

// Empty, "." and "..", or a name that would reach into another directory.
bool IsRefusedName(const fs::path& name) {
  const fs::path::string_type& text = name.native();
  using Char = fs::path::value_type;
  const bool dots_only = text.size() <= 2 && text.find_first_not_of(Char('.')) == text.npos;
  return dots_only || text.find_first_of(kSeparators) != text.npos;
}

fs::path Join(const fs::path& directory, const fs::path& name) {
  const fs::path::string_type& text = directory.native();
  fs::path path = directory;
  if (text.empty() || fs::path::string_type(kSeparators).find(text.back()) == text.npos) {
    path += fs::path::preferred_separator;
  }
  path += name.native();
  return path;
}

// Follows symbolic links at the end of `path`, as opening it would, so that the file they lead
// to is replaced and the links stay links. After 40 steps (the system's own limit) the link
// reached is kept, and refused below as no regular file.
fs::path FollowLinks(fs::path path) {
  for (int step = 0; step < 40; ++step) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error))) {
      break;
    }
    const fs::path target = fs::read_symlink(path, error);
    if (error) {
      break;
    }
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

// What stood at the target before the write.
struct Existing {
  bool exists = false;
#if !defined(_WIN32)
  struct stat status {};
#endif
};

// Looks at the target without opening it for reading or writing: a missing target, or a regular
// file this process may write, may be replaced.
FileWriteResult LookAt(const fs::path& target, Existing& existing) {
#if defined(_WIN32)
  // Opened for no access at all (FILE_FLAG_BACKUP_SEMANTICS lets a directory open too). A device
  // name such as "NUL" leads to the device, which the file type tells.
  const HANDLE handle =
      CreateFileW(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND
               ? FileWriteResult{}
               : Failure(FileWriteError::kSystem, "cannot look at", target, SystemError(error));
  }
  existing.exists = true;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool regular = GetFileType(handle) == FILE_TYPE_DISK &&
                       GetFileInformationByHandle(handle, &info) &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseHandle(handle);
  if (!regular) {
    return Failure(FileWriteError::kNotRegularFile, "no regular file at", target);
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return Failure(FileWriteError::kSystem, "cannot replace", target,
                   SystemError(ERROR_ACCESS_DENIED));
  }
#else
  // lstat: the links were followed above, and a FIFO or a device is never opened.
  if (::lstat(target.c_str(), &existing.status) != 0) {
    return errno == ENOENT
               ? FileWriteResult{}
               : Failure(FileWriteError::kSystem, "cannot look at", target, LastError());
  }
  existing.exists = true;
  if (!S_ISREG(existing.status.st_mode)) {
    return Failure(FileWriteError::kNotRegularFile, "no regular file at", target);
  }
  if (::access(target.c_str(), W_OK) != 0) {
    return Failure(FileWriteError::kSystem, "cannot replace", target, LastError());
  }
#endif
  return {};
}

// Creates a new, empty file beside `target` under a name of its own: "." + the target's name +
// "." + six random letters or digits.
Handle CreateBeside(const fs::path& target, fs::path& temporary) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix = ".";
    for (int i = 0; i < 6; ++i) {
      suffix.push_back(kLetters[pick(random)]);
    }
    fs::path name(".");
    name += target.filename();
    name += suffix;
    temporary = target.parent_path() / name;
#if defined(_WIN32)
    const Handle file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != kNoFile || GetLastError() != ERROR_FILE_EXISTS) {
      return file;
    }
#else
    const Handle file =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (file != kNoFile || errno != EEXIST) {
      return file;
    }
#endif
  }
  return kNoFile;
}

bool WriteAll(Handle file, std::string_view bytes) {
  while (!bytes.empty()) {
#if defined(_WIN32)
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1U << 30));
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
      return false;
    }
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
#else
    const ssize_t written = ::write(file, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
#endif
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// The new file takes the replaced file's owner and group where the process may set them (root
// may, others at most the group), then its permissions (set last: a change of owner clears the
// set-user-ID bits).
void KeepOwnerAndMode(const Existing& existing, Handle file) {
#if defined(_WIN32)
  (void)existing;
  (void)file;
#else
  if (!existing.exists) {
    return;
  }
  if (::fchown(file, existing.status.st_uid, existing.status.st_gid) != 0) {
    [[maybe_unused]] const int group_only =
        ::fchown(file, static_cast<uid_t>(-1), existing.status.st_gid);
  }
  [[maybe_unused]] const int mode = ::fchmod(file, existing.status.st_mode & 07777);
#endif
}

bool SyncFile(Handle file) {
#if defined(_WIN32)
  return FlushFileBuffers(file);
#else
  return ::fsync(file) == 0;
#endif
}

bool CloseFile(Handle file) {
#if defined(_WIN32)
  return CloseHandle(file);
#else
  return ::close(file) == 0;
#endif
}

// Puts `from` in the place of `to` in one step. The standard library's rename does not replace an
// existing file on Windows (with MinGW's library), so there the system's own replacing move is
// used.
bool Replace(const fs::path& from, const fs::path& to) {
#if defined(_WIN32)
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
  return ::rename(from.c_str(), to.c_str()) == 0;
#endif
}

FileWriteResult Write(const fs::path& directory, const fs::path& name, std::string_view bytes) {
  if (IsRefusedName(name)) {
    return Failure(FileWriteError::kRefusedName, "refused file name", name);
  }
  const fs::path target = FollowLinks(Join(directory, name));
  Existing existing;
  if (FileWriteResult looked = LookAt(target, existing); !looked.ok()) {
    return looked;
  }

  fs::path temporary;
  const Handle file = CreateBeside(target, temporary);
  if (file == kNoFile) {
    return Failure(FileWriteError::kSystem, "cannot create a file beside", target, LastError());
  }
  std::string_view failed;
  if (!WriteAll(file, bytes)) {
    failed = "cannot write";
  } else {
    KeepOwnerAndMode(existing, file);
    if (!SyncFile(file)) {
      failed = "cannot sync";
    }
  }
  std::error_code why = failed.empty() ? std::error_code() : LastError();
  if (!CloseFile(file) && failed.empty()) {
    failed = "cannot close";
    why = LastError();
  }
  if (failed.empty() && !Replace(temporary, target)) {
    failed = "cannot replace";
    why = LastError();
  }
  if (!failed.empty()) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return Failure(FileWriteError::kSystem, failed, target, why);
  }
  return {};
}

}  // namespace

FileWriteResult WriteFileAtomically(const fs::path& directory, const fs::path& name,
                                    std::string_view bytes) {
  try {
    return Write(directory, name, bytes);
  } catch (const std::exception& error) {
    // Out of memory, or a path the system's narrow text cannot show.
    return {FileWriteError::kSystem, error.what()};
  }
}

}  // namespace tessun
