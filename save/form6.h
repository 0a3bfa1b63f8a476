// The save window: drive, directory and file lists, a file-name box, "Write" and "Cancel".
// Loaded once by the main window and afterwards only shown and hidden, so its lists and the file
// name keep their state between showings.
#pragma once

#include <QPointer>
#include <QWidget>
#include <ctime>
#include <functional>

#include "store/line_store.h"
#include "ui/prompt.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace tessun {

class DirList;
class DriveList;
class FileList;

inline constexpr std::string_view kFileExistsQuestion =
    "File Already Exists, Do You Wish To Continue?";
inline constexpr std::string_view kWriteErrorMessage = "Error Writing File";

// Whether a file can really be created in `folder`. Replaceable, so that tests (which may run as
// root, who can write anywhere) can say that a folder takes no files.
using FolderCheck = std::function<bool(const QString& folder)>;
// Creates a temporary file in `folder` and removes it again: the one sure test, as Windows'
// access rules on a folder (Program Files) do not show in its file permissions.
bool CanCreateFileIn(const QString& folder);

class Form6 : public QWidget {
  Q_OBJECT

 public:
  // Gives the local date and time for the header of a data file.
  using LocalClock = std::function<std::tm()>;

  // `store` is only read (when writing). After "Cancel" and after a successful write,
  // `main_window` is activated and its control that had the focus when this window was shown gets
  // it back; it may be null. `can_write` tells where the lists may open (see StartFolder).
  Form6(const LineStore& store, Prompt& prompt, QWidget* main_window, QWidget* parent = nullptr,
        FolderCheck can_write = CanCreateFileIn);

  // Replaces the system clock (tests fix the date and time with it).
  void SetClock(LocalClock clock);

 public slots:
  // "Write": asks before replacing a listed file, writes the data file, then hides the window and
  // returns to the main window. On failure shows "Error Writing File" and stays open.
  void Save1_Click();
  // A click in the file list: its bare name goes into the file-name box.
  void File1_Click();
  // A double-click in the file list: writes, as "Write" does.
  void File1_DblClick();
  // The directory list moved: the file list follows it.
  void Dir1_Change();
  // A new drive: the directory list goes to it; a drive that cannot be read sends the drive list
  // back to the drive of the directory still shown, without a message.
  void Drive1_Change();
  // "Cancel": hides the window and returns to the main window.
  void Exit1_Click();
  // The window became the active window: the file list reads its directory again.
  void Form_Activate();

 signals:
  // A data file of the store was written to `path` (the full path, in the system's notation).
  void Written(const QString& path);

 protected:
  bool event(QEvent* event) override;

 private:
  // Places the controls and gives them their texts, font and tab order, and opens the lists on
  // the start folder.
  void SetUpControls();
  // Connects the controls' events to their handlers.
  void ConnectControls();
  // Names the controls for a screen reader, as a file dialog names its fields, and rings the
  // control that has the focus.
  void SetUpAccessibility();

  const LineStore& store_;
  Prompt& prompt_;
  QWidget* const main_window_;
  // The main window's control that had the focus when this window was shown.
  QPointer<QWidget> return_focus_;
  LocalClock clock_;
  FolderCheck can_write_;

  // The controls, under the names the program has always given them (also their object names).
  DirList* const Dir1;
  FileList* const File1;
  DriveList* const Drive1;
  QLabel* const Label4;
  QLineEdit* const Text4;
  QPushButton* const Save1;
  QPushButton* const Exit1;

  // Writes the data file for `file_name` in `directory` with WriteFileAtomically (its refusals,
  // atomic replace, owner and permissions); false on any failure, in which case an existing file
  // is left exactly as it was and no new file is left behind.
  bool WriteDataFile(const QString& directory, const QString& file_name);
  // Where the lists open: the process's current directory when a file can be created there (a
  // program started from its folder under Program Files cannot write there), else the first of
  // the user's Documents folder and home folder that exists and takes a file, else the current
  // directory all the same.
  QString StartFolder() const;
  // The directory a drive opens on: the start folder when the process's current directory and
  // the start folder lie on that drive, else the drive's root.
  QString DriveDirectory(const QString& drive) const;
  void ReturnToMainWindow();
};

}  // namespace tessun
