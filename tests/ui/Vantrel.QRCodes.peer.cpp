// QR codes read back by two independent decoders, zbarimg and ZXingReader,
// from the PNG exactly as the program makes it (no margin added).
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "VCLPatches.h"
#include "Vantrel.QRCodes.h"

using namespace Vantrel;

namespace {

struct TDecoded {
  QByteArray Text;
  QByteArray Level;  // ZXingReader's "EC Level"
};

QByteArray RunTool(const QString& Program, const QStringList& Args) {
  QProcess Process;
  Process.start(Program, Args);
  if (!Process.waitForFinished(60000)) return "<no answer>";
  return Process.readAllStandardOutput();
}

QByteArray Zbar(const QString& File) {
  QByteArray Out = RunTool("zbarimg", {"-q", "--raw", "-Sbinary", File});
  return Out;
}

TDecoded ZXing(const QString& File) {
  TDecoded Result;
  Result.Text = RunTool("ZXingReader", {"-format", "QRCode", "-bytes", File});
  for (const QByteArray& Line : RunTool("ZXingReader", {"-format", "QRCode", File}).split('\n'))
    if (Line.startsWith("EC Level:")) Result.Level = Line.mid(9).trimmed();
  return Result;
}

QString Link(int Length) {
  // A document link as the main window copies it, padded to Length with OID digits.
  QString Text = "dmp://1.2.250.1.213.1.4.10/2.25.";
  for (int I = 0; Text.size() < Length; ++I) Text += QChar(u'0' + (I * 7 + 3) % 10);
  return Text.left(Length);
}

// One image list of square icons: a coloured disc on white.
Carvelin::TImageList* Icons(int Size, QObject* Owner) {
  auto* List = new Carvelin::TImageList(Size, Size, Owner);
  QImage Icon(Size, Size, QImage::Format_ARGB32);
  Icon.fill(Qt::white);
  QPainter Painter(&Icon);
  Painter.setBrush(QColor(200, 30, 30));
  Painter.drawEllipse(1, 1, Size - 2, Size - 2);
  Painter.end();
  List->Add(Icon);
  return List;
}

}  // namespace

class TQRCodesPeer : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    if (QStandardPaths::findExecutable("zbarimg").isEmpty() || QStandardPaths::findExecutable("ZXingReader").isEmpty())
      QSKIP("zbarimg and ZXingReader are needed (zbar-tools, zxing-cpp-tools)");
  }

  void decoders_read_back_the_text_data() {
    QTest::addColumn<QString>("Text");
    QTest::addColumn<int>("IconSize");  // 0: no icon
    const QList<QString> Texts = {
        "A", Link(40), Link(120), Link(300), Link(500),
        QString(500, u'x'),
        QString::fromUtf8("Dossier médical partagé de Françoise Lefèvre-Goëllo, née à Besançon"),
        QString::fromUtf8("dmp://1.2.250.1.213.1.4.10/é"),
    };
    for (const QString& Text : Texts)
      for (const int Icon : {0, 16, 32, 48})
        QTest::addRow("%d chars, icon %d: %s", int(Text.size()), Icon, qPrintable(Text.left(12))) << Text << Icon;
    // Every link length from 20 to 140 with the main window's 32-pixel icon.
    for (int Length = 20; Length <= 140; Length += 3)
      QTest::addRow("link %d, icon 32", Length) << Link(Length) << 32;
  }
  void decoders_read_back_the_text() {
    QFETCH(QString, Text);
    QFETCH(int, IconSize);
    QObject Owner;
    Carvelin::TImageList* List = IconSize ? Icons(IconSize, &Owner) : nullptr;
    const QByteArray Png = QRCodePNG(Text, IconSize ? 0 : -1, List, 0);
    QTemporaryDir Dir;
    const QString File = Dir.filePath("code.png");
    QFile Out(File);
    QVERIFY(Out.open(QIODevice::WriteOnly));
    Out.write(Png);
    Out.close();

    QByteArray FromZbar = Zbar(File);
    if (FromZbar.endsWith('\n')) FromZbar.chop(1);
    QCOMPARE(FromZbar, Text.toUtf8());
    const TDecoded FromZXing = ZXing(File);
    QCOMPARE(FromZXing.Text, Text.toUtf8());
    QCOMPARE(FromZXing.Level, IconSize ? QByteArray("H") : QByteArray("M"));

    const QImage Image = QImage::fromData(Png, "PNG");
    if (IconSize) QVERIFY2(Image.width() >= 4 * IconSize, qPrintable(QString::number(Image.width())));
  }
};

QTEST_MAIN(TQRCodesPeer)
#include "Vantrel.QRCodes.peer.moc"
