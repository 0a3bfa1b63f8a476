// The window side of the capture log: where the capture folder is, the notice when the capture
// cannot be kept, and the question whether to restore the lines a previous run never wrote.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <string_view>

#include "core/capture_log.h"
#include "device/clock.h"
#include "ui/prompt.h"

namespace tessun {

class Form1;

inline constexpr std::string_view kRestoreQuestion =
    "Lines received before the program last ended were not written to a file. Restore them?";

// The per-user application data folder plus "/captures" (on Linux
// $XDG_DATA_HOME/tessun/captures); empty when the system names no such folder.
QString CaptureFolder();

// This run's capture for the window's core. Created before the window's start-up and destroyed
// after the window's last tick.
class CaptureSession {
 public:
  // Opens the capture in `folder` and gives it to `window`'s core. A failure is logged (logging
  // category "tessun.capture", on stderr) and shown in one non-modal notice once the event loop
  // runs; acquisition goes on without a capture.
  CaptureSession(Form1& window, Clock& clock, Prompt& prompt, const QString& folder);
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  // When the previous run left lines that were never written, asks whether to restore them
  // (Yes is the default) and passes the answer to the core. Called once the window has appeared.
  void AskRestore();

  CaptureLog& Log() { return log_; }
  // The failure notice, once there was a failure.
  QMessageBox* Notice() const { return notice_; }

 private:
  void Failed(const std::string& why);

  Form1& window_;
  Prompt& prompt_;
  QPointer<QMessageBox> notice_;
  CaptureLog log_;
};

}  // namespace tessun
