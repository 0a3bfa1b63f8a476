#include "app/form1.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFont>
#include <QKeyEvent>
#include <QMenu>
#include <QPalette>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>
#include <ctime>
#include <exception>
#include <stdexcept>

#include "app/picture_box.h"
#include "app/scroll_bar.h"
#include "files/local_time.h"
#include "save/form6.h"
#include "ui/line_edit_accessible.h"
#include "ui/status_label.h"
#include "ui/twips.h"
#include "ui/window_accessibility.h"

namespace tessun {

namespace {

// Colours given as 0x00BBGGRR.
QColor FromBgr(unsigned bgr) {
  return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

constexpr unsigned kWindowColour = 0x00FFFFC0;
constexpr unsigned kStatusColour = 0x00FFFF80;
// The text on the fixed light backgrounds, so that it stays readable under a dark palette.
constexpr unsigned kTextColour = 0x00000000;
// A page of the scroll bar: one view less the line that stays in sight.
constexpr int kPageStep = DataView::kShownLines - 1;

QString FromAscii(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The notice of lost data, naming the reports with data lost since the program started.
std::string LostDataText(std::uint64_t total) {
  return "Data from the console was lost: " + std::to_string(total) +
         " reports with data since the program started, because the console sent faster than "
         "the program could read. The received lines may have gaps.";
}

// The first line of the status line's tooltip with the simulated console.
constexpr char kSimulatedNote[] = "Simulated console (tessun --simulate): no USB device is used.";
// How long the notice tells of a written file.
constexpr std::chrono::seconds kWrittenNoticeTime{6};

// The notice when the store's fill reaches its last line, naming the capture file that keeps
// every line (or saying that there is none).
std::string FullStoreText(const CaptureLog* capture) {
  std::string text =
      "The window holds 1000 lines and is full: from now on, received text is "
      "added to its last line. ";
  if (capture != nullptr && capture->Capturing()) {
    text += "The capture file keeps every line received: " +
            QDir::toNativeSeparators(QString::fromStdU16String(capture->FilePath().u16string()))
                .toStdString() +
            ".";
  } else {
    text +=
        "No capture file is kept in this run: the lines added to the last one are not kept "
        "apart anywhere.";
  }
  return text + " \"Write File\", then \"Clear Data\", starts again on new lines.";
}

bool IsScrollKey(int key) {
  return key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp ||
         key == Qt::Key_PageDown || key == Qt::Key_Home || key == Qt::Key_End;
}

}  // namespace

Form1::Form1(DevicePort& port, Clock& clock, Prompt& prompt, LinkLog& link_log,
             CaptureLog* capture_log, QWidget* parent)
    : QWidget(parent),
      // Created in this order, so later ones lie above earlier ones.
      TODC(Placed(new QPushButton("&Clear Data", this), "TODC", 3000, 7560, 1455, 375)),
      Reset(Placed(new QPushButton("&Get Data", this), "Reset", 120, 7560, 1575, 375)),
      VScroll1(Placed(new VerticalScrollBar(this), "VScroll1", 9600, 240, 375, 6135)),
      WriteFile(Placed(new QPushButton("&Write File", this), "WriteFile", 5760, 7560, 1455, 375)),
      Picture1(
          Placed(new PictureBox(DataView::kShownLines, FromTwips(0, 0, 0, 6135).height(), this),
                 "Picture1", 120, 240, 9375, 6135)),
      Exit(Placed(new QPushButton("E&xit", this), "Exit", 8520, 7560, 1455, 375)),
      Timer1(new QTimer(this)),
      MessUSB(Placed(new StatusLabel(this), "MessUSB", 120, 6720, 9855, 495)),
      CopyAllLines(new QAction("Copy All Lines", Picture1)),
      OpenCaptureFolder(new QAction("Open Capture Folder", Picture1)),
      WrittenNoticeTimer(new QTimer(this)),
      prompt_(prompt),
      capture_log_(capture_log),
      core_(port, clock, *this, *this, *Picture1, *VScroll1),
      end_program_([] { QCoreApplication::exit(0); }),
      open_folder_([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
  core_.Link().SetLog(link_log);
  core_.SetCaptureLog(capture_log);
  SetUpControls();
  SetUpColours();
  SetUpAccessibility();
  ConnectControls();
}

void Form1::SetUpControls() {
  setWindowTitle(kMainWindowCaption);
  setFixedSize(FromTwips(0, 0, 10080, 8175).size());
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(kDesignTickInterval);

  QFont status_font = MessUSB->font();
  status_font.setPointSize(12);
  MessUSB->setFont(status_font);
  MessUSB->setIndent(6);

  VScroll1->setRange(0, 0);
  VScroll1->setPageStep(kPageStep);
  VScroll1->setFocusPolicy(Qt::StrongFocus);
  Picture1->installEventFilter(this);
  Picture1->setAccessibleName("Received lines");
  // The bar's value is the line shown last.
  VScroll1->setAccessibleName("Last line shown");
  // Ctrl+C on the view and its context menu copy every stored line.
  CopyAllLines->setShortcut(QKeySequence::Copy);
  CopyAllLines->setShortcutContext(Qt::WidgetShortcut);
  Picture1->addAction(CopyAllLines);
  Picture1->addAction(OpenCaptureFolder);
  OpenCaptureFolder->setEnabled(!FolderOfCaptures().isEmpty());
  Picture1->setContextMenuPolicy(Qt::CustomContextMenu);
  WrittenNoticeTimer->setSingleShot(true);
  WrittenNoticeTimer->setInterval(kWrittenNoticeTime);

  // Tab order: Exit, (the status label takes no focus), Picture1, WriteFile, VScroll1, Reset,
  // TODC.
  setTabOrder(Exit, Picture1);
  setTabOrder(Picture1, WriteFile);
  setTabOrder(WriteFile, VScroll1);
  setTabOrder(VScroll1, Reset);
  setTabOrder(Reset, TODC);
  Exit->setFocus();
}

void Form1::SetUpColours() {
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, FromBgr(kWindowColour));
  colours.setColor(QPalette::WindowText, FromBgr(kTextColour));
  setPalette(colours);

  MessUSB->setAutoFillBackground(true);
  QPalette status_colours = MessUSB->palette();
  status_colours.setColor(QPalette::Window, FromBgr(kStatusColour));
  status_colours.setColor(QPalette::WindowText, FromBgr(kTextColour));
  MessUSB->setPalette(status_colours);
}

void Form1::SetUpAccessibility() {
  // Also for the save window, which this window makes while a screen reader may be listening.
  SetWindowRole(staticMetaObject, QAccessible::Window);
  SetWindowRole(Form6::staticMetaObject, QAccessible::Dialog);
  InstallLineEditAccessibleFix();
  ShowFocusRing(this);
  Picture1->ReadFrom(core_.Store());
}

void Form1::ConnectControls() {
  // A modal box would hold up the ticks (a timer does not fire while its own handler waits):
  // a tick's error is shown without one.
  connect(Timer1, &QTimer::timeout, this, [this] { GuardedTick(); });
  connect(Reset, &QPushButton::clicked, this, [this] { Guarded([this] { Reset_Click(); }); });
  connect(TODC, &QPushButton::clicked, this, [this] { Guarded([this] { TODC_Click(); }); });
  connect(WriteFile, &QPushButton::clicked, this,
          [this] { Guarded([this] { WriteFile_Click(); }); });
  connect(Exit, &QPushButton::clicked, this, [this] { Guarded([this] { Exit_Click(); }); });
  connect(VScroll1, &QScrollBar::valueChanged, this,
          [this] { Guarded([this] { VScroll1_Change(); }); });
  connect(CopyAllLines, &QAction::triggered, this,
          [this] { Guarded([this] { CopyAllLines_Click(); }); });
  connect(OpenCaptureFolder, &QAction::triggered, this,
          [this] { Guarded([this] { OpenCaptureFolder_Click(); }); });
  connect(WrittenNoticeTimer, &QTimer::timeout, this,
          [this] { WithdrawNotice(NoticeKind::kWritten); });
  connect(Picture1, &QWidget::customContextMenuRequested, this, &Form1::ShowViewMenu);
}

void Form1::ShowViewMenu(const QPoint& at) {
  QMenu menu(this);
  menu.setObjectName("ViewMenu");
  menu.setAccessibleName(Picture1->accessibleName());
  menu.addActions(Picture1->actions());
  // Opened on its first item, which a screen reader then says at once.
  menu.setActiveAction(menu.actions().value(0));
  menu.exec(Picture1->mapToGlobal(at));
}

Form1::~Form1() {
  if (form6_) {
    form6_->removeEventFilter(this);
  }
}

void Form1::Form_Load() {
  core_.StartUp();
}

std::string RestoreQuestion(const UnsavedCapture& unsaved) {
  // 1432 as "1,432".
  const auto counted = [](std::uint64_t number, const std::string& what) {
    const std::string digits = std::to_string(number);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
      text += i > 0 && (digits.size() - i) % 3 == 0 ? "," : "";
      text += digits[i];
    }
    return text + " " + what + (number == 1 ? "" : "s");
  };
  const std::tm local = LocalTimeOf(unsaved.last_received);
  char last[32] = {};
  std::strftime(last, sizeof last, "%H:%M:%S on %Y-%m-%d", &local);
  std::string text = "Lines received before the program last ended were not written to a file: " +
                     counted(unsaved.lines, "line") + " (" + counted(unsaved.size, "byte") +
                     "), the last received at " + last + ".";
  if (unsaved.incomplete) {
    text +=
        " The capture file is incomplete: lines received after it could not be written are "
        "missing.";
  }
  if (unsaved.cut) {
    text += " Only the newest " + std::to_string(CaptureLog::kMostRestored >> 20) +
            " MiB of them can be restored.";
  }
  return text + " Restore them?";
}

void Form1::AskRestore() {
  const std::optional<UnsavedCapture> unsaved = core_.PendingRestore();
  if (!unsaved) {
    return;
  }
  const Answer answer = prompt_.MsgBox(RestoreQuestion(*unsaved), PromptButtons::kYesNo);
  // No answer: the program is ending on a signal. The question stays open, so the next start
  // asks again, about these lines and those received meanwhile.
  if (answer != Answer::kNone) {
    core_.AnswerRestore(answer == Answer::kYes);
  }
}

void Form1::Timer1_Timer() {
  core_.Tick();
  NoteFullStore();
  Picture1->LinesChanged();
}

void Form1::Reset_Click() {
  core_.GetData();
}

void Form1::TODC_Click() {
  core_.ClearData();
  full_noticed_ = false;
  WithdrawNotice(NoticeKind::kFullStore);
  Picture1->LinesChanged();
}

void Form1::WriteFile_Click() {
  show();
  if (!form6_) {
    form6_ = std::make_unique<Form6>(core_.Store(), prompt_, this);
    form6_->installEventFilter(this);
    // The capture log learns how far the written file reaches; the operator, where it went.
    connect(form6_.get(), &Form6::Written, this, [this](const QString& path) {
      core_.FileWritten();
      NoteWritten(path);
    });
  }
  form6_->show();
  form6_->raise();
  form6_->activateWindow();
}

void Form1::Exit_Click() {
  core_.CloseDevice();
  end_program_();
}

void Form1::VScroll1_Change() {
  core_.ScrollChanged();
}

void Form1::CopyAllLines_Click() {
  const LineStore& store = core_.Store();
  QStringList lines;
  for (int i = 0; i <= store.LineIndex; ++i) {
    lines.append(FromAscii(store.Lines[static_cast<std::size_t>(i)]));
  }
  QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void Form1::OpenCaptureFolder_Click() {
  const QString folder = FolderOfCaptures();
  if (!folder.isEmpty() && !open_folder_(QUrl::fromLocalFile(folder))) {
    throw std::runtime_error("The capture folder could not be shown: " +
                             QDir::toNativeSeparators(folder).toStdString());
  }
}

QString Form1::FolderOfCaptures() const {
  if (capture_log_ == nullptr) {
    return {};
  }
  return QString::fromStdU16String(capture_log_->Folder().u16string());
}

void Form1::SetSimulated(bool simulated) {
  simulated_ = simulated;
  UpdateStatusTip();
}

void Form1::SetWrittenNoticeTime(std::chrono::milliseconds time) {
  WrittenNoticeTimer->setInterval(time);
}

void Form1::SetStatus(std::string_view text) {
  MessUSB->ShowStatus(FromAscii(text));
  UpdateStatusTip();
}

void Form1::UpdateStatusTip() {
  std::string tip = core_.Link().StatusReason();
  if (simulated_) {
    tip = kSimulatedNote + (tip.empty() ? "" : "\n" + tip);
  }
  // Every tick shows its status: the tooltip changes only when its text does.
  if (const QString shown = QString::fromStdString(tip); MessUSB->toolTip() != shown) {
    MessUSB->setToolTip(shown);
  }
}

void Form1::DataLost(std::uint64_t total) {
  ShowNotice(NoticeKind::kLostData, LostDataText(total));
}

void Form1::ShowNotice(NoticeKind kind, const std::string& text) {
  notices_[kind] = text;
  prompt_.Notify(NoticeText());
}

std::string Form1::NoticeText() const {
  std::string shown;
  for (const auto& fact : notices_) {
    shown += (shown.empty() ? "" : "\n\n") + fact.second;
  }
  return shown;
}

void Form1::WithdrawNotice(NoticeKind kind) {
  if (notices_.erase(kind) > 0) {
    prompt_.UpdateNotice(NoticeText());
  }
}

void Form1::NoteFullStore() {
  if (full_noticed_ || core_.Store().LineIndex < LineStore::kLastLine) {
    return;
  }
  full_noticed_ = true;
  ShowNotice(NoticeKind::kFullStore, FullStoreText(capture_log_));
}

void Form1::NoteWritten(const QString& path) {
  ShowNotice(NoticeKind::kWritten, "The lines were written to " + path.toStdString() + ".");
  WrittenNoticeTimer->start();
}

void Form1::SetInterval(std::chrono::milliseconds interval) {
  Timer1->setInterval(interval);
}

void Form1::Enable() {
  Timer1->start();
}

void Form1::Disable() {
  Timer1->stop();
}

void Form1::closeEvent(QCloseEvent* event) {
  Guarded([this] { core_.CloseDevice(); });
  // The window is gone: no more ticks.
  Timer1->stop();
  event->accept();
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  // The mouse wheel over the data view scrolls it, as it would over the scroll bar.
  if (watched == Picture1 && event->type() == QEvent::Wheel) {
    QCoreApplication::sendEvent(VScroll1, event);
    return true;
  }
  // So do the scroll bar's keys while the view has the focus; the view moves its reading
  // position with them.
  if (watched == Picture1 && event->type() == QEvent::KeyPress &&
      IsScrollKey(static_cast<QKeyEvent*>(event)->key())) {
    QCoreApplication::sendEvent(VScroll1, event);
  }
  // Taking the focus, the view reads the line shown last.
  if (watched == Picture1 && event->type() == QEvent::FocusIn) {
    Picture1->ReadNear(core_.View().ViewLast);
  }
  // The save window hid after this window was closed: no window is left, so the program ends
  // (the close has already closed the device).
  if (watched == form6_.get() && event->type() == QEvent::Hide && !isVisible()) {
    end_program_();
  }
  return QWidget::eventFilter(watched, event);
}

void Form1::GuardedTick() {
  try {
    Timer1_Timer();
    tick_error_.clear();
    notices_.erase(NoticeKind::kTickError);
  } catch (const std::exception& error) {
    TickFailed(error.what());
  } catch (...) {
    TickFailed("Unexpected error");
  }
}

void Form1::TickFailed(const std::string& text) {
  if (text == tick_error_) {
    return;
  }
  tick_error_ = text;
  core_.Link().Log().Write(LogLevel::kWarning, "acquisition tick failed: " + text);
  ShowNotice(NoticeKind::kTickError, text);
}

void Form1::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    prompt_.MsgBox(error.what(), PromptButtons::kOk);
  } catch (...) {
    prompt_.MsgBox("Unexpected error", PromptButtons::kOk);
  }
}

}  // namespace tessun
