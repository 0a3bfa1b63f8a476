// The capture log behind the main window, with a real capture folder: the restore question
// after a run that ended with unwritten lines, and the notice when the folder cannot be written.
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>

#include "app/capture_session.h"
#include "app/form1.h"
#include "device/simulated/simulated_console.h"
#include "save/form6.h"
#include "tests/common/prompt_doubles.h"

namespace tessun {

class CaptureTest : public QObject {
  Q_OBJECT

  // One run of the program: the window over the simulated console, capturing into `folder`.
  struct Run {
    explicit Run(const QString& folder) : console(clock) {
      console.AddInterface(SimulatedConsole::Console());
      form = std::make_unique<Form1>(console, clock, prompt);
      form->SetEndProgram([] {});
      session = std::make_unique<CaptureSession>(*form, clock, prompt, folder);
      form->Form_Load();
    }
    void TickWith(const std::string& text) {
      console.Print(text);
      for (int tick = 0; tick < 200 && !console.AllDataRead(); ++tick) {
        clock.Advance(std::chrono::milliseconds(100));
        form->Timer1_Timer();
      }
    }
    // "Write File", then "Write" into `directory`; returns the file's bytes.
    QByteArray WriteFile(const QString& directory) {
      form->WriteFile_Click();
      Form6& save = *form->SaveWindow();
      save.SetClock([] {  // The same header in every file.
        std::tm now{};
        now.tm_mday = 8;
        return now;
      });
      save.Dir1->setPath(directory);
      save.Text4->setText(QStringLiteral("meet.txt"));
      save.Save1_Click();
      QFile file(directory + QStringLiteral("/meet.txt"));
      return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    ManualClock clock;
    SimulatedConsole console;
    test::FakePrompt prompt;
    std::unique_ptr<Form1> form;
    std::unique_ptr<CaptureSession> session;
  };

 private slots:
  void restoreQuestionAfterTheRun_data() {
    QTest::addColumn<QString>("ending");  // how the first run ended
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("asked");
    QTest::newRow("killed, Yes") << "kill" << kAnswerYes << true;
    QTest::newRow("killed, No") << "kill" << kAnswerNo << true;
    QTest::newRow("killed after a write and more lines") << "write,more,kill" << kAnswerYes << true;
    QTest::newRow("Write File, Exit") << "write,exit" << kAnswerYes << false;
    QTest::newRow("Clear Data, Exit") << "clear,exit" << kAnswerYes << false;
  }
  void restoreQuestionAfterTheRun() {
    QFETCH(QString, ending);
    QFETCH(int, answer);
    QFETCH(bool, asked);
    QTemporaryDir temp;
    const QString folder = temp.filePath("captures");
    std::string text;  // More lines than the store keeps.
    for (int i = 1; i <= 1100; ++i) {
      text += "\n  " + std::to_string(i) + "  0:" + std::to_string(10 + i % 50) + ".17";
    }
    {
      Run first(folder);
      first.TickWith(text.substr(0, 6000));
      if (ending.contains("write")) {
        QVERIFY(!first.WriteFile(temp.path()).isEmpty());
      }
      if (ending.contains("clear")) {
        first.form->TODC_Click();
      }
      if (ending.contains("more")) {
        first.TickWith(text.substr(6000));
      }
      if (ending.contains("exit")) {
        first.form->Exit_Click();
      }
    }
    Run second(folder);
    second.prompt.answers = {answer};
    second.session->AskRestore();
    QCOMPARE(second.prompt.calls.size(), asked ? 1U : 0U);
    if (!asked || answer == kAnswerNo) {
      QCOMPARE(second.form->Core().Store().LineIndex, 0);
      QCOMPARE(second.form->Core().Store().Lines[0], std::string());
    }
    if (!asked) {
      return;
    }
    QCOMPARE(second.prompt.calls[0].text, std::string(kRestoreQuestion));
    QVERIFY(second.prompt.calls[0].buttons == PromptButtons::kYesNo);
    if (answer == kAnswerYes) {
      // Exactly the data file of a run that received the same bytes without a break.
      Run reference(temp.filePath("unused"));
      reference.TickWith(text.substr(0, ending.contains("more") ? text.size() : 6000));
      const QByteArray expected = reference.WriteFile(temp.path());
      QCOMPARE(second.WriteFile(temp.path()), expected);
    }
    second.session.reset();
    second.form.reset();
    Run third(folder);
    third.session->AskRestore();
    QCOMPARE(third.prompt.calls.size(), 0U);
  }

  void aFolderThatCannotBeWrittenGivesOneNoticeAndLinesStillArrive() {
    QTemporaryDir temp;
    std::ofstream(temp.filePath("file").toStdString()) << "x";
    Run run(temp.filePath("file/captures"));
    run.form->show();
    run.TickWith("\nline 1\nline 2");
    QCOMPARE(run.form->Core().Store().Lines[2], std::string("line 2"));
    QTRY_VERIFY(run.session->Notice() != nullptr && run.session->Notice()->isVisible());
    QVERIFY(!run.session->Notice()->isModal());
    QCOMPARE(run.form->findChildren<QMessageBox*>().size(), 1);
    QCOMPARE(run.prompt.calls.size(), 0U);
  }
};

}  // namespace tessun

QTEST_MAIN(tessun::CaptureTest)
#include "capture_test.moc"
