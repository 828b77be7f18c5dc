// The choice of the patient among the beneficiaries of a Vitale card, and
// the copy of the card's XML to "Vitale.xml".
#pragma once

#include <string>

#include "Talven.Carvelin.Types.h"
#include "UListChoice.h"

namespace Carvelin {

inline constexpr std::string_view VitaleFileName = "Vitale.xml";

// "Vitale.xml" in the executable's folder, or in $XDG_DATA_HOME/Carvelin2
// (~/.local/share/Carvelin2) when that folder is not writable.
std::string VitaleXMLFile();
// Writes the card's XML to VitaleXMLFile() through a temporary file and a
// rename; the file written, or std::system_error.
std::string SaveVitaleXML(Talven::IVaspoCSV& CSV);
// "Carte vitale enregistrée dans le fichier Vitale.xml".
QString VitaleSavedMessage();

class TFrmBeneficiaires : public TFrmListChoice {
  Q_OBJECT
 public:
  TFrmBeneficiaires(QWidget* Parent, Talven::IVaspoCSV& CSV);

  // The index of the chosen beneficiary, -1 when cancelled.
  static int Select(QWidget* Sender, Talven::IVaspoCSV& CSV);

  QStringList Cells(int Row) const override;

 protected:
  void mousePressEvent(QMouseEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  Talven::IVaspoCSV& FCSV;
};

}  // namespace Carvelin
