// The data view's drawing surface: prints lines of text top to bottom in a monospace font and
// keeps what it printed, so it can repaint it when exposed (and tests can read it back).
#pragma once

#include <QWidget>
#include <string>
#include <vector>

#include "store/data_view.h"

namespace tessun {

class PictureBox final : public QWidget, public TextCanvas {
  Q_OBJECT

 public:
  // Fits `lines` lines of text into `height` pixels with the largest monospace font that can.
  PictureBox(int lines, int height, QWidget* parent = nullptr);

  void Cls() override;
  void PrintLine(std::string_view indent, std::string_view text) override;

  // What has been printed since the last Cls, one entry per line.
  const std::vector<std::string>& PrintedLines() const { return printed_; }
  // The printed lines as far as they fit the view's width, one per line: what the operator sees,
  // and what a screen reader reads.
  QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // How many characters of a line fit the width (one more, so a cut character still shows).
  int FittingCharacters() const;
  // Tells a screen reader that the shown lines changed.
  void NotifyTextChanged();

  std::vector<std::string> printed_;
};

}  // namespace tessun
