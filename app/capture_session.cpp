#include "app/capture_session.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTimer>

#include "files/local_time.h"
#include "ui/prompt.h"

namespace tessun {

namespace {

Q_LOGGING_CATEGORY(lcCapture, "tessun.capture")

}  // namespace

QString CaptureFolder() {
  const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
  return data.isEmpty() ? QString() : data + QStringLiteral("/captures");
}

CaptureSession::CaptureSession(Clock& clock, const QString& folder)
    : log_(clock, [this](const std::string& why) { Failed(why); }) {
  if (folder.isEmpty()) {
    Failed("the system names no per-user data folder");
  } else {
    log_.Open(QFile::encodeName(QDir::toNativeSeparators(folder)).toStdString(), LocalNow());
  }
}

void CaptureSession::ShowNoticesOver(QWidget& window) {
  window_ = &window;
  if (!unshown_.empty()) {
    ShowNotice(unshown_);
  }
}

void CaptureSession::Failed(const std::string& why) {
  qCWarning(lcCapture, "received bytes are not captured: %s", why.c_str());
  if (window_) {
    ShowNotice(why);
  } else if (unshown_.empty()) {
    unshown_ = why;
  }
}

void CaptureSession::ShowNotice(const std::string& why) {
  if (notice_) {
    return;
  }
  notice_ = new QMessageBox(
      QMessageBox::Warning, QString::fromUtf8(kProgramTitle.data(), kProgramTitle.size()),
      QStringLiteral("Received lines cannot be kept in a capture file, so they are not safe "
                     "from a crash until written with \"Write File\". Acquisition goes on.\n\n") +
          QString::fromLocal8Bit(why.c_str()),
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
