// A dark palette (dark surfaces, light text) as a dark desktop theme gives one: the program sets
// it on request (TESSUN_PALETTE=dark) to check that every fixed background keeps readable text.
#pragma once

#include <QColor>
#include <QPalette>

namespace tessun {

inline QPalette DarkPalette() {
  const QColor surface(0x35, 0x35, 0x35);
  const QColor text(0xE0, 0xE0, 0xE0);
  QPalette dark(surface, surface);
  for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    dark.setColor(role, text);
  }
  dark.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
  dark.setColor(QPalette::Highlight, QColor(0x2A, 0x82, 0xDA));
  return dark;
}

}  // namespace tessun
