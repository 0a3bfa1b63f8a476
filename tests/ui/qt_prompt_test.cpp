// The message boxes on the screen: each button gives its own answer, and a box closed without a
// button (its event loop ended from outside) gives none. Esc and the window's close button do
// not end a Yes/No question; an OK/Cancel box takes them as Cancel.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "ui/qt_prompt.h"

namespace tessun {

class QtPromptTest : public QObject {
  Q_OBJECT

 private slots:
  void eachButtonHasItsAnswer_data() {
    QTest::addColumn<int>("buttons");    // PromptButtons
    QTest::addColumn<int>("pressed");    // a QMessageBox::StandardButton; NoButton: none pressed
    QTest::addColumn<int>("answer");     // Answer
    QTest::addColumn<QString>("first");  // "Esc" or "close": tried before the button
    const auto row = [](const char* name, PromptButtons buttons,
                        QMessageBox::StandardButton pressed, Answer answer,
                        const char* first = "") {
      QTest::newRow(name) << int(buttons) << int(pressed) << int(answer) << QString(first);
    };
    row("OK", PromptButtons::kOk, QMessageBox::Ok, Answer::kOk);
    row("OK of OK/Cancel", PromptButtons::kOkCancel, QMessageBox::Ok, Answer::kOk);
    row("Cancel", PromptButtons::kOkCancel, QMessageBox::Cancel, Answer::kCancel);
    row("Yes", PromptButtons::kYesNo, QMessageBox::Yes, Answer::kYes);
    row("No", PromptButtons::kYesNo, QMessageBox::No, Answer::kNo);
    row("OK/Cancel closed", PromptButtons::kOkCancel, QMessageBox::NoButton, Answer::kNone);
    row("Yes/No closed", PromptButtons::kYesNo, QMessageBox::NoButton, Answer::kNone);
    row("Yes/No: Esc does nothing", PromptButtons::kYesNo, QMessageBox::Yes, Answer::kYes, "Esc");
    row("Yes/No: its close button does nothing", PromptButtons::kYesNo, QMessageBox::Yes,
        Answer::kYes, "close");
    row("OK/Cancel: Esc is Cancel", PromptButtons::kOkCancel, QMessageBox::Ok, Answer::kCancel,
        "Esc");
    row("OK/Cancel: its close button is Cancel", PromptButtons::kOkCancel, QMessageBox::Ok,
        Answer::kCancel, "close");
  }
  void eachButtonHasItsAnswer() {
    QFETCH(int, buttons);
    QFETCH(int, pressed);
    QFETCH(int, answer);
    QFETCH(QString, first);
    QString title;
    QString text;
    int shown_default = -1;
    QTimer::singleShot(0, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) {
        return;
      }
      title = box->windowTitle();
      text = box->text();
      shown_default = box->standardButton(box->defaultButton());
      if (first == "Esc") {
        QTest::keyClick(box, Qt::Key_Escape);
      } else if (first == "close") {
        box->close();
      }
      if (!box->isVisible()) {
        return;  // Ended by Esc or the close button.
      }
      if (pressed == QMessageBox::NoButton) {
        box->done(0);  // what the box gives when its loop ends with no button pressed
      } else {
        QTest::mouseClick(box->button(QMessageBox::StandardButton(pressed)), Qt::LeftButton);
      }
    });
    QtPrompt prompt;
    QCOMPARE(int(prompt.MsgBox("Go on?", PromptButtons(buttons))), answer);
    QCOMPARE(title, QStringLiteral("TessunUSBPrinter"));
    QCOMPARE(text, QStringLiteral("Go on?"));
    // The default button: Yes of a question, else OK.
    QCOMPARE(shown_default,
             buttons == int(PromptButtons::kYesNo) ? QMessageBox::Yes : QMessageBox::Ok);
  }

  // An update changes the notice on the screen, an empty one closes it, and none brings it back.
  void noticeUpdatesNeverBringItBack() {
    QtPrompt prompt;
    prompt.Notify("one");
    prompt.UpdateNotice("two");
    auto* box = qobject_cast<QMessageBox*>(QApplication::topLevelWidgets().value(0));
    QVERIFY(box != nullptr && box->isVisible() && box->text() == "two");
    prompt.UpdateNotice("");
    prompt.UpdateNotice("three");
    QVERIFY(!box->isVisible() && box->text() == "two");
  }
};

}  // namespace tessun

QTEST_MAIN(tessun::QtPromptTest)
#include "qt_prompt_test.moc"
