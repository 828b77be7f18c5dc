#include "UVoletAdministratif.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <initializer_list>

#include "ScreensTr.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using namespace Talven;
using Vantrel::Q;

namespace {

constexpr int Civilites[] = {1, 2, 3};
constexpr char Sexes[] = {'M', 'F', 'U'};

// The button of Code among Buttons (given in the order of Codes) is ticked,
// every other one unticked: none at all for an unknown code.
template <class T, size_t N>
void SetChoice(std::initializer_list<QRadioButton*> Buttons, const T (&Codes)[N], T Code) {
  size_t I = 0;
  for (QRadioButton* Button : Buttons) {
    Button->setAutoExclusive(false);
    Button->setChecked(I < N && Codes[I] == Code);
    Button->setAutoExclusive(true);
    ++I;
  }
}

template <class T, size_t N>
T GetChoice(std::initializer_list<QRadioButton*> Buttons, const T (&Codes)[N], T None) {
  size_t I = 0;
  for (QRadioButton* Button : Buttons) {
    if (I < N && Button->isChecked()) return Codes[I];
    ++I;
  }
  return None;
}

// A row of radio buttons of its own (exclusive among themselves only).
QWidget* Choices(QWidget* Parent, std::initializer_list<std::pair<QRadioButton**, const char*>> Buttons,
                 std::initializer_list<QString> Captions) {
  auto* Row = new QWidget(Parent);
  auto* Line = new QHBoxLayout(Row);
  Line->setContentsMargins(0, 0, 0, 0);
  auto Caption = Captions.begin();
  for (const auto& [Button, Name] : Buttons) {
    *Button = new QRadioButton(*Caption++, Row);
    (*Button)->setObjectName(QString::fromLatin1(Name));
    Line->addWidget(*Button);
  }
  Line->addStretch(1);
  return Row;
}

}  // namespace

TVoletTexts TVoletTexts::From(const Talven::TVoletAdministratif& V) {
  const TIdentite& I = V.Identite;
  const TRepresentantLegal& R = V.Representant;
  return {I.Civilite,       I.NomUsage,         I.NomNaissance,      I.Prenom,      I.DateNaissance,
          I.Sexe,           V.Adresse.Adresse,  V.Adresse.Complement, V.Adresse.CodePostal,
          V.Adresse.Ville,  V.Adresse.Pays,     V.Telecom.Fixe,      V.Telecom.Mobile, V.Telecom.EMail,
          V.PaysNaissance,  R.Relation,         R.Civilite,          R.Nom,         R.Prenom,
          R.Adresse.Adresse, R.Adresse.Complement, R.Adresse.CodePostal, R.Adresse.Ville, R.Telecom.Fixe,
          R.Telecom.Mobile, R.Telecom.EMail};
}

Talven::TVoletAdministratif TVoletTexts::ToVolet() const {
  Talven::TVoletAdministratif V;
  V.Identite = {Civilite, NomUsage, NomNaissance, Prenom, DateNaissance, Sexe};
  V.Adresse = {Adresse, Complement, CodePostal, Ville, Pays};
  V.Telecom = {TelephoneFixe, TelephoneMobile, EMail};
  V.PaysNaissance = PaysNaissance;
  V.Representant = {Relation,
                    CiviliteRL,
                    NomRL,
                    PrenomRL,
                    {AdresseRL, ComplementRL, CodePostalRL, VilleRL, ""},
                    {TelephoneFixeRL, TelephoneMobileRL, EMailRL}};
  return V;
}

TVoletAdministratif::TVoletAdministratif(QWidget* Parent, IVoletAdministratifHost& Host)
    : QDialog(Parent), FHost(Host) {
  setObjectName(QStringLiteral("VoletAdministratif"));
  setWindowTitle(ScreensTr::tr("Données administratives"));
  PageControl = new QTabWidget(this);
  PageControl->setObjectName(QStringLiteral("PageControl"));

  // One edit per text field of the panel, with its typing limit.
  const auto Edit = [this](QFormLayout* Form, const QString& Caption, const char* Name,
                           std::string TVoletTexts::*Field, int MaxLength) {
    auto* E = new QLineEdit(Form->parentWidget());
    E->setObjectName(QString::fromLatin1(Name));
    E->setMaxLength(MaxLength);
    Form->addRow(Caption, E);
    FEdits.push_back({E, Field, MaxLength});
    return E;
  };
  const QString EMailCaption = ScreensTr::tr("Adresse électronique (exemple : prenom.nom@exemple.fr)");
  const QString FixeCaption = ScreensTr::tr("Téléphone fixe (10 chiffres sans espace)");
  const QString MobileCaption = ScreensTr::tr("Téléphone mobile (10 chiffres sans espace)");
  const std::initializer_list<QString> CiviliteCaptions = {ScreensTr::tr("M"), ScreensTr::tr("Mme"),
                                                           ScreensTr::tr("Mlle")};

  auto* Patient = new QWidget;
  auto* Identite = new QGroupBox(ScreensTr::tr("  Données administratives du patient"), Patient);
  auto* F1 = new QFormLayout(Identite);
  edINS = new QLineEdit(Identite);
  edINS->setObjectName(QStringLiteral("edINS"));
  edINS->setReadOnly(true);
  F1->addRow(ScreensTr::tr("INS"), edINS);
  F1->addRow(ScreensTr::tr("Civilité"),
             Choices(Identite, {{&rbM, "rbM"}, {&rbMme, "rbMme"}, {&rbMlle, "rbMlle"}}, CiviliteCaptions));
  edNomUsage = Edit(F1, ScreensTr::tr("Nom d'usage"), "edNomUsage", &TVoletTexts::NomUsage, 80);
  edNomNaissance = Edit(F1, ScreensTr::tr("Nom de naissance"), "edNomNaissance", &TVoletTexts::NomNaissance, 80);
  edPrenom = Edit(F1, ScreensTr::tr("Prénom"), "edPrenom", &TVoletTexts::Prenom, 60);
  edDateNaissance =
      Edit(F1, ScreensTr::tr("Né(e) le (jj/mm/aaaaa)"), "edDateNaissance", &TVoletTexts::DateNaissance, 32767);
  F1->addRow(ScreensTr::tr("Sexe"),
             Choices(Identite, {{&rbMasculin, "rbMasculin"}, {&rbFeminin, "rbFeminin"}, {&rbIndetermine, "rbIndetermine"}},
                     {ScreensTr::tr("Masculin"), ScreensTr::tr("Féminin"), ScreensTr::tr("Indéterminé")}));
  edAdresse = Edit(F1, ScreensTr::tr("Adresse"), "edAdresse", &TVoletTexts::Adresse, 38);
  edComplement = Edit(F1, ScreensTr::tr("Complément d'adresse"), "edComplement", &TVoletTexts::Complement, 38);
  edCodePostal = Edit(F1, ScreensTr::tr("Code postal"), "edCodePostal", &TVoletTexts::CodePostal, 10);
  edVille = Edit(F1, ScreensTr::tr("Ville"), "edVille", &TVoletTexts::Ville, 38);
  edPays = Edit(F1, ScreensTr::tr("Pays"), "edPays", &TVoletTexts::Pays, 38);
  auto* Complements = new QGroupBox(ScreensTr::tr("  Informations complémentaires"), Patient);
  auto* F2 = new QFormLayout(Complements);
  edTelephoneFixe = Edit(F2, FixeCaption, "edTelephoneFixe", &TVoletTexts::TelephoneFixe, 10);
  edTelephoneMobile = Edit(F2, MobileCaption, "edTelephoneMobile", &TVoletTexts::TelephoneMobile, 10);
  edEMail = Edit(F2, EMailCaption, "edEMail", &TVoletTexts::EMail, 64);
  edPaysNaissance = Edit(F2, ScreensTr::tr("Pays de naissance"), "edPaysNaissance", &TVoletTexts::PaysNaissance, 38);
  auto* PatientColumn = new QVBoxLayout(Patient);
  PatientColumn->addWidget(Identite);
  PatientColumn->addWidget(Complements);
  PatientColumn->addStretch(1);
  PageControl->addTab(Patient, ScreensTr::tr("1/ PATIENT"));

  auto* Representant = new QWidget;
  auto* Legal = new QGroupBox(ScreensTr::tr("  Représentant légal"), Representant);
  auto* F3 = new QFormLayout(Legal);
  F3->addRow(ScreensTr::tr("Civilité"),
             Choices(Legal, {{&rbMRL, "rbMRL"}, {&rbMmeRL, "rbMmeRL"}, {&rbMlleRL, "rbMlleRL"}}, CiviliteCaptions));
  cbLienRL = new QComboBox(Legal);
  cbLienRL->setObjectName(QStringLiteral("cbLienRL"));
  // In the order of TRelation.
  cbLienRL->addItems({ScreensTr::tr("Pas de répresentant légal"), ScreensTr::tr("Père"), ScreensTr::tr("Mère"),
                      ScreensTr::tr("Beau-père - époux de la mère du patient"),
                      ScreensTr::tr("Belle-mère - épouse du père du patient"), ScreensTr::tr("Grand-père"),
                      ScreensTr::tr("Grand-mère"), ScreensTr::tr("Arrière-grand-père"),
                      ScreensTr::tr("Arriere-grand-mère"), ScreensTr::tr("Tante"), ScreensTr::tr("Oncle"),
                      ScreensTr::tr("Frère"), ScreensTr::tr("Soeur"), ScreensTr::tr("Autre réprésentant légal")});
  cbLienRL->setCurrentIndex(0);
  F3->addRow(ScreensTr::tr("Lien"), cbLienRL);
  edNomRL = Edit(F3, ScreensTr::tr("Nom"), "edNomRL", &TVoletTexts::NomRL, 80);
  edPrenomRL = Edit(F3, ScreensTr::tr("Prénom"), "edPrenomRL", &TVoletTexts::PrenomRL, 60);
  edAdresseRL = Edit(F3, ScreensTr::tr("Adresse"), "edAdresseRL", &TVoletTexts::AdresseRL, 38);
  edComplementRL = Edit(F3, ScreensTr::tr("Complément d'adresse"), "edComplementRL", &TVoletTexts::ComplementRL, 38);
  edCodePostalRL = Edit(F3, ScreensTr::tr("Code postal"), "edCodePostalRL", &TVoletTexts::CodePostalRL, 10);
  edVilleRL = Edit(F3, ScreensTr::tr("Ville"), "edVilleRL", &TVoletTexts::VilleRL, 38);
  edTelephoneFixeRL = Edit(F3, FixeCaption, "edTelephoneFixeRL", &TVoletTexts::TelephoneFixeRL, 10);
  edTelephoneMobileRL = Edit(F3, MobileCaption, "edTelephoneMobileRL", &TVoletTexts::TelephoneMobileRL, 10);
  edEMailRL = Edit(F3, EMailCaption, "edEMailRL", &TVoletTexts::EMailRL, 64);
  auto* RepresentantColumn = new QVBoxLayout(Representant);
  RepresentantColumn->addWidget(Legal);
  RepresentantColumn->addStretch(1);
  PageControl->addTab(Representant, ScreensTr::tr("2/ REPRESENTANT LEGAL"));

  btFermer = new QPushButton(ScreensTr::tr("Fermer"), this);
  btFermer->setObjectName(QStringLiteral("btFermer"));
  btFermer->setDefault(true);
  connect(btFermer, &QPushButton::clicked, this, &QDialog::reject);
  btUpdateDMP = new QPushButton(ScreensTr::tr("Mettre à jour"), this);
  btUpdateDMP->setObjectName(QStringLiteral("btUpdateDMP"));
  btUpdateDMP->hide();  // the panel is shown read-only
  connect(btUpdateDMP, &QPushButton::clicked, this, &TVoletAdministratif::btUpdateDMPClick);

  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btUpdateDMP);
  Buttons->addWidget(btFermer);
  auto* Column = new QVBoxLayout(this);
  Column->addWidget(PageControl, 1);
  Column->addLayout(Buttons);
}

bool TVoletAdministratif::Execute(QWidget* Sender, IVoletAdministratifHost& Host,
                                  std::shared_ptr<IDossierMedical> DOS, bool& ContactChanged) {
  ContactChanged = false;
  TVoletAdministratif Form(Sender, Host);
  if (!Form.SetDossier(std::move(DOS)) || Form.exec() != QDialog::Accepted) return false;
  ContactChanged = Form.ContactChanged;
  return true;
}

bool TVoletAdministratif::SetDossier(std::shared_ptr<IDossierMedical> ADOS) {
  const int Error = Setup(std::move(ADOS));
  if (Error == ERR_OK) return true;
  if (Error != SetupBusy) FHost.ShowError(Error);
  setResult(QDialog::Rejected);
  return false;
}

int TVoletAdministratif::Setup(std::shared_ptr<IDossierMedical> ADOS) {
  DOS = std::move(ADOS);
  ContactChanged = false;
  if (!DOS) return ERR_PARAMETRE;
  // The client core may be serving a job or a host request: the panel is
  // read only while neither runs, and none starts meanwhile.
  if (!FHost.HoldBusy()) return SetupBusy;
  const TDossierInfo* Info = nullptr;
  const Talven::TVoletAdministratif* Panel = nullptr;
  int Error = ERR_OK;
  try {
    Info = DOS->GetInfo();
    Error = DOS->GetVoletAdministratif(Panel);
  } catch (...) {
    Error = ERR_EXCEPTION;
  }
  FHost.ReleaseBusy();
  if (Error != ERR_OK) return Error;
  if (!Info || !Panel) return ERR_DONNEES_VIDES;
  const TPatientInfo& P = Info->Patient;
  edINS->setText(Q(!P.INSi.Code.empty() ? P.INSi.Code : P.INSC.Code));
  Volet = TVoletTexts::From(*Panel);
  OldTelecom = Volet.Telecom();
  ShowVolet();
  btUpdateDMP->setEnabled(!Info->ENS);
  return ERR_OK;
}

void TVoletAdministratif::ShowVolet() {
  // The limits hold for typing only: a longer value of the service is shown whole.
  for (const TEditField& E : FEdits) {
    const QString Text = Q(Volet.*E.Field);
    E.Edit->setMaxLength(std::max(E.MaxLength, int(Text.size())));
    E.Edit->setText(Text);
  }
  SetChoice({rbM, rbMme, rbMlle}, Civilites, Volet.Civilite);
  SetChoice({rbMasculin, rbFeminin, rbIndetermine}, Sexes, Volet.Sexe);
  SetChoice({rbMRL, rbMmeRL, rbMlleRL}, Civilites, Volet.CiviliteRL);
  const auto Relation = int(Volet.Relation);
  cbLienRL->setCurrentIndex(Relation < cbLienRL->count() ? Relation : 0);
}

void TVoletAdministratif::GetVolet() {
  for (const TEditField& E : FEdits) Volet.*E.Field = E.Edit->text().trimmed().toStdString();
  Volet.Civilite = GetChoice({rbM, rbMme, rbMlle}, Civilites, 0);
  Volet.Sexe = GetChoice({rbMasculin, rbFeminin, rbIndetermine}, Sexes, ' ');
  Volet.CiviliteRL = GetChoice({rbMRL, rbMmeRL, rbMlleRL}, Civilites, 0);
  Volet.Relation = TRelation(std::max(0, cbLienRL->currentIndex()));
}

void TVoletAdministratif::btUpdateDMPClick() {
  GetVolet();
  const Talven::TVoletAdministratif Panel = Volet.ToVolet();
  const std::shared_ptr<IDossierMedical> Dossier = DOS;
  // The form may be gone when the job ends.
  FHost.Submit([Dossier, Panel] { return Dossier->SetVoletAdministratif(Panel); },
               [Form = QPointer<TVoletAdministratif>(this)](int Error) {
                 if (!Form) return;
                 if (Error != ERR_OK) return Form->FHost.ShowError(Error);
                 const std::string Telecom = Form->Volet.Telecom();
                 if (Telecom != "|" && Telecom != Form->OldTelecom) Form->ContactChanged = true;
                 Form->accept();
               });
}

}  // namespace Carvelin
