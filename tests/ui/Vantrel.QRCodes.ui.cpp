// QR-code bitmaps: module layout, quiet zone, sizes and bad input.
#include <QtTest>

#include "VCLPatches.h"
#include "Vantrel.QRCodes.h"

using namespace Vantrel;

class TQRCodes : public QObject {
  Q_OBJECT

 private slots:
  void bitmap_has_one_pixel_per_module_and_a_one_module_quiet_zone() {
    const QImage Code = QRCodeBitmap("HELLO");  // version 1: 21 modules
    QCOMPARE(Code.size(), QSize(23, 23));
    for (int I = 0; I < 23; ++I) {
      QCOMPARE(Code.pixel(I, 0), qRgb(255, 255, 255));
      QCOMPARE(Code.pixel(0, I), qRgb(255, 255, 255));
      QCOMPARE(Code.pixel(I, 22), qRgb(255, 255, 255));
      QCOMPARE(Code.pixel(22, I), qRgb(255, 255, 255));
    }
    // The finder pattern's dark corner sits right inside the quiet zone.
    QCOMPARE(Code.pixel(1, 1), qRgb(0, 0, 0));
    QCOMPARE(Code.pixel(21, 1), qRgb(0, 0, 0));
  }

  void png_size_follows_the_whole_factor_data() {
    QTest::addColumn<int>("IconSize");
    QTest::addColumn<int>("Index");
    QTest::addColumn<int>("MinSize");
    QTest::addColumn<int>("Width");
    // "HELLO": 23 pixels with the quiet zone, at level M or H.
    QTest::newRow("bare, no minimum") << 0 << -1 << 0 << 23;
    QTest::newRow("bare, minimum 100") << 0 << -1 << 100 << 115;
    QTest::newRow("negative index: bare code, twice the icon") << 32 << -1 << 0 << 69;
    QTest::newRow("icon 32: four icon widths") << 32 << 0 << 0 << 138;
    QTest::newRow("icon 16 under a larger minimum") << 16 << 0 << 100 << 115;
  }
  void png_size_follows_the_whole_factor() {
    QFETCH(int, IconSize);
    QFETCH(int, Index);
    QFETCH(int, MinSize);
    QFETCH(int, Width);
    Carvelin::TImageList List(IconSize, IconSize);
    if (IconSize) {
      QImage Icon(IconSize, IconSize, QImage::Format_ARGB32);
      Icon.fill(Qt::red);
      List.Add(Icon);
    }
    const QImage Image = QImage::fromData(QRCodePNG("HELLO", Index, IconSize ? &List : nullptr, MinSize), "PNG");
    QCOMPARE(Image.width(), Width);
    QCOMPARE(Image.height(), Width);
    const QPoint Centre(Width / 2, Width / 2);
    QCOMPARE(Image.pixel(Centre) == qRgb(255, 0, 0), Index >= 0);
  }

  void bad_text_is_refused_data() {
    QTest::addColumn<QString>("Text");
    QTest::addColumn<QString>("Message");
    QTest::newRow("empty") << QString() << QString("Texte vide");
    QTest::newRow("beyond version 40") << QString(3000, u'z') << QString("Texte trop long pour un QR code");
  }
  void bad_text_is_refused() {
    QFETCH(QString, Text);
    QFETCH(QString, Message);
    try {
      QRCodeBitmap(Text);
      QFAIL("no exception");
    } catch (const EQRCodeError& E) {
      QCOMPARE(QString::fromUtf8(E.what()), Message);
    }
    QVERIFY_THROWS_EXCEPTION(EQRCodeError, QRCodePNG(Text, -1, nullptr, 0));
  }
};

QTEST_MAIN(TQRCodes)
#include "Vantrel.QRCodes.ui.moc"
