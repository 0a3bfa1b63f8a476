// The caption a button shows: its text without the mnemonic marks ("&Write" shows "Write").
#pragma once

#include <QAbstractButton>
#include <QString>

namespace tessun::test {

inline QString VisibleCaption(const QAbstractButton* button) {
  QString shown;
  const QString text = button->text();
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == QLatin1Char('&') && i + 1 < text.size()) {
      ++i;  // "&x" shows x; "&&" shows one '&'.
    }
    shown.append(text[i]);
  }
  return shown;
}

}  // namespace tessun::test
