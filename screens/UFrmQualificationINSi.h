// The identity check that the national identity-vigilance reference asks
// before a patient's digital identity is used: the professional names the
// official document they checked, and its value is kept with the patient.
#pragma once

#include <QDialog>

#include "Talven.Carvelin.Types.h"

class QButtonGroup;
class QFormLayout;
class QGroupBox;
class QLabel;
class QPushButton;

namespace Carvelin {

// "RNIV 1 Principes communs", the reference document the footnote opens.
inline constexpr const char* RNIVAddress =
    "https://esante.gouv.fr/sites/default/files/media_entity/documents/rniv_1-principes_communs.pdf";

class TFrmQualificationINSi : public QDialog {
  Q_OBJECT
 public:
  explicit TFrmQualificationINSi(QWidget* Parent);

  // The identity-check value of the teleservice's answer; -1 when cancelled.
  static int Execute(QWidget* Sender, const Talven::TINSiResponse& INSi);
  // The same for a mobile-application identity; 0 when cancelled.
  static int ExecuteAPCV(QWidget* Sender, const Talven::TIdentiteAMO& Identite);

  // The chosen patient document's value, plus the guardian's for a minor's
  // documents (which need it); 0 when a required choice is missing.
  int GetControle() const;
  void Button1Click();
  void RadioGroup1Click();

  QLabel* lbURL;
  QLabel* lbNom;
  QLabel* lbPrenomsCaption;
  QLabel* lbPrenoms;
  QLabel* lbNaissance;
  QLabel* lbSexe;
  QLabel* lbCommune;
  QGroupBox* RadioGroup1;
  QGroupBox* RadioGroup2;
  QButtonGroup* Documents1;
  QButtonGroup* Documents2;
  QPushButton* Button1;
  QPushButton* btCancel;

 private:
  QFormLayout* Identity;
};

}  // namespace Carvelin
