// A window as a screen reader and a keyboard user meet it: its role, and where the focus is.
#pragma once

#include <QAccessible>

class QWidget;
struct QMetaObject;

namespace tessun {

// Every widget of exactly the class `window` gets the accessible role `role` (Window: a frame to
// a screen reader; Dialog: a dialog). Qt gives a window made from a plain QWidget the role of a
// client area, a "filler", which a screen reader does not present as a window: it neither says
// its title nor finds its status bar. Call it before the first window of the class is made.
void SetWindowRole(const QMetaObject& window, QAccessible::Role role);

// Rings whichever control of `window` has the focus, in the window's text colour, so that the
// focus shows on every control under every palette (the styles draw it faintly on a button and
// not at all on a scroll bar or a custom view).
void ShowFocusRing(QWidget* window);

}  // namespace tessun
