// The patient services' readers on any bytes (existence, panel, revision,
// patient search, record creation); and a panel made of the same bytes,
// written by HL7PatientPerson, reads back through ParseVoletAdministratif
// with the same names.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "Replies.h"

using namespace Talven;

namespace {

// Up to six fields of the bytes, separated by '|', mapped to characters the
// writer must escape or keep: letters, spaces and & < > " '.
std::string Field(std::string_view& Rest) {
  static constexpr std::string_view Alphabet = "ABCDEZabcez &<>\"'-";
  const size_t End = std::min(Rest.find('|'), Rest.size());
  std::string Out;
  for (const char C : Rest.substr(0, End)) Out += Alphabet[static_cast<unsigned char>(C) % Alphabet.size()];
  Rest.remove_prefix(std::min(End + 1, Rest.size()));
  return Out;
}

void RoundTrip(TCarvelin& Root, std::string_view Bytes) {
  TVoletAdministratif V;
  V.Identite.Civilite = 2;
  V.Identite.Sexe = 'F';
  V.Identite.DateNaissance = "04/05/2010";
  V.Identite.NomUsage = Field(Bytes);
  V.Identite.NomNaissance = Field(Bytes);
  V.Identite.Prenom = Field(Bytes);
  V.Adresse.Ville = Field(Bytes);
  V.Telecom.EMail = Field(Bytes);
  V.Representant.Nom = Field(Bytes);
  std::string Person;
  const int Written = Root.HL7PatientPerson(&V, Person, nullptr);
  FuzzReplies::Check(Written);
  if (Written != ERR_OK) return;
  TVoletAdministratif Back;
  const int Read = Root.ParseVoletAdministratif(
      "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>"
      "<PRPA_IN201308UV02 xmlns=\"urn:hl7-org:v3\"><acknowledgement typeCode=\"AA\"/><controlActProcess><subject>"
      "<registrationEvent><subject1><patient><patientPerson>" + Person +
      "</patientPerson></patient></subject1></registrationEvent></subject></controlActProcess></PRPA_IN201308UV02>"
      "</soap:Body></soap:Envelope>",
      Back);
  if (Read != ERR_OK) abort();
  if (Back.Identite.NomUsage != V.Identite.NomUsage || Back.Identite.Prenom != V.Identite.Prenom ||
      Back.Adresse.Ville != V.Adresse.Ville)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Answer(reinterpret_cast<const char*>(Data), Size);
  TCarvelin& Root = FuzzReplies::Root();
  TDossierInfo Info;
  FuzzReplies::Check(Root.ParseDossierExiste(Answer, Info));
  FuzzReplies::Check(Root.ParseCreationDossier(Answer, Info));
  TVoletAdministratif Volet;
  FuzzReplies::Check(Root.ParseVoletAdministratif(Answer, Volet));
  FuzzReplies::Check(Root.ParseRevisionVolet(Answer, Volet));
  std::vector<TPatientItem> Patients;
  FuzzReplies::CheckList(Root.ReadPatients(Answer, Patients), Patients);
  RoundTrip(Root, Answer);
  return 0;
}
