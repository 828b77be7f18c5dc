// Lists the records the professional is authorised on, or to which a
// document was added, from a chosen day; a double-click opens the chosen
// record in the main window.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <memory>
#include <string>

#include "USearchFrame.h"

namespace Carvelin {

class TFrameDossiers : public TSearchFrame {
  Q_OBJECT
 public:
  TFrameDossiers(QWidget* AOwner, ISearchHost& Host);

  // ---- Designed controls ----
  QWidget* pnSearch;
  QComboBox* cbDateMode;
  QLabel* Label1;
  TDateTimePicker* dtDate;
  QPushButton* btSearch;

  // ---- The last search ----
  std::string DateUTC;  // "yyyymmddhhnnss": the chosen day's local midnight in universal time
  Talven::TDateMode Mode = Talven::TDateMode::DateAutorisation;
  std::shared_ptr<Talven::IDossierList> List;

  void btSearchClick() override;
  // Work step (job thread).
  int GetDossiers(Talven::IVaspoCNX* CNX);

 protected:
  void ReleaseList() override { List.reset(); }
  const Talven::TPatientInfo* RowPatient(int Index) override;
  QStringList RowTexts(int Index) override;
  int RowDossier(int Index, std::shared_ptr<Talven::IDossierMedical>& DOS) override;
};

}  // namespace Carvelin
