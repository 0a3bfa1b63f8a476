// The data view's scroll bar: a vertical QScrollBar that the view's logic can set.
#pragma once

#include <QScrollBar>

#include "store/data_view.h"

namespace tessun {

class VerticalScrollBar final : public QScrollBar, public ScrollBar {
  Q_OBJECT

 public:
  explicit VerticalScrollBar(QWidget* parent = nullptr) : QScrollBar(Qt::Vertical, parent) {}

  void SetMax(int value) override { setMaximum(value); }
  void SetMin(int value) override { setMinimum(value); }
  void SetValue(int value) override { setValue(value); }
  int Value() const override { return value(); }
};

}  // namespace tessun
