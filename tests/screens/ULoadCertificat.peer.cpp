// The real root opens no software-certificate session: its refusal is
// shown as the client core's exception and the form stays open.
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.Carvelin.Objects.h"
#include "ULoadCertificat.h"

using namespace Carvelin;

class TLoadCertificatPeer : public QObject {
  Q_OBJECT

 private slots:
  void the_root_refusal_is_shown_and_the_form_stays() {
    auto Root = Talven::TCarvelin::Create();
    TCertificat Pair;
    Pair.Nom = "Jean Dupont (810001234567) Médecin";
    Pair.Auth.assign(100, 'a');
    Pair.Sign.assign(100, 's');
    int Error = 0, Count = 0;
    std::string Detail;
    TLoadCertificat Form(nullptr, *Root, Pair, [&](int E, const std::string& D) {
      Error = E;
      Detail = D;
      ++Count;
    });
    Form.show();
    Form.edAuthPwd->setText("secret");
    for (int Try = 1; Try <= 2; ++Try) {
      Form.btOK->click();
      QCOMPARE(Count, Try);
      QCOMPARE(Error, Talven::ERR_EXCEPTION);
      QCOMPARE(Detail, std::string("TODO !"));
      QVERIFY(Form.isVisible());
      QVERIFY(!Form.CRT);
    }
  }
};

QTEST_MAIN(TLoadCertificatPeer)
#include "ULoadCertificat.peer.moc"
