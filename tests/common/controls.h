// The windows' controls as tests reach them: by the object names the windows give them.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QPushButton>
#include <QString>
#include <QtGlobal>

#include "save/file_lists.h"

namespace tessun::test {

// The child of `window` named `name`, of type T; a missing one ends the test run at once.
template <class T>
T* Find(const QObject& window, const char* name) {
  T* control = window.findChild<T*>(QString::fromLatin1(name));
  if (control == nullptr) {
    qFatal("the window has no control %s of the expected type", name);
  }
  return control;
}

// The save window's controls.
struct Form6Controls {
  explicit Form6Controls(const QObject& form)
      : Dir1(Find<DirList>(form, "Dir1")),
        File1(Find<FileList>(form, "File1")),
        Drive1(Find<DriveList>(form, "Drive1")),
        Label4(Find<QLabel>(form, "Label4")),
        Text4(Find<QLineEdit>(form, "Text4")),
        Save1(Find<QPushButton>(form, "Save1")),
        Exit1(Find<QPushButton>(form, "Exit1")) {}

  DirList* const Dir1;
  FileList* const File1;
  DriveList* const Drive1;
  QLabel* const Label4;
  QLineEdit* const Text4;
  QPushButton* const Save1;
  QPushButton* const Exit1;
};

}  // namespace tessun::test
