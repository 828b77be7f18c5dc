// The practitioner on whose behalf a software-certificate session acts,
// among those of its structure known to the workstation.
#pragma once

#include <QDialog>
#include <QStringList>

#include <vector>

#include "Carvelin.Database.h"
#include "Carvelin.SQLIteDataBase.h"
#include "Talven.Carvelin.Types.h"
#include "VCLPatches.h"

class QPushButton;

namespace Carvelin {

class TChoixPraticien : public QDialog {
  Q_OBJECT
 public:
  TChoixPraticien(QWidget* Parent, std::vector<TVaspoPraticien> APraticiens);

  // False at once when Database knows no practitioner of the activity's
  // structure; true when one was chosen, copied into Praticien and set on aCRT.
  static bool Execute(QWidget* Sender, TVaspoDatabase& Database, Talven::IVaspoCRT& aCRT,
                      const Talven::TActivite& Act, TVaspoPraticien& Praticien);

  // The texts of a row, in the order of the header's sections.
  static QStringList RowTexts(const TVaspoPraticien& Praticien);

  THeaderControl* Headers;
  TVirtualListBox* ListBox;
  QPushButton* btOK;
  QPushButton* btCancel;

  std::vector<TVaspoPraticien> Praticiens;
};

}  // namespace Carvelin
