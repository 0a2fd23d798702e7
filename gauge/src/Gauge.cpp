#include "gauge/Gauge.h"

#include <climits>
#include <cmath>
#include <memory>
#include <numbers>

#include "framework/FormReader.h"

namespace {
TRegisterComponentClass<TProgressGauge> gRegistration("TProgressGauge");
}

TProgressGauge::TProgressGauge(TComponent* owner) : TGraphicControl(owner) {
  SetControlStyle(ControlStyle() + TControlStyle{csFramed, csOpaque});
  FMinValue = 0;
  FMaxValue = 100;
  FCurValue = 0;
  FKind = gkHorizontalBar;
  FShowText = true;
  FBorderStyle = bsSingle;
  FForeColor = clBlack;
  FBackColor = clWhite;
  SetBounds(Left(), Top(), 100, 100);
}

TProgressGauge::~TProgressGauge() = default;

int32_t TProgressGauge::GetPercentDone() const {
  int64_t range = int64_t{FMaxValue} - FMinValue;
  if (range == 0) return 0;
  // 64 bits: 100 * (Progress - MinValue) overflows 32 bits for wide ranges.
  int64_t scaled = 100 * (int64_t{FCurValue} - FMinValue);
  int64_t q = scaled / range;
  if ((scaled % range != 0) && ((scaled < 0) != (range < 0))) --q; // the floor
  return static_cast<int32_t>(q);
}

void TProgressGauge::SetProgress(int32_t value) {
  int32_t before = GetPercentDone();
  if (value < FMinValue)
    value = FMinValue;
  else if (value > FMaxValue)
    value = FMaxValue;
  if (value == FCurValue) return;
  FCurValue = value;
  if (GetPercentDone() != before) Refresh();
}

void TProgressGauge::AddProgress(int32_t value) {
  SetProgress(
      static_cast<int32_t>(std::clamp<int64_t>(int64_t{FCurValue} + value, INT32_MIN, INT32_MAX)));
  Refresh();
}

void TProgressGauge::SetMinValue(int32_t value) {
  if (value == FMinValue) return;
  if (value > FMaxValue)
    throw Exception(Format("Value must be between %d and %d", -2147483647, FMaxValue - 1));
  FMinValue = value;
  if (FCurValue < value) FCurValue = value;
  Refresh();
}

void TProgressGauge::SetMaxValue(int32_t value) {
  if (value == FMaxValue) return;
  if (value < FMinValue)
    throw Exception(Format("Value must be between %d and %d", FMinValue + 1, 2147483647));
  FMaxValue = value;
  if (FCurValue > value) FCurValue = value;
  Refresh();
}

void TProgressGauge::SetGaugeKind(TProgressGaugeKind kind) {
  if (kind == FKind) return;
  FKind = kind;
  Refresh();
}

void TProgressGauge::SetShowText(bool showText) {
  if (showText == FShowText) return;
  FShowText = showText;
  Refresh();
}

void TProgressGauge::SetBorderStyle(TFormBorderStyle style) {
  if (style == FBorderStyle) return;
  FBorderStyle = style;
  Refresh();
}

void TProgressGauge::SetForeColor(TColor color) {
  if (color == FForeColor) return;
  FForeColor = color;
  Refresh();
}

void TProgressGauge::SetBackColor(TColor color) {
  if (color == FBackColor) return;
  FBackColor = color;
  Refresh();
}

void TProgressGauge::Paint() {
  auto image = std::make_unique<TBitmap>();
  auto overlay = std::make_unique<TBltBitmap>();
  image->SetSize(Width(), Height());
  PaintBackground(image.get());
  TRect paintRect = ClientRect();
  if (FBorderStyle == bsSingle) {
    paintRect.Left += 1;
    paintRect.Top += 1;
    paintRect.Right -= 1;
    paintRect.Bottom -= 1;
  }
  overlay->MatchTemplate(image.get());
  PaintBackground(overlay.get());
  switch (FKind) {
  case gkText:
    PaintAsNothing(overlay.get(), paintRect);
    break;
  case gkHorizontalBar:
  case gkVerticalBar:
    PaintAsBar(overlay.get(), paintRect);
    break;
  case gkPie:
    PaintAsPie(overlay.get(), paintRect);
    break;
  case gkNeedle:
    PaintAsNeedle(overlay.get(), paintRect);
    break;
  default:
    break;
  }
  image->Canvas()->SetCopyMode(cmSrcInvert);
  image->Canvas()->Draw(0, 0, overlay.get());
  image->Canvas()->SetCopyMode(cmSrcCopy);
  if (FShowText) PaintAsText(image.get(), paintRect);
  Canvas()->SetCopyMode(cmSrcCopy);
  Canvas()->Draw(0, 0, image.get());
}

void TProgressGauge::PaintBackground(TBitmap* image) {
  TCanvas* canvas = image->Canvas();
  canvas->SetCopyMode(cmBlackness);
  TRect all = Rect(0, 0, Width(), Height());
  canvas->CopyRect(all, canvas, all);
  canvas->SetCopyMode(cmSrcCopy);
}

void TProgressGauge::PaintAsNothing(TBitmap* image, const TRect& paintRect) {
  TCanvas* canvas = image->Canvas();
  canvas->Brush()->SetColor(FBackColor);
  canvas->FillRect(paintRect);
}

void TProgressGauge::PaintAsBar(TBitmap* image, const TRect& paintRect) {
  int32_t percent = GetPercentDone();
  int w = paintRect.Right - paintRect.Left + 1;
  int h = paintRect.Bottom - paintRect.Top + 1;
  TCanvas* canvas = image->Canvas();
  canvas->Brush()->SetColor(FBackColor);
  canvas->FillRect(paintRect);
  canvas->Pen()->SetColor(FForeColor);
  canvas->Pen()->SetWidth(1);
  canvas->Brush()->SetColor(FForeColor);
  if (FKind == gkHorizontalBar) {
    int filled = static_cast<int>(int64_t{percent} * w / 100);
    if (filled > w) filled = w;
    // The fill's right and bottom are F and H themselves, not offsets from the rectangle.
    if (filled > 0) canvas->FillRect(Rect(paintRect.Left, paintRect.Top, filled, h));
  } else {
    int filled = static_cast<int>(int64_t{percent} * h / 100);
    if (filled >= h) filled = h - 1;
    canvas->FillRect(Rect(paintRect.Left, h - filled, w, h));
  }
}

void TProgressGauge::PaintAsPie(TBitmap* image, const TRect& paintRect) {
  int w = paintRect.Right - paintRect.Left, h = paintRect.Bottom - paintRect.Top;
  if (FBorderStyle == bsSingle) {
    ++w;
    ++h;
  }
  TCanvas* canvas = image->Canvas();
  canvas->Brush()->SetColor(Color());
  canvas->FillRect(paintRect);
  canvas->Brush()->SetColor(FBackColor);
  canvas->Pen()->SetColor(FForeColor);
  canvas->Pen()->SetWidth(1);
  canvas->Ellipse(paintRect.Left, paintRect.Top, w, h);
  int32_t percent = GetPercentDone();
  if (percent <= 0) return;
  canvas->Brush()->SetColor(FForeColor);
  int mx = w / 2, my = h / 2;
  double angle = (percent * 0.02 + 0.5) * std::numbers::pi;
  int x = static_cast<int>(std::floor((1 - std::cos(angle)) * mx));
  int y = static_cast<int>(std::floor((1 - std::sin(angle)) * my));
  canvas->Pie(paintRect.Left, paintRect.Top, w, h, x, y, mx, 0);
}

void TProgressGauge::PaintAsNeedle(TBitmap* image, const TRect& paintRect) {
  int x0 = paintRect.Left, y0 = paintRect.Top;
  int w = paintRect.Right - paintRect.Left, h = paintRect.Bottom - paintRect.Top;
  if (FBorderStyle == bsSingle) {
    ++w;
    ++h;
  }
  TCanvas* canvas = image->Canvas();
  canvas->Brush()->SetColor(Color());
  canvas->FillRect(paintRect);
  canvas->Brush()->SetColor(FBackColor);
  canvas->Pen()->SetColor(FForeColor);
  canvas->Pen()->SetWidth(1);
  canvas->Pie(x0, y0, w, 2 * h - 1, x0 + w, paintRect.Bottom - 1, x0, paintRect.Bottom - 1);
  canvas->MoveTo(x0, paintRect.Bottom);
  canvas->LineTo(x0 + w, paintRect.Bottom);
  int32_t percent = GetPercentDone();
  if (percent <= 0) return;
  canvas->Pen()->SetColor(FForeColor);
  int m = Width() / 2;
  double angle = percent * 0.01 * std::numbers::pi;
  canvas->MoveTo(m, paintRect.Bottom - 1);
  canvas->LineTo(static_cast<int>(std::floor((1 - std::cos(angle)) * m)),
                 static_cast<int>(std::floor((1 - std::sin(angle)) * (paintRect.Bottom - 1))));
}

void TProgressGauge::PaintAsText(TBitmap* image, const TRect& paintRect) {
  std::string text = IntToStr(GetPercentDone()) + "%";
  auto overlay = std::make_unique<TBltBitmap>();
  overlay->MatchTemplate(image);
  PaintBackground(overlay.get());
  TCanvas* canvas = overlay->Canvas();
  canvas->Brush()->SetStyle(bsClear);
  canvas->Font()->Assign(*Font());
  canvas->Font()->SetColor(clWhite);
  int x = (paintRect.Right - paintRect.Left + 1 - canvas->TextWidth(text)) / 2;
  int y = (paintRect.Bottom - paintRect.Top + 1 - canvas->TextHeight(text)) / 2;
  canvas->TextRect(paintRect, x, y, text);
  image->Canvas()->SetCopyMode(cmSrcInvert);
  image->Canvas()->Draw(0, 0, overlay.get());
}

bool TProgressGauge::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "Kind")
    SetGaugeKind(props::Enum<TProgressGaugeKind>(value, {{"gkText", gkText},
                                                         {"gkHorizontalBar", gkHorizontalBar},
                                                         {"gkVerticalBar", gkVerticalBar},
                                                         {"gkPie", gkPie},
                                                         {"gkNeedle", gkNeedle}}));
  else if (name == "ShowText")
    SetShowText(props::Bool(value));
  else if (name == "BorderStyle")
    SetBorderStyle(props::Enum<TFormBorderStyle>(value, {{"bsNone", bsNone},
                                                         {"bsSingle", bsSingle},
                                                         {"bsSizeable", bsSizeable},
                                                         {"bsDialog", bsDialog},
                                                         {"bsToolWindow", bsToolWindow},
                                                         {"bsSizeToolWin", bsSizeToolWin}}));
  else if (name == "ForeColor")
    SetForeColor(props::Color(value));
  else if (name == "BackColor")
    SetBackColor(props::Color(value));
  else if (name == "MinValue")
    SetMinValue(props::Int(value));
  else if (name == "MaxValue")
    SetMaxValue(props::Int(value));
  else if (name == "Progress")
    SetProgress(props::Int(value));
  else
    return TGraphicControl::SetProperty(name, value);
  return true;
}
