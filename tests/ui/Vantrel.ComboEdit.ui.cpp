// Completion lists: one update after the last keystroke, open and close
// rules, keys taken while the list is open, the edit keeping its own handlers.
#include <QAbstractItemView>
#include <QLineEdit>
#include <QtTest>

#include "Vantrel.ComboEdit.h"

using namespace Vantrel;

namespace {
const QStringList Names = {"Dupont", "Durand", "Dubois", "Martin"};
}

class TComboEditTest : public QObject {
  Q_OBJECT

  QWidget* Form = nullptr;
  QLineEdit* Edit = nullptr;
  TComboEdit* Combo = nullptr;
  int Updates = 0;

 private slots:
  void init() {
    Form = new QWidget;
    Form->resize(300, 200);
    Edit = new QLineEdit(Form);
    Edit->setGeometry(10, 10, 200, 24);
    Updates = 0;
    Combo = new TComboEdit(Edit, [this](TComboEdit* C) {
      ++Updates;
      C->clear();
      for (const QString& N : Names)
        if (N.startsWith(Edit->text(), Qt::CaseInsensitive)) C->addItem(N);
    });
    Form->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form));
    Edit->setFocus();
  }
  void cleanup() { delete Form; }

  void three_quick_keystrokes_give_one_update() {
    QSignalSpy Timeouts(Combo->Timer(), &QTimer::timeout);
    QElapsedTimer Clock;
    Clock.start();
    QTest::keyClicks(Edit, "Dub");
    QCOMPARE(Updates, 0);
    QTRY_COMPARE(Updates, 1);
    QVERIFY(Clock.elapsed() >= 500);
    QCOMPARE(Timeouts.count(), 1);
    QCOMPARE(Combo->count(), 1);
    QVERIFY(Combo->IsOpen());  // one item that differs from the text
  }

  void open_and_close_rules_data() {
    QTest::addColumn<QString>("Typed");
    QTest::addColumn<bool>("Open");
    QTest::newRow("several items") << "Du" << true;
    QTest::newRow("one item equal but for case") << "dupont" << false;
    QTest::newRow("one item that differs") << "Mar" << true;
    QTest::newRow("no item") << "Z" << false;
  }
  void open_and_close_rules() {
    QFETCH(QString, Typed);
    QFETCH(bool, Open);
    Combo->Timer()->setInterval(0);  // at once
    QTest::keyClicks(Edit, Typed);
    QCOMPARE(Updates, int(Typed.size()));
    QCOMPARE(Combo->IsOpen(), Open);
    QCOMPARE(Edit->text(), Typed);  // the edit's own handling still ran
  }

  void keys_while_open() {
    Combo->Timer()->setInterval(0);
    QSignalSpy EditChanged(Edit, &QLineEdit::textChanged);
    QTest::keyClicks(Edit, "Du");
    QVERIFY(Combo->IsOpen());
    QWidget* Keys = QApplication::activePopupWidget() ? QApplication::activePopupWidget() : Edit;
    QTest::keyClick(Keys, Qt::Key_Down);
    QCOMPARE(Combo->view()->currentIndex().row(), 0);
    QTest::keyClick(Keys, Qt::Key_Down);
    QTest::keyClick(Keys, Qt::Key_Up);
    QCOMPARE(Combo->view()->currentIndex().row(), 0);
    QTest::keyClick(Keys, Qt::Key_Up);
    QVERIFY(!Combo->view()->currentIndex().isValid());
    QTest::keyClick(Keys, Qt::Key_Down);
    QTest::keyClick(Keys, Qt::Key_Down);
    QTest::keyClick(Keys, Qt::Key_Return);
    QVERIFY(!Combo->IsOpen());
    QCOMPARE(Edit->text(), QString("Durand"));
    QCOMPARE(EditChanged.count(), 3);

    // Closed: Down updates and opens again; Escape closes.
    Edit->setText("Du");
    const int Before = Updates;
    QTest::keyClick(Edit, Qt::Key_Down);
    QCOMPARE(Updates, Before + 1);
    QVERIFY(Combo->IsOpen());
    QTest::keyClick(QApplication::activePopupWidget() ? QApplication::activePopupWidget() : Edit, Qt::Key_Escape);
    QVERIFY(!Combo->IsOpen());
    QCOMPARE(Edit->text(), QString("Du"));
  }

  void clicked_item_goes_into_the_edit() {
    Combo->Timer()->setInterval(0);
    QTest::keyClicks(Edit, "Du");
    QVERIFY(Combo->IsOpen());
    QAbstractItemView* View = Combo->view();
    const QRect Item = View->visualRect(Combo->model()->index(2, 0));
    QTest::mouseClick(View->viewport(), Qt::LeftButton, {}, Item.center());
    QTRY_VERIFY(!Combo->IsOpen());
    QCOMPARE(Edit->text(), QString("Dubois"));
  }
};

QTEST_MAIN(TComboEditTest)
#include "Vantrel.ComboEdit.ui.moc"
