// TCanvas: GDI-style drawing on a bitmap or, during a paint, on a control.
#pragma once

#include <string>

#include "framework/Graphics.h"

class QImage;
class QPainter;
class TBitmap;

// Raster operations of CopyRect and Draw, with their Win32 values.
using TCopyMode = int32_t;
constexpr TCopyMode cmBlackness = 0x00000042;
constexpr TCopyMode cmDstInvert = 0x00550009;
constexpr TCopyMode cmMergePaint = 0x00BB0226;
constexpr TCopyMode cmNotSrcCopy = 0x00330008;
constexpr TCopyMode cmSrcAnd = 0x008800C6;
constexpr TCopyMode cmSrcCopy = 0x00CC0020;
constexpr TCopyMode cmSrcInvert = 0x00660046;
constexpr TCopyMode cmSrcPaint = 0x00EE0086;
constexpr TCopyMode cmWhiteness = 0x00FF0062;
#ifndef SRCCOPY
constexpr TCopyMode BLACKNESS = cmBlackness;
constexpr TCopyMode SRCCOPY = cmSrcCopy;
constexpr TCopyMode SRCINVERT = cmSrcInvert;
constexpr TCopyMode SRCAND = cmSrcAnd;
constexpr TCopyMode SRCPAINT = cmSrcPaint;
constexpr TCopyMode DSTINVERT = cmDstInvert;
constexpr TCopyMode NOTSRCCOPY = cmNotSrcCopy;
constexpr TCopyMode WHITENESS = cmWhiteness;
#endif

// A bitmap's canvas works on its pixels directly, so raster operations are exact bitwise
// operations and fills and lines cover exactly the pixels the GDI covers. A control's canvas
// exists only while the control paints and draws through the paint's QPainter.
class TCanvas : public TObject {
public:
  TCanvas() = default;
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  TPen* Pen() { return &FPen; }
  TBrush* Brush() { return &FBrush; }
  TFont* Font() { return &FFont; }
  TCopyMode CopyMode() const { return FCopyMode; }
  void SetCopyMode(TCopyMode mode) { FCopyMode = mode; }
  TPoint PenPos() const { return FPenPos; }
  void SetPenPos(TPoint pos) { FPenPos = pos; }

  // The brush over Left..Right-1, Top..Bottom-1; nothing with a clear brush.
  void FillRect(const TRect& rect);
  // Outline with the pen, inside filled with the brush; right and bottom exclusive.
  void Rectangle(int x1, int y1, int x2, int y2);
  // Copies `source` of `canvas` (a bitmap's) onto `dest` with CopyMode, stretching as needed.
  void CopyRect(const TRect& dest, TCanvas* canvas, const TRect& source);
  // The whole bitmap at (x, y) with CopyMode.
  void Draw(int x, int y, TBitmap* bitmap);
  // The ellipse inside the box (x1, y1)-(x2, y2), right and bottom exclusive.
  void Ellipse(int x1, int y1, int x2, int y2);
  // The wedge of that ellipse from the radial through (x3, y3) counter-clockwise to the one
  // through (x4, y4).
  void Pie(int x1, int y1, int x2, int y2, int x3, int y3, int x4, int y4);
  void MoveTo(int x, int y) { FPenPos = {x, y}; }
  // A line from the pen position up to, not including, (x, y).
  void LineTo(int x, int y);

  int TextWidth(const std::string& text);
  int TextHeight(const std::string& text);
  // Text with its cell's top left at (x, y); with a solid brush on the brush's colour.
  void TextOut(int x, int y, const std::string& text);
  // As TextOut, clipped to `rect`, which a solid brush fills first.
  void TextRect(const TRect& rect, int x, int y, const std::string& text);

  // Bitmap canvases only: the RGB value of one pixel (clNone outside the bitmap).
  TColor Pixels(int x, int y) const;
  void SetPixel(int x, int y, TColor color);

  // Where the drawing goes: a bitmap's image, or a painter during a control's paint.
  void AttachImage(QImage* image);
  void AttachPainter(QPainter* painter, int width, int height);
  void Detach();
  QImage* Image() const { return FImage; }

private:
  template <typename F> void Paint(F&& draw);
  void Blit(const TRect& dest, const QImage& src, const TRect& source);
  TPen FPen;
  TBrush FBrush;
  TFont FFont;
  TCopyMode FCopyMode = cmSrcCopy;
  TPoint FPenPos;
  QImage* FImage = nullptr;
  QPainter* FPainter = nullptr;
  int FWidth = 0;
  int FHeight = 0;
};
