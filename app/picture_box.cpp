#include "app/picture_box.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>

namespace tessun {

namespace {

QFont FontForLines(int lines, int height) {
  // A timing printout is laid out in columns, so the font must be monospace.
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setFamilies({"DejaVu Sans Mono", font.family()});
  font.setStyleHint(QFont::Monospace);
  for (int pixels = 20; pixels > 6; --pixels) {
    font.setPixelSize(pixels);
    if (QFontMetrics(font).lineSpacing() * lines <= height) {
      break;
    }
  }
  return font;
}

}  // namespace

PictureBox::PictureBox(int lines, int height, QWidget* parent) : QWidget(parent) {
  setFont(FontForLines(lines, height));
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, QColor(0xFF, 0xFF, 0xFF));
  colours.setColor(QPalette::WindowText, Qt::black);
  setPalette(colours);
  setFocusPolicy(Qt::StrongFocus);
}

void PictureBox::Cls() {
  printed_.clear();
  update();
}

void PictureBox::PrintLine(std::string_view indent, std::string_view text) {
  std::string line;
  line.reserve(indent.size() + text.size());
  line.append(indent).append(text);
  printed_.push_back(std::move(line));
  update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QFontMetrics metrics(font());
  const int spacing = metrics.lineSpacing();
  const int first = std::max(0, event->rect().top() / spacing);
  const int last =
      std::min<int>(static_cast<int>(printed_.size()) - 1, event->rect().bottom() / spacing);
  for (int i = first; i <= last; ++i) {
    // The stored text is printable ASCII; Latin-1 keeps any other byte as one character.
    painter.drawText(0, i * spacing + metrics.ascent(), QString::fromLatin1(printed_[i]));
  }
}

}  // namespace tessun
