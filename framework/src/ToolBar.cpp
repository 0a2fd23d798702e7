#include "framework/ToolBar.h"

#include <QPainter>

#include "framework/Action.h"

TToolBar::TToolBar(TComponent* owner) : QWidget(nullptr), TControl(owner, this) {
  setAutoFillBackground(true);
}

template <typename F> void TToolBar::ForEachButton(F&& f) {
  for (QObject* o : children())
    if (auto* b = dynamic_cast<TToolButton*>(o)) f(b);
}

void TToolBar::SetButtonWidth(int width) {
  FButtonWidth = width;
  ArrangeButtons();
}

void TToolBar::SetButtonHeight(int height) {
  FButtonHeight = height;
  ArrangeButtons();
}

void TToolBar::SetFlat(bool flat) {
  FFlat = flat;
  ForEachButton([this](TToolButton* b) { b->ApplyBar(this); });
}

void TToolBar::SetShowCaptions(bool show) {
  FShowCaptions = show;
  ForEachButton([this](TToolButton* b) { b->ApplyBar(this); });
}

void TToolBar::SetEdgeBorders(TEdgeBorders edges) {
  FEdgeBorders = edges;
  update();
}

void TToolBar::ArrangeButtons() {
  if (ComponentState().Contains(csLoading)) return;
  int x = 0;
  ForEachButton([&](TToolButton* b) {
    if (b->isHidden() && !b->Visible()) return;
    int w = FButtonWidth;
    if (b->AutoSize()) w = b->sizeHint().width();
    if (!b->Placed())
      b->setGeometry(x, 0, w, FButtonHeight);
    else
      b->resize(b->width(), FButtonHeight);
    x = b->geometry().right() + 1;
  });
}

void TToolBar::Loaded() {
  TControl::Loaded();
  ArrangeButtons();
}

void TToolBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QColor light = palette().color(QPalette::Light), dark = palette().color(QPalette::Dark);
  int r = width() - 1, b = height() - 1;
  if (FEdgeBorders.Contains(ebTop)) {
    p.setPen(dark), p.drawLine(0, 0, r, 0);
    p.setPen(light), p.drawLine(0, 1, r, 1);
  }
  if (FEdgeBorders.Contains(ebBottom)) {
    p.setPen(dark), p.drawLine(0, b - 1, r, b - 1);
    p.setPen(light), p.drawLine(0, b, r, b);
  }
  if (FEdgeBorders.Contains(ebLeft)) {
    p.setPen(dark), p.drawLine(0, 0, 0, b);
    p.setPen(light), p.drawLine(1, 0, 1, b);
  }
  if (FEdgeBorders.Contains(ebRight)) {
    p.setPen(dark), p.drawLine(r - 1, 0, r - 1, b);
    p.setPen(light), p.drawLine(r, 0, r, b);
  }
}

void TToolBar::ColorChanged() {
  TControl::ColorChanged();
  setAutoFillBackground(true);
}

bool TToolBar::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "ButtonWidth")
    SetButtonWidth(props::Int(value));
  else if (name == "ButtonHeight")
    SetButtonHeight(props::Int(value));
  else if (name == "Flat")
    SetFlat(props::Bool(value));
  else if (name == "ShowCaptions")
    SetShowCaptions(props::Bool(value));
  else if (name == "EdgeBorders")
    SetEdgeBorders(props::Set<TEdgeBorder>(
        value,
        {{"ebLeft", ebLeft}, {"ebTop", ebTop}, {"ebRight", ebRight}, {"ebBottom", ebBottom}}));
  else
    return TControl::SetProperty(name, value);
  return true;
}

TToolButton::TToolButton(TComponent* owner) : QToolButton(nullptr), TControl(owner, this) {
  setToolButtonStyle(Qt::ToolButtonIconOnly);
  QObject::connect(this, &QToolButton::clicked, this,
                   [this] { SafeCall(this, [this] { Click(); }); });
}

std::string TToolButton::Caption() const {
  return text().toStdString();
}

void TToolButton::SetCaption(const std::string& caption) {
  setText(QString::fromStdString(caption));
}

void TToolButton::ApplyBar(TToolBar* bar) {
  setAutoRaise(bar->Flat());
  setToolButtonStyle(bar->ShowCaptions() ? Qt::ToolButtonTextOnly : Qt::ToolButtonIconOnly);
}

void TToolButton::SetParent(TControl* parent) {
  TControl::SetParent(parent);
  if (auto* bar = dynamic_cast<TToolBar*>(parent)) ApplyBar(bar);
}

void TToolButton::Click() {
  if (OnClick)
    OnClick(this);
  else if (FAction)
    FAction->Execute();
}

void TToolButton::Loaded() {
  TControl::Loaded();
  if (!FActionName.empty()) {
    FAction = Owner() ? dynamic_cast<TAction*>(Owner()->FindComponent(FActionName)) : nullptr;
    if (!FAction)
      throw EReadError(Format("Action %s of %s not found", FActionName.c_str(), Name().c_str()));
  }
}

bool TToolButton::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "Action")
    FActionName = props::String(value);
  else if (name == "AutoSize")
    SetAutoSize(props::Bool(value));
  else {
    if (name == "geometry" || name == "Left" || name == "Top") FPlaced = true;
    return TControl::SetProperty(name, value);
  }
  return true;
}
