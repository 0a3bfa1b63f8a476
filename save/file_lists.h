// The three chooser lists of the save window: drives, directories and files. Each one has a
// path-like property with a change signal that fires whenever the value changes, whether the
// operator or the program changed it, so that the window's handlers can chain them.
#pragma once

#include <QComboBox>
#include <QList>
#include <QListWidget>
#include <QString>
#include <QStringList>
#include <functional>

namespace tessun {

// One entry of the drive list: the directory at which a file system is mounted (on Windows a
// drive letter's root) and the text shown for it.
struct DriveEntry {
  QString root;
  QString label;
};

// Produces the drives to offer, the root file system first. Replaceable so that tests can offer
// drives that do not exist.
using DriveSource = std::function<QList<DriveEntry>()>;

// The mounted file systems an operator can browse: real file systems (pseudo file systems such as
// proc, sysfs or cgroup and everything under /proc, /sys, /dev and /run are left out) and every
// drive letter, each once, the root first, then in path order.
QList<DriveEntry> MountedDrives();

class DriveList : public QComboBox {
  Q_OBJECT
  Q_PROPERTY(QString Drive READ Drive WRITE SetDrive NOTIFY DriveChanged)

 public:
  explicit DriveList(QWidget* parent = nullptr);

  // Uses `source` from now on and re-reads the drives, keeping the selected drive when it is
  // still offered. No change signal.
  void SetSource(DriveSource source);
  // Re-reads the drives (also done each time the list drops down). No change signal.
  void Refresh();

  // The root of the selected drive; empty when no drive is offered.
  QString Drive() const { return drive_; }
  // Selects the drive that holds `path` (a drive root or any path on it), offering the root of
  // `path` when no offered drive holds it (a network share, say); signals DriveChanged when that
  // is another drive than before.
  void SetDrive(const QString& path);
  // The root of the offered drive that holds `path` (the longest matching root); empty if none.
  QString DriveOf(const QString& path) const;

  // Re-reads the drives before dropping down, so that a file system mounted meanwhile shows.
  void showPopup() override;

 signals:
  void DriveChanged(const QString& drive);

 private:
  // The offered drive that holds `path`, after offering the root of `path` if none did; empty
  // only for an empty path. No change signal.
  QString Offer(const QString& path);
  void SelectSilently(const QString& root);
  void OnIndexChanged(int index);

  DriveSource source_;
  QString drive_;
};

// A list of the save window that a screen reader sees with one focus. Qt marks a list's current
// item as focused even while the list has no focus, and tells a screen reader that the item took
// the focus when the program moves the current item of a list without it; a screen reader would
// then find two focused controls, and hear a list the operator is not in. So while the list has
// no focus it has no current item: the row is kept and given back when the focus comes. The
// selection is left as it is.
class ChooserList : public QListWidget {
  Q_OBJECT

 public:
  explicit ChooserList(QWidget* parent = nullptr);

  void reset() override;

 protected:
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

 private:
  void KeepCurrentRow();

  // The current row while the list has no focus; -1 for none.
  int kept_row_ = -1;
};

// A directory list like the classic one: the ancestors of the open directory from the root down,
// the open directory itself, then its subdirectories, each level indented one step further. A
// double-click or Enter on an entry opens it. A screen reader gets an entry's name without the
// indent, and its depth.
class DirList : public ChooserList {
  Q_OBJECT
  Q_PROPERTY(QString Path READ Path WRITE SetPath NOTIFY PathChanged)

 public:
  explicit DirList(QWidget* parent = nullptr);

  // The open directory as an absolute, clean path (the root is "/").
  QString Path() const { return path_; }
  // Opens `path` and re-reads its subdirectories. Returns false, changing nothing, when it is not
  // a directory that can be read. Signals PathChanged when the path is another one than before.
  bool SetPath(const QString& path);
  // The directory an entry stands for.
  QString EntryPath(int row) const;
  // Opens the directory of entry `row`, as a double-click does. Returns false if it cannot be
  // opened (the list is then read again, as the directory may have gone).
  bool OpenEntry(int row);

 signals:
  void PathChanged(const QString& path);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Fill(const QString& path, const QStringList& subdirectories);

  QString path_;
};

// The ordinary, non-hidden files of one directory, sorted by name without regard to case.
class FileList : public ChooserList {
  Q_OBJECT
  Q_PROPERTY(QString Path READ Path WRITE SetPath NOTIFY PathChanged)

 public:
  explicit FileList(QWidget* parent = nullptr);

  QString Path() const { return path_; }
  // Lists the files of `path`. Returns false, changing nothing, when it is not a directory that
  // can be read. Signals PathChanged when the path is another one than before.
  bool SetPath(const QString& path);
  // Reads the directory again; the selected name stays selected while it is still listed.
  void Refresh();
  // The selected file's bare name (without directory); empty when none is selected.
  QString FileName() const;
  // How many names are listed, and the name at `index` (0 to ListCount() - 1).
  int ListCount() const { return count(); }
  QString List(int index) const { return item(index)->text(); }

 signals:
  void PathChanged(const QString& path);
  // The operator picked a file: clicked one, or moved the selection with the keyboard. Giving
  // the list the focus does not count.
  void Click();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QString path_;
};

}  // namespace tessun
