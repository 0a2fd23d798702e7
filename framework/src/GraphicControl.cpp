#include "framework/GraphicControl.h"

#include <QPainter>

TGraphicControl::TGraphicControl(TComponent* owner) : QWidget(nullptr), TControl(owner, this) {
  setAttribute(Qt::WA_NoSystemBackground);
}

void TGraphicControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  FCanvas.Font()->Assign(*Font());
  FCanvas.AttachPainter(&painter, width(), height());
  SafeCall(this, [this] { Paint(); });
  FCanvas.Detach();
}
