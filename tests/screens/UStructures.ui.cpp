// The activity choice of a CPS card session, driven by the keyboard as a
// user would, over the scripted core's card session.
#include <QPushButton>
#include <QtTest>

#include "CardSessionTest.h"
#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "UCodePIN.h"
#include "UStructures.h"

using namespace Carvelin;
using namespace Talven;

using TKeys = QList<int>;
Q_DECLARE_METATYPE(TKeys)

class TUStructuresTest : public QObject, TestSupport::TCardSessionTest {
  Q_OBJECT

 private slots:
  void initTestCase() { UseOwnFolder(); }

  void init() {
    NewCore();
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
  }

  void cleanup() { DropCore(); }

  // The keys go to whatever has the focus once the dialog is open; the last
  // one closes it when it can. A dialog still open is then cancelled.
  void keyboard_chooses_a_row_and_ok_needs_one_data() {
    QTest::addColumn<int>("Selected");  // the session's current activity
    QTest::addColumn<TKeys>("Keys");
    QTest::addColumn<bool>("ClickOK");
    QTest::addColumn<int>("Result");
    QTest::addColumn<bool>("LeftOpen");
    QTest::newRow("current one, Enter") << 1 << TKeys{Qt::Key_Return} << false << 1 << false;
    QTest::newRow("Down, Enter") << 0 << TKeys{Qt::Key_Down, Qt::Key_Enter} << false << 1 << false;
    QTest::newRow("Down past the end, Up") << 0 << TKeys{Qt::Key_Down, Qt::Key_Down, Qt::Key_Up} << true << 0
                                           << false;
    QTest::newRow("none, Enter") << -1 << TKeys{Qt::Key_Return} << false << -1 << true;
    QTest::newRow("none, OK") << -1 << TKeys{} << true << -1 << true;
    QTest::newRow("none, Down, OK") << -1 << TKeys{Qt::Key_Down} << true << 0 << false;
    QTest::newRow("Escape") << 1 << TKeys{Qt::Key_Escape} << false << -1 << false;
  }
  void keyboard_chooses_a_row_and_ok_needs_one() {
    QFETCH(int, Selected);
    QFETCH(TKeys, Keys);
    QFETCH(bool, ClickOK);
    QFETCH(int, Result);
    QFETCH(bool, LeftOpen);
    if (Selected >= 0) QCOMPARE(CPS->SelectActivite(Selected), ERR_OK);
    Vantrel::TIniFile Ini(IniFile());
    bool Open = false, Focused = false;
    int Preselected = -2;
    const auto Answer = AnswerModal<TFrmStructures>([&](TFrmStructures& Form) {
      Focused = QApplication::focusWidget() == Form.List;
      Preselected = Form.List->ItemIndex();
      for (const int Key : Keys) QTest::keyClick(QApplication::focusWidget(), Qt::Key(Key));
      if (ClickOK) Form.btOK->click();
      Open = Form.isVisible();
      if (Open) Form.reject();
    });
    QCOMPARE(TFrmStructures::Select(nullptr, *CPS, Ini), Result);
    QVERIFY(Focused);
    QCOMPARE(Preselected, Selected);
    QCOMPARE(Open, LeftOpen);
  }

  void forget_button_only_with_a_remembered_pin_data() {
    QTest::addColumn<QString>("StoredFor");
    QTest::addColumn<bool>("Shown");
    QTest::newRow("this holder") << QStringLiteral("899700218896") << true;
    QTest::newRow("another holder") << QStringLiteral("899700999999") << false;
    QTest::newRow("nothing") << QString() << false;
  }
  void forget_button_only_with_a_remembered_pin() {
    QFETCH(QString, StoredFor);
    QFETCH(bool, Shown);
    {
      Vantrel::TIniFile Ini(IniFile());
      if (!StoredFor.isEmpty()) RememberPIN(Ini, StoredFor.toStdString(), "1234");
      Ini.UpdateFile();
    }
    Vantrel::TIniFile Ini(IniFile());
    TFrmStructures Form(nullptr, *CPS, Ini);
    QCOMPARE(!Form.btDelPassword->isHidden(), Shown);
  }

  void forget_button_empties_the_value_and_disables_itself() {
    Vantrel::TIniFile Ini(IniFile());
    RememberPIN(Ini, Holder(), "1234");
    RememberPIN(Ini, "899700999999", "4321");
    Ini.UpdateFile();
    TFrmStructures Form(nullptr, *CPS, Ini);
    Form.btDelPassword->click();
    QVERIFY(!Form.btDelPassword->isEnabled());
    const Vantrel::TIniFile Saved(IniFile());
    QCOMPARE(Saved.ReadString(SecretSection, Holder(), "absent"), std::string());
    QCOMPARE(RememberedPIN(Saved, "899700999999"), std::string("4321"));
  }
};

QTEST_MAIN(TUStructuresTest)
#include "UStructures.ui.moc"
