// fwload-make-icons XPM OUTDIR: the window's icon as the PNG sizes a desktop's icon theme looks
// for (OUTDIR/SIZExSIZE/apps/fwload.png). Pixel art, so it is scaled without smoothing.
#include <QDir>
#include <QImage>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fwload-make-icons XPM OUTDIR\n");
    return 1;
  }
  QImage source(QString::fromLocal8Bit(argv[1]));
  if (source.isNull()) {
    std::fprintf(stderr, "fwload-make-icons: cannot read %s\n", argv[1]);
    return 1;
  }
  for (int size : {16, 32, 48, 64, 128, 256}) {
    QString dir = QString::fromLocal8Bit(argv[2]) + QString("/%1x%1/apps").arg(size);
    QImage scaled = source.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (!QDir().mkpath(dir) || !scaled.save(dir + "/fwload.png", "PNG")) {
      std::fprintf(stderr, "fwload-make-icons: cannot write %s/fwload.png\n", qPrintable(dir));
      return 1;
    }
  }
  return 0;
}
