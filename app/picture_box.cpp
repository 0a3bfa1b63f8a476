#include "app/picture_box.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <utility>

#include "ui/accessible_text.h"

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

// `text` from `from` on, with each byte one character, as the view shows it.
QString Latin1(const std::string& text, int from) {
  return QString::fromLatin1(text.data() + from, static_cast<qsizetype>(text.size()) - from);
}

// For screen readers: a read-only text of the received lines, of the role terminal. A screen
// reader follows a terminal's text as it grows: while the view has the focus it speaks an
// insertion that ends at the caret (Orca 43 ignores insertions into a text of any other role that
// no key of the operator caused), and on taking the focus it reads the caret's line.
class PictureBoxAccessible final : public QAccessibleWidget, public ReadOnlyAccessibleText {
 public:
  explicit PictureBoxAccessible(PictureBox* box) : QAccessibleWidget(box, QAccessible::Terminal) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) {
      return static_cast<QAccessibleTextInterface*>(this);
    }
    return QAccessibleWidget::interface_cast(type);
  }
  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    state.multiLine = true;
    state.selectableText = true;
    return state;
  }
  using QAccessibleWidget::text;
  using ReadOnlyAccessibleText::text;

  QString AllText() const override { return Box()->ReadableText(); }
  // A printout has no sentences or paragraphs, only lines.
  QAccessible::TextBoundaryType Boundary(QAccessible::TextBoundaryType type) const override {
    return type == QAccessible::SentenceBoundary || type == QAccessible::ParagraphBoundary
               ? QAccessible::LineBoundary
               : type;
  }
  int cursorPosition() const override { return Box()->ReadingPosition(); }

 private:
  const PictureBox* Box() const { return static_cast<const PictureBox*>(widget()); }
};

QAccessibleInterface* PictureBoxAccessibleFactory(const QString&, QObject* object) {
  if (auto* box = qobject_cast<PictureBox*>(object)) {
    return new PictureBoxAccessible(box);
  }
  return nullptr;
}

void Announce(QAccessibleEvent&& event) {
  if (QAccessible::isActive()) {
    QAccessible::updateAccessibility(&event);
  }
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

PictureBox::~PictureBox() = default;

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

void PictureBox::ReadFrom(const LineStore& store) {
  readable_ = std::make_unique<ReadableLines>(store);
  readable_text_.clear();
  LinesChanged();
}

void PictureBox::LinesChanged() {
  if (!readable_) {
    return;
  }
  const ReadableLines::Change change = readable_->Update();
  const std::string& text = readable_->Text();
  if (change.replaced) {
    const QString old = std::exchange(readable_text_, Latin1(text, 0));
    Announce(QAccessibleTextUpdateEvent(this, 0, old, readable_text_));
    return;
  }
  // The text only grew.
  if (change.changed_from >= 0) {
    readable_text_.append(Latin1(text, change.changed_from));
  }
  if (change.inserted_length > 0) {
    Announce(QAccessibleTextInsertEvent(
        this, change.inserted_at, readable_text_.mid(change.inserted_at, change.inserted_length)));
  }
}

int PictureBox::ReadingPosition() const {
  return readable_ ? readable_->Caret() : 0;
}

void PictureBox::ReadNear(int line) {
  if (readable_) {
    readable_->SetCaretNear(line);
  }
}

void PictureBox::keyPressEvent(QKeyEvent* event) {
  constexpr int kPage = DataView::kShownLines - 1;
  if (!readable_) {
    QWidget::keyPressEvent(event);
    return;
  }
  const int line = readable_->CaretLine();
  switch (event->key()) {
    case Qt::Key_Up:
      readable_->SetCaretLine(line - 1);
      break;
    case Qt::Key_Down:
      readable_->SetCaretLine(line + 1);
      break;
    case Qt::Key_PageUp:
      readable_->SetCaretLine(line - kPage);
      break;
    case Qt::Key_PageDown:
      readable_->SetCaretLine(line + kPage);
      break;
    case Qt::Key_Home:
      readable_->SetCaretLine(1);
      break;
    case Qt::Key_End:
      readable_->SetCaretLine(LineStore::kLastLine);
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  Announce(QAccessibleTextCursorEvent(this, readable_->Caret()));
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
