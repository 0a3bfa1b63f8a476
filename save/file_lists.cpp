#include "save/file_lists.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QSet>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <QStyle>
#include <algorithm>

namespace tessun {

namespace {

// Entries of the directory list hold the directory they stand for under this role.
constexpr int kPathRole = Qt::UserRole;
// One indent step of the directory list.
const QString kIndentStep = QStringLiteral("  ");

bool IsPseudoFileSystem(const QByteArray& type) {
  static const QSet<QByteArray> kPseudo = {
      "autofs",   "binfmt_misc", "bpf",      "cgroup",   "cgroup2",    "configfs",
      "debugfs",  "devpts",      "devtmpfs", "efivarfs", "fusectl",    "hugetlbfs",
      "mqueue",   "nsfs",        "proc",     "pstore",   "securityfs", "selinuxfs",
      "squashfs", "sysfs",       "tracefs",  "ramfs",    "rpc_pipefs", "nfsd"};
  return kPseudo.contains(type);
}

bool IsSystemArea(const QString& root) {
  for (const char* area : {"/proc", "/sys", "/dev", "/run"}) {
    const QString prefix = QString::fromLatin1(area);
    if (root == prefix || root.startsWith(prefix + u'/')) {
      return true;
    }
  }
  return false;
}

// True when `path` is `root` or lies below it.
bool IsOnDrive(const QString& path, const QString& root) {
  if (root.isEmpty() || !path.startsWith(root)) {
    return false;
  }
  return path.size() == root.size() || root.endsWith(u'/') || path.at(root.size()) == u'/';
}

QString CleanAbsolute(const QString& path) {
  return QDir::cleanPath(QDir(path).absolutePath());
}

// The folders from the root of the tree that holds the directory `path` ("/" on Linux, the drive
// letter's root or the network share on Windows) down to `path`, each as its full path.
QStringList FolderChain(const QString& path) {
  QStringList chain;
  for (QDir dir(path);;) {
    chain.prepend(dir.absolutePath());
    if (dir.isRoot() || !dir.cdUp()) {
      return chain;
    }
  }
}

// A screen reader reads an entry of the directory list by its name, without the indent that
// shows its depth on the screen, and the depth in words.
void SetAccessibleEntry(QListWidgetItem* entry, const QString& name, const QString& depth) {
  entry->setData(Qt::AccessibleTextRole, name);
  entry->setData(Qt::AccessibleDescriptionRole, depth);
}

bool IsReadableDirectory(const QString& path) {
  const QFileInfo info(path);
  return !path.isEmpty() && info.isDir() && info.isReadable();
}

}  // namespace

QList<DriveEntry> MountedDrives() {
  QList<DriveEntry> drives;
  QSet<QString> seen;
  const auto add = [&](const QString& root, const QString& label) {
    if (!seen.contains(root)) {
      seen.insert(root);
      drives.append({root, label});
    }
  };
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
    const QString root = volume.rootPath();
    if (!volume.isValid() || !volume.isReady() || IsPseudoFileSystem(volume.fileSystemType()) ||
        IsSystemArea(root)) {
      continue;
    }
    QString label = QDir::toNativeSeparators(root);
    if (!volume.name().isEmpty()) {
      label += QStringLiteral(" [%1]").arg(volume.name());
    }
    add(root, label);
  }
  // Drives whose volume cannot be asked about (an empty disc drive, or a volume that Windows
  // cannot describe) are still drives: the list shows them, and choosing one that cannot be read
  // keeps the folder shown. The system's root is always there.
  add(QDir::rootPath(), QDir::toNativeSeparators(QDir::rootPath()));
  for (const QFileInfo& drive : QDir::drives()) {
    add(drive.absoluteFilePath(), QDir::toNativeSeparators(drive.absoluteFilePath()));
  }
  std::sort(drives.begin(), drives.end(), [](const DriveEntry& a, const DriveEntry& b) {
    const bool a_root = a.root == QDir::rootPath();
    const bool b_root = b.root == QDir::rootPath();
    return a_root != b_root ? a_root : a.root < b.root;
  });
  return drives;
}

// ---- DriveList -------------------------------------------------------------------------------

DriveList::DriveList(QWidget* parent) : QComboBox(parent), source_(MountedDrives) {
  Refresh();
  connect(this, &QComboBox::currentIndexChanged, this, &DriveList::OnIndexChanged);
}

void DriveList::SetSource(DriveSource source) {
  source_ = std::move(source);
  Refresh();
}

void DriveList::Refresh() {
  const QString keep = drive_;
  {
    const QSignalBlocker blocker(this);
    clear();
    for (const DriveEntry& drive : source_()) {
      addItem(drive.label, drive.root);
    }
  }
  SelectSilently(Offer(keep.isEmpty() ? QDir::currentPath() : keep));
}

void DriveList::SetDrive(const QString& path) {
  const int index = findData(Offer(CleanAbsolute(path)));
  if (index >= 0) {
    setCurrentIndex(index);  // signals through OnIndexChanged
  }
}

QString DriveList::Offer(const QString& path) {
  QString root = DriveOf(path);
  if (root.isEmpty() && !path.isEmpty()) {
    root = CleanAbsolute(FolderChain(path).first());
    const QSignalBlocker blocker(this);
    addItem(QDir::toNativeSeparators(root), root);
  }
  return root;
}

QString DriveList::DriveOf(const QString& path) const {
  QString best;
  for (int i = 0; i < count(); ++i) {
    const QString root = itemData(i).toString();
    if (IsOnDrive(path, root) && root.size() > best.size()) {
      best = root;
    }
  }
  return best;
}

void DriveList::showPopup() {
  Refresh();
  QComboBox::showPopup();
}

void DriveList::SelectSilently(const QString& root) {
  const QSignalBlocker blocker(this);
  setCurrentIndex(findData(root));
  drive_ = currentIndex() >= 0 ? root : QString();
}

void DriveList::OnIndexChanged(int index) {
  const QString root = index >= 0 ? itemData(index).toString() : QString();
  if (root == drive_) {
    return;
  }
  drive_ = root;
  emit DriveChanged(drive_);
}

// ---- ChooserList -----------------------------------------------------------------------------

ChooserList::ChooserList(QWidget* parent) : QListWidget(parent) {}

void ChooserList::reset() {
  // Rows read anew: the kept row means nothing in them.
  kept_row_ = -1;
  QListWidget::reset();
}

void ChooserList::focusInEvent(QFocusEvent* event) {
  if (!currentIndex().isValid() && kept_row_ >= 0 && kept_row_ < count()) {
    selectionModel()->setCurrentIndex(model()->index(kept_row_, 0), QItemSelectionModel::NoUpdate);
  }
  kept_row_ = -1;
  QListWidget::focusInEvent(event);
}

void ChooserList::focusOutEvent(QFocusEvent* event) {
  QListWidget::focusOutEvent(event);
  KeepCurrentRow();
}

void ChooserList::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  if (hasFocus() || !current.isValid()) {
    QListWidget::currentChanged(current, previous);
    return;
  }
  // Without the focus: all that the list view does but its announcement of the item, and the row
  // is kept once the change is complete.
  QAbstractItemView::currentChanged(current, previous);
  QMetaObject::invokeMethod(this, &ChooserList::KeepCurrentRow, Qt::QueuedConnection);
}

void ChooserList::KeepCurrentRow() {
  if (hasFocus() || !currentIndex().isValid()) {
    return;
  }
  kept_row_ = currentRow();
  selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
}

// ---- DirList ---------------------------------------------------------------------------------

DirList::DirList(QWidget* parent) : ChooserList(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* item) { OpenEntry(row(item)); });
}

bool DirList::SetPath(const QString& path) {
  const QString clean = CleanAbsolute(path);
  if (!IsReadableDirectory(clean)) {
    return false;
  }
  const QStringList subdirectories =
      QDir(clean).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
  Fill(clean, subdirectories);
  if (clean != path_) {
    path_ = clean;
    emit PathChanged(path_);
  }
  return true;
}

QString DirList::EntryPath(int row) const {
  const QListWidgetItem* entry = item(row);
  return entry ? entry->data(kPathRole).toString() : QString();
}

bool DirList::OpenEntry(int row) {
  const QString target = EntryPath(row);
  if (target.isEmpty()) {
    return false;
  }
  if (SetPath(target)) {
    return true;
  }
  SetPath(path_);
  return false;
}

void DirList::keyPressEvent(QKeyEvent* event) {
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentRow() >= 0) {
    OpenEntry(currentRow());
    return;
  }
  QListWidget::keyPressEvent(event);
}

void DirList::Fill(const QString& path, const QStringList& subdirectories) {
  const QStringList chain = FolderChain(path);
  const QIcon open_icon = style()->standardIcon(QStyle::SP_DirOpenIcon);
  const QIcon closed_icon = style()->standardIcon(QStyle::SP_DirClosedIcon);

  clear();
  for (int level = 0; level < chain.size(); ++level) {
    const QString& entry_path = chain.at(level);
    const QString name =
        level == 0 ? QDir::toNativeSeparators(entry_path) : QFileInfo(entry_path).fileName();
    auto* entry = new QListWidgetItem(open_icon, kIndentStep.repeated(level) + name, this);
    entry->setData(kPathRole, entry_path);
    SetAccessibleEntry(entry, name, QStringLiteral("open folder, level %1").arg(level + 1));
  }
  const QString child_indent = kIndentStep.repeated(chain.size());
  const QDir dir(path);
  for (const QString& name : subdirectories) {
    auto* entry = new QListWidgetItem(closed_icon, child_indent + name, this);
    entry->setData(kPathRole, CleanAbsolute(dir.filePath(name)));
    SetAccessibleEntry(entry, name, QStringLiteral("folder, level %1").arg(chain.size() + 1));
  }
  setCurrentRow(static_cast<int>(chain.size()) - 1);
}

// ---- FileList --------------------------------------------------------------------------------

FileList::FileList(QWidget* parent) : ChooserList(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QListWidget::itemClicked, this, &FileList::Click);
}

void FileList::keyPressEvent(QKeyEvent* event) {
  const QString before = FileName();
  QListWidget::keyPressEvent(event);
  const QString after = FileName();
  if (!after.isEmpty() && after != before) {
    emit Click();
  }
}

bool FileList::SetPath(const QString& path) {
  const QString clean = CleanAbsolute(path);
  if (!IsReadableDirectory(clean)) {
    return false;
  }
  const bool changed = clean != path_;
  path_ = clean;
  if (changed) {
    clear();  // a new directory starts without a selection
  }
  Refresh();
  if (changed) {
    emit PathChanged(path_);
  }
  return true;
}

void FileList::Refresh() {
  const QString selected = FileName();
  // Without QDir::System, fifos, sockets, device files and broken links are left out; without
  // QDir::Hidden, so are names starting with a dot.
  const QStringList names = path_.isEmpty()
                                ? QStringList()
                                : QDir(path_).entryList(QDir::Files, QDir::Name | QDir::IgnoreCase);
  const QSignalBlocker blocker(this);
  clear();
  addItems(names);
  const qsizetype keep = names.indexOf(selected);
  if (!selected.isEmpty() && keep >= 0) {
    setCurrentRow(static_cast<int>(keep));
  }
}

QString FileList::FileName() const {
  const QList<QListWidgetItem*> selected = selectedItems();
  return selected.isEmpty() ? QString() : selected.first()->text();
}

}  // namespace tessun
