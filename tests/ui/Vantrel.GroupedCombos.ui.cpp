// Grouped combos: item heights by the vertical-bar rule, the heading above
// the caption in the list, the caption alone in the edit part.
#include <QAbstractItemView>
#include <QPainter>
#include <QtTest>

#include "Vantrel.GroupedCombos.h"

using namespace Vantrel;

class TGroupedCombos : public QObject {
  Q_OBJECT

 private slots:
  void heights_follow_the_bar_rule_data() {
    QTest::addColumn<bool>("Grouped");
    QTest::addColumn<bool>("Measured");
    QTest::addColumn<QList<int>>("Rows");  // in item heights
    QTest::newRow("grouped") << true << false << QList<int>{2, 1, 2};
    QTest::newRow("not grouped") << false << false << QList<int>{1, 1, 1};
    QTest::newRow("the handler decides") << true << true << QList<int>{3, 3, 3};
  }
  void heights_follow_the_bar_rule() {
    QFETCH(bool, Grouped);
    QFETCH(bool, Measured);
    QFETCH(QList<int>, Rows);
    TGroupedCombo Combo;
    Combo.addItems({QString::fromUtf8("Comptes rendus|Compte rendu opératoire"), "Lettre de sortie",
                    QString::fromUtf8("Imagerie|Radiographie")});
    if (Measured) Combo.MeasureItemEx = [](TGroupedCombo* C, int, int&, int& H) { H = 3 * C->ItemHeight(); };
    Combo.SetGrouped(Grouped);
    Combo.resize(220, Combo.sizeHint().height());
    Combo.show();
    Combo.showPopup();
    for (int I = 0; I < 3; ++I) {
      QCOMPARE(Combo.MeasureItem(I), Rows[I] * Combo.ItemHeight());
      if (Grouped) QCOMPARE(Combo.view()->visualRect(Combo.model()->index(I, 0)).height(), Rows[I] * Combo.ItemHeight());
    }
    Combo.hidePopup();
  }

  void heading_over_caption_and_caption_alone_in_the_edit() {
    TGroupedCombo Combo;
    Combo.addItem(QString::fromUtf8("Comptes rendus|Compte rendu opératoire"));
    Combo.SetGrouped(true);
    const int H = Combo.ItemHeight();
    QImage List(200, 2 * H, QImage::Format_RGB32);
    List.fill(Qt::red);
    {
      QPainter P(&List);
      Combo.DrawItem(P, 0, List.rect(), QStyle::State_Selected, false);
    }
    // Heading half on white, caption half on the highlight colour.
    QCOMPARE(List.pixelColor(199, 1), QColor(Qt::white));
    QCOMPARE(List.pixelColor(199, 2 * H - 2), Combo.palette().color(QPalette::Highlight));
    QImage Edit(200, 2 * H, QImage::Format_RGB32);
    Edit.fill(Qt::red);
    {
      QPainter P(&Edit);
      Combo.DrawItem(P, 0, Edit.rect(), QStyle::State_Selected, true);
    }
    QCOMPARE(Edit.pixelColor(199, 1), Combo.palette().color(QPalette::Highlight));
    QCOMPARE(Edit.pixelColor(199, H + 1), QColor(Qt::red));  // one item high
    Combo.resize(220, Combo.sizeHint().height());
    Combo.show();
    Combo.showPopup();
    Combo.view()->window()->grab().save("/tmp/ui30-grouped.png");
    Combo.hidePopup();
  }
};

QTEST_MAIN(TGroupedCombos)
#include "Vantrel.GroupedCombos.ui.moc"
