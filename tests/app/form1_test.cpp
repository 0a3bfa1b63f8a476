// The main window against the simulated console, offscreen.
#include <QAccessible>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>
#include <cmath>
#include <stdexcept>

#include "app/capture_session.h"
#include "app/command_line.h"
#include "save/form6.h"
#include "tests/common/forwarding_port.h"
#include "tests/common/screen_doubles.h"
#include "tests/common/window_rig.h"
#include "ui/dark_palette.h"

namespace tessun {
namespace {

using Kind = SimulatedConsole::Call::Kind;
using Bytes = std::vector<std::uint8_t>;

// A port that passes everything on to the simulated console, but can be told to throw, as a
// port with a fault of its own might.
class ThrowingPort : public test::ForwardingPort {
 public:
  using ForwardingPort::ForwardingPort;
  bool throw_on_write = false;
  bool throw_on_read = false;
  int failed_reads = 0;

  ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds timeout) override {
    if (throw_on_read) {
      ++failed_reads;
      throw std::runtime_error("read went wrong");
    }
    return ForwardingPort::ReadReport(handle, buffer, timeout);
  }

  PortError WriteReport(PortHandle handle, std::span<const std::uint8_t> report) override {
    if (throw_on_write) {
      throw std::runtime_error("write went wrong");
    }
    return ForwardingPort::WriteReport(handle, report);
  }
};

// The contrast ratio of two colours, from their relative luminance.
double Contrast(const QColor& a, const QColor& b) {
  auto lum = [](const QColor& c) {
    auto f = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * f(c.redF()) + 0.7152 * f(c.greenF()) + 0.0722 * f(c.blueF()) + 0.05;
  };
  return std::max(lum(a), lum(b)) / std::min(lum(a), lum(b));
}

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT

 private:
  struct Rig : test::WindowRig {
    explicit Rig(bool with_console = true, CaptureLog* capture = nullptr) : port(console) {
      if (with_console) {
        console.AddInterface(SimulatedConsole::Console());
      }
      Load(port, capture);
    }
    void FillLines(int line_index) {
      std::string text;
      for (int i = 1; i <= line_index; ++i) {
        text += "\n";
        text += "line " + std::to_string(i);
      }
      TickWith(text);
    }

    ThrowingPort port;
  };

 private slots:
  void controlsHaveTheirPlaceSizeCaptionNameAndTabOrder() {
    Rig rig;
    Form1& form = *rig.form;
    QCOMPARE(form.windowTitle(), QString("Tessun Timing Interface Window"));
    QCOMPARE(form.size(), QSize(672, 545));
    QCOMPARE(rig.ui->Picture1->geometry(), QRect(8, 16, 625, 409));
    QCOMPARE(rig.ui->VScroll1->geometry(), QRect(640, 16, 25, 409));
    QCOMPARE(rig.ui->MessUSB->geometry(), QRect(8, 448, 657, 33));
    QCOMPARE(rig.ui->Reset->geometry(), QRect(8, 504, 105, 25));
    QCOMPARE(rig.ui->TODC->geometry(), QRect(200, 504, 97, 25));
    QCOMPARE(rig.ui->WriteFile->geometry(), QRect(384, 504, 97, 25));
    QCOMPARE(rig.ui->Exit->geometry(), QRect(568, 504, 97, 25));
    QCOMPARE(rig.ui->Reset->text().remove('&'), QString("Get Data"));
    QCOMPARE(rig.ui->TODC->text().remove('&'), QString("Clear Data"));
    QCOMPARE(rig.ui->WriteFile->text().remove('&'), QString("Write File"));
    QCOMPARE(rig.ui->Exit->text().remove('&'), QString("Exit"));
    QCOMPARE(rig.ui->Exit->shortcut(), QKeySequence(Qt::ALT | Qt::Key_X));
    // 31 lines of the view's font fit its height.
    QVERIFY(QFontMetrics(rig.ui->Picture1->font()).lineSpacing() * 31 <=
            rig.ui->Picture1->height());
    QVERIFY(QFontInfo(rig.ui->Picture1->font()).fixedPitch());

    // The focus starts on "Exit".
    form.show();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(rig.ui->Exit));
    const std::vector<QWidget*> order = {rig.ui->Picture1, rig.ui->WriteFile, rig.ui->VScroll1,
                                         rig.ui->Reset,    rig.ui->TODC,      rig.ui->Exit};
    for (QWidget* expected : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), expected);
    }
  }

  void startUpOpensTheConsoleAndStartsTheTimer() {
    Rig rig;
    QCOMPARE(rig.ui->MessUSB->text(), QString("USB Connected "));
    QCOMPARE(rig.console.OpenHandleCount(), 2);
    QVERIFY(rig.ui->Timer1->isActive());
    QCOMPARE(rig.ui->Timer1->interval(), 100);
    // The start-up wait took its half second.
    QVERIFY(rig.clock.Now() - ManualClock().Now() >= std::chrono::milliseconds(500));
    QCOMPARE(rig.console.Reports(Kind::kFeature).size(), std::size_t{1});
  }

  void startUpWithoutTheConsoleSaysNotFoundAndTicksTryAgain() {
    Rig rig(/*with_console=*/false);
    QCOMPARE(rig.ui->MessUSB->text(), QString("USB Not Found "));
    QVERIFY(rig.ui->Timer1->isActive());

    rig.form->Timer1_Timer();
    QCOMPARE(rig.ui->MessUSB->text(), QString("USB Not Found "));
    QCOMPARE(rig.Stored(), QString());
    // "Get Data" says so too, and the ticks go on.
    rig.ui->MessUSB->clear();
    rig.form->Reset_Click();
    QCOMPARE(rig.ui->MessUSB->text(), QString("USB Not Found "));
    QVERIFY(rig.ui->Timer1->isActive());

    // Plugged in later: the next tick finds it.
    rig.console.AddInterface(SimulatedConsole::Console());
    rig.TickWith("late\n");
    QCOMPARE(rig.console.OpenHandleCount(), 2);
    QCOMPARE(rig.ui->MessUSB->text(), QString("USB Communication OK"));
    QCOMPARE(rig.Stored(), QString("late\n"));
  }

  void tickWithDataRefreshesTheViewAndAnEmptyTickLeavesItAlone() {
    Rig rig;
    rig.TickWith("first\nsecond");
    QCOMPARE(rig.ui->Picture1->PrintedLines(),
             (std::vector<std::string>{std::string(kLineIndent) + "second"}));
    QCOMPARE(rig.ui->VScroll1->value(), 1);

    // Scroll state and picture stay as they are on a tick without data.
    rig.ui->Picture1->PrintLine("", "marker");
    rig.TickWith("");
    QCOMPARE(rig.ui->Picture1->PrintedLines().back(), std::string("marker"));

    // A lone line feed is data: the view is refreshed.
    rig.TickWith("\n");
    QCOMPARE(
        rig.ui->Picture1->PrintedLines(),
        (std::vector<std::string>{std::string(kLineIndent) + "second", std::string(kLineIndent)}));
  }

  void viewWindowsFollowTheLineIndex() {
    for (int line_index : {0, 1, 30, 31, 100, 1000}) {
      Rig rig;
      rig.FillLines(line_index);
      const int first = line_index > 30 ? line_index - 30 : 1;
      QCOMPARE(rig.ui->Picture1->PrintedLines(), test::IndentedLines(first, line_index));
      QCOMPARE(rig.ui->VScroll1->maximum(), line_index);
      QCOMPARE(rig.ui->VScroll1->minimum(), line_index >= 31 ? 31 : line_index);
      QCOMPARE(rig.ui->VScroll1->value(), line_index);
    }
  }

  void scrollingBackAndNewDataJumpingToTheEnd() {
    Rig rig;
    rig.FillLines(100);
    rig.ui->VScroll1->setValue(50);
    QCOMPARE(rig.ui->Picture1->PrintedLines(), test::IndentedLines(20, 50));

    // The wheel over the view scrolls it too.
    QWheelEvent wheel(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(rig.ui->Picture1, &wheel);
    const int scrolled = rig.ui->VScroll1->value();
    QVERIFY(scrolled > 50);
    QCOMPARE(rig.ui->Picture1->PrintedLines(), test::IndentedLines(scrolled - 30, scrolled));

    rig.TickWith("!");
    QCOMPARE(rig.ui->Picture1->PrintedLines().front(), std::string(kLineIndent) + "line 70");
    QCOMPARE(rig.ui->Picture1->PrintedLines().back(), std::string(kLineIndent) + "line 100!");
    QCOMPARE(rig.ui->VScroll1->value(), 100);
  }

  void getDataSendsOneCommandAndRestartsTheTimer() {
    Rig rig;
    rig.console.SetStoredData({'h', 'i', '\r', '\n'});
    const auto before = rig.clock.Now();
    QTest::mouseClick(rig.ui->Reset, Qt::LeftButton);
    QVERIFY(rig.clock.Now() - before >= std::chrono::milliseconds(100));
    QCOMPARE(rig.console.Reports(Kind::kOutput),
             (std::vector<Bytes>{Bytes{0x00, 0x01, 0x8D, 0, 0, 0, 0, 0, 0}}));
    QVERIFY(rig.ui->Timer1->isActive());
    rig.TickWith("");
    QCOMPARE(rig.console.PendingBytes(), std::size_t{0});
    QCOMPARE(rig.Stored(), QString("hi\n"));
  }

  void clearDataEmptiesStoreAndViewButNotTheScrollBar() {
    Rig rig;
    rig.FillLines(40);
    QTest::mouseClick(rig.ui->TODC, Qt::LeftButton);
    QCOMPARE(rig.Stored(), QString());
    QVERIFY(rig.ui->Picture1->PrintedLines().empty());
    QCOMPARE(rig.ui->VScroll1->maximum(), 40);
    QCOMPARE(rig.ui->VScroll1->value(), 40);
    // Reception goes on in line 0.
    rig.TickWith("more");
    QCOMPARE(rig.Stored(), QString("more"));
  }

  // "Exit" closes the console and ends the program; closing the window closes the console and
  // stops the ticks.
  void exitAndCloseCloseBothHandles() {
    for (const bool exit : {true, false}) {
      Rig rig;
      rig.form->show();
      QVERIFY(exit ? (QTest::mouseClick(rig.ui->Exit, Qt::LeftButton), true) : rig.form->close());
      QCOMPARE(rig.console.OpenHandleCount(), 0);
      QVERIFY(exit || !rig.ui->Timer1->isActive());
      QCOMPARE(rig.ended, exit ? 1 : 0);
    }
  }

  // An error in a handler is shown in a message box; one in a tick in a notice that does not wait
  // for the operator: the ticks go on, and an error repeated tick after tick is shown once.
  void anErrorIsShownAndTheProgramGoesOn() {
    Rig rig;
    rig.TickWith("kept\n");
    rig.port.throw_on_write = true;
    QTest::mouseClick(rig.ui->Reset, Qt::LeftButton);
    QCOMPARE(rig.prompt.texts, (std::vector<std::string>{"write went wrong"}));
    QVERIFY(rig.ui->Timer1->isActive());
    QCOMPARE(rig.Stored(), QString("kept\n"));

    rig.port.throw_on_read = true;
    QTRY_VERIFY_WITH_TIMEOUT(rig.port.failed_reads >= 3, 2000);
    QCOMPARE(rig.prompt.texts.size(), std::size_t{1});
    QCOMPARE(rig.prompt.notices, (std::vector<std::string>{"read went wrong"}));
    QCOMPARE(rig.log.Count("acquisition tick failed: read went wrong"), 1);
    // Ticks that work, then the same error again: shown again.
    rig.port.throw_on_read = false;
    QTest::qWait(300);
    rig.port.throw_on_read = true;
    QTRY_COMPARE_WITH_TIMEOUT(rig.prompt.notices.size(), std::size_t{2}, 2000);
    QCOMPARE(rig.log.Count("acquisition tick failed: read went wrong"), 2);
    QVERIFY(rig.ui->Timer1->isActive());
  }

  // Reports with data that the driver's queue dropped are told in the one non-modal notice, once
  // for a run of ticks that lose data, naming how many; a tick error then joins the same notice.
  void lostDataIsNoticedOnceInTheNoticeThatCarriesEveryFact() {
    Rig rig;
    rig.console.SetReportInterval(std::chrono::milliseconds(1), /*empty_reports=*/false);
    rig.console.Print(std::string(20000, 'x'));
    for (int tick = 0; tick < 20; ++tick) {
      rig.clock.Advance(std::chrono::milliseconds(100));
      rig.form->Timer1_Timer();
    }
    QVERIFY(rig.prompt.texts.empty());
    QVERIFY(rig.log.Count(" input reports lost (") > 1);
    QCOMPARE(rig.prompt.notices.size(), std::size_t{1});
    const std::string lost = rig.prompt.notices[0];
    QVERIFY(lost.starts_with("Data from the console was lost: "));
    QVERIFY(std::stoull(lost.substr(lost.find(':') + 2)) > 0);
    rig.port.throw_on_read = true;
    QTRY_COMPARE_WITH_TIMEOUT(rig.prompt.notices.size(), std::size_t{2}, 2000);
    QCOMPARE(rig.prompt.notices[1], "read went wrong\n\n" + lost);
  }

  // The status line's tooltip: the simulated console, then the link's reason for the status (a
  // console that cannot be used stays the reason while it is left out of the searches).
  void statusTooltipFollowsTheLink() {
    Rig rig(/*with_console=*/false);
    rig.form->SetSimulated(true);
    const auto shows = [&](const char* status, const std::string& reason) {
      QCOMPARE(rig.ui->MessUSB->text(), QString(status));
      QCOMPARE(rig.ui->MessUSB->toolTip().toStdString(),
               "Simulated console (tessun --simulate): no USB device is used.\n" + reason);
    };
    shows("USB Not Found ", "no console 04B4:5500 found; plug it in: the program keeps looking");
    rig.console.AddInterface(SimulatedConsole::Console());
    rig.console.FailOpens(SimulatedConsole::kConsolePath, 1, "busy", OpenMode::kForReads,
                          PortFailure::kBusy);
    for (const int seconds : {0, 2}) {
      rig.clock.Advance(std::chrono::seconds(seconds));
      rig.form->Timer1_Timer();
      shows("USB Not Found ",
            "console 04B4:5500 at sim:console cannot be used (open for reads: open sim:console: "
            "busy); another program holds the console (a second tessun?); close it");
    }
    rig.clock.Advance(std::chrono::seconds(3));
    rig.TickWith("x");
    shows("USB Communication OK",
          "console 04B4:5500 at sim:console in use: output report 9 bytes, input report 9 bytes");
  }

  // The notice: the full store once per fill, naming the capture (or none), and for a while the
  // written file. The view's menu shows the capture folder, when there is one.
  void noticesOfTheFullStoreAndOfAWrittenFileAndTheCaptureFolder() {
    for (const bool capturing : {true, false}) {
      QTemporaryDir folder;
      ManualClock capture_clock;
      CaptureSession session(capture_clock, capturing ? folder.filePath("captures") : QString());
      Rig rig(/*with_console=*/true, &session.Log());
      rig.form->SetWrittenNoticeTime(std::chrono::milliseconds(50));
      rig.FillLines(999);
      QVERIFY(rig.prompt.notices.empty());
      rig.TickWith("\nlast\n");
      rig.TickWith("\nmore\n");
      QCOMPARE(rig.prompt.notices.size(), std::size_t{1});
      const std::string full = rig.prompt.notices[0];
      const QString capture = QDir::toNativeSeparators(folder.filePath("captures"));
      QVERIFY(full.starts_with("The window holds 1000 lines and is full: "));
      QCOMPARE(full.find(capture.toStdString() + QDir::separator().toLatin1()) != std::string::npos,
               capturing);

      QTemporaryDir directory;
      QVERIFY(!rig.WriteFile(directory.path()).isEmpty());
      const QString written = QDir::toNativeSeparators(directory.filePath("TessunData.txt"));
      QCOMPARE(rig.prompt.notices.back(),
               full + "\n\nThe lines were written to " + written.toStdString() + ".");
      QTRY_COMPARE(rig.prompt.notices.back(), full);
      rig.form->TODC_Click();
      QCOMPARE(rig.prompt.notices.back(), std::string());
      rig.FillLines(1000);
      QCOMPARE(rig.prompt.notices.size(), std::size_t{5});
      QCOMPARE(rig.prompt.notices.back(), full);

      QList<QUrl> shown;
      rig.form->SetFolderOpener([&](const QUrl& url) { return shown.append(url), true; });
      QAction* open = rig.ui->Picture1->actions().value(1);
      QCOMPARE(open->text(), QString("Open Capture Folder"));
      open->trigger();
      QCOMPARE(shown, capturing ? QList{QUrl::fromLocalFile(capture)} : QList<QUrl>());
    }
  }

  void writeFileShowsTheOneSaveWindow() {
    Rig rig;
    rig.form->show();
    QTest::mouseClick(rig.ui->WriteFile, Qt::LeftButton);
    Form6* first = rig.form->SaveWindow();
    QVERIFY(first != nullptr);
    QVERIFY(first->isVisible());
    first->hide();
    QTest::mouseClick(rig.ui->WriteFile, Qt::LeftButton);
    QCOMPARE(rig.form->SaveWindow(), first);
    QVERIFY(first->isVisible());
    QVERIFY(rig.ui->Timer1->isActive());
  }

  // After "Cancel" or a write, the focus is back where it was when the save window opened; with
  // the main window closed meanwhile, the program ends instead.
  void saveWindowReturnsTheFocusOrEndsTheProgram() {
    for (const bool closed : {false, true}) {
      for (const bool write : {false, true}) {
        Rig rig;
        QTemporaryDir directory;
        rig.form->show();
        QVERIFY(QTest::qWaitForWindowActive(rig.form.get()));
        rig.ui->Reset->setFocus();
        rig.form->WriteFile_Click();
        const test::Form6Controls save(*rig.form->SaveWindow());
        save.Dir1->SetPath(directory.path());
        if (closed) {
          QVERIFY(rig.form->close() && rig.console.OpenHandleCount() == 0 && rig.ended == 0);
        }
        QTest::mouseClick(write ? save.Save1 : save.Exit1, Qt::LeftButton);
        QCOMPARE(QDir(directory.path()).exists("TessunData.txt"), write);
        QCOMPARE(rig.ended, closed ? 1 : 0);
        if (!closed) {
          QVERIFY(QTest::qWaitForWindowActive(rig.form.get()));
          QCOMPARE(QApplication::focusWidget(), rig.ui->Reset);
        }
      }
    }
  }

  void textStaysReadableUnderALightAndADarkPalette() {
    const QPalette light = QApplication::palette();
    const QString style = QApplication::style()->name();
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    for (const QPalette& palette : {light, DarkPalette()}) {
      QApplication::setPalette(palette);
      Rig rig;
      for (QWidget* part :
           std::initializer_list<QWidget*>{rig.ui->MessUSB, rig.ui->Picture1, rig.form.get()}) {
        const QPalette colours = part->palette();
        QVERIFY(Contrast(colours.color(QPalette::WindowText), colours.color(QPalette::Window)) >=
                4.5);
      }
    }
    QApplication::setPalette(light);
    QApplication::setStyle(style);
  }

  void keyboardClipboardAndScreenReader() {
    Rig rig;
    rig.form->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.form.get()));
    QTest::keyClick(rig.form.get(), Qt::Key_G, Qt::AltModifier);
    QTRY_COMPARE(rig.console.Reports(Kind::kOutput).size(), std::size_t{1});
    rig.FillLines(3);
    for (const bool by_key : {true, false}) {
      QApplication::clipboard()->clear();
      rig.ui->Picture1->setFocus();
      if (by_key) {
        QTest::keyClick(rig.ui->Picture1, Qt::Key_C, Qt::ControlModifier);
      } else {
        QCOMPARE(rig.ui->Picture1->actions().value(0)->text(), QString("Copy All Lines"));
        rig.ui->Picture1->actions().value(0)->trigger();
      }
      QCOMPARE(QApplication::clipboard()->text(), QString("\nline 1\nline 2\nline 3"));
    }
    // A screen reader reads the view as a terminal: every line it can show (never line 0),
    // without the indent, and reads the line shown last when the view takes the focus.
    rig.ui->Exit->setFocus();
    rig.ui->Picture1->setFocus();
    QAccessibleInterface* view = QAccessible::queryAccessibleInterface(rig.ui->Picture1);
    QCOMPARE(view->text(QAccessible::Name), QString("Received lines"));
    QCOMPARE(view->role(), QAccessible::Terminal);
    QAccessibleTextInterface* text = view->textInterface();
    QVERIFY(text != nullptr);
    QCOMPARE(text->text(0, text->characterCount()), QString("line 1\nline 2\nline 3"));
    QCOMPARE(text->cursorPosition(), 14);
    // A tick's complete lines are announced on the next tick that completes none, with the
    // reading position where they end; "Clear Data" empties the text.
    rig.TickWith("\nline 4\n");
    rig.TickWith("");
    QCOMPARE(text->cursorPosition(), 28);
    rig.form->TODC_Click();
    QCOMPARE(text->characterCount(), 0);

    QCOMPARE(QAccessible::queryAccessibleInterface(rig.ui->VScroll1)->text(QAccessible::Name),
             QString("Last line shown"));
    // The status bar (its role and notice: tests/app/a11y_check.py) also reads as a text.
    QCOMPARE(QAccessible::queryAccessibleInterface(rig.ui->MessUSB)->textInterface()->text(0, 20),
             QString("USB Communication OK"));
  }

  // With the focus, the view scrolls with the scroll bar's keys, as the bar would, and its
  // reading position moves by as many lines.
  void keysScrollTheViewAndMoveTheReadingPosition() {
    Rig rig;
    rig.form->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.form.get()));
    rig.FillLines(100);
    rig.ui->Picture1->setFocus();
    QAccessibleTextInterface* text =
        QAccessible::queryAccessibleInterface(rig.ui->Picture1)->textInterface();
    const auto reading_line = [&] { return text->text(0, text->cursorPosition()).count('\n') + 1; };
    QCOMPARE(reading_line(), 100);
    const struct {
      Qt::Key key;
      int bar;
      int line;
    } steps[] = {{Qt::Key_Up, 99, 99},    {Qt::Key_PageUp, 69, 69},   {Qt::Key_Home, 31, 1},
                 {Qt::Key_Down, 32, 2},   {Qt::Key_PageDown, 62, 32}, {Qt::Key_End, 100, 100},
                 {Qt::Key_Down, 100, 100}};
    for (const auto& step : steps) {
      QTest::keyClick(rig.ui->Picture1, step.key);
      QCOMPARE(rig.ui->VScroll1->value(), step.bar);
      QCOMPARE(rig.ui->Picture1->PrintedLines(), test::IndentedLines(step.bar - 30, step.bar));
      QCOMPARE(reading_line(), step.line);
    }
  }

  // The view's context menu is a named menu of the view's actions, opened on the first one; an
  // action added to the view shows in it.
  void contextMenuIsNamedAndHoldsTheViewsActions() {
    Rig rig;
    rig.form->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.form.get()));
    auto* extra = new QAction("Extra", rig.ui->Picture1);
    rig.ui->Picture1->addAction(extra);
    QList<QAction*> shown;
    QString name;
    QAction* active = nullptr;
    QTimer::singleShot(0, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      QVERIFY(menu != nullptr);
      shown = menu->actions();
      name = QAccessible::queryAccessibleInterface(menu)->text(QAccessible::Name);
      active = menu->activeAction();
      menu->close();
    });
    QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(10, 10),
                              rig.ui->Picture1->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(rig.ui->Picture1, &request);
    QCOMPARE(shown, rig.ui->Picture1->actions());
    QCOMPARE(shown.last(), extra);
    QCOMPARE(name, QString("Received lines"));
    QCOMPARE(active, shown.value(0));
  }

  // The program itself answers a refused data file, --help, --version and --diagnose (of the
  // simulated console, which is usable) at once, before it would connect to the (missing)
  // display.
  void programAnswersWithoutAWindow() {
#if defined(_WIN32)
    QSKIP("on Windows the program answers in message boxes");
#else
    QTemporaryDir dir;
    QFile damaged(dir.filePath("damaged-trace"));
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("tessun report trace 1\n0 search\n7 tick\n5 in 00 01 41\n");
    damaged.close();
    const std::pair<QStringList, int> runs[] = {{{"--simulate=" + dir.path()}, 2},
                                                {{"--simulate=" + damaged.fileName()}, 2},
                                                {{"--simulate", "--trace=" + dir.path()}, 2},
                                                {{"-style", "fusion", "--help"}, 0},
                                                {{"-platform", "xcb", "--version"}, 0},
                                                {{"--diagnose", "--simulate"}, 0}};
    for (const auto& [arguments, code] : runs) {
      QProcess program;
      QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
      environment.remove("DISPLAY");
      environment.insert("QT_QPA_PLATFORM", "xcb");
      program.setProcessEnvironment(environment);
      program.start(TESSUN_EXECUTABLE, arguments);
      QVERIFY(program.waitForFinished(5'000));
      QCOMPARE(program.exitCode(), code);
      const QByteArray error = program.readAllStandardError();
      QCOMPARE(error.count('\n'), code == 2 ? 1 : 0);
      QVERIFY(!arguments.constFirst().contains("damaged") || error.contains("line 4: "));
    }
#endif
  }

  // Printed text reaches the pixels, and "Clear Data" wipes them; a megabyte-long line is drawn
  // as far as it fits, up to the right edge.
  void printedTextReallyReachesThePixels() {
    Rig rig;
    rig.form->show();
    const QRect all = rig.ui->Picture1->rect();
    const auto inked = [&](const QRect& area) {
      const QImage image = rig.ui->Picture1->grab().toImage();
      int count = 0;
      for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
          count += image.pixelColor(x, y) != QColor(Qt::white);
        }
      }
      return count;
    };
    QCOMPARE(inked(all), 0);
    rig.TickWith("\nHeat 1  Lane 4  0:59.87");
    QVERIFY(inked(all) > 50);
    rig.form->TODC_Click();
    QCOMPARE(inked(all), 0);
    rig.ui->Picture1->PrintLine(kLineIndent, std::string(1'000'000, 'W'));
    QVERIFY(inked(QRect(all.width() - 4, 0, 1, 10)) > 0);
    QVERIFY(rig.ui->Picture1->ShownText().size() < 200);
  }

  void commandLine() {
    using Action = CommandLine::Action;
    QCOMPARE(ParseCommandLine({}).action, Action::kRun);
    QVERIFY(!ParseCommandLine({}).simulate);
    const CommandLine simulate = ParseCommandLine({"--simulate"});
    QVERIFY(simulate.simulate && !simulate.data_file);
    const CommandLine with_file = ParseCommandLine({"--simulate=meet.txt"});
    QVERIFY(with_file.simulate);
    QCOMPARE(*with_file.data_file, std::string("meet.txt"));
    QCOMPARE(ParseCommandLine({"--simulate="}).action, Action::kUsageError);
    QCOMPARE(ParseCommandLine({"--bogus"}).action, Action::kUsageError);
    QCOMPARE(ParseCommandLine({"--simulate", "--help"}).action, Action::kHelp);
    QCOMPARE(ParseCommandLine({"--version"}).action, Action::kVersion);
    const CommandLine with_qt = ParseCommandLine(
        {"-style", "fusion", "-platform", "offscreen", "-qwindowgeometry", "9x9", "--simulate=a"});
    QVERIFY(with_qt.action == Action::kRun && *with_qt.data_file == "a");
    QCOMPARE(ParseCommandLine({"-style=fusion", "stray"}).action, Action::kUsageError);
    QCOMPARE(*ParseCommandLine({"--trace=run.trace"}).trace_file, std::string("run.trace"));
    QCOMPARE(ParseCommandLine({"--trace="}).action, Action::kUsageError);
    QVERIFY(ParseCommandLine({"--diagnose", "--raw"}).raw);
    QCOMPARE(ParseCommandLine({"--raw"}).action, Action::kUsageError);
  }
};

}  // namespace tessun

QTEST_MAIN(tessun::Form1Test)
#include "form1_test.moc"
