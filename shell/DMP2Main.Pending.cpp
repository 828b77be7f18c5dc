// Stand-ins for main-window operations that the login and record sources
// complete; the REST server calls them.
#include "DMP2Main.h"

namespace Carvelin {

// Shows the holder in the practitioner bar (DMP2Main.Login.cpp).
void TDMPMain::LoadPorteur() {}

// Chooses the activity the card allows (DMP2Main.Login.cpp).
void TDMPMain::GetActivites() {}

bool TDMPMain::IsQualified(const std::string& INSi, char INSType, TVaspoPatient& Patient) {
  const std::string Key = INSType == 'R' ? INSi : INSi + INSType;
  return Database.LoadPatient(Key, Patient) && Patient.INSiQualified();
}

// Adopts the record; showing it belongs to DMP2Main.Dossier.cpp.
void TDMPMain::OpenDossier(std::shared_ptr<Talven::IDossierMedical> ADOS) {
  DOS = std::move(ADOS);
  Info = DOS ? DOS->GetInfo() : nullptr;
  FINSi = nullptr;
}

// Shows the list in the documents frame (DMP2Main.Dossier.cpp).
void TDMPMain::SetDocuments(std::shared_ptr<Talven::IDocumentList>) {}

}  // namespace Carvelin
