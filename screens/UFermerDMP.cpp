#include "UFermerDMP.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Talven.Carvelin.Utils.h"
#include "Vantrel.QtText.h"
#include "VCLPatches.h"

namespace Carvelin {

using Vantrel::Q;

TFermerDMP::TFermerDMP(QWidget* Parent, const Talven::TDossierInfo& Info) : QDialog(Parent) {
  setObjectName(QStringLiteral("FermerDMP"));
  setWindowTitle(ScreensTr::tr("Fermeture du DMP"));
  lbTitle = new QLabel(ScreensTr::tr("Confirmez vous que %1 (ou son représentant légal) vous autorise à accéder à "
                                     "fermer son DMP ?")
                           .arg(Q(Talven::NomPatient(Info.Patient.Identite))),
                       this);
  lbTitle->setObjectName(QStringLiteral("lbTitle"));
  lbTitle->setTextFormat(Qt::PlainText);  // the patient's names come from the service
  lbTitle->setWordWrap(true);
  auto* lbMotif = new QLabel(ScreensTr::tr("Veuillez obligatoirement indiqué le motif de cette fermeture:"), this);
  mmMotif = new QPlainTextEdit(ScreensTr::tr("Fermeture à la demande du patient"), this);
  mmMotif->setObjectName(QStringLiteral("mmMotif"));
  mmMotif->setAccessibleName(ScreensTr::tr("Motif de fermeture"));
  mmMotif->setTabChangesFocus(true);
  lbMotif->setBuddy(mmMotif);
  MakeOKCancel(this, btOK, btAnnuler, "btAnnuler", [this] { btOKClick(); });

  auto* Column = new QVBoxLayout(this);
  for (QWidget* W : std::initializer_list<QWidget*>{lbTitle, lbMotif, mmMotif}) Column->addWidget(W);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btOK);
  Buttons->addWidget(btAnnuler);
  Column->addLayout(Buttons);
  setMinimumWidth(fontMetrics().averageCharWidth() * 70);
}

bool TFermerDMP::Execute(QWidget* Sender, Talven::IDossierMedical& DOS, std::string& Motif) {
  const Talven::TDossierInfo* Info = DOS.GetInfo();
  if (!Info) return false;
  TFermerDMP Form(Sender, *Info);
  if (Form.exec() != QDialog::Accepted) return false;
  Motif = Form.FMotif;
  return true;
}

void TFermerDMP::btOKClick() {
  FMotif = mmMotif->toPlainText().trimmed().toStdString();
  if (!FMotif.empty()) return accept();
  QMessageBox::warning(this, windowTitle(), ScreensTr::tr("Le motif est obligatoire"));
  mmMotif->setFocus();
}

}  // namespace Carvelin
