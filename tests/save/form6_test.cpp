#include "save/form6.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "datafile/data_file.h"
#include "save/file_lists.h"
#include "tests/common/controls.h"
#include "tests/common/prompt_doubles.h"
#include "ui/line_edit_accessible.h"

namespace tessun {
namespace {

using test::FakePrompt;

// 2024-03-07 21:05:09.
std::tm FixedTime() {
  std::tm t{};
  t.tm_year = 2024 - 1900, t.tm_mon = 2, t.tm_mday = 7, t.tm_hour = 21, t.tm_min = 5, t.tm_sec = 9;
  return t;
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    return QByteArray("<cannot read>");
  }
  return file.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  QCOMPARE(file.write(bytes), bytes.size());
}

// Every entry of a directory, hidden ones included, so that left-over temporary files show.
QStringList Entries(const QString& path) {
  return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                              QDir::Name);
}

// The header the window writes for `name` with the fixed clock.
QByteArray Header(const QByteArray& name) {
  return "         \r\n" + name + "    Date  =  03-07-2024    Time  =  21:05:09      \r\n" +
         "         \r\n         \r\n";
}

// A main window, the save window on a fresh line store, and a temporary directory opened in it.
struct Fixture {
  Fixture() : form(store, prompt, &main) {
    form.SetClock(FixedTime);
    main.resize(200, 100);
    main.show();
    main.activateWindow();
  }

  // Opens `path` in the directory list (the file list follows through Dir1_Change).
  bool Open(const QString& path) { return ui.Dir1->SetPath(path); }

  // Shows the save window as the main window's "Write File" does and waits until it is active.
  bool ShowForm() {
    form.show();
    form.activateWindow();
    return QTest::qWaitForWindowActive(&form);
  }

  QString Path(const QString& name) const { return dir.filePath(name); }

  QTemporaryDir dir;
  LineStore store;
  FakePrompt prompt;
  QWidget main;
  Form6 form;
  const test::Form6Controls ui{form};
};

// The names the file list shows, in list order.
QStringList Names(const FileList& list) {
  QStringList names;
  for (int i = 0; i < list.ListCount(); ++i) {
    names.append(list.List(i));
  }
  return names;
}

// A real double-click: press and release, then the double-click event and its release.
void DoubleClick(QWidget* widget, QPoint pos) {
  QTest::mouseClick(widget, Qt::LeftButton, {}, pos);
  QTest::mouseDClick(widget, Qt::LeftButton, {}, pos);
  QTest::mouseRelease(widget, Qt::LeftButton, {}, pos);
}

}  // namespace

class Form6Test : public QObject {
  Q_OBJECT

 private slots:
  void startsOnTheCurrentDirectoryWithTheSettledLayout() {
    Fixture f;
    const QString cwd = QDir::cleanPath(QDir::currentPath());
    QCOMPARE(f.ui.Dir1->Path(), cwd);
    QCOMPARE(f.ui.File1->Path(), cwd);
    QVERIFY(!f.ui.Drive1->Drive().isEmpty());
    QCOMPARE(f.ui.Drive1->Drive(), f.ui.Drive1->DriveOf(cwd));
    QCOMPARE(f.ui.Text4->text(), QStringLiteral("TessunData.txt"));
    QCOMPARE(f.ui.Label4->text(), QStringLiteral("FILE NAME"));
    QCOMPARE(f.ui.Save1->text().remove('&'), QStringLiteral("Write"));
    QCOMPARE(f.ui.Exit1->text().remove('&'), QStringLiteral("Cancel"));
    QCOMPARE(f.ui.Exit1->shortcut(), QKeySequence(Qt::ALT | Qt::Key_C));
    QVERIFY(f.ui.Label4->font().bold());
    QCOMPARE(f.ui.Label4->font().pointSize(), 12);
    QCOMPARE(f.ui.Label4->font().family(), QStringLiteral("Courier"));
#if !defined(_WIN32)
    // Windows maps Courier through its own table of font substitutes, which the offscreen
    // platform's font database (used by the tests) does not have.
    QVERIFY(QFontInfo(f.ui.Label4->font()).fixedPitch());
#endif
    for (QPushButton* button : {f.ui.Save1, f.ui.Exit1}) {
      QVERIFY(!button->isDefault());
      QVERIFY(!button->autoDefault());
    }

    // Twips at 15 per pixel.
    QCOMPARE(f.form.size(), QSize(361, 329));
    QCOMPARE(f.ui.Dir1->geometry(), QRect(28, 24, 141, 186));
    QCOMPARE(f.ui.File1->geometry(), QRect(188, 24, 145, 149));
    QCOMPARE(f.ui.Drive1->geometry(), QRect(188, 192, 145, 21));
    QCOMPARE(f.ui.Label4->geometry(), QRect(136, 224, 93, 17));
    QCOMPARE(f.ui.Text4->geometry(), QRect(28, 244, 305, 21));
    QCOMPARE(f.ui.Save1->geometry(), QRect(32, 280, 141, 33));
    QCOMPARE(f.ui.Exit1->geometry(), QRect(200, 280, 133, 33));

    // Tab order from "Write" on, and "Write" has the focus when the window opens.
    QVERIFY(f.ShowForm());
    QTRY_COMPARE(QApplication::focusWidget(), f.ui.Save1);
    const QList<QWidget*> order = {f.ui.Exit1,  f.ui.File1, f.ui.Dir1,
                                   f.ui.Drive1, f.ui.Text4, f.ui.Save1};
    for (QWidget* next : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
    // Passing through the file list picks no name.
    QCOMPARE(f.ui.Text4->text(), QStringLiteral("TessunData.txt"));
  }

  // Where the current directory takes no file (Program Files, for a program started in its own
  // folder), the lists open on Documents, or else on the home folder; a change back to the drive
  // of the current directory lands there too. The real check creates a file and removes it again.
  void startsWhereAFileCanBeCreated() {
    QTemporaryDir dir;
    QVERIFY(CanCreateFileIn(dir.path()) && Entries(dir.path()).isEmpty());
    QVERIFY(!CanCreateFileIn(dir.filePath("missing")));
    const QString cwd = QDir::cleanPath(QDir::currentPath());
#if !defined(_WIN32)
    // A home of the test's own, with its Documents folder.
    QTemporaryDir home;
    const auto restore = qScopeGuard([saved = qgetenv("HOME")] { qputenv("HOME", saved); });
    qputenv("HOME", QFile::encodeName(home.path()));
    QVERIFY(QDir(home.path()).mkdir("Documents"));
    const QString root = QStringLiteral("/");
#else
    const QString root = cwd.left(3);  // the current folder's drive, e.g. "C:/"
#endif
    const QString documents =
        QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    const QString home_folder = QDir::cleanPath(QDir::homePath());
    const std::pair<QStringList, QString> cases[] = {// the folders that take a file; the start
                                                     {{documents, home_folder}, documents},
                                                     {{home_folder}, home_folder},
                                                     {{}, cwd}};
    QTemporaryDir other_drive;
    for (const auto& [writable, start] : cases) {
      if (!QFileInfo(start).isDir()) {
        continue;  // Wine may have no Documents folder
      }
      LineStore store;
      FakePrompt prompt;
      Form6 form(store, prompt, nullptr, nullptr,
                 [&](const QString& folder) { return writable.contains(QDir::cleanPath(folder)); });
      const test::Form6Controls ui(form);
      QCOMPARE(ui.File1->Path(), start);
      ui.Drive1->SetSource([&] {
        return QList<DriveEntry>{{root, "system"}, {other_drive.path(), "usb"}};
      });
      ui.Drive1->setCurrentIndex(1);
      ui.Drive1->setCurrentIndex(0);
      // Back on the current folder's drive: the start folder when it lies on that drive (on
      // Windows the Documents folder may be on another one), else the drive's root.
      QCOMPARE(ui.Dir1->Path(), ui.Drive1->DriveOf(start) == root ? start : root);
    }
  }

  // The file list is read again whenever the window becomes the active one.
  void writesTheHeaderAndEveryLineThenReturnsToTheMainWindow() {
    Fixture f;
    f.store.Lines[0] = "RESULTS";
    f.store.Lines[1] = " 1  SMITH   23.45";
    f.store.Lines[2] = "";
    f.store.Lines[3] = "beyond LineIndex";
    f.store.LineIndex = 2;
    QVERIFY(f.Open(f.dir.path()));
    QVERIFY(f.ShowForm());
    f.ui.Text4->setText(QStringLiteral("meet 1.txt"));

    QTest::mouseClick(f.ui.Save1, Qt::LeftButton);

    QVERIFY(f.prompt.calls.empty());
    QCOMPARE(ReadAll(f.Path("meet 1.txt")),
             Header("meet 1.txt") + "  RESULTS\r\n   1  SMITH   23.45\r\n  \r\n");
    QCOMPARE(Entries(f.dir.path()), QStringList{"meet 1.txt"});
    QVERIFY(f.form.isHidden());
    QTRY_VERIFY(f.main.isActiveWindow());
    QTRY_VERIFY(f.main.hasFocus());
    // The store is only read.
    QCOMPARE(f.store.LineIndex, 2);
    QCOMPARE(f.store.Lines[3], std::string("beyond LineIndex"));

    QVERIFY(Names(*f.ui.File1).isEmpty());  // read before the write
    QVERIFY(f.ShowForm());
    QTRY_COMPARE(Names(*f.ui.File1), QStringList{"meet 1.txt"});
    // Moving from the main window back to the open save window reads it again too.
    f.main.activateWindow();
    QTRY_VERIFY(f.main.isActiveWindow());
    WriteAll(f.Path("other.txt"), "x");
    QCOMPARE(Names(*f.ui.File1), QStringList{"meet 1.txt"});
    f.form.activateWindow();
    QTRY_COMPARE(Names(*f.ui.File1), (QStringList{"meet 1.txt", "other.txt"}));
  }

  void listedNameIsAskedAboutOkReplacesCancelKeepsEverything() {
    Fixture f;
    f.store.Lines[0] = "NEW";
    WriteAll(f.Path("meet.txt"), "old results\r\n");
    QVERIFY(f.Open(f.dir.path()));
    QCOMPARE(Names(*f.ui.File1), QStringList{"meet.txt"});
    QVERIFY(f.ShowForm());
    f.ui.Text4->setText(QStringLiteral("meet.txt"));

    // A box closed without an answer (the program ends on a signal) counts as Cancel (OK itself:
    // the double-click test).
    for (const Answer answer : {Answer::kCancel, Answer::kNone}) {
      f.prompt.calls.clear();
      f.prompt.answers = {answer};
      f.form.Save1_Click();
      QCOMPARE(f.prompt.calls.size(), 1u);
      QCOMPARE(f.prompt.calls[0].text,
               std::string("File Already Exists, Do You Wish To Continue?"));
      QVERIFY(f.prompt.calls[0].buttons == PromptButtons::kOkCancel);
      QCOMPARE(ReadAll(f.Path("meet.txt")), QByteArray("old results\r\n"));
      QCOMPARE(Entries(f.dir.path()), QStringList{"meet.txt"});
      QVERIFY(f.form.isVisible());
      QCOMPARE(f.ui.Text4->text(), QStringLiteral("meet.txt"));
    }
  }

  void namesNotListedExactlyAreNotAskedAbout() {
    Fixture f;
    WriteAll(f.Path("Meet.txt"), "other case\r\n");
    QVERIFY(f.Open(f.dir.path()));
    QVERIFY(f.ShowForm());
    // A file created after the list was read is not listed either.
    WriteAll(f.Path("late.txt"), "late\r\n");
    f.ui.Text4->setText(QStringLiteral("meet.txt"));
#if defined(_WIN32)
    // Both names are one file on Windows: the listed file is asked about, Cancel keeps it.
    f.prompt.answers = {Answer::kCancel};
    f.form.Save1_Click();
    QCOMPARE(f.prompt.texts,
             std::vector<std::string>{"File Already Exists, Do You Wish To Continue?"});
    QCOMPARE(ReadAll(f.Path("Meet.txt")), QByteArray("other case\r\n"));
    f.prompt.calls.clear();
#else
    f.form.Save1_Click();
    QVERIFY(f.prompt.calls.empty());
    QCOMPARE(ReadAll(f.Path("meet.txt")), Header("meet.txt") + "  \r\n");
    QCOMPARE(ReadAll(f.Path("Meet.txt")), QByteArray("other case\r\n"));
#endif

    // late.txt exists on disk but the list was read before it was made.
    QCOMPARE(Names(*f.ui.File1), QStringList{"Meet.txt"});
    f.ui.Text4->setText(QStringLiteral("late.txt"));
    f.form.Save1_Click();
    QVERIFY(f.prompt.calls.empty());
    QCOMPARE(ReadAll(f.Path("late.txt")), Header("late.txt") + "  \r\n");
  }

  // A write that fails (an empty name, a directory's name; what the writer refuses is tested with
  // the writer) shows "Error Writing File" with OK only and leaves the window open.
  void failedWriteShowsTheErrorAndStaysOpen() {
    Fixture f;
    QVERIFY(QDir(f.dir.path()).mkdir("adir"));
    QVERIFY(f.Open(f.dir.path()));
    QVERIFY(f.ShowForm());
    for (const QString& name : {QString(), QStringLiteral("adir")}) {
      f.prompt.calls.clear();
      f.ui.Text4->setText(name);
      f.form.Save1_Click();
      QCOMPARE(f.prompt.calls.size(), 1u);
      QCOMPARE(f.prompt.calls[0].text, std::string("Error Writing File"));
      QVERIFY(f.prompt.calls[0].buttons == PromptButtons::kOk);
      QVERIFY(f.form.isVisible());
      QVERIFY(f.form.isActiveWindow());
      QCOMPARE(f.ui.Text4->text(), name);
      QCOMPARE(Entries(f.dir.path()), QStringList{"adir"});
    }
  }

  void cancelHidesAndKeepsTheChosenPlaceAndName() {
    Fixture f;
    QVERIFY(QDir(f.dir.path()).mkdir("sub"));
    WriteAll(f.Path("sub/a.txt"), "a");
    QVERIFY(f.Open(f.Path("sub")));
    QVERIFY(f.ShowForm());
    QTest::keyClicks(f.ui.Text4, QStringLiteral("-typed"));
    QCOMPARE(f.ui.Text4->text(), QStringLiteral("TessunData.txt-typed"));

    QTest::mouseClick(f.ui.Exit1, Qt::LeftButton);
    QVERIFY(f.form.isHidden());
    QVERIFY(f.prompt.calls.empty());
    QCOMPARE(Entries(f.Path("sub")), QStringList{"a.txt"});
    QTRY_VERIFY(f.main.isActiveWindow());
    QTRY_VERIFY(f.main.hasFocus());

    QVERIFY(f.ShowForm());
    QCOMPARE(f.ui.Text4->text(), QStringLiteral("TessunData.txt-typed"));
    QCOMPARE(f.ui.Dir1->Path(), f.Path("sub"));
    QCOMPARE(f.ui.File1->Path(), f.Path("sub"));
    QCOMPARE(Names(*f.ui.File1), QStringList{"a.txt"});
  }

  void clickPicksTheNameAndDoubleClickWrites() {
    Fixture f;
    QVERIFY(QDir(f.dir.path()).mkdir("sub"));
    WriteAll(f.Path("a.txt"), "old a");
    WriteAll(f.Path("b.txt"), "old b");
    QVERIFY(f.Open(f.dir.path()));
    QVERIFY(f.ShowForm());
    FileList* list = f.ui.File1;
    QCOMPARE(Names(*list), (QStringList{"a.txt", "b.txt"}));

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(1)).center());
    QCOMPARE(f.ui.Text4->text(), QStringLiteral("b.txt"));
    // Moving with the keyboard picks too.
    QTest::keyClick(list, Qt::Key_Up);
    QCOMPARE(f.ui.Text4->text(), QStringLiteral("a.txt"));
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(f.ui.Text4->text(), QStringLiteral("b.txt"));
    QVERIFY(f.prompt.calls.empty());
    QCOMPARE(ReadAll(f.Path("b.txt")), QByteArray("old b"));

    f.prompt.answers = {Answer::kOk};
    DoubleClick(list->viewport(), list->visualItemRect(list->item(0)).center());
    QCOMPARE(f.prompt.calls.size(), 1u);
    QCOMPARE(f.prompt.calls[0].text, std::string("File Already Exists, Do You Wish To Continue?"));
    QCOMPARE(f.ui.Text4->text(), QStringLiteral("a.txt"));
    QCOMPARE(ReadAll(f.Path("a.txt")), Header("a.txt") + "  \r\n");
    QCOMPARE(ReadAll(f.Path("b.txt")), QByteArray("old b"));
    QVERIFY(f.form.isHidden());
  }

  void directoryListShowsTheChainAndOpensEntries() {
    Fixture f;
    QDir base(f.dir.path());
    QVERIFY(base.mkdir("beta"));
    QVERIFY(base.mkdir("Alpha"));
    QVERIFY(base.mkdir(".hidden"));
    WriteAll(f.Path("beta/in-beta.txt"), "x");
    QVERIFY(f.Open(f.dir.path()));
    DirList* list = f.ui.Dir1;

    QStringList chain;
    for (QDir d(f.dir.path());; d.cdUp()) {
      chain.prepend(QDir::cleanPath(d.absolutePath()));
      if (d.isRoot()) {
        break;
      }
    }
    QCOMPARE(list->count(), chain.size() + 2);
    int previous_indent = -1;
    for (int row = 0; row < chain.size(); ++row) {
      QCOMPARE(list->EntryPath(row), chain[row]);
      const QString text = list->item(row)->text();
      const int indent = static_cast<int>(text.size() - text.trimmed().size());
      QVERIFY2(indent > previous_indent, qPrintable(text));
      previous_indent = indent;
    }
    QCOMPARE(list->item(0)->text(), QDir::toNativeSeparators(chain.first()));
    QCOMPARE(list->row(list->selectedItems().value(0)), chain.size() - 1);
    const int first_child = static_cast<int>(chain.size());
    QCOMPARE(list->item(first_child)->text().trimmed(), QStringLiteral("Alpha"));
    QCOMPARE(list->item(first_child + 1)->text().trimmed(), QStringLiteral("beta"));
    const QString child_text = list->item(first_child)->text();
    QVERIFY(child_text.size() - child_text.trimmed().size() > previous_indent);
    QCOMPARE(list->EntryPath(first_child + 1), f.Path("beta"));

    // Enter opens the selected entry; the file list follows.
    QVERIFY(f.ShowForm());
    list->setFocus();
    list->setCurrentRow(first_child + 1);
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(list->Path(), f.Path("beta"));
    QCOMPARE(f.ui.File1->Path(), f.Path("beta"));
    QCOMPARE(Names(*f.ui.File1), QStringList{"in-beta.txt"});

    // A double-click on an ancestor goes back up.
    const int parent_row = static_cast<int>(chain.size()) - 1;
    QCOMPARE(list->EntryPath(parent_row), f.dir.path());
    DoubleClick(list->viewport(), list->visualItemRect(list->item(parent_row)).center());
    QCOMPARE(list->Path(), f.dir.path());
    QCOMPARE(f.ui.File1->Path(), f.dir.path());

    // A single click only selects.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(first_child)).center());
    QCOMPARE(list->Path(), f.dir.path());

    // An entry that went away cannot be opened; the list is read again.
    QVERIFY(QDir(f.Path("Alpha")).removeRecursively());
    QVERIFY(!list->OpenEntry(first_child));
    QCOMPARE(list->Path(), f.dir.path());
    QCOMPARE(list->count(), chain.size() + 1);
    QVERIFY(f.prompt.calls.empty());
  }

  void fileListShowsOrdinaryVisibleFilesSorted() {
    Fixture f;
    for (const char* name : {"b.txt", "A.txt", "c.TXT", ".hidden"}) {
      WriteAll(f.Path(name), "x");
    }
    QVERIFY(QDir(f.dir.path()).mkdir("adir"));
#if !defined(_WIN32)
    QCOMPARE(::mkfifo(QFile::encodeName(f.Path("pipe")).constData(), 0600), 0);
    QVERIFY(QFile::link(f.Path("nowhere"), f.Path("broken-link")));
#endif
    QVERIFY(f.Open(f.dir.path()));
    QCOMPARE(Names(*f.ui.File1), (QStringList{"A.txt", "b.txt", "c.TXT"}));
  }

  void unreadableDriveFallsBackSilently() {
    Fixture f;
    const QString cwd = QDir::cleanPath(QDir::currentPath());
    QVERIFY2(!cwd.startsWith(f.dir.path()), "the test needs the process to run elsewhere");
    QTemporaryDir gone_parent;
    const QString gone = gone_parent.filePath("no-medium");
    // The drive of the current directory.
#if defined(_WIN32)
    const QString root = cwd.left(3);  // the current folder's drive, e.g. "C:/"
#else
    const QString root = QStringLiteral("/");
#endif
    f.ui.Drive1->SetSource([&] {
      return QList<DriveEntry>{{root, root}, {f.dir.path(), "usb"}, {gone, "empty drive"}};
    });
    QVERIFY(QDir(f.dir.path()).mkdir("sub"));
    WriteAll(f.Path("top.txt"), "x");
    QVERIFY(f.ShowForm());

    // A readable drive: the directory list opens its root, the file list follows.
    f.ui.Drive1->setCurrentIndex(1);
    QCOMPARE(f.ui.Drive1->Drive(), f.dir.path());
    QCOMPARE(f.ui.Dir1->Path(), f.dir.path());
    QCOMPARE(Names(*f.ui.File1), QStringList{"top.txt"});

    // Down into a directory, then a drive that cannot be read.
    QVERIFY(f.Open(f.Path("sub")));
    QCOMPARE(f.ui.File1->Path(), f.Path("sub"));
    f.ui.Drive1->setCurrentIndex(2);
    QCOMPARE(f.ui.Drive1->currentIndex(), 1);
    QCOMPARE(f.ui.Drive1->Drive(), f.dir.path());
    QCOMPARE(f.ui.Dir1->Path(), f.dir.path());
    QCOMPARE(f.ui.File1->Path(), f.dir.path());
    QCOMPARE(Names(*f.ui.File1), QStringList{"top.txt"});
    QVERIFY(f.prompt.calls.empty());
  }

  // A folder on no offered drive (a network share, or a drive whose volume cannot be asked
  // about): its root is offered and chosen, once, so that the drive box names the folder's drive.
  void aFolderOnNoOfferedDriveOffersItsRoot() {
    Fixture f;
    const QString cwd = QDir::cleanPath(QDir::currentPath());
    QVERIFY2(!cwd.startsWith(f.dir.path()), "the test needs the process to run elsewhere");
#if defined(_WIN32)
    const QString root = cwd.left(3);
#else
    const QString root = QStringLiteral("/");
#endif
    f.ui.Drive1->SetSource([&] { return QList<DriveEntry>{{f.dir.path(), "usb"}}; });
    for (int refresh = 0; refresh < 2; ++refresh) {
      f.ui.Drive1->Refresh();
      QCOMPARE(f.ui.Drive1->Drive(), root);
      QCOMPARE(f.ui.Drive1->count(), 2);
    }
    f.ui.Drive1->SetDrive(f.Path("sub"));
    QCOMPARE(f.ui.Drive1->Drive(), f.dir.path());
    f.ui.Drive1->SetDrive(cwd);
    QCOMPARE(f.ui.Drive1->Drive(), root);
  }

  void mountedDrivesStartAtTheRoot() {
    const QList<DriveEntry> drives = MountedDrives();
    QVERIFY(!drives.isEmpty());
    QCOMPARE(drives.first().root, QDir::rootPath());
    QSet<QString> roots;
    for (const DriveEntry& drive : drives) {
      QVERIFY2(!roots.contains(drive.root), qPrintable(drive.root));
      roots.insert(drive.root);
      for (const char* area : {"/proc", "/sys", "/dev", "/run"}) {
        QVERIFY2(!drive.root.startsWith(QLatin1String(area)), qPrintable(drive.root));
      }
    }
    // Every drive letter, also one whose volume cannot be asked about (Windows).
    for (const QFileInfo& drive : QDir::drives()) {
      QVERIFY2(roots.contains(drive.absoluteFilePath()), qPrintable(drive.absoluteFilePath()));
    }
  }

  // The fields are named as in a file dialog ("FILE NAME" labels the file-name box), the directory
  // list's entries are read without their indent, and only the control with the focus says so.
  void screenReaderFindsNamedFieldsAndOneFocus() {
    Fixture f;
    QVERIFY(QDir(f.dir.path()).mkdir("sub"));
    QVERIFY(f.Open(f.dir.path()));
    const auto iface = [](QObject* object) {
      return QAccessible::queryAccessibleInterface(object);
    };
    // The file-name box's name and label: tests/app/a11y_check.py.
    QVERIFY(IsWrappedLineEditAccessible(iface(f.ui.Text4)));
    QCOMPARE(iface(f.ui.File1)->text(QAccessible::Name), QStringLiteral("Files"));
    QCOMPARE(iface(f.ui.Dir1)->text(QAccessible::Name), QStringLiteral("Folders"));
    QCOMPARE(
        iface(f.ui.Drive1)->relations(QAccessible::Label).value(0).first->text(QAccessible::Name),
        QStringLiteral("Drives"));

    const int open_row = f.ui.Dir1->count() - 2;
    const int depth = QDir::cleanPath(f.dir.path()).count('/') + 1;
    QAccessibleInterface* open_entry = iface(f.ui.Dir1)->child(open_row);
    QCOMPARE(open_entry->text(QAccessible::Name), QFileInfo(f.dir.path()).fileName());
    QCOMPARE(open_entry->text(QAccessible::Description),
             QStringLiteral("open folder, level %1").arg(depth));
    QCOMPARE(iface(f.ui.Dir1)->child(open_row + 1)->text(QAccessible::Description),
             QStringLiteral("folder, level %1").arg(depth + 1));

    // "Write" has the focus: no entry of a list says it has it. A list given the focus gets its
    // current entry back.
    QVERIFY(f.ShowForm());
    QTRY_COMPARE(QApplication::focusWidget(), f.ui.Save1);
    QTRY_VERIFY(!f.ui.Dir1->currentIndex().isValid());
    for (QWidget* list : {static_cast<QWidget*>(f.ui.Dir1), static_cast<QWidget*>(f.ui.File1)}) {
      QAccessibleInterface* items = iface(list);
      for (int i = 0; i < items->childCount(); ++i) {
        QVERIFY(!items->child(i)->state().focused);
      }
    }
    QVERIFY(iface(f.ui.Save1)->state().focused);
    f.ui.Dir1->setFocus();
    QCOMPARE(f.ui.Dir1->currentRow(), open_row);
    QVERIFY(iface(f.ui.Dir1)->child(open_row)->state().focused);
  }
};

}  // namespace tessun

QTEST_MAIN(tessun::Form6Test)
#include "form6_test.moc"
