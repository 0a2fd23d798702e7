// TBitmap: an off-screen 32-bit RGB image with a canvas; TBltBitmap sizes itself after another.
#pragma once

#include <memory>

#include "framework/Canvas.h"

class TBitmap : public TObject {
public:
  TBitmap();
  ~TBitmap() override;
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  int Width() const;
  int Height() const;
  void SetWidth(int width) { SetSize(width, Height()); }
  void SetHeight(int height) { SetSize(Width(), height); }
  // Keeps the pixels that still fit; new pixels are white. Negative sizes count as 0.
  void SetSize(int width, int height);
  bool Empty() const { return Width() == 0 || Height() == 0; }

  TCanvas* Canvas() { return &FCanvas; }
  QImage& Image() { return *FImage; }
  const QImage& Image() const { return *FImage; }

private:
  std::unique_ptr<QImage> FImage;
  TCanvas FCanvas;
};

class TBltBitmap : public TBitmap {
public:
  // Takes the template's width and height.
  void MatchTemplate(TBitmap* templateBitmap);
};
