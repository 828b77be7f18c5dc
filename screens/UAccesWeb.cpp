#include "UAccesWeb.h"

#include <QCheckBox>
#include <QCommandLinkButton>
#include <QDesktopServices>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

#include "Carvelin.Letters.h"
#include "ScreensTr.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.Carvelin.Utils.h"
#include "Vantrel.JSON.h"
#include "Vantrel.QtText.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.Winapi.BCrypt.h"

namespace Carvelin {

using Talven::ERR_OK;
using Talven::TActionCanal;
using Vantrel::Q;

namespace {

constexpr int MobileLength = 10;

// 10 characters beginning with 06 or 07; the others are the service's to check.
bool MobileValide(const QString& Mobile) {
  return Mobile.size() == MobileLength && (Mobile.startsWith(QLatin1String("06")) || Mobile.startsWith(QLatin1String("07")));
}

// Shows Value whole: the edit's maximum limits typing only.
void SetText(QLineEdit* Edit, const std::string& Value) {
  const QString Text = Q(Value);
  Edit->setMaxLength(std::max<int>(Edit->maxLength(), int(Text.size())));
  Edit->setText(Text);
}

}  // namespace

// ---- Work steps ----

void TAccesWebData::ClearAcces() {
  if (!FAcces) return;
  Vantrel::WipeBytes(FAcces->login);
  Vantrel::WipeBytes(FAcces->password);
  FAcces.reset();
}

int TAccesWebData::NewAcces(const std::string* Canal) {
  const Talven::TAccesPatient* Acces = nullptr;
  const int Error = Canal ? DOS->CreerAccesPatient(*Canal, Acces) : DOS->NouvelAccesPatient(Acces);
  if (Error == ERR_OK && Acces) FAcces = *Acces;
  return Error;
}

int TAccesWebData::AjoutCanal(const std::string& Canal) {
  const int Error = DOS->ModifierCanal(Canal, TActionCanal::Ajout);
  return Error == Talven::ERR_CANAL_EXISTE ? DOS->ModifierCanal(Canal, TActionCanal::Modification) : Error;
}

int TAccesWebData::CreerAccesPatient() {
  if (!FExists) {
    if (FEMail.empty()) return NewAcces(&FMobile);
    if (const int Error = NewAcces(&FEMail); Error != ERR_OK) return Error;
    return FMobile.empty() ? ERR_OK : DOS->ModifierCanal(FMobile, TActionCanal::Ajout);
  }
  if (!FEMail.empty())
    if (const int Error = AjoutCanal(FEMail); Error != ERR_OK) return Error;
  if (!FMobile.empty())
    if (const int Error = AjoutCanal(FMobile); Error != ERR_OK) return Error;
  // New codes: the channels left empty are kept.
  if (FRenew) return NouvelAcces();
  if (FEMail.empty() && !FOldMail.empty())
    if (const int Error = DOS->ModifierCanal(FOldMail, TActionCanal::Suppression); Error != ERR_OK) return Error;
  if (FMobile.empty() && !FOldPhone.empty()) return DOS->ModifierCanal(FOldPhone, TActionCanal::Suppression);
  return ERR_OK;
}

int TAccesWebData::NouvelAcces() { return NewAcces(nullptr); }

int TAccesWebData::MajAcces() {
  if (!FEMail.empty())
    if (const int Error = AjoutCanal(FEMail); Error != ERR_OK) return Error;
  if (!FMobile.empty())
    if (const int Error = AjoutCanal(FMobile); Error != ERR_OK) return Error;
  // The service removes the channel of a kind by these texts.
  if (FEMail.empty())
    if (const int Error = DOS->ModifierCanal("@", TActionCanal::Suppression); Error != ERR_OK) return Error;
  if (FMobile.empty()) return DOS->ModifierCanal("", TActionCanal::Suppression);
  return ERR_OK;
}

int TAccesWebData::RecreerAcces() {
  const int Error = NouvelAcces();
  return Error == ERR_OK ? MajAcces() : Error;
}

int TAccesWebData::Process(int Step) {
  if (!DOS) return Talven::ERR_PARAMETRE;
  if (Step != asCreerAcces) ClearAcces();
  switch (Step) {
    case asCreerAcces: return CreerAccesPatient();
    case asNouvelAcces: return NouvelAcces();
    case asMajAcces: return MajAcces();
    case asRecreerAcces: return RecreerAcces();
    default: return Talven::ERR_PARAMETRE;
  }
}

// ---- Form ----

TAccesWeb::TAccesWeb(QWidget* Parent) : QDialog(Parent) {
  setObjectName(QStringLiteral("AccesWeb"));
  setWindowTitle(ScreensTr::tr("Création d'un Accès Web"));
  lbExplication = new QLabel(
      ScreensTr::tr("Pour des raisons de sécurité, les patients qui désirent accéder à leur DMP par Internet doivent "
                    "saisir à chaque connexion un mot de passe à usage unique qui leur est envoyé sur leur téléphone "
                    "ou sur leur adresse électronique."),
      this);
  lbExplication->setWordWrap(true);
  Image1 = new QLabel(this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setPixmap(QPixmap::fromImage(AccesWebLogo()));
  edEMail = new QLineEdit(this);
  edEMail->setObjectName(QStringLiteral("edEMail"));
  edEMail->setAccessibleName(ScreensTr::tr("Adresse électronique"));
  edMobile = new QLineEdit(this);
  edMobile->setObjectName(QStringLiteral("edMobile"));
  edMobile->setAccessibleName(ScreensTr::tr("Numéro de téléphone mobile"));
  edMobile->setMaxLength(MobileLength);
  cbRenew = new QCheckBox(ScreensTr::tr("Demander de nouveaux codes d'accès au DMP (codes perdus ou oubliés)"), this);
  cbRenew->setObjectName(QStringLiteral("cbRenew"));
  cbRenew->hide();
  btAcces = new QPushButton(ScreensTr::tr("Créer l'accès Internet"), this);
  btAcces->setObjectName(QStringLiteral("btAcces"));
  btAcces->setDefault(true);
  btAnnuler = new QPushButton(ScreensTr::tr("Annuler"), this);
  btAnnuler->setObjectName(QStringLiteral("btAnnuler"));
  connect(btAcces, &QPushButton::clicked, this, &TAccesWeb::btAccesClick);
  connect(btAnnuler, &QPushButton::clicked, this, &TAccesWeb::reject);

  auto* Fields = new QFormLayout;
  // An address is read back whole before the access is made.
  Fields->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  edEMail->setMinimumWidth(edEMail->fontMetrics().horizontalAdvance(QStringLiteral("prenom.nom-de-famille@exemple-long.fr")) +
                           edEMail->fontMetrics().averageCharWidth() * 2);
  auto* LabelEMail = new QLabel(ScreensTr::tr("Adresse é&lectronique"), this);
  LabelEMail->setBuddy(edEMail);
  Fields->addRow(LabelEMail, edEMail);
  auto* LabelMobile = new QLabel(ScreensTr::tr("Numéro de téléphone &mobile"), this);
  LabelMobile->setBuddy(edMobile);
  Fields->addRow(LabelMobile, edMobile);
  auto* Right = new QVBoxLayout;
  Right->addWidget(lbExplication);
  Right->addLayout(Fields);
  Right->addWidget(cbRenew);
  auto* Top = new QHBoxLayout;
  Top->addWidget(Image1, 0, Qt::AlignTop);
  Top->addLayout(Right, 1);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btAcces);
  Buttons->addWidget(btAnnuler);
  auto* Column = new QVBoxLayout(this);
  Column->addLayout(Top);
  Column->addLayout(Buttons);
  setMinimumWidth(fontMetrics().averageCharWidth() * 80);
}

void TAccesWeb::Execute(QWidget* Sender, std::shared_ptr<Talven::IDossierMedical> DOS, TNotifyEvent OnSubmit,
                        const std::string& eMail, const std::string& Phone, bool Auto) {
  TAccesWeb Form(Sender);
  Form.SetDossier(std::move(DOS), eMail, Phone);
  Form.FOnSubmit = std::move(OnSubmit);
  if (Auto) QMetaObject::invokeMethod(Form.btAcces, &QPushButton::click, Qt::QueuedConnection);
  Form.exec();
}

void TAccesWeb::SetDossier(std::shared_ptr<Talven::IDossierMedical> Dossier, const std::string& eMail,
                           const std::string& Phone) {
  TAccesWebData& D = *Data;
  D.DOS = std::move(Dossier);
  const Talven::TDossierInfo* Info = D.DOS ? D.DOS->GetInfo() : nullptr;
  D.FExists = Info && Info->AccesWeb;
  if (D.FExists) {
    btAcces->setText(ScreensTr::tr("Modifier l'accès Internet"));
    cbRenew->show();
    D.FOldMail = eMail;
    D.FOldPhone = Phone;
  }
  SetText(edEMail, eMail);
  SetText(edMobile, Phone);
}

void TAccesWeb::btAccesClick() {
  TAccesWebData& D = *Data;
  D.FEMail = edEMail->text().toStdString();
  D.FMobile = edMobile->text().toStdString();
  D.FRenew = cbRenew->isChecked();
  if (!edMobile->text().isEmpty() && !MobileValide(edMobile->text())) {
    QMessageBox::warning(this, windowTitle(),
                         ScreensTr::tr("Le numéro de mobile doit comprendre 10 chiffres sans espace et commencer "
                                       "par 06 ou 07"));
    edMobile->setFocus();
    return;
  }
  if (D.FEMail.empty() && D.FMobile.empty()) {
    QMessageBox::warning(this, windowTitle(), ScreensTr::tr("Veuillez indiquer un email ou un numéro de mobile"));
    edEMail->setFocus();
    return;
  }
  if (FOnSubmit) FOnSubmit(this);
}

std::function<int(int Step)> TAccesWeb::Steps() const {
  return [Data = Data](int Step) { return Data->Process(Step); };
}

void TAccesWeb::reject() {
  // A job still works on the form's data: its completion closes the form.
  if (Data.use_count() > 1) return;
  QDialog::reject();
}

int TAccesWeb::TaskDialog() {
  QMessageBox Box(QMessageBox::NoIcon, QStringLiteral("Carvelin"), ScreensTr::tr("Ce patient possède déjà un accès Internet"),
                  QMessageBox::Cancel, this);
  Box.setObjectName(QStringLiteral("TaskDialog"));
  struct TChoice {
    int Result;
    QString Caption, Hint;
  };
  const TChoice Choices[] = {
      {asNouvelAcces, ScreensTr::tr("Obtenir de nouveaux identifiants"),
       ScreensTr::tr("Le patient ne se souvient plus de ses identifiants")},
      {asMajAcces, ScreensTr::tr("Mettre à jour ses coordonnées"), ScreensTr::tr("Le patient à changé de coordonnées")},
      {asRecreerAcces, ScreensTr::tr("Récréer son accès Internet"), ScreensTr::tr("Le patient demande un nouvel accès")},
  };
  std::vector<std::pair<QAbstractButton*, int>> Links;
  for (const TChoice& C : Choices) {
    auto* Link = new QCommandLinkButton(C.Caption, C.Hint, &Box);
    Link->setObjectName(QStringLiteral("Choice%1").arg(C.Result));
    Box.addButton(Link, QMessageBox::ActionRole);
    Links.emplace_back(Link, C.Result);
  }
  Box.setEscapeButton(QMessageBox::Cancel);
  Box.exec();
  for (const auto& [Link, Result] : Links)
    if (Box.clickedButton() == Link) return Result;
  return QDialog::Rejected;
}

bool TAccesWeb::BuildPDF(const std::string& Maker) {
  TAccesWebData& D = *Data;
  if (!D.FAcces || !D.DOS) return false;
  const Talven::TPatientInfo& P = D.DOS->GetInfo()->Patient;
  TAcces Acces;
  Acces.name = QStringLiteral("%1 %2 %3")
                   .arg(Q(Talven::CiviliteLongue(P.Identite.Civilite)), Q(P.Identite.Prenom), Q(P.Identite.NomUsage))
                   .trimmed()
                   .toStdString();
  Acces.ins = P.INSi.Code;
  Acces.login = D.FAcces->login;
  Acces.pwd = D.FAcces->password;
  D.ClearAcces();
  std::string JSON = Vantrel::UTF16ToUTF8(Vantrel::UTF16::JSON::buildJSON(Acces));
  std::string URL = AccessLetterURL(Maker, JSON);
  const std::string FileName = LetterFileName(Acces.ins);
  const std::string Folder = LetterFolder();
  const std::string Path = FileName.empty() || Folder.empty() ? std::string() : Folder + "/" + FileName;
  const bool Saved = !Path.empty() && (DownloadLetter(URL, Path) || WriteLocalLetter(Path, Acces, AccesWebLogo()));
  for (std::string* Secret : {&Acces.login, &Acces.pwd, &JSON, &URL}) Vantrel::WipeBytes(*Secret);
  if (Saved)
    QDesktopServices::openUrl(QUrl::fromLocalFile(Q(Path)));
  else  // the access exists, its codes are gone: the doctor must know
    QMessageBox::warning(this, windowTitle(),
                         ScreensTr::tr("Le courrier de l'accès Internet du patient n'a pas pu être enregistré (%1).\n"
                                       "Pour le patient, demandez de nouveaux identifiants : « Créer/Modifier l'accès "
                                       "Internet » puis « Obtenir de nouveaux identifiants ».")
                             .arg(Path.empty() ? ScreensTr::tr("aucun dossier de travail accessible en écriture")
                                               : Q(Path)));
  return true;
}

QImage AccesWebLogo() {
  // A key over a screen, in the letter's colours.
  QImage Logo(160, 120, QImage::Format_ARGB32_Premultiplied);
  Logo.fill(Qt::transparent);
  QPainter P(&Logo);
  P.setRenderHint(QPainter::Antialiasing);
  P.setPen(Qt::NoPen);
  P.setBrush(QColor(0x20, 0x52, 0x7D));
  P.drawRoundedRect(QRectF(10, 10, 140, 90), 10, 10);
  P.setBrush(QColor(0xDD, 0xEF, 0xEE));
  P.drawRect(QRectF(22, 22, 116, 66));
  P.setBrush(QColor(0x75, 0xC5, 0xC1));
  P.drawEllipse(QRectF(44, 38, 34, 34));
  P.drawRect(QRectF(74, 50, 50, 10));
  P.drawRect(QRectF(108, 58, 8, 14));
  P.setBrush(QColor(0x20, 0x52, 0x7D));
  P.drawRect(QRectF(60, 100, 40, 10));
  return Logo;
}

}  // namespace Carvelin
