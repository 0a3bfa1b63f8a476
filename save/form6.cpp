#include "save/form6.h"

#include <QAbstractItemView>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <exception>
#include <filesystem>
#include <string>
#include <utility>

#include "datafile/data_file.h"
#include "files/file_writer.h"
#include "files/local_time.h"
#include "save/file_lists.h"
#include "ui/line_edit_accessible.h"
#include "ui/twips.h"
#include "ui/window_accessibility.h"

namespace tessun {

namespace {

// Windows' file systems ignore case: there a typed "meet.txt" replaces a listed "Meet.txt", so it
// is asked about like the listed name itself.
#if defined(_WIN32)
constexpr Qt::CaseSensitivity kFileNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kFileNameCase = Qt::CaseSensitive;
#endif

// The path of `text` for the file calls, without a detour through an 8-bit code page.
std::filesystem::path FilePath(const QString& text) {
  return std::filesystem::path(text.toStdU16String());
}

}  // namespace

bool CanCreateFileIn(const QString& folder) {
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
    return false;
  }
  // Removed again when it goes out of scope.
  QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".tessun-probe-XXXXXX")));
  return probe.open();
}

Form6::Form6(const LineStore& store, Prompt& prompt, QWidget* main_window, QWidget* parent,
             FolderCheck can_write)
    : QWidget(parent, Qt::Window),
      store_(store),
      prompt_(prompt),
      main_window_(main_window),
      clock_(LocalNow),
      can_write_(std::move(can_write)),
      Dir1(Placed(new DirList(this), "Dir1", 420, 360, 2115, 2790)),
      File1(Placed(new FileList(this), "File1", 2820, 360, 2175, 2235)),
      Drive1(Placed(new DriveList(this), "Drive1", 2820, 2880, 2175, 315)),
      Label4(Placed(new QLabel("FILE NAME", this), "Label4", 2040, 3360, 1395, 255)),
      Text4(Placed(new QLineEdit("TessunData.txt", this), "Text4", 420, 3660, 4575, 315)),
      Save1(Placed(new QPushButton("&Write", this), "Save1", 480, 4200, 2115, 495)),
      Exit1(Placed(new QPushButton("&Cancel", this), "Exit1", 3000, 4200, 1995, 495)) {
  SetUpControls();
  SetUpAccessibility();
  ConnectControls();
}

void Form6::SetUpControls() {
  setObjectName(QStringLiteral("Form6"));
  setWindowTitle(QStringLiteral("Write File"));
  setFixedSize(FromTwips(0, 0, 5415, 4935).size());

  QFont label_font(QStringLiteral("Courier"), 12, QFont::Bold);
  label_font.setStyleHint(QFont::TypeWriter);
  Label4->setFont(label_font);

  // Neither button reacts to Enter or Esc on its own.
  for (QPushButton* button : {Save1, Exit1}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  // Tab order: Write, Cancel, file list, directory list, drive list, file-name box.
  setTabOrder(Save1, Exit1);
  setTabOrder(Exit1, File1);
  setTabOrder(File1, Dir1);
  setTabOrder(Dir1, Drive1);
  setTabOrder(Drive1, Text4);
  Save1->setFocus();

  QString start = StartFolder();
  if (!Dir1->SetPath(start)) {
    start = QDir::rootPath();
    Dir1->SetPath(start);
  }
  File1->SetPath(Dir1->Path());
  Drive1->SetDrive(Dir1->Path());
}

void Form6::SetUpAccessibility() {
  // Made by the main window, which installs these before; here for a save window of its own.
  SetWindowRole(staticMetaObject, QAccessible::Dialog);
  InstallLineEditAccessibleFix();
  ShowFocusRing(this);
  // "FILE NAME" labels the file-name box (a screen reader gets the relation from the buddy).
  Label4->setBuddy(Text4);
  Text4->setAccessibleName(QStringLiteral("File name"));
  File1->setAccessibleName(QStringLiteral("Files"));
  Dir1->setAccessibleName(QStringLiteral("Folders"));
  // A drop-down list is named by its current text, whatever its accessible name says (Qt 6.4 on
  // Linux); only a label it is the buddy of names it. That label is not shown. The drive is
  // given as the description, where a screen reader then looks for the list's value.
  auto* drives = new QLabel(QStringLiteral("Drives"), this);
  drives->setObjectName(QStringLiteral("DriveLabel"));
  drives->setBuddy(Drive1);
  drives->hide();
  Drive1->view()->setAccessibleName(QStringLiteral("Drives"));
  Drive1->setAccessibleDescription(Drive1->currentText());
  connect(Drive1, &QComboBox::currentTextChanged, Drive1, &QWidget::setAccessibleDescription);
}

void Form6::ConnectControls() {
  connect(Save1, &QPushButton::clicked, this, &Form6::Save1_Click);
  connect(Exit1, &QPushButton::clicked, this, &Form6::Exit1_Click);
  connect(Dir1, &DirList::PathChanged, this, &Form6::Dir1_Change);
  connect(Drive1, &DriveList::DriveChanged, this, &Form6::Drive1_Change);
  connect(File1, &FileList::Click, this, &Form6::File1_Click);
  connect(File1, &QListWidget::itemDoubleClicked, this, &Form6::File1_DblClick);
}

void Form6::SetClock(LocalClock clock) {
  clock_ = std::move(clock);
}

void Form6::Save1_Click() {
  const QString directory = Dir1->Path();
  const QString file_name = Text4->text();

  // Ask once for every listed name that matches (exactly, or on Windows in any case); OK ends
  // the walk. A box closed without an answer (the program is ending on a signal) counts as
  // Cancel: nothing is replaced that nobody agreed to replace.
  Answer answer = Answer::kNone;
  const int last = File1->ListCount() - 1;
  for (int i = 0; i <= last; ++i) {
    if (File1->List(i).compare(file_name, kFileNameCase) == 0) {
      answer =
          AnswerOr(prompt_.MsgBox(kFileExistsQuestion, PromptButtons::kOkCancel), Answer::kCancel);
      if (answer == Answer::kOk) {
        break;
      }
    }
  }
  if (answer == Answer::kCancel) {
    return;
  }

  if (!WriteDataFile(directory, Text4->text())) {
    prompt_.MsgBox(kWriteErrorMessage, PromptButtons::kOk);
    return;
  }
  hide();
  ReturnToMainWindow();
  // After the main window is back, so that what hears of it may show itself over that window.
  emit Written(QDir::toNativeSeparators(QDir(directory).filePath(Text4->text())));
}

bool Form6::WriteDataFile(const QString& directory, const QString& file_name) {
  try {
    const std::tm now = clock_();
    const std::string bytes = FormatDataFile(file_name.toLocal8Bit().toStdString(),
                                             FormatDataDate(now), FormatDataTime(now), store_);
    return WriteFileAtomically(FilePath(directory), FilePath(file_name), bytes).ok();
  } catch (const std::exception&) {
    return false;
  }
}

void Form6::File1_Click() {
  const QString name = File1->FileName();
  if (!name.isEmpty()) {
    Text4->setText(name);
  }
}

void Form6::File1_DblClick() {
  Save1_Click();
}

void Form6::Dir1_Change() {
  File1->SetPath(Dir1->Path());
}

void Form6::Drive1_Change() {
  if (!Dir1->SetPath(DriveDirectory(Drive1->Drive()))) {
    // Back to the drive of the directory still shown; that change runs this handler again and
    // puts the directory list on that drive, so the three lists agree.
    Drive1->SetDrive(Dir1->Path());
  }
}

void Form6::Exit1_Click() {
  hide();
  ReturnToMainWindow();
}

void Form6::Form_Activate() {
  File1->Refresh();
}

bool Form6::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) {
    Form_Activate();
  } else if (event->type() == QEvent::Show && main_window_ != nullptr) {
    // The control to return to: the one that had the focus when this window was opened.
    return_focus_ = main_window_->focusWidget();
  }
  return QWidget::event(event);
}

QString Form6::StartFolder() const {
  const QString current = QDir::cleanPath(QDir::currentPath());
  if (can_write_(current)) {
    return current;
  }
  for (const QString& folder :
       {QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation), QDir::homePath()}) {
    if (!folder.isEmpty() && can_write_(folder)) {
      return QDir::cleanPath(folder);
    }
  }
  return current;
}

QString Form6::DriveDirectory(const QString& drive) const {
  const QString current = QDir::cleanPath(QDir::currentPath());
  if (drive.isEmpty() || Drive1->DriveOf(current) != drive) {
    return drive;
  }
  const QString start = StartFolder();
  return Drive1->DriveOf(start) == drive ? start : drive;
}

void Form6::ReturnToMainWindow() {
  if (main_window_ != nullptr) {
    main_window_->activateWindow();
    QWidget* control = return_focus_;
    const bool usable = control != nullptr && control->window() == main_window_->window() &&
                        control->isVisible() && control->isEnabled();
    (usable ? control : main_window_)->setFocus();
  }
}

}  // namespace tessun
