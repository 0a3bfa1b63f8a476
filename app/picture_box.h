// The data view's drawing surface: prints lines of text top to bottom in a monospace font and
// keeps what it printed, so it can repaint it when exposed (and tests can read it back). To a
// screen reader it is a read-only text of every line the view can show (see ReadableLines),
// with a reading position that the arrow, page and Home/End keys move.
#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "store/data_view.h"
#include "store/readable_lines.h"

namespace tessun {

class PictureBox final : public QWidget, public TextCanvas {
  Q_OBJECT

 public:
  // Fits `lines` lines of text into `height` pixels with the largest monospace font that can.
  PictureBox(int lines, int height, QWidget* parent = nullptr);
  ~PictureBox() override;

  void Cls() override;
  void PrintLine(std::string_view indent, std::string_view text) override;

  // What has been printed since the last Cls, one entry per line.
  const std::vector<std::string>& PrintedLines() const { return printed_; }
  // The printed lines as far as they fit the view's width, one per line: what the operator sees.
  QString ShownText() const;

  // The screen reader's text is read from `store`.
  void ReadFrom(const LineStore& store);
  // The store changed (a tick, "Clear Data"): the screen reader's text follows, and a screen
  // reader is told of the lines to announce, or that the text was replaced.
  void LinesChanged();
  // The screen reader's text, and its reading position (an offset in it).
  const QString& ReadableText() const { return readable_text_; }
  int ReadingPosition() const;
  // Puts the reading position on `line` (a store index), or the line above when that one is
  // empty: what a screen reader reads when the view takes the focus.
  void ReadNear(int line);

 protected:
  void paintEvent(QPaintEvent* event) override;
  // Up/Down, Page Up/Page Down and Home/End move the reading position by as many lines as they
  // scroll the view.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // How many characters of a line fit the width (one more, so a cut character still shows).
  int FittingCharacters() const;

  std::vector<std::string> printed_;
  std::unique_ptr<ReadableLines> readable_;
  // The screen reader's text as Qt's accessibility wants it, kept in step with readable_.
  QString readable_text_;
};

}  // namespace tessun
