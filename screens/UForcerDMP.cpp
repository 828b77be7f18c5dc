#include "UForcerDMP.h"

#include <algorithm>

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Talven.Carvelin.Utils.h"
#include "Vantrel.QtText.h"
#include "VCLPatches.h"

namespace Carvelin {

using Vantrel::Q;

std::string MotifBrisDeGlace;

TFrmForcerDMP::TFrmForcerDMP(QWidget* Parent, const Talven::TPatientInfo& Patient) : QDialog(Parent) {
  setObjectName(QStringLiteral("FrmForcerDMP"));
  setWindowTitle(ScreensTr::tr("Dostrana - Accès au DMP"));
  lbTitle = new QLabel(ScreensTr::tr("Confirmez vous que %1 (ou son représentant légal) vous autorise à accéder à "
                                     "son DMP ?")
                           .arg(Q(Talven::NomPatient(Patient.Identite))),
                       this);
  lbTitle->setObjectName(QStringLiteral("lbTitle"));
  lbTitle->setTextFormat(Qt::PlainText);  // the patient's names come from the service
  lbTitle->setWordWrap(true);

  auto* Mode = new QGroupBox(ScreensTr::tr("Mode d'accès au dossier"), this);
  cbAutorise =
      new QRadioButton(ScreensTr::tr("Le patient (ou son représentant légal) m'a autorisé à accéder à son DMP"), Mode);
  cbAutorise->setObjectName(QStringLiteral("cbAutorise"));
  cbBrisDeGlace = new QRadioButton(
      ScreensTr::tr("J'accède en urgence au DMP. Le patient est hors d'état d'exprimer sa volonté, et il y a un "
                    "risque immédiat pour sa santé (accès bris de glace)"),
      Mode);
  cbBrisDeGlace->setObjectName(QStringLiteral("cbBrisDeGlace"));
  auto* lbBrisDeGlace = new QLabel(ScreensTr::tr("Motif d'accès en mode bris de glace"), Mode);
  edBrisDeGlace = new QLineEdit(Mode);
  edBrisDeGlace->setObjectName(QStringLiteral("edBrisDeGlace"));
  edBrisDeGlace->setAccessibleName(lbBrisDeGlace->text());
  edBrisDeGlace->setEnabled(false);
  lbBrisDeGlace->setBuddy(edBrisDeGlace);
  for (QRadioButton* Choice : {cbAutorise, cbBrisDeGlace}) {
    connect(Choice, &QRadioButton::clicked, this,
            [this] { edBrisDeGlace->setEnabled(cbBrisDeGlace->isChecked()); });
    // A radio button does not wrap: the dialog is as wide as its whole caption.
    Choice->setMinimumWidth(Choice->sizeHint().width());
  }
  auto* Choices = new QVBoxLayout(Mode);
  for (QWidget* W : std::initializer_list<QWidget*>{cbAutorise, cbBrisDeGlace, lbBrisDeGlace, edBrisDeGlace})
    Choices->addWidget(W);

  MakeOKCancel(this, btOK, btAnnuler, "btAnnuler", [this] { btOKClick(); });

  auto* Column = new QVBoxLayout(this);
  Column->addWidget(lbTitle);
  Column->addWidget(Mode);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btOK);
  Buttons->addWidget(btAnnuler);
  Column->addLayout(Buttons);
  setMinimumWidth(std::max(fontMetrics().averageCharWidth() * 80, Column->minimumSize().width()));
}

bool TFrmForcerDMP::Execute(QWidget* Sender, const Talven::TPatientInfo& Patient) {
  TFrmForcerDMP Form(Sender, Patient);
  return Form.exec() == QDialog::Accepted;
}

void TFrmForcerDMP::btOKClick() {
  if (cbAutorise->isChecked()) {
    MotifBrisDeGlace.clear();
    return accept();
  }
  if (!cbBrisDeGlace->isChecked()) {
    QMessageBox::warning(this, windowTitle(), ScreensTr::tr("Veuillez choisir un mode d'accès au dossier"));
    return;
  }
  MotifBrisDeGlace = edBrisDeGlace->text().trimmed().toStdString();
  if (!MotifBrisDeGlace.empty()) return accept();
  QMessageBox::warning(this, windowTitle(), ScreensTr::tr("Veuillez indiquer le motif d'accès en mode bris de glace"));
  edBrisDeGlace->setFocus();
}

}  // namespace Carvelin
