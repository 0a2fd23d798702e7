#include "framework/Bevel.h"

#include <QPainter>

TBevel::TBevel(TComponent* owner) : QWidget(nullptr), TControl(owner, this) {
  // A bevel only draws; clicks go to what lies beneath.
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void TBevel::SetShape(TBevelShape shape) {
  FShape = shape;
  update();
}

void TBevel::SetStyle(TBevelStyle style) {
  FStyle = style;
  update();
}

void TBevel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QColor dark = palette().color(QPalette::Dark), light = palette().color(QPalette::Light);
  QColor first = FStyle == bsLowered ? dark : light, second = FStyle == bsLowered ? light : dark;
  int r = width() - 1, b = height() - 1;
  auto box = [&](int l, int t, int rr, int bb, QColor topLeft, QColor bottomRight) {
    p.setPen(topLeft);
    p.drawLine(l, t, rr, t);
    p.drawLine(l, t, l, bb);
    p.setPen(bottomRight);
    p.drawLine(rr, t, rr, bb);
    p.drawLine(l, bb, rr, bb);
  };
  switch (FShape) {
  case bsBox:
    box(0, 0, r, b, first, second);
    break;
  case bsFrame:
    box(0, 0, r - 1, b - 1, first, first);
    box(1, 1, r, b, second, second);
    break;
  case bsTopLine:
    p.setPen(first), p.drawLine(0, 0, r, 0);
    p.setPen(second), p.drawLine(0, 1, r, 1);
    break;
  case bsBottomLine:
    p.setPen(first), p.drawLine(0, b - 1, r, b - 1);
    p.setPen(second), p.drawLine(0, b, r, b);
    break;
  case bsLeftLine:
    p.setPen(first), p.drawLine(0, 0, 0, b);
    p.setPen(second), p.drawLine(1, 0, 1, b);
    break;
  case bsRightLine:
    p.setPen(first), p.drawLine(r - 1, 0, r - 1, b);
    p.setPen(second), p.drawLine(r, 0, r, b);
    break;
  default:
    break;
  }
}

bool TBevel::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "Shape")
    SetShape(props::Enum<TBevelShape>(value, {{"bsBox", bsBox},
                                              {"bsFrame", bsFrame},
                                              {"bsTopLine", bsTopLine},
                                              {"bsBottomLine", bsBottomLine},
                                              {"bsLeftLine", bsLeftLine},
                                              {"bsRightLine", bsRightLine},
                                              {"bsSpacer", bsSpacer}}));
  else if (name == "Style")
    SetStyle(props::Enum<TBevelStyle>(value, {{"bsLowered", bsLowered}, {"bsRaised", bsRaised}}));
  else
    return TControl::SetProperty(name, value);
  return true;
}
