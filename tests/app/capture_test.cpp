// The capture log behind the main window, with a real capture folder: the restore question
// after a run that ended with unwritten lines, and the notice when the folder cannot be written.
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <ctime>
#include <fstream>

#include "app/capture_session.h"
#include "tests/common/window_rig.h"

namespace tessun {

class CaptureTest : public QObject {
  Q_OBJECT

  // One run of the program: the window over the simulated console, capturing into `folder`.
  struct Run : test::WindowRig {
    explicit Run(const QString& folder) : session(clock, folder) {
      console.AddInterface(SimulatedConsole::Console());
      Load(console, &session.Log());
      session.ShowNoticesOver(*form);
    }
    ~Run() { form.reset(); }  // before the capture it writes to
    CaptureSession session;
  };

 private slots:
  void restoreQuestionAfterTheRun_data() {
    QTest::addColumn<QString>("ending");  // how the first run ended
    QTest::addColumn<int>("answer");      // Answer
    QTest::addColumn<bool>("asked");
    const int yes = int(Answer::kYes);
    QTest::newRow("killed, Yes") << "kill" << yes << true;
    QTest::newRow("killed, No") << "kill" << int(Answer::kNo) << true;
    // The program ended on a signal while asking: the next start asks again.
    QTest::newRow("killed, no answer") << "kill" << int(Answer::kNone) << true;
    QTest::newRow("killed after a write and more lines") << "write,more,kill" << yes << true;
    QTest::newRow("Write File, Exit") << "write,exit" << yes << false;
    QTest::newRow("Clear Data, Exit") << "clear,exit" << yes << false;
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
    // What the question says: the lines and bytes offered (all since the last "Clear Data"), and
    // the last write of their capture.
    const std::string offered = ending.contains("more") ? text : text.substr(0, 6000);
    const QFileInfoList captures = QDir(folder).entryInfoList({"*.txt"}, QDir::Files);
    QCOMPARE(captures.size(), 1);
    const QLocale english(QLocale::English);
    const QString lines = english.toString(std::count(offered.begin(), offered.end(), '\n') + 1);
    const QString said = QString(
                             "Lines received before the program last ended were not written "
                             "to a file: %1 lines (%2 bytes), the last received at %3. "
                             "Restore them?")
                             .arg(lines, english.toString(offered.size()),
                                  captures[0].lastModified().toString("HH:mm:ss 'on' yyyy-MM-dd"));
    {
      Run second(folder);
      second.prompt.answers = {Answer(answer)};
      second.form->AskRestore();
      QCOMPARE(second.prompt.calls.size(), asked ? 1U : 0U);
      if (!asked || Answer(answer) != Answer::kYes) {
        QCOMPARE(second.Stored(), QString());
      }
      if (!asked) {
        return;
      }
      QCOMPARE(QString::fromStdString(second.prompt.calls[0].text), said);
      QVERIFY(second.prompt.calls[0].buttons == PromptButtons::kYesNo);
      if (Answer(answer) == Answer::kYes) {
        // Exactly the data file of a run that received the same bytes without a break.
        Run reference(temp.filePath("unused"));
        reference.TickWith(text.substr(0, ending.contains("more") ? text.size() : 6000));
        const QByteArray expected = reference.WriteFile(temp.path());
        QCOMPARE(second.WriteFile(temp.path()), expected);
      }
    }
    Run third(folder);
    third.form->AskRestore();
    QCOMPARE(third.prompt.calls.size(), Answer(answer) == Answer::kNone ? 1U : 0U);
  }

  void restoreQuestionSaysWhatIsMissing() {
    std::tm last{};
    last.tm_year = 126, last.tm_mon = 11, last.tm_mday = 8;
    last.tm_hour = 14, last.tm_min = 3, last.tm_sec = 27, last.tm_isdst = -1;
    const std::time_t time = std::mktime(&last);
    QCOMPARE(RestoreQuestion({CaptureLog::kMostRestored, true, true, 1, time}),
             "Lines received before the program last ended were not written to a file: 1 line "
             "(16,777,216 bytes), the last received at 14:03:27 on 2026-12-08. The capture file "
             "is incomplete: lines received after it could not be written are missing. Only the "
             "newest 16 MiB of them can be restored. Restore them?");
  }

  // One program per capture folder: a second one finds the lock held and by whom; a lock left
  // by a program that no longer runs is taken over; --diagnose names the holder.
  void aSecondProgramFindsTheFolderLocked() {
    QTemporaryDir temp;
    const QString folder = temp.filePath("captures");
    {
      const CaptureFolderLock first(folder);
      QVERIFY(!first.HeldBy());
      const CaptureFolderLock second(folder);
      QCOMPARE(second.HeldBy(), std::optional(QCoreApplication::applicationPid()));
      QVERIFY(RunningProgramNote(folder).find(
                  "(process " + std::to_string(QCoreApplication::applicationPid()) + ")") !=
              std::string::npos);
#if !defined(_WIN32)
      QCOMPARE(QFileInfo(folder + "/lock").permissions(),
               QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
#endif
    }
    QCOMPARE(RunningProgramNote(folder), std::string());
    // A process id that no process has (above the kernel's limit).
    QFile stale(folder + "/lock");
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("2147483646\ntessun\n\n");
    stale.close();
    QCOMPARE(RunningProgramNote(folder), std::string());
    const CaptureFolderLock after_crash(folder);
    QVERIFY(!after_crash.HeldBy());
  }

  void aFolderThatCannotBeWrittenGivesOneNoticeAndLinesStillArrive() {
    QTemporaryDir temp;
    std::ofstream(temp.filePath("file").toStdString()) << "x";
    Run run(temp.filePath("file/captures"));
    run.form->show();
    run.TickWith("\nline 1\nline 2");
    QCOMPARE(run.Stored(), QString("\nline 1\nline 2"));
    QTRY_VERIFY(run.session.Notice() != nullptr && run.session.Notice()->isVisible());
    QVERIFY(!run.session.Notice()->isModal());
    QCOMPARE(run.form->findChildren<QMessageBox*>().size(), 1);
    QCOMPARE(run.prompt.calls.size(), 0U);
  }
};

}  // namespace tessun

QTEST_MAIN(tessun::CaptureTest)
#include "capture_test.moc"
