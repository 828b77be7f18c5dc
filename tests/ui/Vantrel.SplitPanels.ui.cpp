// Split panels: collapsing by a drag or a double click, the remembered size,
// the layout state, and a strip of 0 that does nothing.
#include <QLabel>
#include <QSplitterHandle>
#include <QtTest>

#include "Vantrel.SplitPanels.h"

using namespace Vantrel;

class TSplitPanels : public QObject {
  Q_OBJECT

  static void Drag(QSplitterHandle* Handle, int Dx) {
    const QPoint From(Handle->width() / 2, Handle->height() / 2);
    QTest::mousePress(Handle, Qt::LeftButton, {}, From);
    QMouseEvent Move(QEvent::MouseMove, QPointF(From + QPoint(Dx, 0)), Handle->mapToGlobal(QPointF(From + QPoint(Dx, 0))),
                     Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(Handle, &Move);
    QTest::mouseRelease(Handle, Qt::LeftButton, {}, From + QPoint(Dx, 0));
  }

 private slots:
  void left_panel_collapses_and_restores() {
    TSplitPanel Panel(alLeft);
    auto* Client = new QLabel("Contenu");
    Client->setMinimumWidth(100);
    Panel.SetNeighbour(Client);
    Panel.SetSplitter(5);
    Panel.SetMinSize(20);
    Panel.resize(500, 300);
    Panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Panel));
    Panel.SetSize(200);
    QCOMPARE(Panel.Size(), 200);
    QVERIFY(!Panel.Collapsed());

    // As far left as it goes: the line stops at 20, the panel collapses to 25.
    Drag(Panel.handle(1), -400);
    QCOMPARE(Panel.Size(), 25);
    QVERIFY(Panel.Collapsed());
    QCOMPARE(Panel.ExpandedSize(), 200);
    QVariantMap State;
    Panel.WriteLayout(State);
    QCOMPARE(State.value("ExpandedSize").toInt(), 200);

    // Collapsed: SetSize within the collapsed size does nothing.
    Panel.SetSize(22);
    QCOMPARE(Panel.Size(), 25);
    QCOMPARE(Panel.ExpandedSize(), 200);

    QTest::mouseDClick(Panel.handle(1), Qt::LeftButton, {}, QPoint(2, 10));
    QCOMPARE(Panel.Size(), 200);
    QVERIFY(!Panel.Collapsed());
    Panel.WriteLayout(State);
    QVERIFY(!State.contains("ExpandedSize"));

    // The other side's minimum bounds the drag.
    Drag(Panel.handle(1), 1000);
    QCOMPARE(Panel.Size(), 500 - 100);
  }

  void layout_state_round_trip() {
    TSplitPanel Panel(alTop);
    Panel.SetNeighbour(new QLabel("Bas"));
    Panel.SetSplitter(4);
    Panel.SetMinSize(10);
    Panel.resize(300, 400);
    Panel.show();
    Panel.SetSize(150);
    Panel.SetCollapsed(true);
    QCOMPARE(Panel.Size(), 14);
    QCOMPARE(Panel.RealSize(), 150);
    QVariantMap State;
    Panel.WriteLayout(State);
    TSplitPanel Again(alTop);
    Again.SetNeighbour(new QLabel("Bas"));
    Again.SetSplitter(4);
    Again.SetMinSize(10);
    Again.resize(300, 400);
    Again.show();
    Again.ReadLayout(State);
    QCOMPARE(Again.Size(), 14);
    QVERIFY(Again.Collapsed());
    Again.SetCollapsed(false);
    QCOMPARE(Again.Size(), 150);
  }

  void no_strip_no_reaction() {
    TSplitPanel Panel(alRight);
    Panel.SetNeighbour(new QLabel("Gauche"));
    Panel.resize(400, 200);
    Panel.show();
    Panel.SetSize(150);
    QCOMPARE(Panel.handleWidth(), 0);
    QTest::mouseDClick(Panel.handle(1), Qt::LeftButton, {}, QPoint(0, 10));
    Drag(Panel.handle(1), 50);
    QCOMPARE(Panel.Size(), 150);
    QVERIFY(!Panel.Collapsed());
  }
};

QTEST_MAIN(TSplitPanels)
#include "Vantrel.SplitPanels.ui.moc"
