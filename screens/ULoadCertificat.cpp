#include "ULoadCertificat.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "UCertificats.h"
#include "Vantrel.QtText.h"
#include "Vantrel.Winapi.BCrypt.h"
#include "VCLPatches.h"

namespace Carvelin {

TLoadCertificat::TLoadCertificat(QWidget* Parent, Talven::ICarvelin& DMP, const TCertificat& Certificat,
                                 TShowErrorEvent ShowError)
    : QDialog(Parent), pCertificat(Certificat), FDMP(DMP), FShowError(std::move(ShowError)) {
  setObjectName(QStringLiteral("LoadCertificat"));
  setWindowTitle(ScreensTr::tr("Mot de passe du certificat"));
  lbCertificat = new QLabel(Vantrel::Q(Certificat.Nom), this);
  lbCertificat->setObjectName(QStringLiteral("lbCertificat"));
  lbCertificat->setTextFormat(Qt::PlainText);
  MakePasswordEdits(this, edAuthPwd, edSignPwd, cbSamePwd, [this] { edSignPwdChange(); });
  MakeOKCancel(this, btOK, btCancel, "btCancel", [this] { btOKClick(); });

  auto* Grid = new QGridLayout;
  Grid->addWidget(new QLabel(ScreensTr::tr("Certificat d'authentification :"), this), 0, 0);
  Grid->addWidget(edAuthPwd, 0, 1);
  Grid->addWidget(new QLabel(ScreensTr::tr("Certificat de signature :"), this), 1, 0);
  Grid->addWidget(edSignPwd, 1, 1);
  Grid->addWidget(cbSamePwd, 2, 1);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btOK);
  Buttons->addWidget(btCancel);
  auto* Column = new QVBoxLayout(this);
  Column->addWidget(new QLabel(ScreensTr::tr("Veuillez saisir les mots de passe du certificat :"), this));
  Column->addWidget(lbCertificat);
  Column->addLayout(Grid);
  Column->addStretch(1);
  Column->addLayout(Buttons);
  resize(420, 200);
}

bool TLoadCertificat::Execute(QWidget* Sender, Talven::ICarvelin& DMP, const TCertificat& Certificat,
                              std::shared_ptr<Talven::IVaspoCRT>& CRT, TShowErrorEvent ShowError) {
  CRT.reset();
  TLoadCertificat Form(Sender, DMP, Certificat, std::move(ShowError));
  if (Form.exec() != QDialog::Accepted) return false;
  CRT = Form.CRT;
  return true;
}

void TLoadCertificat::edSignPwdChange() { FollowSamePassword(edAuthPwd, edSignPwd, cbSamePwd); }

namespace {

// A password wiped however the call that uses it ends.
struct TPassword {
  std::string Text;
  ~TPassword() { Vantrel::WipeBytes(Text); }
};

}  // namespace

int TLoadCertificat::OpenSession() {
  const TPassword AuthPwd{PasswordText(edAuthPwd)};
  const TPassword SignPwd{PasswordText(cbSamePwd->isChecked() ? edAuthPwd : edSignPwd)};
  const int Result = FDMP.LoadCertificat(pCertificat.Auth, AuthPwd.Text, CRT);
  if (Result != Talven::ERR_OK) return Result;
  return CRT ? CRT->LoadSignature(pCertificat.Sign, SignPwd.Text) : Talven::ERR_SESSION;
}

void TLoadCertificat::btOKClick() {
  CRT.reset();
  int Result;
  std::string Detail;
  try {
    Result = OpenSession();
  } catch (const std::exception& E) {
    // The root may refuse by raising; the form stays open to try again.
    Result = Talven::ERR_EXCEPTION;
    Detail = E.what();
  } catch (...) {
    Result = Talven::ERR_EXCEPTION;
  }
  if (Result != Talven::ERR_OK) {
    CRT.reset();
    FShowError(Result, Detail);
    return;
  }
  accept();
}

}  // namespace Carvelin
