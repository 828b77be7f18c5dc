// Image buttons: the drop-down part, hover drawing, image placement.
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QtTest>

#include "Vantrel.ImageButtons.h"

using namespace Vantrel;

class TImageButtons : public QObject {
  Q_OBJECT

 private slots:
  void drop_down_part_is_the_right_16_pixels_data() {
    QTest::addColumn<int>("X");
    QTest::addColumn<bool>("DropsDown");
    QTest::newRow("x = 95 opens the menu") << 95 << true;
    QTest::newRow("x = 80 is a click") << 80 << false;
    QTest::newRow("x = 89 is still the main part") << 89 << false;
  }
  void drop_down_part_is_the_right_16_pixels() {
    QFETCH(int, X);
    QFETCH(bool, DropsDown);
    TImageButton Button;
    QCOMPARE(Button.size(), QSize(105, 105));
    QMenu Menu;
    Menu.addAction("Copier le lien");
    Button.SetDropDown(&Menu);
    Button.show();
    QSignalSpy Clicked(&Button, &QAbstractButton::clicked);
    QSignalSpy Shown(&Menu, &QMenu::aboutToShow);
    QTest::mouseClick(&Button, Qt::LeftButton, {}, QPoint(X, 50));
    QCOMPARE(Clicked.count(), DropsDown ? 0 : 1);
    QCOMPARE(Shown.count(), DropsDown ? 1 : 0);
    if (DropsDown) QCOMPARE(Menu.pos(), Button.mapToGlobal(QPoint(0, 105)));
    Menu.hide();
  }

  void on_drop_down_without_menu_and_double_click_is_two_clicks() {
    TImageButton Button;
    int DropDowns = 0;
    Button.OnDropDown = [&] { ++DropDowns; };
    Button.show();
    QTest::mouseClick(&Button, Qt::LeftButton, {}, QPoint(100, 10));
    QCOMPARE(DropDowns, 1);
    QSignalSpy Clicked(&Button, &QAbstractButton::clicked);
    // What the system sends for a double click: press, release, double click, release.
    const QPointF At(20, 20);
    QTest::mouseClick(&Button, Qt::LeftButton, {}, At.toPoint());
    QMouseEvent Double(QEvent::MouseButtonDblClick, At, Button.mapToGlobal(At), Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(&Button, &Double);
    QMouseEvent Release(QEvent::MouseButtonRelease, At, Button.mapToGlobal(At), Qt::LeftButton, {}, {});
    QApplication::sendEvent(&Button, &Release);
    QCOMPARE(Clicked.count(), 2);
  }

  void painting_centres_the_image_and_draws_the_arrow() {
    Carvelin::TImageList Images(32, 32);
    QImage Icon(32, 32, QImage::Format_ARGB32);
    Icon.fill(QColor(0, 128, 0));
    Images.Add(Icon);
    TImageButton Button;
    Button.resize(105, 80);
    Button.SetImages(&Images);
    Button.SetImageIndex(0);
    Button.OnDropDown = [] {};
    bool PaintedLast = false;
    Button.OnPaint = [&](TImageButton*, QPainter& P) {
      PaintedLast = true;
      P.fillRect(0, 0, 1, 1, Qt::magenta);
    };
    QImage Shot = Button.grab().toImage().scaled(Button.size());
    QVERIFY(PaintedLast);
    QCOMPARE(Shot.pixelColor(0, 0), QColor(Qt::magenta));
    QCOMPARE(Shot.pixelColor((105 - 32) / 2, (80 - 32) / 2), QColor(0, 128, 0));
    QCOMPARE(Shot.pixelColor((105 - 32) / 2 - 1, (80 - 32) / 2), Button.palette().color(QPalette::Window));
    QCOMPARE(Shot.pixelColor(105 - 16 + 4 + 4, (80 - 4) / 2 + 1), QColor(Qt::black));  // the arrow
    Button.setEnabled(false);
    Shot = Button.grab().toImage().scaled(Button.size());
    QCOMPARE(Shot.pixelColor(105 - 16 + 4 + 4, (80 - 4) / 2 + 1), QColor(128, 128, 128));
    const QColor Grey = Shot.pixelColor(52, 40);
    QVERIFY(Grey.red() == Grey.green() && Grey.green() == Grey.blue());
    Shot.save("/tmp/ui30-imagebutton.png");
  }
};

QTEST_MAIN(TImageButtons)
#include "Vantrel.ImageButtons.ui.moc"
