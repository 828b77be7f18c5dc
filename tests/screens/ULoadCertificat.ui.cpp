// The passwords of a stored pair handed to the root and its session, and
// the root's refusals shown while the form stays open.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "ULoadCertificat.h"

using namespace Carvelin;
using Talven::ERR_CPS;
using Talven::ERR_EXCEPTION;
using Talven::IVaspoCRT;
using TestSupport::TFakeAnswer;
using TestSupport::TFakeCarvelin;

namespace {

struct TShown {
  int Error = 0;
  std::string Detail;
  int Count = 0;
};

TCertificat Pair() {
  TCertificat C;
  C.Nom = "Jean Dupont (810001234567) Médecin";
  C.Auth.assign(1200, 'a');
  C.Sign.assign(1300, 's');
  return C;
}

QStringList CallTexts(const TFakeCarvelin& Fake) {
  QStringList Out;
  for (const auto& Call : Fake.Calls()) Out << QString::fromStdString(Call.Name + " " + Call.Args);
  return Out;
}

}  // namespace

class TLoadCertificatTest : public QObject {
  Q_OBJECT

 private slots:
  void window_and_controls() {
    auto Fake = std::make_shared<TFakeCarvelin>();
    const TCertificat C = Pair();
    TLoadCertificat Form(nullptr, *Fake, C, {});
    QCOMPARE(Form.windowTitle(), QStringLiteral("Mot de passe du certificat"));
    QCOMPARE(Form.lbCertificat->text(), QStringLiteral("Jean Dupont (810001234567) Médecin"));
    QCOMPARE(Form.lbCertificat->textFormat(), Qt::PlainText);
    QCOMPARE(Form.edAuthPwd->echoMode(), QLineEdit::Password);
    QCOMPARE(Form.edSignPwd->echoMode(), QLineEdit::Password);
    QVERIFY(Form.cbSamePwd->isChecked());
    Form.edAuthPwd->setText("abc");
    QVERIFY(!Form.cbSamePwd->isChecked());
    Form.edSignPwd->setText("abc");
    QVERIFY(Form.cbSamePwd->isChecked());
  }

  // Each row: the answers scripted, the passwords typed, whether the box is
  // ticked, and what follows. A refusal shows its code (and the raised
  // text) and keeps the form open without a session.
  void ok_opens_the_session_or_shows_the_refusal() {
    const struct {
      const char* Name;
      std::optional<TFakeAnswer> Load, Signature;
      const char *AuthPwd, *SignPwd;
      bool Same;
      QStringList Calls;
      int Error;
      std::string Detail;
    } Cases[] = {
        {"same password", {}, {}, "secret", "", true,
         {"LoadCertificat 1200 bytes ******", "LoadSignature 1300 bytes ******"}, 0, ""},
        {"two passwords", {}, {}, "secret", "signature-mdp", false,
         {"LoadCertificat 1200 bytes ******", "LoadSignature 1300 bytes *************"}, 0, ""},
        {"refused certificate", TFakeAnswer{.Code = ERR_CPS}, {}, "secret", "", true,
         {"LoadCertificat 1200 bytes ******"}, ERR_CPS, ""},
        {"refused signature", {}, TFakeAnswer{.Code = ERR_CPS}, "secret", "", true,
         {"LoadCertificat 1200 bytes ******", "LoadSignature 1300 bytes ******"}, ERR_CPS, ""},
        {"raising loader", TFakeAnswer{.Detail = "TODO !", .Raise = true}, {}, "secret", "", true,
         {"LoadCertificat 1200 bytes ******"}, ERR_EXCEPTION, "TODO !"},
    };
    for (const auto& C : Cases) {
      auto Fake = std::make_shared<TFakeCarvelin>();
      if (C.Load) Fake->Script("LoadCertificat", *C.Load);
      if (C.Signature) Fake->Script("LoadSignature", *C.Signature);
      const TCertificat Certificat = Pair();
      TShown Shown;
      TLoadCertificat Form(nullptr, *Fake, Certificat, [&Shown](int Error, const std::string& Detail) {
        Shown = {Error, Detail, Shown.Count + 1};
      });
      Form.show();
      QSignalSpy Accepted(&Form, &QDialog::accepted);
      Form.edAuthPwd->setText(C.AuthPwd);
      Form.edSignPwd->setText(C.SignPwd);
      Form.cbSamePwd->setChecked(C.Same);
      Form.btOK->click();
      QVERIFY2(CallTexts(*Fake) == C.Calls, C.Name);
      QVERIFY2(Shown.Count == (C.Error ? 1 : 0) && Shown.Error == C.Error && Shown.Detail == C.Detail, C.Name);
      QVERIFY2(Accepted.count() == (C.Error ? 0 : 1), C.Name);
      QVERIFY2(bool(Form.CRT) == !C.Error, C.Name);
      QVERIFY2(Form.isVisible() == bool(C.Error), C.Name);
    }
  }

  void execute_hands_the_session_over() {
    auto Fake = std::make_shared<TFakeCarvelin>();
    const TCertificat Certificat = Pair();
    std::shared_ptr<IVaspoCRT> CRT = Fake->NewCertificateSession();
    auto Cancel = AnswerModal<TLoadCertificat>([](TLoadCertificat& Form) { Form.btCancel->click(); });
    QVERIFY(!TLoadCertificat::Execute(nullptr, *Fake, Certificat, CRT, [](int, const std::string&) {}));
    QVERIFY(!CRT);
    QVERIFY(Fake->Calls().empty());

    auto Ok = AnswerModal<TLoadCertificat>([](TLoadCertificat& Form) {
      Form.edAuthPwd->setText("secret");
      Form.btOK->click();
    });
    QVERIFY(TLoadCertificat::Execute(nullptr, *Fake, Certificat, CRT, [](int, const std::string&) {}));
    QVERIFY(CRT);
    QCOMPARE(Fake->Calls().size(), size_t(2));
  }
};

QTEST_MAIN(TLoadCertificatTest)
#include "ULoadCertificat.ui.moc"
