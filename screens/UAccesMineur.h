// How the professional connects to a minor's record: normally, or secretly
// (no first-access notice and no access trace for the legal representatives).
#pragma once

#include <QDialog>

#include <functional>

#include "Talven.Carvelin.Types.h"

class QLabel;
class QPushButton;
class QRadioButton;

namespace Carvelin {

class TFrmAccesMineur : public QDialog {
  Q_OBJECT
 public:
  TFrmAccesMineur(QWidget* Parent, const Talven::TDossierInfo& Info);

  // True on "Continuer" once the record took the chosen mode; a refusal
  // goes to ShowError and answers false, as the record stays closed to
  // every request until a mode is set.
  static bool Execute(QWidget* Sender, Talven::IDossierMedical& Dossier,
                      const std::function<void(int Error)>& ShowError);

  QLabel* lbPatient;
  QRadioButton* rbNormal;
  QRadioButton* rbSecret;
  QPushButton* btContinuer;
  QPushButton* btAnnuler;
};

}  // namespace Carvelin
