// The file writer against a real file system, each case in a fresh folder of its own. Every
// "not a regular file" target is made in that folder (a directory, a FIFO, a socket, links to
// them), never a device node of the machine, so a broken check can only spoil the test's folder.
#include "files/file_writer.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#endif

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/common/temp_folder.h"

namespace tessun {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Everything in `folder`, hidden entries and the insides of subfolders included: each path (with
// slashes) and what it is (its type; a link's target; a regular file's text and, on POSIX, its
// permissions and owner).
std::map<std::string, std::string> Listing(const fs::path& folder) {
  std::map<std::string, std::string> listing;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    const fs::file_type type = entry.symlink_status().type();
    std::string what = "type " + std::to_string(static_cast<int>(type));
    if (type == fs::file_type::symlink) {
      what = "link to " + fs::read_symlink(entry.path()).generic_string();
    } else if (type == fs::file_type::regular) {
      what = std::string(1, '"').append(Read(entry.path())).append(1, '"');
#if !defined(_WIN32)
      struct stat info {};
      ::stat(entry.path().c_str(), &info);
      char attributes[64];
      std::snprintf(attributes, sizeof attributes, " %o %u:%u", info.st_mode & 07777,
                    static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_gid));
      what += attributes;
#endif
    }
    listing[entry.path().lexically_relative(folder).generic_string()] = what;
  }
  return listing;
}

#if !defined(_WIN32)
// Sets or clears the immutable attribute: even root can then neither change the file nor create
// an entry in the folder.
bool SetImmutable(const fs::path& path, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

// A socket's name in the file system (the socket itself is closed again; its name stays).
bool MakeSocket(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof address.sun_path) {
    return false;
  }
  path.native().copy(address.sun_path, path.native().size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound =
      fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) {
    ::close(fd);
  }
  return bound;
}
#endif

// Each case writes into d/, which holds meet.txt ("old", 0640, as root owned by 4321:8765) with a
// second hard link other-link, the folder sub/ and (POSIX) a FIFO, a socket and links.
TEST(FileWriter, RefusesWritesAtomicallyAndKeepsOwnerAndMode) {
  enum Setup { kPlain, kReadOnlyTarget, kLockedFolder, kSizeLimit };
  struct Case {
    const char* what;
    std::string name;
    FileWriteError error;
    // The files that end up holding the bytes; the rest of the folder must stay as it was.
    std::vector<std::string> changed;
    Setup setup = kPlain;
    std::string folder = "d";
    std::string bytes = std::string("new\r\n\0end\r\n", 11);
  };
  [[maybe_unused]] const std::string big(1 << 20, 'x');
  const std::vector<Case> cases = {
    {"a new file, byte for byte", "new.txt", FileWriteError::kNone, {"d/new.txt"}},
    {"a replaced file", "meet.txt", FileWriteError::kNone, {"d/meet.txt"}},
    {"no name", "", FileWriteError::kRefusedName, {}},
    {"a path up", "../meet.txt", FileWriteError::kRefusedName, {}},
    {"a path down", "sub/meet.txt", FileWriteError::kRefusedName, {}},
    {"this folder", ".", FileWriteError::kRefusedName, {}},
    {"the parent folder", "..", FileWriteError::kRefusedName, {}},
    {"a folder", "sub", FileWriteError::kNotRegularFile, {}},
    {"a missing folder", "meet.txt", FileWriteError::kSystem, {}, kPlain, "gone"},
    {"a read-only file", "meet.txt", FileWriteError::kSystem, {}, kReadOnlyTarget},
#if defined(_WIN32)
    {"a backslash path up", "..\\meet.txt", FileWriteError::kRefusedName, {}},
    {"a backslash path down", "sub\\meet.txt", FileWriteError::kRefusedName, {}},
    {"a device's name", "NUL", FileWriteError::kNotRegularFile, {}},
#else
    {"through a link", "to-meet", FileWriteError::kNone, {"d/meet.txt"}},
    {"through a dangling link", "to-later", FileWriteError::kNone, {"d/later.txt"}},
    {"a backslash is a letter", "a\\b", FileWriteError::kNone, {"d/a\\b"}},
    {"a FIFO", "fifo", FileWriteError::kNotRegularFile, {}},
    {"a socket", "socket", FileWriteError::kNotRegularFile, {}},
    {"a link to a FIFO", "to-fifo", FileWriteError::kNotRegularFile, {}},
    {"a link to a folder", "to-sub", FileWriteError::kNotRegularFile, {}},
    {"a link to itself", "loop", FileWriteError::kNotRegularFile, {}},
    {"a folder no entry can be made in", "meet.txt", FileWriteError::kSystem, {}, kLockedFolder},
    {"a write that fails part way", "meet.txt", FileWriteError::kSystem, {}, kSizeLimit},
    {"a large write that fails", "meet.txt", FileWriteError::kSystem, {}, kSizeLimit, "d", big},
#endif
  };
#if !defined(_WIN32)
  const bool root = ::geteuid() == 0;
  const mode_t saved_umask = ::umask(022);
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempFolder folder;
    const fs::path d = folder.path / "d";
    fs::create_directories(d / "sub");
    Write(d / "meet.txt", "old");
    fs::permissions(d / "meet.txt",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#if !defined(_WIN32)
    fs::create_hard_link(d / "meet.txt", d / "other-link");
    if (root) {
      ASSERT_EQ(::chown((d / "meet.txt").c_str(), 4321, 8765), 0);
    }
    ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0644), 0);
    ASSERT_TRUE(MakeSocket(d / "socket"));
    fs::create_symlink("meet.txt", d / "to-meet");
    fs::create_symlink("later.txt", d / "to-later");
    fs::create_symlink("fifo", d / "to-fifo");
    fs::create_symlink("sub", d / "to-sub");
    fs::create_symlink("loop", d / "loop");
#endif
    fs::path locked;
    if (c.setup == kReadOnlyTarget || c.setup == kLockedFolder) {
      locked = c.setup == kReadOnlyTarget ? d / "meet.txt" : d;
      fs::permissions(locked, fs::perms::owner_write | fs::perms::group_write,
                      fs::perm_options::remove);
    }
#if !defined(_WIN32)
    // Permissions do not stop root: the immutable attribute does.
    if (!locked.empty() && root && !SetImmutable(locked, true)) {
      GTEST_SKIP() << "the immutable attribute cannot be set here, and root ignores permissions";
    }
#endif
    const std::map<std::string, std::string> before = Listing(folder.path);

#if defined(_WIN32)
    const FileWriteResult result = WriteFileAtomically(folder.path / c.folder, c.name, c.bytes);
#else
    // A file size limit makes the kernel refuse every byte past it, for root too, as a full disk
    // would.
    rlimit saved_limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    rlimit limit = saved_limit;
    limit.rlim_cur = c.setup == kSizeLimit ? 4 : saved_limit.rlim_cur;
    const auto saved_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const FileWriteResult result = WriteFileAtomically(folder.path / c.folder, c.name, c.bytes);
    ::setrlimit(RLIMIT_FSIZE, &saved_limit);
    std::signal(SIGXFSZ, saved_handler);
#endif
    const std::map<std::string, std::string> after = Listing(folder.path);
#if !defined(_WIN32)
    if (!locked.empty() && root) {
      SetImmutable(locked, false);
    }
#endif
    if (!locked.empty()) {
      fs::permissions(locked, fs::perms::owner_write, fs::perm_options::add);
    }

    EXPECT_EQ(static_cast<int>(result.error), static_cast<int>(c.error)) << result.text;
    EXPECT_EQ(result.text.empty(), c.error == FileWriteError::kNone) << result.text;
    // A replaced file keeps its attributes (permissions, owner and group); a new file gets the
    // umask's 0644 and the process's owner and group.
    std::map<std::string, std::string> expected = before;
    for (const std::string& path : c.changed) {
      std::string attributes;
      const auto old = before.find(path);
      if (old != before.end()) {
        attributes = old->second.substr(old->second.rfind('"') + 1);
      } else {
#if !defined(_WIN32)
        attributes = " 644 " + std::to_string(::geteuid()) + ":" + std::to_string(::getegid());
#endif
      }
      expected[path] = "\"" + c.bytes + "\"" + attributes;
    }
    EXPECT_EQ(after, expected);
  }
#if !defined(_WIN32)
  ::umask(saved_umask);
#endif
}

}  // namespace
}  // namespace tessun
