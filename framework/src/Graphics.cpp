#include "framework/Graphics.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPalette>
#include <cmath>
#include <cstdlib>

namespace {

struct TColorName {
  TColor Color;
  const char* Name;
};

const TColorName ColorNames[] = {
    {clBlack, "clBlack"},
    {clMaroon, "clMaroon"},
    {clGreen, "clGreen"},
    {clOlive, "clOlive"},
    {clNavy, "clNavy"},
    {clPurple, "clPurple"},
    {clTeal, "clTeal"},
    {clGray, "clGray"},
    {clSilver, "clSilver"},
    {clRed, "clRed"},
    {clLime, "clLime"},
    {clYellow, "clYellow"},
    {clBlue, "clBlue"},
    {clFuchsia, "clFuchsia"},
    {clAqua, "clAqua"},
    {clWhite, "clWhite"},
    {clNone, "clNone"},
    {clDefault, "clDefault"},
    {clScrollBar, "clScrollBar"},
    {clBackground, "clBackground"},
    {clActiveCaption, "clActiveCaption"},
    {clInactiveCaption, "clInactiveCaption"},
    {clMenu, "clMenu"},
    {clWindow, "clWindow"},
    {clWindowFrame, "clWindowFrame"},
    {clMenuText, "clMenuText"},
    {clWindowText, "clWindowText"},
    {clCaptionText, "clCaptionText"},
    {clActiveBorder, "clActiveBorder"},
    {clInactiveBorder, "clInactiveBorder"},
    {clAppWorkSpace, "clAppWorkSpace"},
    {clHighlight, "clHighlight"},
    {clHighlightText, "clHighlightText"},
    {clBtnFace, "clBtnFace"},
    {clBtnShadow, "clBtnShadow"},
    {clGrayText, "clGrayText"},
    {clBtnText, "clBtnText"},
    {clInactiveCaptionText, "clInactiveCaptionText"},
    {clBtnHighlight, "clBtnHighlight"},
};

TColor FromRgb(int r, int g, int b) {
  return (b << 16) | (g << 8) | r;
}

// The classic desktop scheme, for use before the toolkit (and its palette) exists.
TColor ClassicSystemColor(int index) {
  switch (index) {
  case 1:
    return clTeal;
  case 2:
    return clNavy;
  case 5:
    return clWhite;
  case 12:
    return clGray;
  case 13:
    return clNavy;
  case 14:
    return clWhite;
  case 16:
    return clGray;
  case 17:
    return clGray;
  case 20:
    return clWhite;
  case 6:
  case 7:
  case 8:
  case 9:
  case 18:
  case 19:
    return clBlack;
  default:
    return clSilver;
  }
}

TColor PaletteColor(int index) {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
    return ClassicSystemColor(index);
  QPalette p = QGuiApplication::palette();
  QColor c;
  switch (index) {
  case 1:
  case 4:
    c = p.color(QPalette::Window);
    break;
  case 2:
  case 13:
    c = p.color(QPalette::Highlight);
    break;
  case 3:
    c = p.color(QPalette::Mid);
    break;
  case 5:
    c = p.color(QPalette::Base);
    break;
  case 6:
  case 12:
  case 16:
    c = p.color(QPalette::Dark);
    break;
  case 7:
    c = p.color(QPalette::WindowText);
    break;
  case 8:
  case 19:
    c = p.color(QPalette::Text);
    break;
  case 9:
  case 14:
    c = p.color(QPalette::HighlightedText);
    break;
  case 17:
    c = p.color(QPalette::Disabled, QPalette::Text);
    break;
  case 18:
    c = p.color(QPalette::ButtonText);
    break;
  case 20:
    c = p.color(QPalette::Light);
    break;
  default:
    c = p.color(QPalette::Button);
    break;
  }
  return FromRgb(c.red(), c.green(), c.blue());
}

int MulDiv(int number, int numerator, int denominator) {
  double r = static_cast<double>(number) * numerator / denominator;
  return static_cast<int>(r < 0 ? std::ceil(r - 0.5) : std::floor(r + 0.5));
}

} // namespace

TColor ColorToRGB(TColor color) {
  if (color & clSystemColor) return PaletteColor(color & 0xFF);
  if (color == clNone || color == clDefault) return clBlack;
  return color & 0xFFFFFF;
}

QColor ColorToQColor(TColor color) {
  TColor rgb = ColorToRGB(color);
  return QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
}

TColor QColorToColor(const QColor& color) {
  return FromRgb(color.red(), color.green(), color.blue());
}

bool IdentToColor(const std::string& ident, TColor& color) {
  for (const TColorName& n : ColorNames)
    if (SameText(ident, n.Name)) {
      color = n.Color;
      return true;
    }
  int32_t value;
  if (!TryStrToInt(ident, value)) return false;
  color = value;
  return true;
}

std::string ColorToString(TColor color) {
  for (const TColorName& n : ColorNames)
    if (n.Color == color) return n.Name;
  return "$" + IntToHex(static_cast<uint32_t>(color), 8);
}

TFont::TFont() = default;

TFont::TFont(const TFont& other) : TObject() {
  Assign(other);
}

TFont& TFont::operator=(const TFont& other) {
  Assign(other);
  return *this;
}

void TFont::Changed() {
  if (OnChange) OnChange();
}

void TFont::SetName(const std::string& name) {
  if (name == FName) return;
  FName = name;
  Changed();
}

void TFont::SetHeight(int height) {
  if (height == FHeight) return;
  FHeight = height;
  Changed();
}

int TFont::Size() const {
  return -MulDiv(FHeight, 72, 96);
}

void TFont::SetSize(int points) {
  SetHeight(-MulDiv(points, 96, 72));
}

void TFont::SetColor(TColor color) {
  if (color == FColor) return;
  FColor = color;
  Changed();
}

void TFont::SetStyle(TFontStyles style) {
  if (style == FStyle) return;
  FStyle = style;
  Changed();
}

void TFont::SetPitch(TFontPitch pitch) {
  if (pitch == FPitch) return;
  FPitch = pitch;
  Changed();
}

void TFont::Assign(const TFont& other) {
  if (this == &other || other == *this) return;
  FName = other.FName;
  FHeight = other.FHeight;
  FColor = other.FColor;
  FStyle = other.FStyle;
  FPitch = other.FPitch;
  FCharset = other.FCharset;
  Changed();
}

bool TFont::operator==(const TFont& o) const {
  return FName == o.FName && FHeight == o.FHeight && FColor == o.FColor && FStyle == o.FStyle &&
         FPitch == o.FPitch && FCharset == o.FCharset;
}

QFont TFont::ToQFont() const {
  QFont f(QString::fromStdString(FName));
  f.setStyleStrategy(QFont::NoAntialias);
  f.setBold(FStyle.Contains(fsBold));
  f.setItalic(FStyle.Contains(fsItalic));
  f.setUnderline(FStyle.Contains(fsUnderline));
  f.setStrikeOut(FStyle.Contains(fsStrikeOut));
  if (FPitch == fpFixed) f.setFixedPitch(true);
  if (FHeight < 0) {
    f.setPixelSize(-FHeight);
  } else if (FHeight > 0) {
    // A cell height: the largest character size whose line still fits in it.
    int size = FHeight;
    f.setPixelSize(size);
    while (size > 1 && QFontMetrics(f).height() > FHeight)
      f.setPixelSize(--size);
  } else {
    f.setPixelSize(11);
  }
  return f;
}
