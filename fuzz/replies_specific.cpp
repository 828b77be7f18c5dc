// The readers of the services with their own schemas on any bytes: record
// list, web access, contact channel, practitioners, authorisation.
#include <cstdint>
#include <string_view>

#include "Replies.h"

using namespace Talven;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Answer(reinterpret_cast<const char*>(Data), Size);
  TCarvelin& Root = FuzzReplies::Root();
  std::vector<Objects::TDossierItem> Dossiers;
  FuzzReplies::CheckList(Root.ReadDossiers(Answer, Dossiers), Dossiers);
  std::vector<TPraticien> Praticiens;
  FuzzReplies::CheckList(Root.ParsePraticiens(Answer, Praticiens), Praticiens);
  TAccesPatient Acces;
  FuzzReplies::Check(Root.ParseAccesPatient(Answer, Acces));
  FuzzReplies::Check(Root.ParseNouvelAcces(Answer, Acces));
  FuzzReplies::Check(Root.xmlModifierAccessPatient(Answer));
  FuzzReplies::Check(Root.xmlAutorisation(Answer));
  return 0;
}
