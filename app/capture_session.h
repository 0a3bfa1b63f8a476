// The window side of the capture log: where the capture folder is, the lock that keeps a second
// copy of the program out of it, and the notice when the capture cannot be kept.
#pragma once

#include <QLockFile>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "core/capture_log.h"
#include "device/clock.h"

namespace tessun {

// The per-user data folder plus "tessun/captures" (on Linux $XDG_DATA_HOME/tessun/captures, on
// Windows %LOCALAPPDATA%\tessun\captures); empty when the system names no such folder.
QString CaptureFolder();

// One program per capture folder: the lock file "lock" in the folder (made, private, if missing)
// is held from the constructor until the object goes. A lock left by a program that no longer
// runs (it crashed or was killed) is taken over.
class CaptureFolderLock {
 public:
  explicit CaptureFolderLock(const QString& folder);

  // The process id of the running program that holds the folder, when this one could not take
  // it. Without a folder, or when the lock file cannot be made, no one holds it: the capture
  // reports its own failure.
  std::optional<qint64> HeldBy() const { return held_by_; }

 private:
  std::unique_ptr<QLockFile> lock_;
  std::optional<qint64> held_by_;
};

// What a second start says, on standard error and in a message box, before it ends with
// kExitAlreadyRunning without touching the folder.
std::string AlreadyRunning(qint64 pid);
inline constexpr int kExitAlreadyRunning = 3;

// For --diagnose, which takes no lock: a line saying that the program runs and holds the console
// whenever it is plugged in, when a running program holds the lock of `folder`; empty otherwise.
std::string RunningProgramNote(const QString& folder);

// This run's capture, for the main window. Created before the window and destroyed after it.
class CaptureSession {
 public:
  // Opens the capture in `folder`. A problem is logged (logging category "tessun.capture", on
  // stderr) and the first one shown in a non-modal notice over the window once the event loop
  // runs; acquisition goes on.
  CaptureSession(Clock& clock, const QString& folder);
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  // The window the notice belongs to; a problem met before (when opening) is noticed now.
  void ShowNoticesOver(QWidget& window);

  CaptureLog& Log() { return log_; }
  // The notice, once there was a problem and a window to show it over.
  QMessageBox* Notice() const { return notice_; }

 private:
  void Reported(CaptureLog::Problem problem, const std::string& why);
  void ShowNotice(const QString& text);

  QPointer<QWidget> window_;
  // The first problem's notice text, until there is a window to show it over.
  QString unshown_;
  QPointer<QMessageBox> notice_;
  CaptureLog log_;
};

}  // namespace tessun
