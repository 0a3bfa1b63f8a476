// The program's icon on every window: the PNG sizes in the resource folder :/icons (drawn from the
// program's SVG at build time, cmake/TessunIcons.cmake) become the application's window icon as
// soon as the application object exists, before any window or message box is made. On X11 the
// windows then carry _NET_WM_ICON, which title bars and task switchers show; on Windows the
// title bar and the taskbar show it. Part of the program only (not of its tests' windows).
#include <QCoreApplication>
#include <QDirIterator>
#include <QGuiApplication>
#include <QIcon>

namespace {

void SetProgramIcon() {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
    return;
  }
  QIcon icon;
  QDirIterator sizes(QStringLiteral(":/icons"), QDir::Files);
  while (sizes.hasNext()) {
    icon.addFile(sizes.next());
  }
  QGuiApplication::setWindowIcon(icon);
}

}  // namespace

// Called by the QApplication constructor, wherever main makes it.
Q_COREAPP_STARTUP_FUNCTION(SetProgramIcon)
