// How the professional justifies opening a record he holds no authorisation
// on: the patient (or the legal representative) agreed, or an emergency
// access whose motive the record's later requests carry.
#pragma once

#include <QDialog>

#include <string>

#include "Talven.Carvelin.Types.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace Carvelin {

// The motive of the last accepted emergency access; empty for a consent.
extern std::string MotifBrisDeGlace;

class TFrmForcerDMP : public QDialog {
  Q_OBJECT
 public:
  TFrmForcerDMP(QWidget* Parent, const Talven::TPatientInfo& Patient);

  // True when OK was accepted; the motive is then in MotifBrisDeGlace.
  static bool Execute(QWidget* Sender, const Talven::TPatientInfo& Patient);

  void btOKClick();

  QLabel* lbTitle;
  QRadioButton* cbAutorise;
  QRadioButton* cbBrisDeGlace;
  QLineEdit* edBrisDeGlace;
  QPushButton* btOK;
  QPushButton* btAnnuler;
};

}  // namespace Carvelin
