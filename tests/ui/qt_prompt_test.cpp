// The message boxes on the screen: each button gives its own answer, and a box closed without a
// button (its event loop ended from outside) gives none.
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
    QTest::addColumn<int>("buttons");  // PromptButtons
    QTest::addColumn<int>("pressed");  // a QMessageBox::StandardButton; NoButton: none pressed
    QTest::addColumn<int>("answer");   // Answer
    QTest::addColumn<int>("default_button");
    const auto row = [](const char* name, PromptButtons buttons,
                        QMessageBox::StandardButton pressed, Answer answer) {
      QTest::newRow(name) << int(buttons) << int(pressed) << int(answer)
                          << int(buttons == PromptButtons::kYesNo ? QMessageBox::Yes
                                                                  : QMessageBox::Ok);
    };
    row("OK", PromptButtons::kOk, QMessageBox::Ok, Answer::kOk);
    row("OK of OK/Cancel", PromptButtons::kOkCancel, QMessageBox::Ok, Answer::kOk);
    row("Cancel", PromptButtons::kOkCancel, QMessageBox::Cancel, Answer::kCancel);
    row("Yes", PromptButtons::kYesNo, QMessageBox::Yes, Answer::kYes);
    row("No", PromptButtons::kYesNo, QMessageBox::No, Answer::kNo);
    row("OK/Cancel closed", PromptButtons::kOkCancel, QMessageBox::NoButton, Answer::kNone);
    row("Yes/No closed", PromptButtons::kYesNo, QMessageBox::NoButton, Answer::kNone);
  }
  void eachButtonHasItsAnswer() {
    QFETCH(int, buttons);
    QFETCH(int, pressed);
    QFETCH(int, answer);
    QFETCH(int, default_button);
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
    QCOMPARE(shown_default, default_button);
  }
};

}  // namespace tessun

QTEST_MAIN(tessun::QtPromptTest)
#include "qt_prompt_test.moc"
