// Closing a record at the patient's request: the motive is mandatory and
// goes with the closing request.
#pragma once

#include <QDialog>

#include <string>

#include "Talven.Carvelin.Types.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace Carvelin {

class TFermerDMP : public QDialog {
  Q_OBJECT
 public:
  TFermerDMP(QWidget* Parent, const Talven::TDossierInfo& Info);

  // True on OK, with Motif the trimmed motive.
  static bool Execute(QWidget* Sender, Talven::IDossierMedical& DOS, std::string& Motif);

  void btOKClick();

  QLabel* lbTitle;
  QPlainTextEdit* mmMotif;
  QPushButton* btOK;
  QPushButton* btAnnuler;
  std::string FMotif;
};

}  // namespace Carvelin
