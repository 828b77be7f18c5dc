// How many colours a picture really shows: the distinct colours of its
// opaque pixels, each channel cut to 8 levels so that smoothing does not
// count. A one-colour glyph or a flat placeholder gives 1 or 2.
#pragma once

#include <QImage>
#include <QSet>

inline int DistinctColours(const QImage& Image) {
  const QImage Argb = Image.convertToFormat(QImage::Format_ARGB32);
  QSet<int> Colours;
  for (int Y = 0; Y < Argb.height(); ++Y)
    for (int X = 0; X < Argb.width(); ++X) {
      const QRgb P = Argb.pixel(X, Y);
      if (qAlpha(P) >= 200) Colours.insert((qRed(P) >> 5) << 6 | (qGreen(P) >> 5) << 3 | qBlue(P) >> 5);
    }
  return int(Colours.size());
}
