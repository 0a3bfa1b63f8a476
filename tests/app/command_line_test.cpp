// The program itself on refused data files and on --help/--version: it answers at once, with no
// display to connect to (reaching the window would abort the program instead).
#include <sys/stat.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace tessun {

class CommandLineTest : public QObject {
  Q_OBJECT

 private slots:
  void answersWithoutAWindow_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("output");  // the start of stdout, or of the one line on stderr
    QTest::newRow("directory") << QStringList{"--simulate=DIR"} << 2 << "tessun: DIR";
    QTest::newRow("FIFO") << QStringList{"--simulate=DIR/fifo"} << 2 << "tessun: DIR/fifo";
    QTest::newRow("over 16 MiB") << QStringList{"--simulate=DIR/big"} << 2 << "tessun: DIR/big";
    QTest::newRow("missing") << QStringList{"--simulate=DIR/none"} << 2
                             << "tessun: cannot read DIR/none";
    QTest::newRow("help") << QStringList{"-style", "fusion", "--help"} << 0 << "Usage: ";
    QTest::newRow("version") << QStringList{"-platform", "xcb", "--version"} << 0 << "tessun ";
  }

  void answersWithoutAWindow() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exit_code);
    QFETCH(QString, output);
    QTemporaryDir dir;
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0644), 0);
    QFile big(dir.filePath("big"));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(16 * 1024 * 1024 + 1));
    big.close();
    arguments.replaceInStrings("DIR", dir.path());
    output.replace("DIR", dir.path());

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", "xcb");
    program.setProcessEnvironment(environment);
    QElapsedTimer timer;
    timer.start();
    program.start(TESSUN_EXECUTABLE, arguments);
    QVERIFY(program.waitForFinished(10'000));
    QVERIFY(timer.elapsed() < 5'000);
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exit_code);
    if (exit_code == 0) {
      QVERIFY2(program.readAllStandardOutput().startsWith(output.toLocal8Bit()),
               qPrintable(output));
    } else {
      const QByteArray error = program.readAllStandardError();
      QVERIFY2(error.startsWith(output.toLocal8Bit()), error.constData());
      QCOMPARE(error.count('\n'), 1);
    }
  }
};

}  // namespace tessun

QTEST_GUILESS_MAIN(tessun::CommandLineTest)
#include "command_line_test.moc"
