#include "app/picture_box.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

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

// The stored text is printable ASCII; Latin-1 keeps any other byte as one character. Only the
// characters that fit are converted: the last line can grow to megabytes.
QString Visible(const std::string& line, int fitting) {
  return QString::fromLatin1(line.data(), std::min<qsizetype>(line.size(), fitting));
}

// For screen readers: the view is a block of static text whose value is the shown lines.
class PictureBoxAccessible final : public QAccessibleWidget {
 public:
  explicit PictureBoxAccessible(PictureBox* box)
      : QAccessibleWidget(box, QAccessible::StaticText) {}

  QString text(QAccessible::Text kind) const override {
    if (kind == QAccessible::Value) {
      return static_cast<const PictureBox*>(widget())->ShownText();
    }
    return QAccessibleWidget::text(kind);
  }
};

QAccessibleInterface* PictureBoxAccessibleFactory(const QString&, QObject* object) {
  if (auto* box = qobject_cast<PictureBox*>(object)) {
    return new PictureBoxAccessible(box);
  }
  return nullptr;
}

}  // namespace

PictureBox::PictureBox(int lines, int height, QWidget* parent) : QWidget(parent) {
  static const bool factory_installed = [] {
    QAccessible::installFactory(PictureBoxAccessibleFactory);
    return true;
  }();
  (void)factory_installed;
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
  NotifyTextChanged();
}

void PictureBox::PrintLine(std::string_view indent, std::string_view text) {
  std::string line;
  line.reserve(indent.size() + text.size());
  line.append(indent).append(text);
  printed_.push_back(std::move(line));
  update();
  NotifyTextChanged();
}

QString PictureBox::ShownText() const {
  const int fitting = FittingCharacters();
  QStringList lines;
  lines.reserve(static_cast<qsizetype>(printed_.size()));
  for (const std::string& line : printed_) {
    lines.append(Visible(line, fitting));
  }
  return lines.join(QLatin1Char('\n'));
}

int PictureBox::FittingCharacters() const {
  // The advance is fractional: rounded, it would leave the right edge of the view blank.
  const qreal advance =
      std::max<qreal>(1, QFontMetricsF(font()).horizontalAdvance(QLatin1Char('0')));
  return static_cast<int>(std::ceil(width() / advance)) + 1;
}

void PictureBox::NotifyTextChanged() {
  if (QAccessible::isActive()) {
    QAccessibleValueChangeEvent event(this, ShownText());
    QAccessible::updateAccessibility(&event);
  }
}

void PictureBox::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QFontMetrics metrics(font());
  const int spacing = metrics.lineSpacing();
  const int fitting = FittingCharacters();
  const int first = std::max(0, event->rect().top() / spacing);
  const int last =
      std::min<int>(static_cast<int>(printed_.size()) - 1, event->rect().bottom() / spacing);
  for (int i = first; i <= last; ++i) {
    painter.drawText(0, i * spacing + metrics.ascent(), Visible(printed_[i], fitting));
  }
}

}  // namespace tessun
