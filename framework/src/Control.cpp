#include "framework/Control.h"
#include "framework/Menus.h"

#include <QPalette>
#include <QWidget>

#include "framework/Application.h"
#include "framework/Form.h"
#include "framework/Properties.h"

void HandleHandlerException(TObject* sender) noexcept {
  try {
    if (Application) Application->HandleException(sender);
  } catch (...) {
    // The error display itself failed; there is nobody left to tell.
  }
}

TControl* ControlOf(QWidget* widget) {
  return dynamic_cast<TControl*>(widget);
}

TForm* GetParentForm(TControl* control) {
  while (control && !dynamic_cast<TForm*>(control))
    control = control->Parent();
  return dynamic_cast<TForm*>(control);
}

TControl::TControl(TComponent* owner, QWidget* widget) : TComponent(owner), FWidget(widget) {
  FFont.OnChange = [this] { UserFontChanged(); };
}

TControl::~TControl() {
  FFont.OnChange = nullptr;
  // Only the menu's record: the widget may be partly gone by now.
  if (FPopupMenu) FPopupMenu->Detach(this);
}

void TControl::SetPopupMenu(TPopupMenu* menu) {
  if (menu == FPopupMenu) return;
  if (FPopupMenu) FPopupMenu->Detach(this);
  FPopupMenu = menu;
  if (!menu) {
    FWidget->setContextMenuPolicy(Qt::DefaultContextMenu);
    QObject::disconnect(FWidget, &QWidget::customContextMenuRequested, nullptr, nullptr);
    return;
  }
  menu->Attach(this);
  FWidget->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::disconnect(FWidget, &QWidget::customContextMenuRequested, nullptr, nullptr);
  QObject::connect(FWidget, &QWidget::customContextMenuRequested, FWidget, [this](QPoint at) {
    SafeCall(this, [&] {
      if (!FPopupMenu) return;
      FPopupMenu->FPopupComponent = this;
      QPoint global = FWidget->mapToGlobal(at);
      FPopupMenu->Popup(global.x(), global.y());
    });
  });
}

template <typename F> void TControl::ForEachChild(F&& f) const {
  for (QObject* o : ClientWidget()->children())
    if (auto* w = qobject_cast<QWidget*>(o))
      if (TControl* c = ControlOf(w); c && c->FParent == this) f(c);
}

void TControl::SetParent(TControl* parent) {
  FParent = parent;
  if (!parent) {
    FWidget->hide();
    FWidget->setParent(nullptr);
    return;
  }
  FWidget->setParent(parent->ClientWidget());
  if (FParentFont) InheritFont(parent->FFont);
  if (FParentColor) InheritColor(parent->FColor);
  if (FParentShowHint) InheritShowHint(parent->FShowHint);
  FontChanged();
  ColorChanged();
  FWidget->setVisible(FVisible);
  parent->AlignControls();
}

int TControl::Left() const {
  return FWidget->x();
}
int TControl::Top() const {
  return FWidget->y();
}
int TControl::Width() const {
  return FWidget->width();
}
int TControl::Height() const {
  return FWidget->height();
}
int TControl::ClientWidth() const {
  return ClientWidget()->width();
}
int TControl::ClientHeight() const {
  return ClientWidget()->height();
}

void TControl::SetBounds(int left, int top, int width, int height) {
  FWidget->setGeometry(left, top, width < 0 ? 0 : width, height < 0 ? 0 : height);
  AlignControls();
}

bool TControl::Enabled() const {
  return !FWidget->testAttribute(Qt::WA_ForceDisabled);
}

void TControl::SetEnabled(bool enabled) {
  FWidget->setEnabled(enabled);
}

bool TControl::Visible() const {
  return FVisible;
}

void TControl::SetVisible(bool visible) {
  FVisible = visible;
  if (FParent) FWidget->setVisible(visible);
}

void TControl::SetColor(TColor color) {
  if (!FInheriting) FParentColor = false;
  if (color == FColor) return;
  FColor = color;
  ColorChanged();
  ForEachChild([&](TControl* c) {
    if (c->FParentColor) c->InheritColor(color);
  });
}

void TControl::InheritColor(TColor color) {
  FInheriting = true;
  SetColor(color);
  FInheriting = false;
}

void TControl::SetParentColor(bool parentColor) {
  FParentColor = parentColor;
  if (parentColor && FParent) InheritColor(FParent->FColor);
}

void TControl::UserFontChanged() {
  if (!FInheriting) FParentFont = false;
  FontChanged();
  ForEachChild([&](TControl* c) {
    if (c->FParentFont) c->InheritFont(FFont);
  });
}

void TControl::InheritFont(const TFont& font) {
  FInheriting = true;
  FFont.Assign(font);
  FInheriting = false;
}

void TControl::SetParentFont(bool parentFont) {
  FParentFont = parentFont;
  if (parentFont && FParent) InheritFont(FParent->FFont);
}

void TControl::ColorChanged() {
  QPalette p = FWidget->palette();
  p.setColor(QPalette::Window, ColorToQColor(FColor));
  FWidget->setPalette(p);
}

void TControl::FontChanged() {
  QFont f = FFont.ToQFont();
  f.setStyleStrategy(QFont::PreferDefault); // widgets may smooth their text
  FWidget->setFont(f);
  QPalette p = FWidget->palette();
  QColor c = ColorToQColor(FFont.Color());
  for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive}) {
    p.setColor(g, QPalette::WindowText, c);
    p.setColor(g, QPalette::ButtonText, c);
    p.setColor(g, QPalette::Text, c);
  }
  FWidget->setPalette(p);
}

void TControl::SetAlign(TAlign align) {
  FAlign = align;
  if (FParent) FParent->AlignControls();
}

void TControl::AlignControls() {
  int width = ClientWidth(), height = ClientHeight();
  int dw = FAlignedWidth < 0 ? 0 : width - FAlignedWidth;
  int dh = FAlignedHeight < 0 ? 0 : height - FAlignedHeight;
  FAlignedWidth = width;
  FAlignedHeight = height;
  if (dw || dh)
    ForEachChild([&](TControl* c) {
      if (c->FAlign != alNone) return;
      int l = c->Left(), t = c->Top(), w = c->Width(), h = c->Height();
      TAnchors a = c->FAnchors;
      if (a.Contains(akRight))
        (a.Contains(akLeft) ? w : l) += dw;
      else if (!a.Contains(akLeft))
        l += dw / 2;
      if (a.Contains(akBottom))
        (a.Contains(akTop) ? h : t) += dh;
      else if (!a.Contains(akTop))
        t += dh / 2;
      c->SetBounds(l, t, w, h);
    });
  int left = 0, top = 0, right = width, bottom = height;
  for (TAlign pass : {alTop, alBottom, alLeft, alRight, alClient})
    ForEachChild([&](TControl* c) {
      if (c->FAlign != pass || !c->FVisible) return;
      int w = c->Width(), h = c->Height();
      switch (pass) {
      case alTop:
        c->SetBounds(left, top, right - left, h), top += h;
        break;
      case alBottom:
        c->SetBounds(left, bottom - h, right - left, h), bottom -= h;
        break;
      case alLeft:
        c->SetBounds(left, top, w, bottom - top), left += w;
        break;
      case alRight:
        c->SetBounds(right - w, top, w, bottom - top), right -= w;
        break;
      default:
        c->SetBounds(left, top, right - left, bottom - top);
        break;
      }
    });
}

void TControl::SetConstraints(const TSizeConstraints& constraints) {
  FConstraints = constraints;
  FWidget->setMinimumSize(constraints.MinWidth, constraints.MinHeight);
  FWidget->setMaximumSize(constraints.MaxWidth > 0 ? constraints.MaxWidth : QWIDGETSIZE_MAX,
                          constraints.MaxHeight > 0 ? constraints.MaxHeight : QWIDGETSIZE_MAX);
}

void TControl::SetHint(const std::string& hint) {
  FHint = hint;
  FWidget->setToolTip(FShowHint ? QString::fromStdString(hint) : QString());
}

void TControl::SetShowHint(bool showHint) {
  if (!FInheriting) FParentShowHint = false;
  FShowHint = showHint;
  SetHint(FHint);
  ForEachChild([&](TControl* c) {
    if (c->FParentShowHint) c->InheritShowHint(showHint);
  });
}

void TControl::InheritShowHint(bool showHint) {
  FInheriting = true;
  SetShowHint(showHint);
  FInheriting = false;
}

void TControl::SetParentShowHint(bool parentShowHint) {
  FParentShowHint = parentShowHint;
  if (parentShowHint && FParent) InheritShowHint(FParent->FShowHint);
}

bool TControl::TabStop() const {
  return FWidget->focusPolicy() & Qt::TabFocus;
}

void TControl::SetTabStop(bool tabStop) {
  FWidget->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
}

void TControl::SetControlStyle(TControlStyle style) {
  FControlStyle = style;
  FWidget->setAttribute(Qt::WA_OpaquePaintEvent, style.Contains(csOpaque));
}

void TControl::Refresh() {
  FWidget->repaint();
}

void TControl::Invalidate() {
  FWidget->update();
}

void TControl::Loaded() {
  TComponent::Loaded();
}

bool TControl::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "geometry") {
    QRect r = value.toRect();
    if (value.typeId() != QMetaType::QRect) props::Invalid();
    SetBounds(r.x(), r.y(), r.width(), r.height());
  } else if (name == "Left")
    SetLeft(props::Int(value));
  else if (name == "Top")
    SetTop(props::Int(value));
  else if (name == "Width")
    SetWidth(props::Int(value));
  else if (name == "Height")
    SetHeight(props::Int(value));
  else if (name == "enabled" || name == "Enabled")
    SetEnabled(props::Bool(value));
  else if (name == "visible" || name == "Visible")
    SetVisible(props::Bool(value));
  else if (name == "Caption" || name == "text" || name == "title" || name == "windowTitle")
    SetCaption(props::String(value));
  else if (name == "Color")
    SetColor(props::Color(value));
  else if (name == "ParentColor")
    SetParentColor(props::Bool(value));
  else if (name == "font" || name == "Font")
    props::Font(value, FFont);
  else if (name == "FontColor")
    FFont.SetColor(props::Color(value));
  else if (name == "FontHeight")
    FFont.SetHeight(props::Int(value));
  else if (name == "FontName")
    FFont.SetName(props::String(value));
  else if (name == "ParentFont")
    SetParentFont(props::Bool(value));
  else if (name == "Align")
    SetAlign(props::Enum<TAlign>(value, {{"alNone", alNone},
                                         {"alTop", alTop},
                                         {"alBottom", alBottom},
                                         {"alLeft", alLeft},
                                         {"alRight", alRight},
                                         {"alClient", alClient}}));
  else if (name == "Anchors")
    SetAnchors(props::Set<TAnchorKind>(
        value,
        {{"akLeft", akLeft}, {"akTop", akTop}, {"akRight", akRight}, {"akBottom", akBottom}}));
  else if (name == "toolTip" || name == "Hint")
    SetHint(props::String(value));
  else if (name == "ShowHint")
    SetShowHint(props::Bool(value));
  else if (name == "ParentShowHint")
    SetParentShowHint(props::Bool(value));
  else if (name == "TabStop")
    SetTabStop(props::Bool(value));
  else if (name == "Tag")
    Tag = props::Int(value);
  else if (name == "MinWidth" || name == "MinHeight" || name == "MaxWidth" || name == "MaxHeight") {
    TSizeConstraints c = FConstraints;
    int v = props::Int(value);
    (name == "MinWidth"    ? c.MinWidth
     : name == "MinHeight" ? c.MinHeight
     : name == "MaxWidth"  ? c.MaxWidth
                           : c.MaxHeight) = v;
    SetConstraints(c);
  } else
    return false;
  return true;
}
