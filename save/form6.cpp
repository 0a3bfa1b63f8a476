#include "save/form6.h"

#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <cerrno>
#include <exception>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "datafile/data_file.h"
#include "save/file_lists.h"
#include "ui/twips.h"

namespace tessun {

namespace {

std::tm SystemLocalTime() {
  const QDateTime now = QDateTime::currentDateTime();
  std::tm local{};
  local.tm_year = now.date().year() - 1900;
  local.tm_mon = now.date().month() - 1;
  local.tm_mday = now.date().day();
  local.tm_hour = now.time().hour();
  local.tm_min = now.time().minute();
  local.tm_sec = now.time().second();
  return local;
}

// Windows' file systems ignore case: there a typed "meet.txt" replaces a listed "Meet.txt", so it
// is asked about like the listed name itself.
#if defined(_WIN32)
constexpr Qt::CaseSensitivity kFileNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kFileNameCase = Qt::CaseSensitive;
#endif

// A name that would leave the shown directory, or that names no file in it.
bool IsRefusedName(const QString& name) {
#if defined(_WIN32)
  const bool separator = name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'));
#else
  const bool separator = name.contains(QLatin1Char('/'));
#endif
  return separator || name == QLatin1String(".") || name == QLatin1String("..");
}

// What is at the target before the write (links followed). Only a missing target or a regular
// file may be written; anything else (a directory, a FIFO, a device) is left alone.
struct Target {
  bool writable = true;
#if !defined(_WIN32)
  bool exists = false;
  struct stat status {};
#endif
};

Target LookAtTarget(const std::string& path) {
  Target target;
#if defined(_WIN32)
  const QFileInfo info(QFile::decodeName(QByteArray::fromStdString(path)));
  target.writable = !info.exists() || info.isFile();
#else
  if (::stat(path.c_str(), &target.status) == 0) {
    target.exists = true;
    target.writable = S_ISREG(target.status.st_mode);
  } else {
    target.writable = errno == ENOENT;
  }
#endif
  return target;
}

// The new file takes the replaced file's owner and group where the process may set them (root
// may, others at most the group), then its permissions (set last: a change of owner clears the
// set-user-ID bits).
void KeepOwnerAndPermissions(const Target& target, int handle) {
#if defined(_WIN32)
  (void)target;
  (void)handle;
#else
  if (!target.exists || handle < 0) {
    return;
  }
  if (::fchown(handle, target.status.st_uid, target.status.st_gid) != 0) {
    [[maybe_unused]] const int group_only =
        ::fchown(handle, static_cast<uid_t>(-1), target.status.st_gid);
  }
  [[maybe_unused]] const int mode = ::fchmod(handle, target.status.st_mode & 07777);
#endif
}

}  // namespace

Form6::Form6(const LineStore& store, Prompt& prompt, QWidget* main_window, QWidget* parent)
    : QWidget(parent, Qt::Window),
      store_(store),
      prompt_(prompt),
      main_window_(main_window),
      clock_(SystemLocalTime),
      Dir1(Placed(new DirList(this), "Dir1", 420, 360, 2115, 2790)),
      File1(Placed(new FileList(this), "File1", 2820, 360, 2175, 2235)),
      Drive1(Placed(new DriveList(this), "Drive1", 2820, 2880, 2175, 315)),
      Label4(Placed(new QLabel("FILE NAME", this), "Label4", 2040, 3360, 1395, 255)),
      Text4(Placed(new QLineEdit("TessunData.txt", this), "Text4", 420, 3660, 4575, 315)),
      Save1(Placed(new QPushButton("&Write", this), "Save1", 480, 4200, 2115, 495)),
      Exit1(Placed(new QPushButton("&Cancel", this), "Exit1", 3000, 4200, 1995, 495)) {
  SetUpControls();
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

  // The lists open on the process's current drive and directory.
  QString start = QDir::currentPath();
  if (!Dir1->SetPath(start)) {
    start = QDir::rootPath();
    Dir1->SetPath(start);
  }
  File1->SetPath(Dir1->Path());
  Drive1->SetDrive(Dir1->Path());
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
  // the walk. A box closed without an answer counts as OK.
  Answer answer = Answer::kNone;
  const int last = File1->ListCount() - 1;
  for (int i = 0; i <= last; ++i) {
    if (File1->List(i).compare(file_name, kFileNameCase) == 0) {
      answer = AnswerOr(prompt_.MsgBox(kFileExistsQuestion, PromptButtons::kOkCancel), Answer::kOk);
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
  emit Written();
  hide();
  ReturnToMainWindow();
}

bool Form6::WriteDataFile(const QString& directory, const QString& file_name) {
  if (IsRefusedName(file_name)) {
    return false;
  }
  try {
    const std::string path = JoinSavePath(QFile::encodeName(directory).toStdString(),
                                          QFile::encodeName(file_name).toStdString());
    const Target target = LookAtTarget(path);
    if (!target.writable) {
      return false;
    }
    // The data go to a temporary file next to the target, which replaces the target only once
    // every byte is written and the file is closed; until then the old file stays as it was.
    QSaveFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    // Unbuffered, and flushed before the commit: with a write buffer, commit() (Qt 6.4) flushes
    // the last bytes itself and replaces the target even when that flush fails, leaving a
    // truncated file in place of the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
      return false;
    }
    const std::tm now = clock_();
    const std::string date = FormatDataDate(now);
    const std::string time = FormatDataTime(now);
    const std::string bytes =
        FormatDataFile(file_name.toLocal8Bit().toStdString(), date, time, store_);
    const auto size = static_cast<qint64>(bytes.size());
    if (file.write(bytes.data(), size) != size || !file.flush() ||
        file.error() != QFileDevice::NoError) {
      file.cancelWriting();
      return false;
    }
    KeepOwnerAndPermissions(target, file.handle());
    return file.commit();
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

QString Form6::DriveDirectory(const QString& drive) const {
  const QString current = QDir::cleanPath(QDir::currentPath());
  return !drive.isEmpty() && Drive1->DriveOf(current) == drive ? current : drive;
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
