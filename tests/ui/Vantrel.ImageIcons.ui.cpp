// The main image list's table: Breeze icons chosen for their meaning, and a
// drawn stand-in only when the theme cannot give one.
#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include "ImageColours.h"
#include "Vantrel.ImageIcons.h"

using namespace Vantrel;

namespace {
constexpr int MinColours = 4;
const QString ThemeFolder = QStringLiteral("/usr/share/icons");
}  // namespace

class TImageIconsTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { UseIconTheme(); }

  // The indexes the windows name, each once, in order.
  void table_covers_the_named_indexes() {
    QSet<int> Seen;
    int Previous = -1;
    for (const TImageIcon& Icon : ImageIcons()) {
      QVERIFY2(Icon.Index > Previous, qPrintable(QString::number(Icon.Index)));
      Previous = Icon.Index;
      Seen.insert(Icon.Index);
    }
    for (int Index : {1, 2, 3, 4, 14, 15, 16, 17, 24, 25, 26, 30, 31, 33, 37, 40, 42, 43, 44, 156})
      QVERIFY2(Seen.contains(Index), qPrintable(QString::number(Index)));
    QCOMPARE(FindImageIcon(0), nullptr);
    QVERIFY(ImageIcon(0, 32).isNull());
  }

  // Every entry is found in the installed theme and drawn in its colours.
  void every_icon_comes_from_the_theme() {
    if (!QFile::exists(ThemeFolder + QStringLiteral("/breeze/index.theme")))
      QSKIP("the Breeze icon theme is not installed");
    UseIconTheme();
    for (const TImageIcon& Icon : ImageIcons()) {
      QVERIFY2(ThemeHasIcon(Icon.Index), Icon.Name);
      const QImage Image = ImageIcon(Icon.Index, 32);
      QCOMPARE(Image.size(), QSize(32, 32));
      // The zoom and replace commands exist in Breeze only in one colour.
      if (Icon.Index != 26 && Icon.Index != 30 && Icon.Index != 31)
        QVERIFY2(DistinctColours(Image) >= MinColours, Icon.Name);
    }
  }

  // Without the theme every index still gets a picture of several colours,
  // and two indexes never the same one.
  void without_the_theme_badges_are_drawn() {
    QTemporaryDir Empty;
    UseIconTheme({Empty.path()});
    QSet<QByteArray> Pictures;
    for (const TImageIcon& Icon : ImageIcons()) {
      QVERIFY2(!ThemeHasIcon(Icon.Index), Icon.Name);
      const QImage Image = ImageIcon(Icon.Index, 24);
      QCOMPARE(Image.size(), QSize(24, 24));
      QVERIFY2(DistinctColours(Image) >= MinColours, Icon.Name);
      Pictures.insert(QByteArray(reinterpret_cast<const char*>(Image.constBits()), Image.sizeInBytes()));
    }
    QCOMPARE(Pictures.size(), qsizetype(ImageIcons().size()));
  }

  // The list holds every index up to the last, gaps empty.
  void image_list_is_filled_by_index() {
    UseIconTheme();
    Carvelin::TImageList List(32, 32);
    LoadImageList(List);
    QCOMPARE(List.Count(), ImageIcons().back().Index + 1);
    QCOMPARE(List.Image(14), ImageIcon(14, 32).convertToFormat(QImage::Format_ARGB32));
    QCOMPARE(DistinctColours(List.Image(0)), 0);
  }
};

QTEST_MAIN(TImageIconsTest)
#include "Vantrel.ImageIcons.ui.moc"
