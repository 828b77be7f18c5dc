// Record-side objects: the professional's record list, a patient search's
// result, and the patient record (information, administrative panel,
// access, closing, web access and its channels, practitioners, a minor's
// access mode).
//
// Every record operation passes CheckAccess first. Refusals of the caller's
// values come before anything is sent; a field changes only after its
// answer read well, so a failed call leaves what the caller points at. Every
// caller text is escaped where it is inserted.
#include <algorithm>
#include <functional>

#include "Talven.Carvelin.Objects.h"
#include "Vantrel.SOAP.h"

namespace Talven {

namespace {

using Vantrel::XMLEscape;

constexpr std::string_view HL7Namespace = "urn:hl7-org:v3";
constexpr std::string_view HabilitationsNamespace = "urn:si-dmp-habilitations";
constexpr std::string_view PatientsNamespace = "urn:si-dmp-patients";
constexpr std::string_view ReasonCodeSystem = "1.2.250.1.213.1.1.4.11";

std::string HL7Addressing(std::string_view Operation, std::string_view Destination) {
  return Vantrel::WSAddressingHeader(HL7Namespace, Operation, Destination);
}

constexpr TRequest Consultation{"patients", HL7Addressing, "PRPA_IN201307UV02"};
constexpr TRequest Revision{"patients", HL7Addressing, "PRPA_IN201314UV02"};
constexpr TRequest SetAuthorization{"habilitations", Vantrel::WSAddressingHabilitations, "setAuthorization"};
constexpr TRequest ListAuthorizations{"habilitations", Vantrel::WSAddressingHabilitations,
                                      "listAuthorizationByPatient"};
constexpr TRequest CreateAccess{"patientsSpecific", Vantrel::WSAddressingPatientSpecific, "createPatientAccess"};
constexpr TRequest UpdateAccess{"patientsSpecific", Vantrel::WSAddressingPatientSpecific, "updatePatientAccess"};
constexpr TRequest OTPUpdate{"patientsSpecific", Vantrel::WSAddressingPatientSpecific, "patientOTPUpdate"};

// <Name>escaped Text</Name>
std::string Element(std::string_view Name, std::string_view Text) {
  return Vantrel::XMLElement(Name, {}, XMLEscape(Text));
}

// The operation's element in Namespace around ContentMarkup.
std::string OperationBody(const TRequest& Request, std::string_view Namespace, std::string_view ContentMarkup) {
  return Vantrel::XMLElement(Request.Operation, "xmlns=\"" + std::string(Namespace) + "\"", ContentMarkup);
}

std::string ReasonCode(std::string_view Code, std::string_view DisplayName) {
  return "<reasonCode code=\"" + std::string(Code) + "\" codeSystem=\"" + std::string(ReasonCodeSystem) +
         "\" displayName=\"" + XMLEscape(DisplayName) + "\"/>";
}

// A one-time-password channel's type: "SMS" for a mobile number (exactly ten
// ASCII digits), "EMAIL" for a text holding exactly one '@'; "" for anything else.
std::string_view ChannelType(std::string_view Canal) {
  if (Canal.size() == 10 && std::all_of(Canal.begin(), Canal.end(), [](char C) { return C >= '0' && C <= '9'; }))
    return "SMS";
  if (std::count(Canal.begin(), Canal.end(), '@') == 1) return "EMAIL";
  return {};
}

}  // namespace

// ---- Lists ----

template <class IList, class TPublic, class TItem>
TSessionList<IList, TPublic, TItem>::TSessionList(const std::shared_ptr<TCarvelin>& DMP, std::vector<TItem> Items)
    : TDMPLink(DMP), FItems(std::move(Items)) {
  if (DMP && DMP->VaspoCNX) CNX = DMP->VaspoCNX->Identity;
}

template <class IList, class TPublic, class TItem>
const TPublic* TSessionList<IList, TPublic, TItem>::GetItem(int Index) {
  return Index >= 0 && size_t(Index) < FItems.size() ? &FItems[size_t(Index)] : nullptr;
}

template <class IList, class TPublic, class TItem>
int TSessionList<IList, TPublic, TItem>::GetDossier(int Index, std::shared_ptr<IDossierMedical>& Dossier) {
  Dossier.reset();
  const std::shared_ptr<TCarvelin> DMP = Root();
  if (DMP) DMP->FError.Clear();
  if (!Active() || !DMP->VaspoCNX || CNX.lock() != DMP->VaspoCNX->Identity) return ERR_SESSION;
  if (Index < 0 || size_t(Index) >= FItems.size()) return ERR_INDEX;
  return DMP->VaspoCNX->DossierExisteItem(FItems[size_t(Index)].Patient, Dossier);
}

template class TSessionList<IDossierList, TDossierItem, Objects::TDossierItem>;
template class TSessionList<IPatientList, TPatientItem>;

int TCarvelin::xmlGetDossiers(std::string_view XML, std::shared_ptr<IDossierList>& List) {
  List.reset();
  std::vector<Objects::TDossierItem> Items;
  const int Code = ReadDossiers(XML, Items);
  if (Code == ERR_OK) List = std::make_shared<TDossierList>(shared_from_this(), std::move(Items));
  return Code;
}

int TCarvelin::xmlGetPatients(std::string_view XML, std::shared_ptr<IPatientList>& List) {
  List.reset();
  std::vector<TPatientItem> Items;
  const int Code = ReadPatients(XML, Items);
  if (Code == ERR_OK) List = std::make_shared<TPatientList>(shared_from_this(), std::move(Items));
  return Code;
}

int TCarvelin::xmlDossierExiste(std::string_view XML, std::shared_ptr<IDossierMedical>& Dossier) {
  Dossier.reset();
  auto Record = std::make_shared<TDossierMedical>(shared_from_this());
  const int Code = ParseDossierExiste(XML, Record->FInfo);
  if (Code == ERR_OK) Dossier = std::move(Record);
  return Code;
}

// ---- The record: gate, identity, transport ----

int TDossierMedical::CheckAccess() {
  if (const std::shared_ptr<TCarvelin> DMP = Root()) DMP->FError.Clear();
  if (!Active()) return ERR_SESSION;
  if (FInfo.Mineur && FAccesMineur == amMajeur) return ERR_PATIENT_MINEUR;
  return ERR_OK;
}

std::string TDossierMedical::PatientIdCX() const {
  return XMLEscape(Objects::INS_CODE(FInfo.Patient)) + "^^^&amp;" + XMLEscape(Objects::INS_OID(FInfo.Patient)) +
         "&amp;ISO^NH";
}

int TDossierMedical::Reload() {
  const std::shared_ptr<TCarvelin> DMP = Root();
  if (!DMP || !DMP->VaspoCNX) return ERR_SESSION;
  const TPatientInfo& P = FInfo.Patient;
  const TIdentifiantNationalDeSante& Id = P.INSi.Code.empty() ? P.INSC : P.INSi;
  TDossierInfo Info = FInfo;
  const int Code = DMP->VaspoCNX->TestExistenceDossier(Id.Code, Id.Type, Info);
  if (Code != ERR_OK) return Code;
  FInfo = std::move(Info);
  FInfo.Secret = FAccesMineur;
  return ERR_OK;
}

int SendAbout(const std::shared_ptr<TCarvelin>& DMP, const TRequest& Request, const std::string& PatientId,
              std::string_view Reason, uint8_t MinorMode, const TBody& Body, const TReader& Read) {
  if (!DMP || !DMP->VaspoCNX) return ERR_SESSION;
  TVaspoCNX& Session = *DMP->VaspoCNX;
  std::string Response;
  const int Code = Session.Transact(Request.Service,
                                    Request.Addressing(Request.Operation, DMP->DmpServiceUrl(Request.Service)),
                                    PatientId, Body(Session), Response, Reason, MinorMode);
  return Code != ERR_OK ? Code : Read(*DMP, Response);
}

// ---- Panel ----

int TDossierMedical::GetVoletAdministratif(const TVoletAdministratif*& Volet) {
  Volet = nullptr;
  if (const int Code = CheckAccess()) return Code;
  TVoletAdministratif Read;
  const int Code = SendAbout(
      Root(), Consultation, PatientIdCX(), FBrisDeGlace, FAccesMineur,
      [this](const TVaspoCNX& Session) {
        return Session.HL7PatientQuery("CNSLT_DATA", "Consultation des données de gestion de dossier",
                                       Objects::INS_CODE(FInfo.Patient), Objects::INS_OID(FInfo.Patient));
      },
      [&Read](TCarvelin& DMP, std::string_view Response) { return DMP.ParseVoletAdministratif(Response, Read); });
  if (Code != ERR_OK) return Code;
  FVolet = std::move(Read);
  Volet = &FVolet;
  return ERR_OK;
}

int TDossierMedical::Revise(bool Closing, std::string_view PersonMarkup, std::string_view ClosingReason,
                            TVoletAdministratif& Volet) {
  const std::string Reason = Closing ? ReasonCode("FERM", "Fermeture de dossier")
                                     : ReasonCode("MODIF_DATA", "Modification des données de gestion du dossier");
  const std::string Patient =
      "<id root=\"" + XMLEscape(Objects::INS_OID(FInfo.Patient)) + "\" extension=\"" +
      XMLEscape(Objects::INS_CODE(FInfo.Patient)) + "\"/><statusCode code=\"" +
      (Closing ? "terminated" : "active") + "\"/><patientPerson classCode=\"PSN\" determinerCode=\"INSTANCE\">" +
      std::string(PersonMarkup) + "</patientPerson>";
  return SendAbout(
      Root(), Revision, PatientIdCX(), {}, FAccesMineur,
      [&](const TVaspoCNX& Session) {
        return Session.HL7Interaction(
            Revision.Operation,
            Reason + "<subject typeCode=\"SUBJ\"><registrationRequest classCode=\"REG\" moodCode=\"RQO\">" +
                "<statusCode code=\"active\"/><subject1 typeCode=\"SBJ\"><patient classCode=\"PAT\">" + Patient +
                "</patient></subject1>" + Session.HL7Author() + "</registrationRequest></subject>" +
                std::string(ClosingReason));
      },
      [&Volet](TCarvelin& DMP, std::string_view Response) { return DMP.ParseRevisionVolet(Response, Volet); });
}

int TDossierMedical::SetVoletAdministratif(const TVoletAdministratif& Volet) {
  if (const int Code = CheckAccess()) return Code;
  if (FInfo.ENS) return ERR_ENS;
  const std::shared_ptr<TCarvelin> DMP = Root();
  // The panel is checked before anything goes out, even the first reading.
  std::string Person;
  if (const int Code = DMP->HL7PatientPerson(&Volet, Person, &FVolet)) return Code;
  if (FVolet.Identite.NomUsage.empty()) {
    const TVoletAdministratif* Read = nullptr;
    if (const int Code = GetVoletAdministratif(Read)) return Code;
    // Fields the service holds and the new panel empties are cleared explicitly.
    DMP->HL7PatientPerson(&Volet, Person, &FVolet);
  }
  TVoletAdministratif Revised;
  if (const int Code = Revise(false, Person, {}, Revised)) return Code;
  FVolet = std::move(Revised);
  return Reload();
}

// ---- Access ----

int TDossierMedical::Autorisation(bool Autoriser, std::string_view BrisDeGlace) {
  if (const int Code = CheckAccess()) return Code;
  // An emergency access is the professional's declaration: it needs no call
  // and travels in the assertion of the record's later requests.
  if (Autoriser && !BrisDeGlace.empty()) {
    FBrisDeGlace = BrisDeGlace;
    FInfo.Autorisation = "BRIS_DE_GLACE";
    return ERR_OK;
  }
  // Checked before the reason changes, so a refusal keeps the record as it was.
  if (!Autoriser && FInfo.ENS) return ERR_ENS;
  const std::string_view Action = Autoriser ? "AJOUT" : "SUPPRESSION";
  const int Code = SendAbout(
      Root(), SetAuthorization, PatientIdCX(), {}, FAccesMineur,
      [Action](const TVaspoCNX&) { return OperationBody(SetAuthorization, HabilitationsNamespace, Element("action", Action)); },
      [](TCarvelin& DMP, std::string_view Response) { return DMP.xmlAutorisation(Response); });
  if (Code != ERR_OK) return Code;
  FBrisDeGlace = BrisDeGlace;
  return Reload();
}

int TDossierMedical::GetPraticiens(TModePraticien Mode, std::span<const TPraticien>& Praticiens) {
  Praticiens = {};
  if (const int Code = CheckAccess()) return Code;
  std::vector<TPraticien> Read;
  const int Code = SendAbout(
      Root(), ListAuthorizations, PatientIdCX(), {}, FAccesMineur,
      [Mode](const TVaspoCNX&) {
        return OperationBody(ListAuthorizations, HabilitationsNamespace, Element("mode", EnumText(Mode)));
      },
      [&Read](TCarvelin& DMP, std::string_view Response) { return DMP.ParsePraticiens(Response, Read); });
  if (Code != ERR_OK) return Code;
  FPraticiens = std::move(Read);
  Praticiens = FPraticiens;
  return ERR_OK;
}

int TDossierMedical::SetAccesSecret(bool Secret) {
  if (!FInfo.Mineur) return ERR_PATIENT_MAJEUR;
  FAccesMineur = Secret ? amSecret : amNormal;
  FInfo.Secret = FAccesMineur;
  return ERR_OK;
}

// ---- Closing ----

int TDossierMedical::FermerDossier(std::string_view ACode, std::string_view Motif) {
  if (const int Code = CheckAccess()) return Code;
  if (ACode.empty() || Motif.empty()) return ERR_MOTIF;
  // The names as last read in the panel, else as the existence test gave them.
  const TIdentite& Read = FVolet.Identite;
  const TIdentite& Known = FInfo.Patient.Identite;
  auto Name = [](std::string_view Tag, std::string_view Attributes, const std::string& First,
                 const std::string& Second) {
    return Vantrel::XMLOptionalElement(Tag, Attributes, XMLEscape(First.empty() ? Second : First));
  };
  const std::string Person = "<name>" + Name("family", "qualifier=\"BR\"", Read.NomNaissance, Known.NomNaissance) +
                             Name("family", "qualifier=\"SP\"", Read.NomUsage, Known.NomUsage) +
                             Name("given", {}, Read.Prenom, Known.Prenom) + "</name>";
  TVoletAdministratif Revised;
  if (const int Code = Revise(true, Person, Vantrel::DetectedIssueReason(ACode, Motif), Revised)) return Code;
  FVolet = std::move(Revised);
  return ERR_OK;
}

// ---- Web access ----

int TDossierMedical::CreerAccesPatient(std::string_view Canal, const TAccesPatient*& Acces) {
  Acces = nullptr;
  if (const int Code = CheckAccess()) return Code;
  const std::string_view Type = ChannelType(Canal);
  if (Type.empty()) return ERR_CANAL_CONTACT;
  TAccesPatient Made;
  const int Code = SendAbout(
      Root(), CreateAccess, PatientIdCX(), {}, FAccesMineur,
      [&](const TVaspoCNX&) {
        return OperationBody(CreateAccess, PatientsNamespace, Element("type", Type) + Element("canal", Canal));
      },
      [&Made](TCarvelin& DMP, std::string_view Response) { return DMP.ParseAccesPatient(Response, Made); });
  if (Code != ERR_OK) return Code;
  FAcces = std::move(Made);
  Acces = &FAcces;
  return ERR_OK;
}

int TDossierMedical::NouvelAccesPatient(const TAccesPatient*& Acces) {
  Acces = nullptr;
  if (const int Code = CheckAccess()) return Code;
  TAccesPatient Made;
  const int Code = SendAbout(
      Root(), UpdateAccess, PatientIdCX(), {}, FAccesMineur,
      [](const TVaspoCNX&) { return OperationBody(UpdateAccess, PatientsNamespace, {}); },
      [&Made](TCarvelin& DMP, std::string_view Response) { return DMP.ParseNouvelAcces(Response, Made); });
  if (Code != ERR_OK) return Code;
  FAcces = std::move(Made);
  Acces = &FAcces;
  return ERR_OK;
}

int TDossierMedical::ModifierCanal(std::string_view Canal, TActionCanal Action) {
  if (const int Code = CheckAccess()) return Code;
  // Removing with no channel named removes the mobile channel.
  const std::string_view Type =
      Action == TActionCanal::Suppression && Canal.empty() ? std::string_view("SMS") : ChannelType(Canal);
  if (Type.empty()) return ERR_CANAL_CONTACT;
  return SendAbout(
      Root(), OTPUpdate, PatientIdCX(), {}, FAccesMineur,
      [&](const TVaspoCNX&) {
        return OperationBody(OTPUpdate, PatientsNamespace,
                             Element("type", Type) + Element("canal", Canal) + Element("action", EnumText(Action)));
      },
      [](TCarvelin& DMP, std::string_view Response) { return DMP.xmlModifierAccessPatient(Response); });
}


}  // namespace Talven
