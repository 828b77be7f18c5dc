// How the professional connects to a minor's record: normally, or secretly
// (no first-access notice and no access trace for the legal representatives).
#pragma once

#include <QDialog>

#include "Talven.Carvelin.Types.h"

class QLabel;
class QPushButton;
class QRadioButton;

namespace Carvelin {

class TFrmAccesMineur : public QDialog {
  Q_OBJECT
 public:
  TFrmAccesMineur(QWidget* Parent, const Talven::TDossierInfo& Info);

  // True on "Continuer", after setting the record's secret access to the
  // chosen mode.
  static bool Execute(QWidget* Sender, Talven::IDossierMedical& Dossier);

  QLabel* lbPatient;
  QRadioButton* rbNormal;
  QRadioButton* rbSecret;
  QPushButton* btContinuer;
  QPushButton* btAnnuler;
};

}  // namespace Carvelin
