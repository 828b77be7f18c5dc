// The image-list cache read by ImageMagick's identify: each file is a PNG
// of the scaled size, a second start reads it, a changed strip gets its own.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "VCLPatches.h"

using namespace Carvelin;

namespace {
QString Identify(const QString& File) {
  QProcess Process;
  Process.start("identify", {"-format", "%m %wx%h", File});
  Process.waitForFinished(60000);
  return QString::fromUtf8(Process.readAllStandardOutput()).trimmed();
}

void Fill(TImageList& List, QRgb Colour) {
  for (int I = 0; I < 3; ++I) {
    QImage Cell(16, 16, QImage::Format_ARGB32);
    Cell.fill(I == 1 ? qRgb(0, 0, 255) : Colour);
    List.Add(Cell);
  }
}
}  // namespace

class TImageCachePeer : public QObject {
  Q_OBJECT

  QTemporaryDir Cache;

 private slots:
  void initTestCase() {
    if (QStandardPaths::findExecutable("identify").isEmpty()) QSKIP("identify is needed (imagemagick)");
    qputenv("XDG_CACHE_HOME", Cache.path().toUtf8());
  }
  void cleanup() { SetScreenDPI(0); }

  void nothing_at_96_dpi() {
    SetScreenDPI(96);
    TImageList List(16, 16);
    List.setObjectName("ilMain");
    Fill(List, qRgb(255, 0, 0));
    List.Resize();
    QCOMPARE(List.Width(), 16);
    QVERIFY(!QDir(TImageList::CacheFolder()).exists());
  }

  void cache_file_is_written_read_and_keyed_by_the_pixels() {
    SetScreenDPI(120);
    TImageList First(16, 16);
    First.setObjectName("ilMain");
    Fill(First, qRgb(255, 0, 0));
    First.Resize();
    QCOMPARE(First.Width(), 20);
    QCOMPARE(First.Count(), 3);
    QCOMPARE(First.Image(1).pixel(10, 10), qRgb(0, 0, 255));
    const QStringList Files = QDir(TImageList::CacheFolder()).entryList(QDir::Files);
    QCOMPARE(Files.size(), 1);
    QVERIFY(QRegularExpression("^ilMain_120_[0-9a-f]{16}\\.png$").match(Files[0]).hasMatch());
    const QString File = TImageList::CacheFolder() + "/" + Files[0];
    QCOMPARE(Identify(File), QString("PNG 60x20"));

    // A second start reads the file: mark it and see the mark come back.
    QImage Marked(File);
    Marked.setPixel(5, 5, qRgb(0, 255, 0));
    QVERIFY(Marked.save(File, "PNG"));
    TImageList Second(16, 16);
    Second.setObjectName("ilMain");
    Fill(Second, qRgb(255, 0, 0));
    Second.Resize();
    QCOMPARE(Second.Image(0).pixel(5, 5), qRgb(0, 255, 0));

    // A file of the wrong size or that does not load is rebuilt.
    QFile Cut(File);
    QVERIFY(Cut.open(QIODevice::WriteOnly | QIODevice::Truncate));
    Cut.write("\x89PNG\r\n");
    Cut.close();
    TImageList Third(16, 16);
    Third.setObjectName("ilMain");
    Fill(Third, qRgb(255, 0, 0));
    Third.Resize();
    QCOMPARE(Third.Image(0).pixel(5, 5), qRgb(255, 0, 0));
    QCOMPARE(Identify(File), QString("PNG 60x20"));

    // Other images: another file beside the first.
    TImageList Changed(16, 16);
    Changed.setObjectName("ilMain");
    Fill(Changed, qRgb(255, 255, 0));
    Changed.Resize();
    QCOMPARE(QDir(TImageList::CacheFolder()).entryList(QDir::Files).size(), 2);
    QCOMPARE(Changed.Image(0).pixel(5, 5), qRgb(255, 255, 0));
  }
};

QTEST_MAIN(TImageCachePeer)
#include "VCLPatches.peer.moc"
