#include "framework/Canvas.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <numbers>

#include "framework/Bitmap.h"

namespace {

constexpr QRgb Opaque = 0xFF000000u;

QRgb ToRgb(TColor color) {
  TColor v = ColorToRGB(color);
  return qRgb(v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF);
}

QRect ToQRect(const TRect& r) {
  return QRect(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top);
}

// Fills whole pixels of a 32-bit image; the rectangle is clipped to the image.
void FillPixels(QImage& image, QRect r, QRgb color) {
  r = r.intersected(image.rect());
  for (int y = r.top(); y <= r.bottom(); ++y) {
    QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    std::fill(line + r.left(), line + r.right() + 1, color);
  }
}

void PutPixel(QImage& image, int x, int y, QRgb color) {
  if (image.rect().contains(x, y)) reinterpret_cast<QRgb*>(image.scanLine(y))[x] = color;
}

// The result of a binary raster operation on one pixel; alpha stays opaque.
bool RasterOp(TCopyMode mode, QRgb d, QRgb s, QRgb& out) {
  switch (mode) {
  case cmBlackness:
    out = 0;
    break;
  case cmWhiteness:
    out = 0xFFFFFF;
    break;
  case cmSrcCopy:
    out = s;
    break;
  case cmSrcInvert:
    out = d ^ s;
    break;
  case cmSrcAnd:
    out = d & s;
    break;
  case cmSrcPaint:
    out = d | s;
    break;
  case cmNotSrcCopy:
    out = ~s;
    break;
  case cmDstInvert:
    out = ~d;
    break;
  case cmMergePaint:
    out = ~s | d;
    break;
  default:
    return false;
  }
  out = (out & 0xFFFFFF) | Opaque;
  return true;
}

bool NeedsSource(TCopyMode mode) {
  return mode != cmBlackness && mode != cmWhiteness && mode != cmDstInvert;
}

Qt::PenStyle ToQPenStyle(TPenStyle style) {
  switch (style) {
  case psDash:
    return Qt::DashLine;
  case psDot:
    return Qt::DotLine;
  case psDashDot:
    return Qt::DashDotLine;
  case psDashDotDot:
    return Qt::DashDotDotLine;
  case psClear:
    return Qt::NoPen;
  default:
    return Qt::SolidLine;
  }
}

Qt::BrushStyle ToQBrushStyle(TBrushStyle style) {
  switch (style) {
  case bsClear:
    return Qt::NoBrush;
  case bsHorizontal:
    return Qt::HorPattern;
  case bsVertical:
    return Qt::VerPattern;
  case bsFDiagonal:
    return Qt::FDiagPattern;
  case bsBDiagonal:
    return Qt::BDiagPattern;
  case bsCross:
    return Qt::CrossPattern;
  case bsDiagCross:
    return Qt::DiagCrossPattern;
  default:
    return Qt::SolidPattern;
  }
}

void SetShapeTools(QPainter& p, TPen& pen, TBrush& brush) {
  p.setRenderHint(QPainter::Antialiasing, false);
  QPen qpen(ColorToQColor(pen.Color()));
  qpen.setWidth(pen.Width());
  qpen.setStyle(ToQPenStyle(pen.Style()));
  p.setPen(qpen);
  p.setBrush(QBrush(ColorToQColor(brush.Color()), ToQBrushStyle(brush.Style())));
}

// Angle of a radial in Qt's measure: degrees counter-clockwise from three o'clock.
double RadialAngle(double cx, double cy, int x, int y) {
  return std::atan2(cy - y, x - cx) * 180.0 / std::numbers::pi;
}

} // namespace

template <typename F> void TCanvas::Paint(F&& draw) {
  if (FPainter) {
    FPainter->save();
    draw(*FPainter);
    FPainter->restore();
  } else if (FImage && !FImage->isNull()) {
    QPainter p(FImage);
    draw(p);
  }
}

void TCanvas::AttachImage(QImage* image) {
  FImage = image;
  FPainter = nullptr;
}

void TCanvas::AttachPainter(QPainter* painter, int width, int height) {
  FImage = nullptr;
  FPainter = painter;
  FWidth = width;
  FHeight = height;
}

void TCanvas::Detach() {
  FImage = nullptr;
  FPainter = nullptr;
}

void TCanvas::FillRect(const TRect& rect) {
  if (FBrush.Style() == bsClear || rect.Right <= rect.Left || rect.Bottom <= rect.Top) return;
  if (!FPainter && FImage && FBrush.Style() == bsSolid) {
    FillPixels(*FImage, ToQRect(rect), ToRgb(FBrush.Color()));
    return;
  }
  Paint([&](QPainter& p) {
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(ToQRect(rect), QBrush(ColorToQColor(FBrush.Color()), ToQBrushStyle(FBrush.Style())));
  });
}

void TCanvas::Rectangle(int x1, int y1, int x2, int y2) {
  if (x2 <= x1 || y2 <= y1) return;
  Paint([&](QPainter& p) {
    SetShapeTools(p, FPen, FBrush);
    // Qt's outline covers one pixel more to the right and below than the GDI's.
    p.drawRect(QRect(x1, y1, x2 - x1 - 1, y2 - y1 - 1));
  });
}

void TCanvas::Blit(const TRect& dest, const QImage& src, const TRect& source) {
  int dw = dest.Width(), dh = dest.Height(), sw = source.Width(), sh = source.Height();
  if (dw <= 0 || dh <= 0) return;
  bool needsSource = NeedsSource(FCopyMode);
  if (needsSource && (sw <= 0 || sh <= 0)) return;
  QRgb probe;
  if (!RasterOp(FCopyMode, 0, 0, probe))
    throw Exception(Format("Unsupported copy mode $%08X", static_cast<unsigned>(FCopyMode)));
  QRect clip = ToQRect(dest).intersected(FImage->rect());
  for (int y = clip.top(); y <= clip.bottom(); ++y) {
    QRgb* line = reinterpret_cast<QRgb*>(FImage->scanLine(y));
    int sy = source.Top + (y - dest.Top) * sh / dh;
    const QRgb* srcLine = nullptr;
    if (needsSource) {
      if (sy < 0 || sy >= src.height()) continue;
      srcLine = reinterpret_cast<const QRgb*>(src.constScanLine(sy));
    }
    for (int x = clip.left(); x <= clip.right(); ++x) {
      QRgb s = 0;
      if (needsSource) {
        int sx = source.Left + (x - dest.Left) * sw / dw;
        if (sx < 0 || sx >= src.width()) continue;
        s = srcLine[sx];
      }
      RasterOp(FCopyMode, line[x], s, line[x]);
    }
  }
}

void TCanvas::CopyRect(const TRect& dest, TCanvas* canvas, const TRect& source) {
  QImage src;
  if (NeedsSource(FCopyMode)) {
    if (!canvas || !canvas->FImage) throw Exception("Canvas does not allow drawing");
    // A shared copy: copying a canvas onto itself reads the pixels as they were.
    src = canvas->FImage->convertToFormat(QImage::Format_RGB32);
  }
  if (!FPainter && FImage) {
    Blit(dest, src, source);
    return;
  }
  Paint([&](QPainter& p) {
    QRect d = ToQRect(dest);
    switch (FCopyMode) {
    case cmBlackness:
      p.fillRect(d, Qt::black);
      return;
    case cmWhiteness:
      p.fillRect(d, Qt::white);
      return;
    case cmSrcCopy:
      p.setCompositionMode(QPainter::CompositionMode_Source);
      break;
    case cmSrcInvert:
      p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
      break;
    case cmSrcAnd:
      p.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
      break;
    case cmSrcPaint:
      p.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
      break;
    case cmNotSrcCopy:
      p.setCompositionMode(QPainter::RasterOp_NotSource);
      break;
    default:
      throw Exception(Format("Unsupported copy mode $%08X", static_cast<unsigned>(FCopyMode)));
    }
    p.drawImage(d, src, ToQRect(source));
  });
}

void TCanvas::Draw(int x, int y, TBitmap* bitmap) {
  if (!bitmap || bitmap->Empty()) return;
  CopyRect(Bounds(x, y, bitmap->Width(), bitmap->Height()), bitmap->Canvas(),
           Rect(0, 0, bitmap->Width(), bitmap->Height()));
}

void TCanvas::Ellipse(int x1, int y1, int x2, int y2) {
  if (x2 <= x1 || y2 <= y1) return;
  Paint([&](QPainter& p) {
    SetShapeTools(p, FPen, FBrush);
    p.drawEllipse(QRect(x1, y1, x2 - x1 - 1, y2 - y1 - 1));
  });
}

void TCanvas::Pie(int x1, int y1, int x2, int y2, int x3, int y3, int x4, int y4) {
  if (x2 <= x1 || y2 <= y1) return;
  double cx = (x1 + x2) / 2.0, cy = (y1 + y2) / 2.0;
  double start = RadialAngle(cx, cy, x3, y3);
  double span = RadialAngle(cx, cy, x4, y4) - start;
  while (span <= 0)
    span += 360.0; // equal radials make the whole ellipse
  Paint([&](QPainter& p) {
    SetShapeTools(p, FPen, FBrush);
    p.drawPie(QRect(x1, y1, x2 - x1 - 1, y2 - y1 - 1), static_cast<int>(std::lround(start * 16)),
              static_cast<int>(std::lround(span * 16)));
  });
}

void TCanvas::LineTo(int x, int y) {
  TPoint from = FPenPos;
  FPenPos = {x, y};
  if (FPen.Style() == psClear) return;
  if (!FPainter && FImage && FPen.Width() == 1 && FPen.Style() == psSolid) {
    // Bresenham, leaving out the end point as the GDI does.
    QRgb color = ToRgb(FPen.Color());
    int x0 = from.X, y0 = from.Y;
    int dx = std::abs(x - x0), sx = x0 < x ? 1 : -1;
    int dy = -std::abs(y - y0), sy = y0 < y ? 1 : -1;
    int err = dx + dy;
    while (x0 != x || y0 != y) {
      PutPixel(*FImage, x0, y0, color);
      int e2 = 2 * err;
      if (e2 >= dy) {
        err += dy;
        x0 += sx;
      }
      if (e2 <= dx) {
        err += dx;
        y0 += sy;
      }
    }
    return;
  }
  Paint([&](QPainter& p) {
    SetShapeTools(p, FPen, FBrush);
    p.drawLine(from.X, from.Y, x, y);
  });
}

int TCanvas::TextWidth(const std::string& text) {
  QFont font = FFont.ToQFont();
  QFontMetrics fm = FImage ? QFontMetrics(font, FImage) : QFontMetrics(font);
  return fm.horizontalAdvance(QString::fromStdString(text));
}

int TCanvas::TextHeight(const std::string&) {
  QFont font = FFont.ToQFont();
  QFontMetrics fm = FImage ? QFontMetrics(font, FImage) : QFontMetrics(font);
  return fm.height();
}

void TCanvas::TextOut(int x, int y, const std::string& text) {
  QString s = QString::fromStdString(text);
  int advance = 0;
  Paint([&](QPainter& p) {
    p.setFont(FFont.ToQFont());
    QFontMetrics fm = p.fontMetrics();
    advance = fm.horizontalAdvance(s);
    if (FBrush.Style() != bsClear)
      p.fillRect(QRect(x, y, advance, fm.height()), ColorToQColor(FBrush.Color()));
    p.setPen(ColorToQColor(FFont.Color()));
    p.drawText(x, y + fm.ascent(), s);
  });
  FPenPos = {x + advance, y};
}

void TCanvas::TextRect(const TRect& rect, int x, int y, const std::string& text) {
  QString s = QString::fromStdString(text);
  Paint([&](QPainter& p) {
    QRect r = ToQRect(rect);
    p.setClipRect(r);
    if (FBrush.Style() != bsClear) p.fillRect(r, ColorToQColor(FBrush.Color()));
    p.setFont(FFont.ToQFont());
    p.setPen(ColorToQColor(FFont.Color()));
    p.drawText(x, y + p.fontMetrics().ascent(), s);
  });
}

TColor TCanvas::Pixels(int x, int y) const {
  if (!FImage || !FImage->rect().contains(x, y)) return clNone;
  QRgb c = FImage->pixel(x, y);
  return (qBlue(c) << 16) | (qGreen(c) << 8) | qRed(c);
}

void TCanvas::SetPixel(int x, int y, TColor color) {
  if (FImage) PutPixel(*FImage, x, y, ToRgb(color));
}
