// The signals that ask the program to end (SIGINT, SIGTERM, SIGHUP) end it through its normal
// close path, so the console is closed and the kernel's USB-serial driver gets it back. The
// handler only writes the signal's number into a pipe (a self-pipe); the program watches the
// pipe's read end (the window with a socket notifier, the USB VM test by polling it), and then
// closes the device and ends as "Exit" does. The same signal a second time ends the program at
// once, as without a handler, should the close path hang.
//
// Where these signals do not exist (Windows) Install does nothing.
#pragma once

namespace tessun {

class CloseSignals {
 public:
  // Installs the handlers, once per process. Returns false when the pipe or a handler cannot be
  // set up, or on a platform without these signals.
  static bool Install();
  // The pipe's read end: readable once a signal has come. -1 until Install succeeded.
  static int ReadFd();
  // The signal that came first, taken out of the pipe; 0 when none has come.
  static int Take();
};

}  // namespace tessun
