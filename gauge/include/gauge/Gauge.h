// TProgressGauge: how far a value has come within a range, as a bar, pie, needle or bare
// percentage, with the whole percentage written over it.
#pragma once

#include <cstdint>

#include "framework/Bitmap.h"
#include "framework/GraphicControl.h"

enum TProgressGaugeKind : uint8_t {
  gkText = 0,
  gkHorizontalBar = 1,
  gkVerticalBar = 2,
  gkPie = 3,
  gkNeedle = 4
};

// Every paint draws into off-screen bitmaps and reaches the screen in one copy. The gauge
// paints all of its rectangle, so nothing beneath it is drawn first.
class TProgressGauge : public TGraphicControl {
public:
  explicit TProgressGauge(TComponent* owner);
  ~TProgressGauge() override;

  int32_t MinValue() const { return FMinValue; }
  int32_t MaxValue() const { return FMaxValue; }
  int32_t Progress() const { return FCurValue; }
  TProgressGaugeKind Kind() const { return FKind; }
  bool ShowText() const { return FShowText; }
  TFormBorderStyle BorderStyle() const { return FBorderStyle; }
  TColor ForeColor() const { return FForeColor; }
  TColor BackColor() const { return FBackColor; }

  // The whole percentage of Progress within MinValue..MaxValue (0 for an empty range).
  int32_t GetPercentDone() const;
  int32_t PercentDone() const { return GetPercentDone(); }

  // Clamps to the range; repaints only when the whole percentage changes.
  void SetProgress(int32_t value);
  // SetProgress with Progress + value, then repaints in every case.
  void AddProgress(int32_t value);
  // Raise Exception "Value must be between %d and %d" and change nothing for a value beyond
  // the other end of the range.
  void SetMinValue(int32_t value);
  void SetMaxValue(int32_t value);
  void SetGaugeKind(TProgressGaugeKind kind);
  void SetShowText(bool showText);
  void SetBorderStyle(TFormBorderStyle style);
  void SetForeColor(TColor color);
  void SetBackColor(TColor color);

  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  void Paint() override;
  void PaintBackground(TBitmap* image);
  void PaintAsText(TBitmap* image, const TRect& paintRect);
  void PaintAsNothing(TBitmap* image, const TRect& paintRect);
  void PaintAsBar(TBitmap* image, const TRect& paintRect);
  void PaintAsPie(TBitmap* image, const TRect& paintRect);
  void PaintAsNeedle(TBitmap* image, const TRect& paintRect);

private:
  int32_t FMinValue;
  int32_t FMaxValue;
  int32_t FCurValue;
  TProgressGaugeKind FKind;
  bool FShowText;
  TFormBorderStyle FBorderStyle;
  TColor FForeColor;
  TColor FBackColor;
};
