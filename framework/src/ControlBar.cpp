#include "framework/ControlBar.h"

#include <QPainter>
#include <QResizeEvent>

TControlBar::TControlBar(TComponent* owner) : QWidget(nullptr), TControl(owner, this) {
  setAutoFillBackground(true);
  SetControlStyle(ControlStyle() + TControlStyle{csAcceptsControls});
}

void TControlBar::SetAutoSize(bool autoSize) {
  FAutoSize = autoSize;
  AdjustSize();
}

void TControlBar::SetRowSize(int rowSize) {
  FRowSize = rowSize < 1 ? 1 : rowSize;
  AdjustSize();
}

void TControlBar::AdjustSize() {
  if (!FAutoSize || ComponentState().Contains(csLoading)) return;
  int bottom = 0;
  for (QObject* o : children())
    if (auto* w = qobject_cast<QWidget*>(o); w && !w->isHidden())
      bottom = std::max(bottom, w->geometry().bottom() + 1);
  int rows = bottom == 0 ? 1 : (bottom + FRowSize - 1) / FRowSize;
  // A row of bands plus the bar's own edges.
  SetHeight(rows * FRowSize + 3);
}

void TControlBar::Loaded() {
  TControl::Loaded();
  AdjustSize();
}

void TControlBar::paintEvent(QPaintEvent*) {
  // Each band: a raised frame around its control with a grip to its left.
  QPainter p(this);
  QColor light = palette().color(QPalette::Light), dark = palette().color(QPalette::Dark);
  for (QObject* o : children()) {
    auto* w = qobject_cast<QWidget*>(o);
    if (!w || w->isHidden()) continue;
    QRect g = w->geometry();
    QRect band(std::max(0, g.left() - 9), g.top() - 2, g.width() + 11, g.height() + 4);
    p.setPen(light);
    p.drawLine(band.topLeft(), band.topRight());
    p.drawLine(band.topLeft(), band.bottomLeft());
    p.setPen(dark);
    p.drawLine(band.topRight(), band.bottomRight());
    p.drawLine(band.bottomLeft(), band.bottomRight());
    for (int x : {band.left() + 3, band.left() + 6}) {
      p.setPen(light);
      p.drawLine(x, band.top() + 3, x, band.bottom() - 3);
      p.setPen(dark);
      p.drawLine(x + 1, band.top() + 3, x + 1, band.bottom() - 3);
    }
  }
}

void TControlBar::resizeEvent(QResizeEvent* event) {
  SafeCall(this, [&] { AlignControls(); });
  QWidget::resizeEvent(event);
}

void TControlBar::ColorChanged() {
  TControl::ColorChanged();
  setAutoFillBackground(true);
}

bool TControlBar::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "AutoSize")
    SetAutoSize(props::Bool(value));
  else if (name == "RowSize")
    SetRowSize(props::Int(value));
  else
    return TControl::SetProperty(name, value);
  return true;
}
