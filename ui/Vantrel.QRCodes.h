// QR codes over libqrencode: a text (UTF-8 bytes in byte mode) as an image
// with one pixel per module and a quiet zone of one module, and as a PNG
// scaled by a whole factor with an optional icon in its centre.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <stdexcept>

namespace Carvelin {
class TImageList;
}

namespace Vantrel {

class EQRCodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Level M. A text holding any non-ASCII character is preceded by the ECI
// designator 26 (UTF-8), so that readers do not guess another encoding.
// Throws EQRCodeError for an empty text or one beyond version 40.
QImage QRCodeBitmap(const QString& Text);

// The code scaled to at least MinSize pixels. With an icon (ImageIndex of
// Images) the code is level H and at least four icon widths wide, so that
// the modules the icon hides stay within what error correction recovers.
QByteArray QRCodePNG(const QString& Text, int ImageIndex, const Carvelin::TImageList* Images, int MinSize);

}  // namespace Vantrel
