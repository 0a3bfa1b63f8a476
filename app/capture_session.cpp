#include "app/capture_session.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTimer>

#if defined(_WIN32)
#include <qt_windows.h>
#else
#include <signal.h>

#include <cerrno>
#endif

#include "files/local_time.h"
#include "ui/prompt.h"

namespace tessun {

namespace {

Q_LOGGING_CATEGORY(lcCapture, "tessun.capture")

std::filesystem::path NativePath(const QString& folder) {
  return QFile::encodeName(QDir::toNativeSeparators(folder)).toStdString();
}

QString LockFileName(const QString& folder) {
  return folder + QStringLiteral("/lock");
}

// A process with this id runs (it may be another program if the id was reused).
bool Runs(qint64 pid) {
#if defined(_WIN32)
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) {
    return false;
  }
  const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
#else
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
#endif
}

}  // namespace

QString CaptureFolder() {
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  return data.isEmpty() ? QString() : data + QStringLiteral("/tessun/captures");
}

CaptureFolderLock::CaptureFolderLock(const QString& folder) {
  if (folder.isEmpty() || MakePrivateFolder(NativePath(folder))) {
    return;
  }
  lock_ = std::make_unique<QLockFile>(LockFileName(folder));
  // Held for the whole run: never stale by age, only when its program no longer runs.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) {
    QFile::setPermissions(LockFileName(folder), QFile::ReadOwner | QFile::WriteOwner);
    return;
  }
  qint64 pid = 0;
  if (lock_->error() == QLockFile::LockFailedError) {
    lock_->getLockInfo(&pid, nullptr, nullptr);
    held_by_ = pid;
  }
}

std::string AlreadyRunning(qint64 pid) {
  return "The program is already running (process " + std::to_string(pid) +
         "). Only one copy can run at a time: use the window that is open.";
}

std::string RunningProgramNote(const QString& folder) {
  qint64 pid = 0;
  if (folder.isEmpty() || !QLockFile(LockFileName(folder)).getLockInfo(&pid, nullptr, nullptr) ||
      !Runs(pid)) {
    return {};
  }
  return "tessun is running (process " + std::to_string(pid) +
         "): it holds the console whenever the console is plugged in.\n";
}

CaptureSession::CaptureSession(Clock& clock, const QString& folder)
    : log_(clock, [this](CaptureLog::Problem problem, const std::string& why) {
        Reported(problem, why);
      }) {
  if (folder.isEmpty()) {
    Reported(CaptureLog::Problem::kNotKept, "the system names no per-user data folder");
  } else {
    log_.Open(NativePath(folder), LocalNow);
  }
}

void CaptureSession::ShowNoticesOver(QWidget& window) {
  window_ = &window;
  if (!unshown_.isEmpty()) {
    ShowNotice(unshown_);
  }
}

void CaptureSession::Reported(CaptureLog::Problem problem, const std::string& why) {
  const bool not_kept = problem == CaptureLog::Problem::kNotKept;
  qCWarning(lcCapture, "%s: %s",
            not_kept ? "received bytes are not captured" : "the previous run is not offered",
            why.c_str());
  const QString text =
      (not_kept ? QStringLiteral("Received lines cannot be kept in a capture file, so they are "
                                 "not safe from a crash until written with \"Write File\". "
                                 "Acquisition goes on.\n\n")
                : QStringLiteral("A file of the previous run cannot be read, so its lines are "
                                 "not offered for restoring.\n\n")) +
      QString::fromLocal8Bit(why.c_str());
  if (window_) {
    ShowNotice(text);
  } else if (unshown_.isEmpty()) {
    unshown_ = text;
  }
}

void CaptureSession::ShowNotice(const QString& text) {
  if (notice_) {
    return;
  }
  notice_ = new QMessageBox(QMessageBox::Warning,
                            QString::fromUtf8(kProgramTitle.data(), kProgramTitle.size()), text,
                            QMessageBox::Ok, window_);
  notice_->setModal(false);
  notice_->setWindowModality(Qt::NonModal);
  notice_->setAttribute(Qt::WA_DeleteOnClose);
  // Shown, never run modally: the window keeps receiving. Not before the window itself appears.
  QTimer::singleShot(0, notice_.data(), [notice = notice_] {
    if (notice) {
      notice->show();
    }
  });
}

}  // namespace tessun
