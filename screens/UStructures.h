// The choice of the activity (structure) of a CPS card session, and the
// button that forgets the PIN remembered for the card holder.
#pragma once

#include "Talven.Carvelin.Types.h"
#include "UListChoice.h"
#include "Vantrel.IniFiles.h"

namespace Carvelin {

class TFrmStructures : public TFrmListChoice {
  Q_OBJECT
 public:
  TFrmStructures(QWidget* Parent, Talven::IVaspoCPS& CPS, Vantrel::TIniFile& Ini);

  // The index of the chosen activity, -1 when cancelled.
  static int Select(QWidget* Sender, Talven::IVaspoCPS& CPS, Vantrel::TIniFile& Ini);

  QStringList Cells(int Row) const override;
  void btDelPasswordClick();

  QPushButton* btDelPassword;

 private:
  Talven::IVaspoCPS& FCPS;
  Vantrel::TIniFile& FIni;
  std::string FIdNational;
};

}  // namespace Carvelin
