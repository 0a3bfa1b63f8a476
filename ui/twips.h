// Window layouts are given in twips; on screen one logical pixel is 15 twips.
#pragma once

#include <QRect>
#include <QString>

namespace tessun {

inline constexpr int kTwipsPerPixel = 15;

inline QRect FromTwips(int left, int top, int width, int height) {
  return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
          height / kTwipsPerPixel};
}

// `control`, named `name` (its object name) and placed at the position and size given in twips.
template <class Control>
Control* Placed(Control* control, const char* name, int left, int top, int width, int height) {
  control->setObjectName(QString::fromLatin1(name));
  control->setGeometry(FromTwips(left, top, width, height));
  return control;
}

}  // namespace tessun
