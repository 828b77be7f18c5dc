// The passwords of a stored certificate pair, with which the root opens a
// software-certificate session.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <string>

#include "Carvelin.SQLIteDataBase.h"
#include "Talven.Carvelin.Types.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace Carvelin {

// Shows a client-core error; an empty Detail stands for the root's own.
using TShowErrorEvent = std::function<void(int Error, const std::string& Detail)>;

class TLoadCertificat : public QDialog {
  Q_OBJECT
 public:
  TLoadCertificat(QWidget* Parent, Talven::ICarvelin& DMP, const TCertificat& Certificat, TShowErrorEvent ShowError);

  // True when the session was opened into CRT (reset otherwise).
  static bool Execute(QWidget* Sender, Talven::ICarvelin& DMP, const TCertificat& Certificat,
                      std::shared_ptr<Talven::IVaspoCRT>& CRT, TShowErrorEvent ShowError);

  void edSignPwdChange();
  void btOKClick();

  QLabel* lbCertificat;
  QLineEdit* edAuthPwd;
  QLineEdit* edSignPwd;
  QCheckBox* cbSamePwd;
  QPushButton* btOK;
  QPushButton* btCancel;

  const TCertificat& pCertificat;
  std::shared_ptr<Talven::IVaspoCRT> CRT;  // the session, once opened

 private:
  int OpenSession();

  Talven::ICarvelin& FDMP;
  TShowErrorEvent FShowError;
};

}  // namespace Carvelin
