#include "Vantrel.QRCodes.h"

#include <QPainter>

#include <cerrno>
#include <memory>

#include <qrencode.h>

#include "UiTr.h"
#include "VCLPatches.h"

namespace Vantrel {

namespace {
struct TInputFree {
  void operator()(QRinput* Input) const { QRinput_free(Input); }
};
struct TCodeFree {
  void operator()(QRcode* Code) const { QRcode_free(Code); }
};

QImage Encode(const QString& Text, QRecLevel Level) {
  using Carvelin::Tr;
  if (Text.isEmpty()) throw EQRCodeError(Tr::tr("Texte vide").toStdString());
  const QByteArray Bytes = Text.toUtf8();
  std::unique_ptr<QRinput, TInputFree> Input(QRinput_new2(0, Level));
  if (!Input) throw std::bad_alloc();
  bool Ascii = true;
  for (const char C : Bytes) Ascii = Ascii && static_cast<unsigned char>(C) < 0x80;
  // ISO/IEC 18004 §6.4.2: ECI 000026 announces UTF-8.
  if ((!Ascii && QRinput_appendECIheader(Input.get(), 26) != 0) ||
      QRinput_append(Input.get(), QR_MODE_8, int(Bytes.size()), reinterpret_cast<const unsigned char*>(Bytes.data())) != 0)
    throw EQRCodeError(Tr::tr("Texte trop long pour un QR code").toStdString());
  errno = 0;
  std::unique_ptr<QRcode, TCodeFree> Code(QRcode_encodeInput(Input.get()));
  if (!Code) {
    if (errno == ENOMEM) throw std::bad_alloc();
    throw EQRCodeError(Tr::tr("Texte trop long pour un QR code").toStdString());
  }
  const int Modules = Code->width, Side = Modules + 2;  // quiet zone: one module
  QImage Bitmap(Side, Side, QImage::Format_RGB32);
  Bitmap.fill(Qt::white);
  for (int Y = 0; Y < Modules; ++Y)
    for (int X = 0; X < Modules; ++X)
      if (Code->data[Y * Modules + X] & 1) Bitmap.setPixel(X + 1, Y + 1, qRgb(0, 0, 0));
  return Bitmap;
}
}  // namespace

QImage QRCodeBitmap(const QString& Text) { return Encode(Text, QR_ECLEVEL_M); }

QByteArray QRCodePNG(const QString& Text, int ImageIndex, const Carvelin::TImageList* Images, int MinSize) {
  const bool WithIcon = Images && ImageIndex >= 0 && ImageIndex < Images->Count();
  const QImage Code = Encode(Text, WithIcon ? QR_ECLEVEL_H : QR_ECLEVEL_M);
  const int IconWidth = Images ? Images->Width() : 0;
  const int Size = std::max(MinSize, (WithIcon ? 4 : 2) * IconWidth);
  const int Factor = std::max(1, (Size + Code.width() - 1) / Code.width());
  // Whole modules, no smoothing.
  QImage Scaled = Code.scaled(Code.size() * Factor, Qt::IgnoreAspectRatio, Qt::FastTransformation);
  if (WithIcon) {
    QPainter Painter(&Scaled);
    Images->Draw(Painter, (Scaled.width() - Images->Width()) / 2, (Scaled.height() - Images->Height()) / 2, ImageIndex);
  }
  return Carvelin::BitmapToPNG(Scaled);
}

}  // namespace Vantrel
