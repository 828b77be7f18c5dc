#include "UAccesMineur.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.Carvelin.Utils.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using Vantrel::Q;

namespace {

QLabel* Text(QWidget* Parent, const QString& Value) {
  auto* Label = new QLabel(Value, Parent);
  Label->setTextFormat(Qt::PlainText);  // the patient's names come from the service
  Label->setWordWrap(true);
  return Label;
}

}  // namespace

TFrmAccesMineur::TFrmAccesMineur(QWidget* Parent, const Talven::TDossierInfo& Info) : QDialog(Parent) {
  setObjectName(QStringLiteral("FrmAccesMineur"));
  const Talven::TIdentite& Id = Info.Patient.Identite;
  const QString Patient = Q(Talven::NomPatient(Id));
  setWindowTitle(ScreensTr::tr("Accès au DMP de %1").arg(Patient));
  auto* Band = Text(this, ScreensTr::tr(" Autorisation d'accès"));
  QFont Bold = Band->font();
  Bold.setBold(true);
  Band->setFont(Bold);
  lbPatient = Text(this, ScreensTr::tr("Vous essayez d'accéder au DMP de %1 qui est mineur (%2).")
                             .arg(Patient, Q(Id.DateNaissance)));
  lbPatient->setObjectName(QStringLiteral("lbPatient"));
  rbNormal = new QRadioButton(ScreensTr::tr("Je me connecte normalement au DMP."), this);
  rbNormal->setObjectName(QStringLiteral("rbNormal"));
  rbNormal->setChecked(true);
  rbSecret = new QRadioButton(ScreensTr::tr("J'effectue une connexion secrète sur le DMP."), this);
  rbSecret->setObjectName(QStringLiteral("rbSecret"));
  btContinuer = new QPushButton(ScreensTr::tr("Continuer"), this);
  btContinuer->setObjectName(QStringLiteral("btContinuer"));
  btContinuer->setDefault(true);
  btAnnuler = new QPushButton(ScreensTr::tr("Annuler"), this);
  btAnnuler->setObjectName(QStringLiteral("btAnnuler"));
  connect(btContinuer, &QPushButton::clicked, this, &QDialog::accept);
  connect(btAnnuler, &QPushButton::clicked, this, &QDialog::reject);

  auto* Column = new QVBoxLayout(this);
  for (QWidget* W : std::initializer_list<QWidget*>{Band, lbPatient, rbNormal, rbSecret}) Column->addWidget(W);
  for (const QString& Explanation :
       {ScreensTr::tr("La connexion secrète permet de bloquer l’envoi d’une notification de premier accès et la "
                      "consultation de la trace d’accès aux représentants légaux afin de préserver le secret du "
                      "mineur titulaire du DMP."),
        ScreensTr::tr("Cette modalité de connexion doit être exclusivement réservée au cas de préservation du secret "
                      "des mineurs encadré dans la réglementation en vigueur."),
        ScreensTr::tr("Le médecin traitant du mineur peut consulter à tout moment l’historique des accès, même en cas "
                      "de connexion secrète.")})
    Column->addWidget(Text(this, Explanation));
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btContinuer);
  Buttons->addWidget(btAnnuler);
  Column->addLayout(Buttons);
  setMinimumWidth(fontMetrics().averageCharWidth() * 70);
}

bool TFrmAccesMineur::Execute(QWidget* Sender, Talven::IDossierMedical& Dossier,
                              const std::function<void(int Error)>& ShowError) {
  const Talven::TDossierInfo* Info = Dossier.GetInfo();
  if (!Info) return false;
  TFrmAccesMineur Form(Sender, *Info);
  if (Form.exec() != QDialog::Accepted) return false;
  if (const int Error = Dossier.SetAccesSecret(Form.rbSecret->isChecked()); Error != Talven::ERR_OK) {
    ShowError(Error);
    return false;
  }
  return true;
}

}  // namespace Carvelin
