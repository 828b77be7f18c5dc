// The professional session: its identity assertion and HL7 v3 wrappers, the
// signature entry points, and the session-level transactions (record
// existence, the professional's records, patient search, the identity
// teleservice's search by traits).
//
// Every value that comes from the card, its certificate or the caller is
// escaped where it is inserted. The checks of an existence test run before
// anything is sent.
#include <algorithm>
#include <utility>

#include "Talven.Carvelin.Objects.h"
#include "Talven.Carvelin.AppVitale.h"
#include "Vantrel.HL7Query.h"
#include "Vantrel.SOAP.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.UTF8.Utils.h"

namespace Talven {

namespace {

using Vantrel::XMLEscape;

constexpr std::string_view HL7Namespace = "urn:hl7-org:v3";
constexpr std::string_view ExistenceOperation = "PRPA_IN201307UV02";
constexpr std::string_view SearchOperation = "PRPA_IN201305UV02";
constexpr std::string_view ProductionINSOID = "1.2.250.1.213.1.4.8";
constexpr std::string_view NIAOID = "1.2.250.1.213.1.4.9";

// The OID of an INS by its type letter; "" for another letter.
std::string_view INSOIDOfType(char Type) {
  switch (Type) {
    case 'D': return "1.2.250.1.213.1.4.11";
    case 'I': return NIAOID;
    case 'R': return ProductionINSOID;
    case 'T': return "1.2.250.1.213.1.4.10";
    default: return {};
  }
}

bool IsOIDText(std::string_view Text) {
  return !Text.empty() && std::all_of(Text.begin(), Text.end(), [](char C) { return (C >= '0' && C <= '9') || C == '.'; });
}

std::string Attribute(std::string_view Name, std::string_view Value) {
  return " " + std::string(Name) + "=\"" + XMLEscape(Value) + "\"";
}

std::string Device(std::string_view Root, std::string_view SoftwareName) {
  return "<device classCode=\"DEV\" determinerCode=\"INSTANCE\"><id" + Attribute("root", Root) + "/><softwareName>" +
         XMLEscape(SoftwareName) + "</softwareName></device>";
}

}  // namespace

// ---- Session data and signatures ----

TVaspoCNX::~TVaspoCNX() {
  if (DMP) DMP->UnlinkSession();
}

std::string TVaspoCNX::SignDigestInfo(std::string_view) { return {}; }

int TVaspoCNX::CheckActive() {
  return DMP && DMP->VaspoCNX == this && FActive ? ERR_OK : ERR_SESSION;
}

const TActivite* TVaspoCNX::CurrentActivite() {
  if (Info.ActIndex < 0 || Info.ActIndex >= Info.ActCount) return nullptr;
  return &Info.Activites[size_t(Info.ActIndex)];
}

int TVaspoCNX::GetCertificat(TCertificat* Certificat) {
  if (!Certificat) return ERR_PARAMETRE;
  Certificat->DN = Info.DN;
  Certificat->CertBytes = Cert;
  Certificat->IsCPS = dynamic_cast<const TVaspoCPS*>(this) != nullptr;
  return ERR_OK;
}

int TVaspoCNX::SignHash(std::string_view Data, std::string_view& Digest) {
  const int Code = SignData(Data, FDigest);
  Digest = FDigest;
  return Code;
}

// ---- Message pieces ----

std::string TVaspoCNX::SecurityHeader(std::string_view PatientId, std::string_view Reason, uint8_t MinorMode) const {
  return BuildVIHF(Info, PatientId, Reason, MinorMode, Vantrel::ServiceTimeUTC());
}

std::string TVaspoCNX::HL7Interaction(std::string_view Name, std::string_view BodyMarkup) const {
  const std::string Element(Name);
  return "<" + Element + " xmlns=\"urn:hl7-org:v3\" xmlns:ns2=\"asip:ci-sis:gdp:2010\" ITSVersion=\"XML_1.0\">" +
         "<id" + Attribute("root", Info.LPS_OID + ".3") + Attribute("extension", Vantrel::NewUUIDText()) + "/>" +
         "<creationTime" + Attribute("value", Vantrel::HL7TimeNow()) + "/>" +
         "<interactionId root=\"2.16.840.1.113883.1.6\"" + Attribute("extension", Name) + "/>" +
         "<processingCode" + Attribute("code", Info.ProcessingCode) + "/>" +
         "<processingModeCode code=\"T\"/><acceptAckCode code=\"AL\"/>" +
         "<receiver typeCode=\"RCV\">" + Device("1.2.250.1.213.4.1.1.1", "DMP") + "</receiver>" +
         "<sender typeCode=\"SND\">" + Device(Info.LPS_OID, Info.LPS_Nom) + "</sender>" +
         "<controlActProcess classCode=\"CACT\" moodCode=\"EVN\">" + std::string(BodyMarkup) +
         "</controlActProcess></" + Element + ">";
}

std::string TVaspoCNX::HL7Author() const {
  const TPorteur& P = Info.Porteur;
  const TActivite* Chosen =
      Info.ActIndex >= 0 && Info.ActIndex < Info.ActCount ? &Info.Activites[size_t(Info.ActIndex)] : nullptr;
  const TActivite Activite = Chosen ? *Chosen : TActivite();
  std::string Entity;
  if (!P.Entite.Code.empty())
    Entity = "<code" + Attribute("code", P.Entite.Code) + Attribute("codeSystem", P.Entite.OID) +
             Attribute("displayName", P.Entite.Nom) + "/>";
  Entity += "<id root=\"1.2.250.1.71.4.2.1\"" + Attribute("extension", Info.CN) + "/>";
  Entity += "<assignedPerson classCode=\"PSN\" determinerCode=\"INSTANCE\"><name xsi:type=\"PN\"><family>" +
            XMLEscape(P.Nom) + "</family><given>" + XMLEscape(P.Prenom) + "</given></name></assignedPerson>";
  Entity += "<representedOrganization classCode=\"ORG\" determinerCode=\"INSTANCE\"><id root=\"1.2.250.1.71.4.2.2\"" +
            Attribute("extension", Activite.IdNational) + "/><name>" + XMLEscape(Activite.RaisonSociale) +
            "</name><contactParty classCode=\"CON\"/></representedOrganization>";
  return "<author typeCode=\"AUT\"><assignedEntity classCode=\"ASSIGNED\">" + Entity + "</assignedEntity></author>";
}

// ---- Transactions ----

std::string TVaspoCNX::HL7PatientQuery(std::string_view Code, std::string_view DisplayName, std::string_view INS,
                                       std::string_view OID) const {
  const std::string Query = Vantrel::QueryByParameter(
      Info.LPS_OID, "<patientIdentifier><value" + Attribute("extension", INS) + Attribute("root", OID) + "/>" +
                        Vantrel::SemanticsText("Patient.id") + "</patientIdentifier>");
  return HL7Interaction(ExistenceOperation, "<reasonCode" + Attribute("code", Code) +
                                                " codeSystem=\"1.2.250.1.213.1.1.4.11\"" +
                                                Attribute("displayName", DisplayName) + "/>" + Query);
}

int TVaspoCNX::Transact(std::string_view Service, std::string_view Addressing, std::string_view PatientId,
                        std::string_view Body, std::string& Response, std::string_view Reason, uint8_t MinorMode) {
  std::string Assertion;
  try {
    Assertion = SecurityHeader(PatientId, Reason, MinorMode);
  } catch (const EVIHFError& E) {
    DMP->FError.SetError(E.what());
    return ERR_INDEX;
  }
  return DMP->SendRequest(Vantrel::SOAPEnvelope(std::string(Addressing) + Vantrel::WSSecurityHeader(Assertion), Body),
                          Service, {}, Response);
}

int TVaspoCNX::TestExistenceDossier(std::string_view INSValue, char INSType, TDossierInfo& Dossier) {
  if (const int Code = CheckActive()) return Code;
  DMP->FError.Clear();
  auto Refuse = [this](int Code, std::string Detail) {
    DMP->FError.SetError(std::move(Detail));
    return Code;
  };
  const std::string_view Separator = INSValue.find("&amp;") != std::string_view::npos ? "&amp;" : "&";
  const std::string Tail = std::string(Separator) + "ISO^NH";
  std::string_view INS, OID;
  if (INSType != 'N' && INSValue.find(Tail) == std::string_view::npos) {
    INS = INSValue;
    OID = INSOIDOfType(INSType);
    if (OID.empty()) return Refuse(ERR_INS_INVALIDE, "Type d'INS inconnu : " + std::string(1, INSType));
  } else {
    INS = INSValue.substr(0, INSValue.find('^'));
    const size_t Start = INSValue.find(Separator);
    const size_t End = INSValue.find(Tail);
    if (Start != std::string_view::npos && End != std::string_view::npos && End > Start)
      OID = INSValue.substr(Start + Separator.size(), End - Start - Separator.size());
    // The OID goes into the request: digits and dots only.
    if (INS.empty() || !IsOIDText(OID))
      return Refuse(ERR_INS_INVALIDE, "Identifiant HL7 illisible : " + std::string(INSValue));
  }
  if (INS.size() != 15 || !Vantrel::IsValidNIR(INS)) return Refuse(ERR_INS_INVALIDE, "INS invalide : " + std::string(INS));
  const bool Training = (Info.Carte.Categorie & 0x80) != 0;
  if (Training && (OID == ProductionINSOID || OID == NIAOID))
    return Refuse(ERR_VITALE_REELLE, "OID " + std::string(OID) + " refusé avec une carte de test");
  if (!Training && OID != ProductionINSOID)
    return Refuse(ERR_VITALE_TEST, "OID " + std::string(OID) + " refusé avec une carte réelle");

  const std::string PatientId = std::string(INS) + "^^^&amp;" + std::string(OID) + "&amp;ISO^NH";
  DMP->Log("Construction de la requête...");
  const std::string Body = HL7PatientQuery("TEST_EXST", "Test d'existence de dossier", INS, OID);
  std::string Response;
  const int Code = Transact(
      "patients", Vantrel::WSAddressingHeader(HL7Namespace, ExistenceOperation, DMP->DmpServiceUrl("patients")),
      PatientId, Body, Response);
  return Code != ERR_OK ? Code : DMP->ParseDossierExiste(Response, Dossier);
}

int TVaspoCNX::DossierExiste(std::string_view INSValue, char INSType, std::shared_ptr<IDossierMedical>& Dossier) {
  Dossier.reset();
  if (const int Code = CheckActive()) return Code;
  auto Record = std::make_shared<TDossierMedical>(DMP->shared_from_this());
  const int Code = TestExistenceDossier(INSValue, INSType, Record->FInfo);
  if (Code == ERR_OK) Dossier = std::move(Record);
  return Code;
}

int TVaspoCNX::DossierExisteItem(const TPatientInfo& Item, std::shared_ptr<IDossierMedical>& Dossier) {
  const TIdentifiantNationalDeSante& Id = Item.INSi.Code.empty() ? Item.INSC : Item.INSi;
  return DossierExiste(Id.Code, Id.Type, Dossier);
}

int TVaspoCNX::GetDossiers(std::string_view DateUTC, TDateMode Mode, std::shared_ptr<IDossierList>& List) {
  List.reset();
  std::vector<Objects::TDossierItem> Items;
  const int Code = ListDossiers(DateUTC, Mode, Items);
  if (Code != ERR_OK) return Code;
  List = std::make_shared<TDossierList>(DMP->shared_from_this(), std::move(Items));
  return ERR_OK;
}

int TVaspoCNX::GetPatients(const TRecherchePatients& Criteres, std::shared_ptr<IPatientList>& List) {
  List.reset();
  std::vector<TPatientItem> Items;
  const int Code = SearchPatients(Criteres, Items);
  if (Code != ERR_OK) return Code;
  List = std::make_shared<TPatientList>(DMP->shared_from_this(), std::move(Items));
  return ERR_OK;
}

int TVaspoCNX::ListDossiers(std::string_view DateUTC, TDateMode Mode, std::vector<Objects::TDossierItem>& Items) {
  if (const int Code = CheckActive()) return Code;
  const std::string Body = "<patientList xmlns=\"urn:si-dmp-patients\"><startDate>" + XMLEscape(DateUTC) +
                           "</startDate><dateType>" + std::string(EnumText(Mode)) + "</dateType></patientList>";
  std::string Response;
  const int Code = Transact("patientsSpecific",
                            Vantrel::WSAddressingPatientSpecific("patientList", DMP->DmpServiceUrl("patientsSpecific")),
                            {}, Body, Response);
  return Code != ERR_OK ? Code : DMP->ReadDossiers(Response, Items);
}

int TVaspoCNX::SearchPatients(const TRecherchePatients& Criteres, std::vector<TPatientItem>& Items) {
  if (const int Code = CheckActive()) return Code;
  const std::string Parameters = Vantrel::LivingSubjectGender(EnumText(Criteres.Sexe)) +
                                 Vantrel::LivingSubjectBirthTime(Criteres.Naissance) +
                                 Vantrel::LivingSubjectName(Criteres.Nom, Criteres.Prenom, Criteres.NomPartiel);
  const std::string Body =
      HL7Interaction(SearchOperation, "<code code=\"PRPA_TE201305UV02\" codeSystem=\"2.16.840.1.113883.1.6\"/>" +
                                          Vantrel::QueryByParameter(Info.LPS_OID, Parameters));
  std::string Response;
  const int Code = Transact(
      "patientsPDQ", Vantrel::WSAddressingHeader(HL7Namespace, SearchOperation, DMP->DmpServiceUrl("patientsPDQ")),
      {}, Body, Response);
  return Code != ERR_OK ? Code : DMP->ReadPatients(Response, Items);
}

int TVaspoCNX::PrepareINSi(Vantrel::TINSiRequest& Request) {
  if (const int Code = CheckActive()) return Code;
  if (Request.SetCPS(this, Vantrel::UTF8ToUTF16(Vantrel::OIDUUIDToGUIDText(LPS_OID)))) return ERR_OK;
  DMP->FError.SetError("Certificat de la carte illisible");
  return ERR_CERTIFICAT;
}

int TVaspoCNX::SendINSi(Vantrel::TINSiRequest& Request, std::string_view Body, TINSiResponse& Response) {
  DMP->FError.Clear();
  if (Body.empty()) {
    DMP->FError.SetError(Request.Error);
    return ERR_CRYPTOLIB;
  }
  std::string Answer;
  const int Code = DMP->SendToURL(Request.URL(), Body, Answer);
  return Code == ERR_OK ? DMP->ReadINSiResponse(Request, Answer, Response) : Code;
}

int TVaspoCNX::rechercherInsAvecTraitsIdentite(const TINSiTraits& INSiTraits, const TINSiResponse*& INSiResponse) {
  INSiResponse = nullptr;
  Vantrel::TINSiRequest Request;
  if (const int Code = PrepareINSi(Request)) return Code;
  const std::string Nom = Vantrel::NormalizeINSiName(Vantrel::UTF8ToUTF16(INSiTraits.Nom));
  const std::string Prenoms = Vantrel::NormalizeINSiName(Vantrel::UTF8ToUTF16(INSiTraits.Prenom));
  std::vector<std::string> Tries;
  for (size_t At = 0; At <= Prenoms.size();) {
    const size_t Space = std::min(Prenoms.find(' ', At), Prenoms.size());
    if (Space > At) Tries.push_back(Prenoms.substr(At, Space - At));
    At = Space + 1;
  }
  // Each first name alone, then all of them together.
  if (Tries.size() >= 2) Tries.push_back(Vantrel::JoinText(" ", Tries));
  const std::string Sexe = INSiTraits.Sexe ? std::string(1, INSiTraits.Sexe) : std::string();
  int Code = ERR_INSI;
  for (const std::string& Prenom : Tries) {
    Code = SendINSi(
        Request, Request.rechercherInsAvecTraitsIdentite(Nom, Prenom, Sexe, INSiTraits.Naissance, INSiTraits.CodeINSEE),
        FINSi);
    if (Code == ERR_OK) {
      INSiResponse = &FINSi;
      return ERR_OK;
    }
  }
  if (Tries.empty()) DMP->FError.SetError("Aucun prénom");
  return Code;
}

// ---- Mobile Vitale application ----

int TVaspoCNX::PrepareAppVitale(AppVitale::TAppVitaleRequest& Request) {
  if (const int Code = CheckActive()) {
    AppVitale::TAppVitaleRequest::ClearSecurityData();
    return Code;
  }
  DMP->FError.Clear();
  std::string Reason;
  if (!Request.Context.SetCPS(this, Vantrel::OIDUUIDToGUIDText(LPS_OID), Reason)) {
    DMP->FError.SetError(std::move(Reason));
    return ERR_APPVITALE;
  }
  Request.SpecAMO = FSpecAMO;
  return ERR_OK;
}

int TVaspoCNX::PostAppVitale(AppVitale::TAppVitaleRequest& Request, const std::string& Body, std::string& Answer) {
  if (Body.empty()) {
    // Nothing goes out without the signed header; the signer's own text, when
    // it left one, follows the reason.
    const std::string Signer = DMP->FError.GetErrDetail();
    DMP->FError.SetError(Request.Error + (Signer.empty() ? "" : " : " + Signer));
    return ERR_APPVITALE;
  }
  DMP->Log("Interrogation du service ApCV...");
  return DMP->SendToURL(Request.URL(), Body, Answer);
}

int TVaspoCNX::GetAppVitale(std::string_view qrCode, std::shared_ptr<IAppVitale>& AppVitale, bool CloseContext) {
  AppVitale.reset();
  AppVitale::TAppVitaleRequest Request;
  if (const int Code = PrepareAppVitale(Request)) return Code;
  const std::string Body =
      qrCode.empty() ? Request.restituerContexteApCV() : Request.authentifierUtilisateurProximite(qrCode);
  std::string Answer;
  if (const int Code = PostAppVitale(Request, Body, Answer)) {
    if (Code != ERR_APPVITALE) AppVitale::TAppVitaleRequest::ClearSecurityData();
    return Code;
  }
  const int Count = Request.SetIdentites(Answer);
  if (Count < 0) {
    // A refused assertion is not sent again.
    if (Count == AppVitale::ApCVFault) AppVitale::TAppVitaleRequest::ClearSecurityData();
    DMP->FError.SetError(Request.Error + "\r" + Request.Detail);
    return ERR_APPVITALE;
  }
  const bool Training = (Info.Carte.Categorie & 0x80) != 0;
  if (Training && Request.TypeEnv == 'R') return ERR_VITALE_REELLE;
  if (!Training && Request.TypeEnv != 'R') return ERR_VITALE_TEST;
  AppVitale = std::make_shared<TAppVitale>(DMP->shared_from_this(), Request);
  FAppVitaleContext = Request.Identifiant;
  if (CloseContext) {
    std::string Ignored;
    PostAppVitale(Request, Request.detruireContexteApCV(), Ignored);
    FAppVitaleContext.clear();
    DMP->FError.Clear();
  }
  return ERR_OK;
}

int TVaspoCNX::CloseAppVitale() {
  AppVitale::TAppVitaleRequest Request;
  if (const int Code = PrepareAppVitale(Request)) return Code;
  if (FAppVitaleContext.empty()) return ERR_OK;
  Request.Identifiant = std::exchange(FAppVitaleContext, {});
  std::string Ignored;
  PostAppVitale(Request, Request.detruireContexteApCV(), Ignored);
  DMP->FError.Clear();
  return ERR_OK;
}

}  // namespace Talven
