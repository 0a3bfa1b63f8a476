// Window layouts are given in twips; on screen one logical pixel is 15 twips.
#pragma once

#include <QRect>

namespace tessun {

inline constexpr int kTwipsPerPixel = 15;

inline QRect FromTwips(int left, int top, int width, int height) {
  return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
          height / kTwipsPerPixel};
}

}  // namespace tessun
