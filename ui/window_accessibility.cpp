#include "ui/window_accessibility.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QFocusFrame>
#include <QHash>
#include <QWidget>

namespace tessun {

namespace {

QHash<const QMetaObject*, QAccessible::Role>& WindowRoles() {
  static QHash<const QMetaObject*, QAccessible::Role> roles;
  return roles;
}

// Asked for each class of an object from the most derived one up; only the object's own class
// counts, so that a subclass made elsewhere (a menu, a popup) keeps what Qt gives it.
QAccessibleInterface* WindowFactory(const QString&, QObject* object) {
  auto* widget = qobject_cast<QWidget*>(object);
  const auto role = WindowRoles().constFind(object->metaObject());
  if (widget == nullptr || role == WindowRoles().constEnd()) {
    return nullptr;
  }
  return new QAccessibleWidget(widget, *role);
}

}  // namespace

void SetWindowRole(const QMetaObject& window, QAccessible::Role role) {
  static const bool factory_installed = [] {
    QAccessible::installFactory(WindowFactory);
    return true;
  }();
  (void)factory_installed;
  WindowRoles().insert(&window, role);
}

void ShowFocusRing(QWidget* window) {
  auto* ring = new QFocusFrame(window);
  QObject::connect(qApp, &QApplication::focusChanged, ring, [window, ring](QWidget*, QWidget* now) {
    if (now != nullptr && now->window() == window) {
      ring->setWidget(now);
    }
  });
}

}  // namespace tessun
