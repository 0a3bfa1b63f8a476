// The link's log in the program: the "tessun.usb" logging category, written to stderr by Qt's
// default message handler. QT_LOGGING_RULES="tessun.usb.info=false" keeps only the warnings.
#pragma once

#include <QLoggingCategory>
#include <string_view>

#include "device/link_log.h"

Q_DECLARE_LOGGING_CATEGORY(lcTessunUsb)

namespace tessun {

class QtLinkLog final : public LinkLog {
 public:
  void Write(LogLevel level, std::string_view message) override;
};

}  // namespace tessun
