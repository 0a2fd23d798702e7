#include "framework/Bitmap.h"

#include <QImage>
#include <QPainter>

TBitmap::TBitmap() : FImage(std::make_unique<QImage>()) {
  FCanvas.AttachImage(FImage.get());
}

TBitmap::~TBitmap() {
  FCanvas.Detach();
}

int TBitmap::Width() const {
  return FImage->width();
}

int TBitmap::Height() const {
  return FImage->height();
}

void TBitmap::SetSize(int width, int height) {
  width = width < 0 ? 0 : width;
  height = height < 0 ? 0 : height;
  if (width == Width() && height == Height()) return;
  QImage image;
  if (width > 0 && height > 0) {
    image = QImage(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    if (!FImage->isNull()) {
      QPainter p(&image);
      p.setCompositionMode(QPainter::CompositionMode_Source);
      p.drawImage(0, 0, *FImage);
    }
  }
  *FImage = image; // the canvas keeps pointing at FImage
}

void TBltBitmap::MatchTemplate(TBitmap* templateBitmap) {
  SetSize(templateBitmap->Width(), templateBitmap->Height());
}
