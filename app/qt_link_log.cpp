#include "app/qt_link_log.h"

#include <QString>

Q_LOGGING_CATEGORY(lcTessunUsb, "tessun.usb")

namespace tessun {

void QtLinkLog::Write(LogLevel level, std::string_view message) {
  const QString text = QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size()));
  switch (level) {
    case LogLevel::kInfo:
      qCInfo(lcTessunUsb).noquote() << text;
      break;
    case LogLevel::kWarning:
      qCWarning(lcTessunUsb).noquote() << text;
      break;
  }
}

}  // namespace tessun
