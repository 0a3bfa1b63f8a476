// The status line: a label that a screen reader knows as the window's status bar, and that has
// each new status spoken once.
#pragma once

#include <QLabel>

namespace tessun {

class StatusLabel final : public QLabel {
  Q_OBJECT

 public:
  explicit StatusLabel(QWidget* parent = nullptr);

  // Shows `text`. When it differs from the status shown, a screen reader is told: the status
  // bar's text changes, and its notice (a hidden child of role notification, which a screen
  // reader speaks when it is shown) is shown with the new text. A status set again unchanged,
  // as every tick does, tells nothing.
  void ShowStatus(const QString& text);
};

}  // namespace tessun
