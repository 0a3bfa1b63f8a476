#include "core/close_signals.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

namespace tessun {

#if defined(_WIN32)

bool CloseSignals::Install() {
  return false;
}

int CloseSignals::ReadFd() {
  return -1;
}

int CloseSignals::Take() {
  return 0;
}

#else

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

int read_fd = -1;
// Read by the handler: set before the first handler is installed, never changed after.
volatile sig_atomic_t write_fd = -1;

extern "C" void OnCloseSignal(int signal) {
  // Only async-signal-safe calls here; errno is the interrupted code's and is kept.
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t written = write(write_fd, &number, 1);
  errno = saved;
}

}  // namespace

bool CloseSignals::Install() {
  if (read_fd >= 0) {
    return true;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    return false;
  }
  write_fd = ends[1];
  struct sigaction action {};
  action.sa_handler = OnCloseSignal;
  sigemptyset(&action.sa_mask);
  // The handler runs once per signal; a repeat gets the default action and ends the program
  // even if the close path hangs.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (const int signal : kSignals) {
    if (sigaction(signal, &action, nullptr) != 0) {
      return false;
    }
  }
  read_fd = ends[0];
  return true;
}

int CloseSignals::ReadFd() {
  return read_fd;
}

int CloseSignals::Take() {
  unsigned char number = 0;
  if (read_fd < 0 || read(read_fd, &number, 1) != 1) {
    return 0;
  }
  return number;
}

#endif

}  // namespace tessun
