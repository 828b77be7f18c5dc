// Searches the patients of the shared-record service by identity traits;
// a double-click opens the chosen patient's record in the main window.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <memory>
#include <string>

#include "USearchFrame.h"

namespace Carvelin {

class TFramePatients : public TSearchFrame {
  Q_OBJECT
 public:
  TFramePatients(QWidget* AOwner, ISearchHost& Host);

  // ---- Designed controls ----
  QWidget* pnSearch;
  QLineEdit *edNom, *edPrenom;
  QComboBox* cbSexe;
  QCheckBox* cbNaissance;
  TDateTimePicker* dtNaissance;
  QCheckBox* cbNomPartiel;
  QPushButton* btSearch;

  // ---- The last search ----
  std::string Nom, Prenom;
  std::string Naissance;  // "yyyymmdd", or "" without a birth date
  Talven::TSexe Sexe = Talven::TSexe::Tous;
  bool NomPartiel = false;
  std::shared_ptr<Talven::IPatientList> List;

  void GetCriteres();
  void btSearchClick() override;
  // Work step (job thread).
  int GetPatients(Talven::IVaspoCNX* CNX);
  void pnSearchResize() { pnSearch->update(); }

 protected:
  void ReleaseList() override { List.reset(); }
  const Talven::TPatientInfo* RowPatient(int Index) override;
  QStringList RowTexts(int Index) override;
  int RowDossier(int Index, std::shared_ptr<Talven::IDossierMedical>& DOS) override;
};

}  // namespace Carvelin
