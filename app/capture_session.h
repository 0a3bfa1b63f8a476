// The window side of the capture log: where the capture folder is, and the notice when the
// capture cannot be kept.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <string>

#include "core/capture_log.h"
#include "device/clock.h"

namespace tessun {

// The per-user application data folder plus "/captures" (on Linux
// $XDG_DATA_HOME/tessun/captures); empty when the system names no such folder.
QString CaptureFolder();

// This run's capture, for the main window. Created before the window and destroyed after it.
class CaptureSession {
 public:
  // Opens the capture in `folder`. A failure is logged (logging category "tessun.capture", on
  // stderr) and shown in one non-modal notice over the window once the event loop runs;
  // acquisition goes on without a capture.
  CaptureSession(Clock& clock, const QString& folder);
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  // The window the notice belongs to; a failure met before (when opening) is noticed now.
  void ShowNoticesOver(QWidget& window);

  CaptureLog& Log() { return log_; }
  // The failure notice, once there was a failure and a window to show it over.
  QMessageBox* Notice() const { return notice_; }

 private:
  void Failed(const std::string& why);
  void ShowNotice(const std::string& why);

  QPointer<QWidget> window_;
  // The first failure, until there is a window to show it over.
  std::string unshown_;
  QPointer<QMessageBox> notice_;
  CaptureLog log_;
};

}  // namespace tessun
