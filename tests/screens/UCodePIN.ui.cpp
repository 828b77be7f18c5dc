// The CPS card's PIN dialog and the PIN remembered for a card holder, over
// the scripted core's card session and a real per-user key.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "CardSessionTest.h"
#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "UCodePIN.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.Win.CryptString.h"

using namespace Carvelin;
using namespace Talven;

class TUCodePINTest : public QObject, TestSupport::TCardSessionTest {
  Q_OBJECT

  void OpenCard(int Tries) {
    Fake->Core->Data.PinTries = Tries;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
  }

  // Sealed under the key of the XDG data folder Data.
  static std::string SealedIn(const QString& Data, const std::string& Text) {
    const QByteArray Own = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", Data.toUtf8());
    const std::string Blob = Vantrel::ProtectString(Text);
    qputenv("XDG_DATA_HOME", Own);
    return Vantrel::Base64Encode(Blob);
  }

  // True when some pixel of the label's text is clearly red.
  static bool ShowsRed(QLabel* Label) {
    const QImage Image = Label->grab().toImage();
    for (int Y = 0; Y < Image.height(); ++Y)
      for (int X = 0; X < Image.width(); ++X) {
        const QColor C = Image.pixelColor(X, Y);
        if (C.red() > 160 && C.green() < 90 && C.blue() < 90) return true;
      }
    return false;
  }

 private slots:
  void initTestCase() { UseOwnFolder(); }
  void init() { NewCore(); }
  void cleanup() { DropCore(); }

  void remembered_pin_is_used_only_when_it_opens_for_this_holder_data() {
    QTest::addColumn<int>("Tries");
    QTest::addColumn<QString>("Key");  // own, other (another user's), none (Base64 only), raw (stored as is)
    QTest::addColumn<QString>("Text");
    QTest::addColumn<bool>("Dialog");
    const QString Id = QStringLiteral("899700218896");
    QTest::newRow("remembered") << 3 << "own" << "1234" + Id << false;
    QTest::newRow("two tries left") << 2 << "own" << "1234" + Id << true;
    QTest::newRow("last try") << 1 << "own" << "1234" + Id << true;
    QTest::newRow("three characters") << 3 << "own" << "123" + Id << true;
    QTest::newRow("five characters") << 3 << "own" << "12345" + Id << true;
    QTest::newRow("another holder") << 3 << "own" << QStringLiteral("1234899700999999") << true;
    QTest::newRow("holder and more") << 3 << "own" << "1234" + Id + "0" << true;
    QTest::newRow("holder cut short") << 3 << "own" << "1234" + Id.chopped(1) << true;
    QTest::newRow("another user's key") << 3 << "other" << "1234" + Id << true;
    QTest::newRow("not sealed") << 3 << "none" << "1234" + Id << true;
    QTest::newRow("bad Base64") << 3 << "raw" << QStringLiteral("*%!not base64!%*") << true;
    QTest::newRow("nothing stored") << 3 << "raw" << QString() << true;
  }
  void remembered_pin_is_used_only_when_it_opens_for_this_holder() {
    QFETCH(int, Tries);
    QFETCH(QString, Key);
    QFETCH(QString, Text);
    QFETCH(bool, Dialog);
    const std::string Plain = Text.toStdString();
    std::string Value = Plain;
    if (Key == "own") Value = SealedIn(QString::fromUtf8(qgetenv("XDG_DATA_HOME")), Plain);
    if (Key == "other") Value = SealedIn(Dir.filePath(QStringLiteral("other-user")), Plain);
    if (Key == "none") Value = Vantrel::Base64Encode(Plain);
    Vantrel::TIniFile Ini(IniFile());
    Ini.WriteString(SecretSection, Holder(), Value);
    OpenCard(Tries);

    bool Shown = false;
    const auto Answer = AnswerModal<TFrmCodePIN>([&](TFrmCodePIN& Form) {
      Shown = true;
      QTest::keyClicks(Form.edCode, QStringLiteral("5678"));
      Form.btOK->click();
    });
    TCodePIN Pin;
    QVERIFY(TFrmCodePIN::GetCodePIN(nullptr, *CPS, Ini, Pin));
    QCOMPARE(Shown, Dialog);
    QCOMPARE(Pin.Code, std::string(Dialog ? "5678" : "1234"));
    QCOMPARE(Pin.Remembered, !Dialog);
  }

  void cancelled_dialog_gives_no_pin() {
    Vantrel::TIniFile Ini(IniFile());
    OpenCard(3);
    const auto Answer = AnswerModal<TFrmCodePIN>([](TFrmCodePIN& Form) {
      QTest::keyClicks(Form.edCode, QStringLiteral("1234"));
      Form.cbSaveCode->setChecked(true);
      Form.btCancel->click();
    });
    TCodePIN Pin;
    QVERIFY(!TFrmCodePIN::GetCodePIN(nullptr, *CPS, Ini, Pin));
    QVERIFY(Pin.Code.empty());
    QVERIFY(!Pin.Save);
  }

  void tries_left_are_shown_with_red_when_few_data() {
    QTest::addColumn<int>("Tries");
    QTest::addColumn<QString>("Text");
    QTest::addColumn<bool>("Red");
    QTest::newRow("locked") << 0 << QStringLiteral("Carte verrouillée !") << true;
    QTest::newRow("last") << 1 << QStringLiteral("Dernier essai !") << true;
    QTest::newRow("two") << 2 << QStringLiteral("Plus que 2 essais") << false;
    QTest::newRow("all") << 3 << QStringLiteral("3 essais possibles") << false;
  }
  void tries_left_are_shown_with_red_when_few() {
    QFETCH(int, Tries);
    QFETCH(QString, Text);
    QFETCH(bool, Red);
    OpenCard(Tries);
    TFrmCodePIN Form(nullptr, *CPS, CPS->PinCount());
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    QCOMPARE(Form.lbPinCount->text(), Text);
    QCOMPARE(ShowsRed(Form.lbPinCount), Red);
  }

  void code_takes_four_digits_at_most_data() {
    QTest::addColumn<QString>("Typed");
    QTest::addColumn<QString>("Kept");
    QTest::newRow("four digits") << "1234" << "1234";
    QTest::newRow("six digits") << "123456" << "1234";
    QTest::newRow("letters dropped") << "1a2B3" << "123";
    QTest::newRow("signs and spaces") << "-1 2+3.4" << "1234";
    QTest::newRow("other scripts' digits") << QStringLiteral("١٢٣٤") << "";
  }
  void code_takes_four_digits_at_most() {
    QFETCH(QString, Typed);
    QFETCH(QString, Kept);
    OpenCard(3);
    TFrmCodePIN Form(nullptr, *CPS, 3);
    for (const QChar Ch : Typed) QTest::sendKeyEvent(QTest::Click, Form.edCode, Qt::Key_unknown, Ch, Qt::NoModifier);
    QCOMPARE(Form.edCode->text(), Kept);
    QVERIFY(Kept.isEmpty() || !Form.edCode->displayText().contains(Kept));  // masked
  }

  void holder_name_is_shown_as_typed_on_the_card() {
    Fake->Core->Data.Porteur.Nom = "<b>MEDECIN</b>";
    Fake->Core->Data.Porteur.Prenom = "A&amp;B";
    OpenCard(3);
    TFrmCodePIN Form(nullptr, *CPS, 3);
    const QString Literal = QStringLiteral("<b>MEDECIN</b> A&amp;B");
    QCOMPARE(Form.lbNom->text(), Literal);
    // Markup would be drawn as "MEDECIN A&B", narrower than the literal text.
    QVERIFY(Form.lbNom->sizeHint().width() >= Form.lbNom->fontMetrics().horizontalAdvance(Literal));
  }
};

QTEST_MAIN(TUCodePINTest)
#include "UCodePIN.ui.moc"
