// The main window over the simulated console in virtual time: its message boxes answered by a
// FakePrompt, the link's log recorded, and "Exit" counted instead of ending the program.
#pragma once

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>

#include "app/form1.h"
#include "app/picture_box.h"
#include "app/scroll_bar.h"
#include "device/simulated/simulated_console.h"
#include "save/form6.h"
#include "tests/common/controls.h"
#include "tests/common/prompt_doubles.h"
#include "tests/common/recording_log.h"

namespace tessun::test {

// The main window's controls.
struct Form1Controls {
  explicit Form1Controls(const QObject& form)
      : TODC(Find<QPushButton>(form, "TODC")),
        Reset(Find<QPushButton>(form, "Reset")),
        VScroll1(Find<VerticalScrollBar>(form, "VScroll1")),
        WriteFile(Find<QPushButton>(form, "WriteFile")),
        Picture1(Find<PictureBox>(form, "Picture1")),
        Exit(Find<QPushButton>(form, "Exit")),
        Timer1(Find<QTimer>(form, "Timer1")),
        MessUSB(Find<QLabel>(form, "MessUSB")) {}

  QPushButton* const TODC;
  QPushButton* const Reset;
  VerticalScrollBar* const VScroll1;
  QPushButton* const WriteFile;
  PictureBox* const Picture1;
  QPushButton* const Exit;
  QTimer* const Timer1;
  QLabel* const MessUSB;
};

struct WindowRig {
  WindowRig() : console(clock) {}

  // Makes the window over `port` (the console, or a port in front of it) and starts it up.
  void Load(DevicePort& port, CaptureLog* capture_log = nullptr) {
    form = std::make_unique<Form1>(port, clock, prompt, log, capture_log);
    form->SetEndProgram([this] { ++ended; });
    ui = std::make_unique<Form1Controls>(*form);
    form->Form_Load();
  }

  // The console prints `text`; ticks run, 100 ms apart, until all of it has been read (at least
  // one tick). The driver's queue may hold a backlog of empty reports first.
  void TickWith(const std::string& text) {
    console.Print(text);
    for (int tick = 0; tick == 0 || (!console.AllDataRead() && tick < 1000); ++tick) {
      clock.Advance(std::chrono::milliseconds(100));
      form->Timer1_Timer();
    }
    QVERIFY(console.AllDataRead());
  }

  // "Write File", then "Write" into `directory` (the header's date fixed); returns the file's
  // bytes.
  QByteArray WriteFile(const QString& directory) {
    form->WriteFile_Click();
    form->SaveWindow()->SetClock([] {
      std::tm now{};
      now.tm_mday = 8;
      return now;
    });
    const Form6Controls save(*form->SaveWindow());
    save.Dir1->SetPath(directory);
    QTest::mouseClick(save.Save1, Qt::LeftButton);
    QFile file(directory + QStringLiteral("/TessunData.txt"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  // The stored lines, 0 to LineIndex, one per line, as "Copy All Lines" gives them.
  QString Stored() const {
    form->CopyAllLines_Click();
    return QApplication::clipboard()->text();
  }

  ManualClock clock;
  SimulatedConsole console;
  FakePrompt prompt;
  RecordingLog log;
  std::unique_ptr<Form1> form;
  std::unique_ptr<Form1Controls> ui;
  int ended = 0;
};

}  // namespace tessun::test
