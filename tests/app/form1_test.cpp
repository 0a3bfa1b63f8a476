// The main window against the simulated console, offscreen.
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <QAccessible>
#include <QClipboard>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>
#include <cmath>
#include <stdexcept>

#include "app/command_line.h"
#include "app/form1.h"
#include "device/simulated/simulated_console.h"
#include "save/form6.h"
#include "tests/common/forwarding_port.h"
#include "tests/common/prompt_doubles.h"
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

std::vector<std::string> Shown(int first, int last) {
  std::vector<std::string> lines;
  for (int i = first; i <= last; ++i) {
    lines.push_back(std::string(kLineIndent) + "line " + std::to_string(i));
  }
  return lines;
}

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
  struct Rig {
    explicit Rig(bool with_console = true) : console(clock), port(console) {
      if (with_console) {
        console.AddInterface(SimulatedConsole::Console());
      }
      form = std::make_unique<Form1>(port, clock, prompt);
      form->SetEndProgram([this] { ++ended; });
      form->Form_Load();
    }
    // The console prints `text`; ticks run, 100 ms apart, until all of it has been read (at
    // least one tick). The driver's queue may hold a backlog of empty reports first.
    void TickWith(const std::string& text) {
      console.Print(text);
      for (int tick = 0; tick == 0 || (!console.AllDataRead() && tick < 100); ++tick) {
        clock.Advance(std::chrono::milliseconds(100));
        form->Timer1_Timer();
      }
      QVERIFY(console.AllDataRead());
    }
    void FillLines(int line_index) {
      std::string text;
      for (int i = 1; i <= line_index; ++i) {
        text += "\n";
        text += "line " + std::to_string(i);
      }
      TickWith(text);
    }

    ManualClock clock;
    SimulatedConsole console;
    ThrowingPort port;
    test::FakePrompt prompt;
    std::unique_ptr<Form1> form;
    int ended = 0;
  };

 private slots:
  void controlsHaveTheirPlaceSizeCaptionAndName() {
    Rig rig;
    Form1& form = *rig.form;
    QCOMPARE(form.windowTitle(), QString("Tessun Timing Interface Window"));
    QCOMPARE(form.size(), QSize(672, 545));
    QCOMPARE(form.Picture1->geometry(), QRect(8, 16, 625, 409));
    QCOMPARE(form.VScroll1->geometry(), QRect(640, 16, 25, 409));
    QCOMPARE(form.MessUSB->geometry(), QRect(8, 448, 657, 33));
    QCOMPARE(form.Reset->geometry(), QRect(8, 504, 105, 25));
    QCOMPARE(form.TODC->geometry(), QRect(200, 504, 97, 25));
    QCOMPARE(form.WriteFile->geometry(), QRect(384, 504, 97, 25));
    QCOMPARE(form.Exit->geometry(), QRect(568, 504, 97, 25));
    QCOMPARE(form.Reset->text().remove('&'), QString("Get Data"));
    QCOMPARE(form.TODC->text().remove('&'), QString("Clear Data"));
    QCOMPARE(form.WriteFile->text().remove('&'), QString("Write File"));
    QCOMPARE(form.Exit->text().remove('&'), QString("Exit"));
    QCOMPARE(form.Exit->shortcut(), QKeySequence(Qt::ALT | Qt::Key_X));
    for (const char* name :
         {"Picture1", "VScroll1", "MessUSB", "Reset", "TODC", "WriteFile", "Exit", "Timer1"}) {
      QVERIFY2(form.findChild<QObject*>(name) != nullptr, name);
    }
    // 31 lines of the view's font fit its height.
    QVERIFY(QFontMetrics(form.Picture1->font()).lineSpacing() * 31 <= form.Picture1->height());
    QVERIFY(QFontInfo(form.Picture1->font()).fixedPitch());
  }

  void tabOrderStartsOnExit() {
    Rig rig;
    Form1& form = *rig.form;
    form.show();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form.Exit));
    const std::vector<QWidget*> order = {form.Picture1, form.WriteFile, form.VScroll1,
                                         form.Reset,    form.TODC,      form.Exit};
    for (QWidget* expected : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), expected);
    }
  }

  void startUpOpensTheConsoleAndStartsTheTimer() {
    Rig rig;
    QCOMPARE(rig.form->MessUSB->text(), QString("USB Connected "));
    QVERIFY(rig.form->Core().Link().DeviceFound);
    QVERIFY(rig.form->Timer1->isActive());
    QCOMPARE(rig.form->Timer1->interval(), 100);
    // The start-up wait took its half second.
    QVERIFY(rig.clock.Now() - ManualClock().Now() >= std::chrono::milliseconds(500));
    QCOMPARE(rig.console.Reports(Kind::kFeature).size(), std::size_t{1});
  }

  void startUpWithoutTheConsoleSaysNotFoundAndTicksTryAgain() {
    Rig rig(/*with_console=*/false);
    QCOMPARE(rig.form->MessUSB->text(), QString("USB Not Found "));
    QVERIFY(!rig.form->Core().Link().DeviceFound);
    QVERIFY(rig.form->Timer1->isActive());

    rig.form->Timer1_Timer();
    QCOMPARE(rig.form->MessUSB->text(), QString("USB Not Found "));
    QCOMPARE(rig.form->Core().Store().LineIndex, std::int16_t{0});

    // Plugged in later: the next tick finds it.
    rig.console.AddInterface(SimulatedConsole::Console());
    rig.TickWith("late\n");
    QVERIFY(rig.form->Core().Link().DeviceFound);
    QCOMPARE(rig.form->MessUSB->text(), QString("USB Communication OK"));
    QCOMPARE(rig.form->Core().Store().Lines[0], std::string("late"));
  }

  void tickWithDataRefreshesTheViewAndAnEmptyTickLeavesItAlone() {
    Rig rig;
    rig.TickWith("first\nsecond");
    QCOMPARE(rig.form->Picture1->PrintedLines(),
             (std::vector<std::string>{std::string(kLineIndent) + "second"}));
    QCOMPARE(rig.form->Core().View().ViewLast, std::int16_t{1});
    QCOMPARE(rig.form->Core().Store().NewData, std::int16_t{0});

    // Scroll state and picture stay as they are on a tick without data.
    rig.form->Picture1->PrintLine("", "marker");
    rig.TickWith("");
    QCOMPARE(rig.form->Picture1->PrintedLines().back(), std::string("marker"));

    // A lone line feed is data: the view is refreshed.
    rig.TickWith("\n");
    QCOMPARE(
        rig.form->Picture1->PrintedLines(),
        (std::vector<std::string>{std::string(kLineIndent) + "second", std::string(kLineIndent)}));
  }

  void viewWindowsFollowTheLineIndex() {
    for (int line_index : {0, 1, 30, 31, 100, 1000}) {
      Rig rig;
      rig.FillLines(line_index);
      rig.form->Core().View().RefreshDataView();
      const int first = line_index > 30 ? line_index - 30 : 1;
      QCOMPARE(rig.form->Picture1->PrintedLines(), Shown(first, line_index));
      QCOMPARE(rig.form->VScroll1->maximum(), line_index);
      QCOMPARE(rig.form->VScroll1->minimum(), line_index >= 31 ? 31 : line_index);
      QCOMPARE(rig.form->VScroll1->value(), line_index);
    }
  }

  void scrollingBackAndNewDataJumpingToTheEnd() {
    Rig rig;
    rig.FillLines(100);
    rig.form->VScroll1->setValue(50);
    QCOMPARE(rig.form->Core().View().ViewLast, std::int16_t{50});
    QCOMPARE(rig.form->Picture1->PrintedLines(), Shown(20, 50));

    // The wheel over the view scrolls it too.
    QWheelEvent wheel(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(rig.form->Picture1, &wheel);
    QVERIFY(rig.form->VScroll1->value() > 50);
    QCOMPARE(rig.form->Core().View().ViewLast, std::int16_t(rig.form->VScroll1->value()));

    rig.TickWith("!");
    QCOMPARE(rig.form->Picture1->PrintedLines().front(), std::string(kLineIndent) + "line 70");
    QCOMPARE(rig.form->Picture1->PrintedLines().back(), std::string(kLineIndent) + "line 100!");
    QCOMPARE(rig.form->VScroll1->value(), 100);
  }

  void getDataSendsOneCommandAndRestartsTheTimer() {
    Rig rig;
    rig.console.SetStoredData({'h', 'i', '\r', '\n'});
    const auto before = rig.clock.Now();
    QTest::mouseClick(rig.form->Reset, Qt::LeftButton);
    QVERIFY(rig.clock.Now() - before >= std::chrono::milliseconds(100));
    QCOMPARE(rig.console.Reports(Kind::kOutput),
             (std::vector<Bytes>{Bytes{0x00, 0x01, 0x8D, 0, 0, 0, 0, 0, 0}}));
    QVERIFY(rig.form->Timer1->isActive());
    rig.TickWith("");
    QCOMPARE(rig.console.PendingBytes(), std::size_t{0});
    QCOMPARE(rig.form->Core().Store().Lines[0], std::string("hi"));
    QCOMPARE(rig.form->Core().Store().LineIndex, std::int16_t{1});
  }

  void getDataWithoutTheConsoleSaysNotFound() {
    Rig rig(/*with_console=*/false);
    rig.form->MessUSB->clear();
    rig.form->Reset_Click();
    QCOMPARE(rig.form->MessUSB->text(), QString("USB Not Found "));
    QVERIFY(rig.form->Timer1->isActive());
  }

  void clearDataEmptiesStoreAndViewButNotTheScrollBar() {
    Rig rig;
    rig.FillLines(40);
    QTest::mouseClick(rig.form->TODC, Qt::LeftButton);
    QCOMPARE(rig.form->Core().Store().LineIndex, std::int16_t{0});
    QVERIFY(rig.form->Core().Store().Lines[40].empty());
    QVERIFY(rig.form->Picture1->PrintedLines().empty());
    QCOMPARE(rig.form->VScroll1->maximum(), 40);
    QCOMPARE(rig.form->Core().View().ViewLast, std::int16_t{40});
    // Reception goes on in line 0.
    rig.TickWith("more");
    QCOMPARE(rig.form->Core().Store().Lines[0], std::string("more"));
  }

  void exitAndCloseCloseBothHandles() {
    {
      Rig rig;
      QCOMPARE(rig.console.OpenHandleCount(), 2);
      QTest::mouseClick(rig.form->Exit, Qt::LeftButton);
      QCOMPARE(rig.console.OpenHandleCount(), 0);
      QCOMPARE(rig.ended, 1);
    }
    {
      Rig rig;
      rig.form->show();
      QVERIFY(rig.form->close());
      QCOMPARE(rig.console.OpenHandleCount(), 0);
      QVERIFY(!rig.form->Timer1->isActive());
      QCOMPARE(rig.ended, 0);
    }
  }

  void anErrorInAHandlerIsShownAndTheProgramGoesOn() {
    Rig rig;
    rig.TickWith("kept\n");
    rig.port.throw_on_write = true;
    QTest::mouseClick(rig.form->Reset, Qt::LeftButton);
    QCOMPARE(rig.prompt.texts, (std::vector<std::string>{"write went wrong"}));
    QVERIFY(rig.form->Timer1->isActive());
    QCOMPARE(rig.form->Core().Store().Lines[0], std::string("kept"));
  }

  // An error in a tick is shown in a notice that does not wait for the operator: the ticks go
  // on, and an error repeated tick after tick is shown once.
  void anErrorInATickIsNoticedAndTheTicksGoOn() {
    Rig rig;
    rig.port.throw_on_read = true;
    QTRY_VERIFY_WITH_TIMEOUT(rig.port.failed_reads >= 3, 2000);
    QVERIFY(rig.prompt.texts.empty());
    QCOMPARE(rig.prompt.notices, (std::vector<std::string>{"read went wrong"}));
    // Ticks that work, then the same error again: shown again.
    rig.port.throw_on_read = false;
    QTest::qWait(300);
    rig.port.throw_on_read = true;
    QTRY_COMPARE_WITH_TIMEOUT(rig.prompt.notices.size(), std::size_t{2}, 2000);
    QVERIFY(rig.form->Timer1->isActive());
  }

  void writeFileShowsTheOneSaveWindow() {
    Rig rig;
    rig.form->show();
    QTest::mouseClick(rig.form->WriteFile, Qt::LeftButton);
    Form6* first = rig.form->SaveWindow();
    QVERIFY(first != nullptr);
    QVERIFY(first->isVisible());
    first->hide();
    QTest::mouseClick(rig.form->WriteFile, Qt::LeftButton);
    QCOMPARE(rig.form->SaveWindow(), first);
    QVERIFY(first->isVisible());
    QVERIFY(rig.form->Timer1->isActive());
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
        rig.form->Reset->setFocus();
        rig.form->WriteFile_Click();
        rig.form->SaveWindow()->Dir1->setPath(directory.path());
        if (closed) {
          QVERIFY(rig.form->close() && rig.console.OpenHandleCount() == 0 && rig.ended == 0);
        }
        QTest::mouseClick(write ? rig.form->SaveWindow()->Save1 : rig.form->SaveWindow()->Exit1,
                          Qt::LeftButton);
        QCOMPARE(QDir(directory.path()).exists("TessunData.txt"), write);
        QCOMPARE(rig.ended, closed ? 1 : 0);
        if (!closed) {
          QVERIFY(QTest::qWaitForWindowActive(rig.form.get()));
          QCOMPARE(QApplication::focusWidget(), rig.form->Reset);
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
           std::initializer_list<QWidget*>{rig.form->MessUSB, rig.form->Picture1, rig.form.get()}) {
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
      rig.form->Picture1->setFocus();
      if (by_key) {
        QTest::keyClick(rig.form->Picture1, Qt::Key_C, Qt::ControlModifier);
      } else {
        QCOMPARE(rig.form->Picture1->actions().value(0)->text(), QString("Copy All Lines"));
        rig.form->Picture1->actions().value(0)->trigger();
      }
      QCOMPARE(QApplication::clipboard()->text(), QString("\nline 1\nline 2\nline 3"));
    }
    QAccessibleInterface* view = QAccessible::queryAccessibleInterface(rig.form->Picture1);
    QCOMPARE(view->text(QAccessible::Name), QString("Received lines"));
    QCOMPARE(view->text(QAccessible::Value), QString("  line 1\n  line 2\n  line 3"));
    QVERIFY(!QAccessible::queryAccessibleInterface(rig.form->VScroll1)
                 ->text(QAccessible::Name)
                 .isEmpty());
  }

  // A megabyte-long last line is drawn as far as it fits, up to the right edge.
  void longLastLineIsDrawnAsFarAsItFits() {
    Rig rig;
    rig.form->Core().Store().Lines[1] = std::string(1'000'000, 'W');
    rig.form->Core().Store().LineIndex = 1;
    rig.form->Core().View().RefreshDataView();
    const QImage image = rig.form->Picture1->grab().toImage();
    int inked = 0;
    for (int y = 0; y < 10; ++y) {
      inked += image.pixelColor(image.width() - 4, y) != QColor(Qt::white);
    }
    QVERIFY(inked > 0 && rig.form->Picture1->ShownText().size() < 200);
  }

  // The program itself answers refused data files, --help and --version at once, before it
  // would connect to the (missing) display.
  void programAnswersWithoutAWindow() {
#if defined(_WIN32)
    QSKIP("on Windows the program answers in message boxes, and a FIFO cannot be made");
#else
    QTemporaryDir dir;
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0644), 0);
    QFile big(dir.filePath("big"));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(16 * 1024 * 1024 + 1));
    const std::pair<QStringList, int> runs[] = {{{"--simulate=" + dir.path()}, 2},
                                                {{"--simulate=" + dir.filePath("fifo")}, 2},
                                                {{"--simulate=" + dir.filePath("big")}, 2},
                                                {{"-style", "fusion", "--help"}, 0},
                                                {{"-platform", "xcb", "--version"}, 0}};
    for (const auto& [arguments, code] : runs) {
      QProcess program;
      QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
      environment.remove("DISPLAY");
      environment.insert("QT_QPA_PLATFORM", "xcb");
      program.setProcessEnvironment(environment);
      program.start(TESSUN_EXECUTABLE, arguments);
      QVERIFY(program.waitForFinished(5'000));
      QCOMPARE(program.exitCode(), code);
      QCOMPARE(program.readAllStandardError().count('\n'), code == 2 ? 1 : 0);
    }
#endif
  }

  void printedTextReallyReachesThePixels() {
    Rig rig;
    rig.form->show();
    auto inked = [&] {
      const QImage image = rig.form->Picture1->grab().toImage();
      int count = 0;
      for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
          count += image.pixelColor(x, y) != QColor(Qt::white);
        }
      }
      return count;
    };
    QCOMPARE(inked(), 0);
    rig.TickWith("\nHeat 1  Lane 4  0:59.87");
    QVERIFY(inked() > 50);
    rig.form->TODC_Click();
    QCOMPARE(inked(), 0);
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
  }
};

}  // namespace tessun

QTEST_MAIN(tessun::Form1Test)
#include "form1_test.moc"
