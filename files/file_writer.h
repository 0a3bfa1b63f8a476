// Writing a whole file in one step: the program's only way of putting a file in place.
//
// WriteFileAtomically() writes `bytes` as the file `name` in `directory`. The new text goes to a
// new file beside the target, is synced to the disk, and only then replaces the target in one
// step (POSIX rename; on Windows MoveFileExW with MOVEFILE_REPLACE_EXISTING and
// MOVEFILE_WRITE_THROUGH). Until that step the target is exactly as it was; after it, the
// target holds every byte. A failed call leaves no new file behind.
//
// Refused, with nothing written anywhere:
// - a name that is empty, holds a path separator (on Windows either slash), or is "." or "..";
// - a target that exists but is no regular file (a directory, a FIFO, a socket, a device),
//   symbolic links followed. The target is only looked at, never opened, so nothing can block
//   on a FIFO or wake a device; the replace step swaps directory entries and never writes into
//   whatever stands at the name.
// - on POSIX, an existing target this process may not write (a read-only file).
//
// A symbolic link at the name stays a link: the file it leads to is replaced. A replaced file is
// replaced by a new file (its other hard links keep the old text) that takes its permissions and
// (POSIX) its owner and group, as far as the process may set them (root may; others at most the
// group). A new file gets the permissions the process's umask allows for an ordinary file.
//
// Standard library and the platform's file calls only; no state is kept between calls and
// nothing is thrown.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessun {

enum class FileWriteError {
  kNone = 0,
  // The name is empty, holds a path separator, or is "." or "..".
  kRefusedName,
  // The target exists but is no regular file.
  kNotRegularFile,
  // A call of the operating system failed (no such directory, no permission, disk full, file
  // size limit, ...); the text says which step and why.
  kSystem,
};

struct FileWriteResult {
  FileWriteError error = FileWriteError::kNone;
  // Empty on success; otherwise one line for a log: what failed, the path, and the system's
  // reason, e.g. "cannot write /home/op/meet.txt: File too large".
  std::string text;

  bool ok() const { return error == FileWriteError::kNone; }
};

// Writes `bytes` as `name` in `directory` as described above. `directory` is used as given
// (relative to the current directory if relative); `name` is joined to it with one separator,
// none added when `directory` already ends in one (a root such as "/" or "C:\").
FileWriteResult WriteFileAtomically(const std::filesystem::path& directory,
                                    const std::filesystem::path& name, std::string_view bytes);

}  // namespace tessun
