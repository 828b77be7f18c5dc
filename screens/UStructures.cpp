#include "UStructures.h"

#include <QHBoxLayout>
#include <QPushButton>

#include "ScreensTr.h"
#include "UCodePIN.h"

namespace Carvelin {

TFrmStructures::TFrmStructures(QWidget* Parent, Talven::IVaspoCPS& CPS, Vantrel::TIniFile& Ini)
    : TFrmListChoice(Parent, ScreensTr::tr("Carvelin - Choix de la structure"),
                     ScreensTr::tr("Veuillez sélectionner la structure concernée"),
                     {{QStringLiteral("#"), 25},
                      {ScreensTr::tr("N° de Structure"), 100},
                      {ScreensTr::tr("Type de Structure"), 200},
                      {ScreensTr::tr("Raison sociale"), 200}}),
      FCPS(CPS),
      FIni(Ini) {
  List->setObjectName(QStringLiteral("lbStructures"));
  List->setAccessibleName(ScreensTr::tr("Structures de la carte"));
  if (const Talven::TPorteur* Porteur = CPS.GetPorteur()) FIdNational = Porteur->IdNational;
  btDelPassword = new QPushButton(ScreensTr::tr("Supprimer le mot de passe enregistré"), this);
  btDelPassword->setObjectName(QStringLiteral("btDelPassword"));
  btDelPassword->setAutoDefault(false);
  btDelPassword->setVisible(HasRememberedPIN(Ini, FIdNational));
  connect(btDelPassword, &QPushButton::clicked, this, &TFrmStructures::btDelPasswordClick);
  Buttons->insertWidget(0, btDelPassword);
}

int TFrmStructures::Select(QWidget* Sender, Talven::IVaspoCPS& CPS, Vantrel::TIniFile& Ini) {
  int Count = 0;
  if (CPS.GetActivites(Count) != 0) Count = 0;
  TFrmStructures Form(Sender, CPS, Ini);
  return Form.Choose(Count, CPS.SelectedActivite());
}

QStringList TFrmStructures::Cells(int Row) const {
  const Talven::TActivite* A = FCPS.GetActivite(Row);
  if (!A) return {};
  return {QString::number(A->Numero), QString::fromStdString(A->IdNational),
          QString::fromStdString(A->Entite.Nom + " (" + A->Entite.Code + ")"),
          QString::fromStdString(A->RaisonSociale)};
}

void TFrmStructures::btDelPasswordClick() {
  ForgetPIN(FIni, FIdNational);
  FIni.UpdateFile();
  btDelPassword->setEnabled(false);
}

}  // namespace Carvelin
