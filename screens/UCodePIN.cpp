#include "UCodePIN.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.Win.CryptString.h"
#include "Vantrel.Winapi.BCrypt.h"

namespace Carvelin {

// ---- Remembered PIN ----

std::string RememberedPIN(const Vantrel::TIniFile& Ini, std::string_view IdNational) {
  if (IdNational.empty()) return {};
  std::string Value = Ini.ReadString(SecretSection, IdNational, "");
  if (Value.empty()) return {};
  std::string Blob = Vantrel::Base64Decode(Value);
  std::string Text = Vantrel::UnprotectString(Blob);
  std::string PIN;
  if (Text.size() == PinLength + IdNational.size() && std::string_view(Text).substr(PinLength) == IdNational)
    PIN = Text.substr(0, PinLength);
  Vantrel::WipeBytes(Text);
  Vantrel::WipeBytes(Blob);
  return PIN;
}

bool HasRememberedPIN(const Vantrel::TIniFile& Ini, std::string_view IdNational) {
  return !IdNational.empty() && !Ini.ReadString(SecretSection, IdNational, "").empty();
}

void RememberPIN(Vantrel::TIniFile& Ini, std::string_view IdNational, std::string_view PIN) {
  std::string Text = std::string(PIN) + std::string(IdNational);
  std::string Blob;
  try {
    Blob = Vantrel::ProtectString(Text);
  } catch (...) {
    Vantrel::WipeBytes(Text);
    throw;
  }
  Vantrel::WipeBytes(Text);
  Ini.WriteString(SecretSection, IdNational, Vantrel::Base64Encode(Blob));
}

void ForgetPIN(Vantrel::TIniFile& Ini, std::string_view IdNational) { Ini.WriteString(SecretSection, IdNational, ""); }

void TCodePIN::Clear() {
  Vantrel::WipeBytes(Code);
  Code.clear();
}

// ---- Dialog ----

TFrmCodePIN::TFrmCodePIN(QWidget* Parent, Talven::IVaspoCPS& CPS, int PinCount) : QDialog(Parent) {
  setWindowTitle(ScreensTr::tr("Carvelin - Accès à la carte PS"));
  const Talven::TPorteur* Porteur = CPS.GetPorteur();
  QString Title = ScreensTr::tr("Accès sécurisé à votre carte CPS");
  if (Porteur && Porteur->TypeCarte == 2) Title[Title.size() - 1] = QLatin1Char('E');
  lbTitle = new QLabel(Title, this);
  lbTitle->setObjectName(QStringLiteral("lbTitle"));
  QFont Bold = lbTitle->font();
  Bold.setBold(true);
  Bold.setPointSizeF(Bold.pointSizeF() * 1.3);
  lbTitle->setFont(Bold);

  lbNom = new QLabel(this);
  lbNom->setObjectName(QStringLiteral("lbNom"));
  lbNom->setTextFormat(Qt::PlainText);
  if (Porteur) lbNom->setText(QString::fromStdString(Porteur->Nom + " " + Porteur->Prenom));

  lbPinCount = new QLabel(ScreensTr::tr("3 essais possibles"), this);
  lbPinCount->setObjectName(QStringLiteral("lbPinCount"));
  const auto Red = [this](const QString& Text) {
    lbPinCount->setText(Text);
    lbPinCount->setStyleSheet(QStringLiteral("color: red"));
  };
  if (PinCount == 0)
    Red(ScreensTr::tr("Carte verrouillée !"));
  else if (PinCount == 1)
    Red(ScreensTr::tr("Dernier essai !"));
  else if (PinCount == 2)
    lbPinCount->setText(ScreensTr::tr("Plus que 2 essais"));

  edCode = new QLineEdit(this);
  edCode->setObjectName(QStringLiteral("edCode"));
  edCode->setAccessibleName(ScreensTr::tr("Code de la carte"));
  edCode->setEchoMode(QLineEdit::Password);
  edCode->setMaxLength(int(PinLength));
  edCode->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,4}")), edCode));

  cbSaveCode = new QCheckBox(ScreensTr::tr("Enregistrer le code dans votre session"), this);
  cbSaveCode->setObjectName(QStringLiteral("cbSaveCode"));

  btOK = new QPushButton(ScreensTr::tr("OK"), this);
  btOK->setObjectName(QStringLiteral("btOK"));
  btOK->setDefault(true);
  btCancel = new QPushButton(ScreensTr::tr("Annuler"), this);
  btCancel->setObjectName(QStringLiteral("btCancel"));
  connect(btOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(btCancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(lbTitle);
  auto* Form = new QFormLayout;
  auto* NomCaption = new QLabel(ScreensTr::tr("Carte au nom de :"), this);
  NomCaption->setBuddy(lbNom);
  Form->addRow(NomCaption, lbNom);
  Form->addRow(QString(), lbPinCount);
  auto* CodeCaption = new QLabel(ScreensTr::tr("Veuillez saisir le code de votre carte :"), this);
  CodeCaption->setBuddy(edCode);
  Form->addRow(CodeCaption, edCode);
  Layout->addLayout(Form);
  Layout->addWidget(cbSaveCode);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btOK);
  Buttons->addWidget(btCancel);
  Layout->addLayout(Buttons);
  edCode->setFocus();
}

bool TFrmCodePIN::GetCodePIN(QWidget* Sender, Talven::IVaspoCPS& CPS, Vantrel::TIniFile& Ini, TCodePIN& Pin) {
  Pin.Clear();
  Pin.Save = Pin.Remembered = false;
  const int PinCount = CPS.PinCount();
  const Talven::TPorteur* Porteur = CPS.GetPorteur();
  const std::string IdNational = Porteur ? Porteur->IdNational : std::string();
  if (PinCount == 3) {
    Pin.Code = RememberedPIN(Ini, IdNational);
    if (!Pin.Code.empty()) {
      Pin.Remembered = true;
      return true;
    }
  }
  TFrmCodePIN Form(Sender, CPS, PinCount);
  const bool Ok = Form.exec() == QDialog::Accepted;
  if (Ok) {
    QByteArray Typed = Form.edCode->text().toUtf8();
    Pin.Code.assign(Typed.constData(), size_t(Typed.size()));
    Typed.fill('\0');
    Pin.Save = Form.cbSaveCode->isChecked();
  }
  Form.edCode->clear();
  return Ok;
}

}  // namespace Carvelin
