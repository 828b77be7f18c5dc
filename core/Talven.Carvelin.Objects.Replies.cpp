// The reply readers: the answers of the shared-record service turned into
// records and lists, and the patient-person block of the administrative panel.
#include <charconv>
#include <functional>
#include <optional>
#include <stdexcept>

#include "Talven.Carvelin.Objects.h"
#include "Talven.Carvelin.Utils.h"
#include "Vantrel.Mime.Decoder.h"
#include "Vantrel.SOAP.h"

namespace Talven {

using Vantrel::PXMLNode;
using Vantrel::TXMLTree;
using Vantrel::AttributeValueOf;
using Vantrel::ChildAt;
using Vantrel::TextOf;
using Vantrel::XPathNodeOf;

namespace {

constexpr std::string_view RegistrySuccess = "urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Success";
constexpr std::string_view HasMember = "urn:oasis:names:tc:ebxml-regrep:AssociationType:HasMember";
constexpr std::string_view StatusPrefix = "urn:oasis:names:tc:ebxml-regrep:StatusType:";
constexpr std::string_view NonRenseigne = "NON RENSEIGNE";

namespace Scheme = Objects::Scheme;

// A number of the answer; nothing when it is not one or does not fit.
std::optional<int32_t> Number(std::string_view Text) {
  int32_t Value = 0;
  const auto R = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  if (Text.empty() || R.ec != std::errc() || R.ptr != Text.data() + Text.size()) return std::nullopt;
  return Value;
}

// The "value" beside the first coded element Selector finds is "true".
bool CodedTrue(PXMLNode Parent, std::string_view Selector) {
  const PXMLNode Coded = XPathNodeOf(Parent, Selector);
  return Coded && AttributeValueOf(Coded->Parent->GetChild("value"), "value") == "true";
}

int32_t CiviliteFromPrefix(std::string_view Prefix) {
  if (Prefix == "M") return 1;
  if (Prefix == "Mme") return 2;
  if (Prefix == "Mlle") return 3;
  return 0;
}

constexpr std::string_view CiviliteTexts[] = {"", "M", "Mme", "Mlle"};

// Runs a reader; an exception (a bad character reference met while decoding a
// value) becomes a refusal with its text.
template <class F>
int Guarded(TLastError& Error, F&& Reader) {
  try {
    return Reader();
  } catch (const std::exception& E) {
    Error.SetError(E.what());
    return ERR_REQUETE_REFUSEE;
  }
}

// The child of the answer's body at Path, after the fault check; Code says
// why there is none.
PXMLNode BodyChild(TCarvelin& DMP, std::string_view XML, TXMLTree& Tree,
                   std::initializer_list<std::string_view> Path, int& Code) {
  Code = ERR_OK;
  if (DMP.CheckSoapFault(XML, Tree)) {
    Code = ERR_REQUETE_REFUSEE;
    return nullptr;
  }
  const PXMLNode Body = Tree.GetNodeAt({"Envelope", "Body"});
  const PXMLNode Node = ChildAt(Body, Path);
  if (!Node) Code = ERR_PROGRAMME;
  return Node;
}

// The acknowledgement of an HL7 answer as an attribute; 0 for "AA", else
// the detail text in FError and the code.
int AcknowledgementCode(TCarvelin& DMP, PXMLNode Message) {
  const PXMLNode Ack = ChildAt(Message, {"acknowledgement"});
  const std::string Type = AttributeValueOf(Ack, "typeCode");
  if (Type == "AA") return ERR_OK;
  if (Type != "AE") return ERR_PROGRAMME;
  DMP.FError.SetError(TextOf(ChildAt(Ack, {"acknowledgementDetail", "text"})));
  return AttributeValueOf(ChildAt(Ack, {"acknowledgementDetail", "code"}), "code") == "DMPAuthorizationNotFound"
             ? ERR_ACCES_REFUSE
             : ERR_REQUETE_INVALIDE;
}

// The "output" of an answer of the services with their own schemas, with
// its status; Code for a fault or a missing output.
PXMLNode StatusOutput(TCarvelin& DMP, std::string_view XML, TXMLTree& Tree, std::string_view Response,
                      std::string& Status, int& Code) {
  const PXMLNode Output = BodyChild(DMP, XML, Tree, {Response, "output"}, Code);
  Status = TextOf(ChildAt(Output, {"status"}));
  return Output;
}

// Status "DMPOk": 0; else the context in FError and Special's code when the
// status is Special's, else Other.
int StatusCode(TCarvelin& DMP, PXMLNode Output, std::string_view Status,
               std::initializer_list<std::pair<std::string_view, int>> Special, int Other) {
  if (Status == "DMPOk") return ERR_OK;
  DMP.FError.SetError(TextOf(ChildAt(Output, {"context"})));
  for (const auto& [Name, Code] : Special)
    if (Status == Name) return Code;
  return Other;
}

// The registry answer's AdhocQueryResponse after the fault and registry checks.
PXMLNode QueryResponse(TCarvelin& DMP, std::string_view XML, TXMLTree& Tree, int& Code) {
  if (DMP.CheckSoapFault(XML, Tree)) {
    Code = ERR_REQUETE_REFUSEE;
    return nullptr;
  }
  if (DMP.CheckRegistryErrors(Tree, Code)) return nullptr;
  const PXMLNode Response = Tree.XPathNode("/Envelope/Body/AdhocQueryResponse");
  Code = Response ? ERR_OK : ERR_PROGRAMME;
  return Response;
}

// The registry objects when totalResultCount is above 0 and equals their
// number; nullptr otherwise (a mismatch goes to the log).
PXMLNode CountedObjects(TCarvelin& DMP, PXMLNode Response) {
  const PXMLNode List = Response->GetChild("RegistryObjectList");
  const int32_t Count = Number(AttributeValueOf(Response, "totalResultCount")).value_or(0);
  const int32_t Found = List ? List->Length() : 0;
  if (Count > 0 && Count == Found) return List;
  if (Count != Found)
    DMP.Log("Réponse du registre ignorée : totalResultCount " + std::to_string(Count) + " pour " +
            std::to_string(Found) + " entrée(s)");
  return nullptr;
}

PXMLNode Classification(PXMLNode Entry, std::string_view SchemeId) {
  for (const Vantrel::TXMLNode& C : Entry->Children())
    if (C.Name.Compare("Classification") && AttributeValueOf(&C, "classificationScheme") == SchemeId) return &C;
  return nullptr;
}

std::string SlotValue(PXMLNode Entry, std::string_view Name) {
  for (const Vantrel::TXMLNode& C : Entry->Children())
    if (C.Name.Compare("Slot") && AttributeValueOf(&C, "name") == Name)
      return TextOf(ChildAt(&C, {"ValueList", "Value"}));
  return {};
}

std::string LocalizedName(PXMLNode Node) {
  return AttributeValueOf(ChildAt(Node, {"Name", "LocalizedString"}), "value");
}

Objects::TDocumentInfo ReadEntry(PXMLNode Entry) {
  Objects::TDocumentInfo I;
  I.Nom = LocalizedName(Entry);
  I.Taille = Number(SlotValue(Entry, "size")).value_or(0);
  I.Commentaire = AttributeValueOf(ChildAt(Entry, {"Description", "LocalizedString"}), "value");
  const PXMLNode Categorie = Classification(Entry, Scheme::Categorie);
  I.Categorie = LocalizedName(Categorie);
  I.CodeCategorie = AttributeValueOf(Categorie, "nodeRepresentation");
  I.CadreExercice = LocalizedName(Classification(Entry, Scheme::CadreExercice));
  I.DateDebut = Objects::HL7TimeToText(SlotValue(Entry, "serviceStartTime"));
  I.DateFin = Objects::HL7TimeToText(SlotValue(Entry, "serviceStopTime"));
  I.DocumentPatient = AttributeValueOf(Classification(Entry, Scheme::Auteur), "nodeRepresentation") == "90";
  I.Version = Number(AttributeValueOf(Entry->GetChild("VersionInfo"), "versionName")).value_or(0);
  I.uuid = AttributeValueOf(Entry, "id");
  I.RepositoryId = SlotValue(Entry, "repositoryUniqueId");
  for (const Vantrel::TXMLNode& C : Entry->Children())
    if (C.Name.Compare("ExternalIdentifier") && AttributeValueOf(&C, "identificationScheme") == Scheme::UniqueId)
      I.DocumentUniqueId = AttributeValueOf(&C, "value");
  I.legalAuthenticator = SlotValue(Entry, "legalAuthenticator");
  I.creationTime = SlotValue(Entry, "creationTime");
  I.nodeRepresentation = AttributeValueOf(Classification(Entry, Scheme::Format), "nodeRepresentation");
  I.currentStatus = AttributeValueOf(Entry, "status");
  I.Visibilite = Objects::VisibiliteFromEntry(Entry);
  Objects::FillDerivedFields(I);
  return I;
}

void ReadAdresse(PXMLNode Addr, TAdresse& A) {
  A.Adresse = TextOf(ChildAt(Addr, {"streetAddressLine"}));
  A.Complement = TextOf(ChildAt(Addr, {"additionalLocator"}));
  A.CodePostal = TextOf(ChildAt(Addr, {"postalCode"}));
  A.Ville = TextOf(ChildAt(Addr, {"city"}));
  A.Pays = TextOf(ChildAt(Addr, {"country"}));
}

void ReadTelecoms(PXMLNode Parent, TTelecom& T) {
  if (!Parent) return;
  for (const Vantrel::TXMLNode& C : Parent->Children()) {
    if (!C.Name.Compare("telecom")) continue;
    const std::string Value = AttributeValueOf(&C, "value");
    const std::string Use = AttributeValueOf(&C, "use");
    if (Value.starts_with("tel:")) {
      if (Use == "HP") T.Fixe = Value.substr(4);
      if (Use == "MC") T.Mobile = Value.substr(4);
    } else if (Value.starts_with("mailto:")) {
      T.EMail = Value.substr(7);
    }
  }
}

// One HL7 panel answer element into Volet.
int ReadVolet(TCarvelin& DMP, PXMLNode Message, TVoletAdministratif& Volet) {
  if (const int Code = AcknowledgementCode(DMP, Message)) return Code;
  const PXMLNode Person =
      ChildAt(Message, {"controlActProcess", "subject", "registrationEvent", "subject1", "patient", "patientPerson"});
  TIdentite& Id = Volet.Identite;
  Id.NomUsage = TextOf(XPathNodeOf(Person, "name/family[@qualifier=SP]"));
  Id.Prenom = TextOf(ChildAt(Person, {"name", "given"}));
  Id.NomNaissance = TextOf(XPathNodeOf(Person, "name/family[@qualifier=BR]"));
  Id.DateNaissance = Objects::HL7TimeToText(AttributeValueOf(ChildAt(Person, {"birthTime"}), "value"));
  if (const std::string Sexe = AttributeValueOf(ChildAt(Person, {"administrativeGenderCode"}), "code"); !Sexe.empty())
    Id.Sexe = Sexe[0];
  Id.Civilite = CiviliteFromPrefix(TextOf(ChildAt(Person, {"name", "prefix"})));
  ReadAdresse(ChildAt(Person, {"addr"}), Volet.Adresse);
  ReadTelecoms(Person, Volet.Telecom);
  Volet.PaysNaissance = TextOf(XPathNodeOf(Person, "birthPlace[@classCode=BIRTHPL]/addr/country"));
  const PXMLNode Relation = ChildAt(Person, {"personalRelationship"});
  if (!Relation) return ERR_OK;
  TRepresentantLegal& R = Volet.Representant;
  R.Relation =
      EnumFromText<TRelation>(AttributeValueOf(ChildAt(Relation, {"code"}), "code")).value_or(TRelation::Aucune);
  const PXMLNode Name = ChildAt(Relation, {"relationshipHolder1", "name"});
  R.Civilite = CiviliteFromPrefix(TextOf(ChildAt(Name, {"prefix"})));
  R.Nom = TextOf(ChildAt(Name, {"family"}));
  R.Prenom = TextOf(ChildAt(Name, {"given"}));
  ReadAdresse(ChildAt(Relation, {"addr"}), R.Adresse);
  ReadTelecoms(Relation, R.Telecom);
  return ERR_OK;
}

// ---- Writing the panel ----

// The element with the escaped value; an emptied value that Previous held
// asks the service to clear it (nullFlavor NASK); otherwise nothing.
std::string NASKElement(std::string_view Name, std::string_view Attributes, std::string_view Value,
                        const std::string* Previous) {
  if (!Value.empty()) return Vantrel::XMLElement(Name, Attributes, Vantrel::XMLEscape(Value));
  if (!Previous || Previous->empty()) return {};
  std::string Flagged(Attributes);
  if (!Flagged.empty()) Flagged += ' ';
  return Vantrel::XMLElement(Name, Flagged + "nullFlavor=\"NASK\"", {});
}

std::string AdresseElement(const TAdresse& A, const TAdresse* Previous) {
  const std::string Content =
      NASKElement("streetAddressLine", "", A.Adresse, Previous ? &Previous->Adresse : nullptr) +
      NASKElement("additionalLocator", "", A.Complement, Previous ? &Previous->Complement : nullptr) +
      NASKElement("postalCode", "", A.CodePostal, Previous ? &Previous->CodePostal : nullptr) +
      NASKElement("city", "", A.Ville, Previous ? &Previous->Ville : nullptr) +
      NASKElement("country", "", A.Pays, Previous ? &Previous->Pays : nullptr);
  return Content.empty() ? std::string() : "<addr>" + Content + "</addr>";
}

std::string TelecomElements(const TTelecom& T) {
  std::string Out;
  if (!T.Fixe.empty()) Out += "<telecom use=\"HP\" value=\"tel:" + Vantrel::XMLEscape(T.Fixe) + "\"/>";
  if (!T.Mobile.empty()) Out += "<telecom use=\"MC\" value=\"tel:" + Vantrel::XMLEscape(T.Mobile) + "\"/>";
  if (!T.EMail.empty()) Out += "<telecom value=\"mailto:" + Vantrel::XMLEscape(T.EMail) + "\"/>";
  return Out;
}

std::string PrefixElement(int32_t Civilite) {
  const std::string_view Prefix = CiviliteTexts[Civilite];
  return Prefix.empty() ? std::string() : "<prefix>" + std::string(Prefix) + "</prefix>";
}

}  // namespace

// ---- Document helpers ----

namespace Objects {

std::string INS_CODE(const TPatientInfo& Info) { return !Info.INSi.Code.empty() ? Info.INSi.Code : Info.INSC.Code; }
std::string INS_OID(const TPatientInfo& Info) { return !Info.INSi.OID.empty() ? Info.INSi.OID : Info.INSC.OID; }

void ParsePatient(PXMLNode Patient, TPatientInfo& Info) {
  if (!Patient) return;
  struct TRoot {
    std::string_view OID;
    bool INSi;
    char Type;
  };
  static constexpr TRoot Roots[] = {{"1.2.250.1.213.1.4.1", false, 'A'}, {"1.2.250.1.213.1.4.2", false, 'C'},
                                    {"1.2.250.1.213.1.4.8", true, 'R'},  {"1.2.250.1.213.1.4.10", true, 'T'},
                                    {"1.2.250.1.213.1.4.11", true, 'D'}};
  for (const Vantrel::TXMLNode& Id : Patient->Children()) {
    if (!Id.Name.Compare("id")) continue;
    const std::string Root = AttributeValueOf(&Id, "root");
    for (const TRoot& R : Roots)
      if (R.OID == Root) {
        TIdentifiantNationalDeSante& Target = R.INSi ? Info.INSi : Info.INSC;
        Target.Code = AttributeValueOf(&Id, "extension");
        Target.Type = R.Type;
        Target.OID = Root;
      }
  }
  const PXMLNode Person = Patient->GetChild("patientPerson");
  TIdentite& I = Info.Identite;
  const std::string Sexe = AttributeValueOf(ChildAt(Person, {"administrativeGenderCode"}), "code");
  I.Sexe = Sexe.size() == 1 ? Sexe[0] : 'U';
  I.DateNaissance = HL7TimeToText(AttributeValueOf(ChildAt(Person, {"birthTime"}), "value"));
  I.Civilite = CiviliteFromPrefix(TextOf(ChildAt(Person, {"name", "prefix"})));
  I.Prenom = TextOf(ChildAt(Person, {"name", "given"}));
  I.NomUsage.clear();
  I.NomNaissance.clear();
  if (const PXMLNode Name = ChildAt(Person, {"name"}))
    for (const Vantrel::TXMLNode& Family : Name->Children()) {
      if (!Family.Name.Compare("family")) continue;
      if (AttributeValueOf(&Family, "qualifier") == "BR") {
        I.NomNaissance = Family.Value();
      } else {
        I.NomUsage = Family.Value();
        if (I.NomUsage == NonRenseigne) I.NomUsage.clear();
      }
    }
}

std::string StatusFromURN(std::string_view URN) {
  for (size_t I = 0; I < 3; ++I)
    if (URN == EnumText(static_cast<TDocumentStatus>(I)))
      return std::string(URN.substr(URN.rfind(':') + 1));
  if (URN.starts_with(StatusPrefix)) return std::string(URN.substr(StatusPrefix.size()));
  return std::string(URN);
}

int32_t VisibiliteFromEntry(PXMLNode Entry) {
  static constexpr std::pair<std::string_view, int32_t> Bits[] = {
      {"MASQUE_PS", 1}, {"INVISIBLE_PATIENT", 2}, {"INVISIBLE_REPRESENTANTS_LEGAUX", 4}};
  int32_t Result = 0;
  if (!Entry) return Result;
  for (const Vantrel::TXMLNode& C : Entry->Children()) {
    if (!C.Name.Compare("Classification")) continue;
    const std::string Node = AttributeValueOf(&C, "nodeRepresentation");
    for (const auto& [Name, Bit] : Bits)
      if (Node == Name) Result |= Bit;
  }
  return Result;
}

Vantrel::TDateTime ParseDateTimeHL7(std::string_view Text) {
  Text = Text.substr(0, 14);
  if (Text.size() < 8) return 0;
  for (char C : Text)
    if (C < '0' || C > '9') return 0;
  auto Part = [Text](size_t At, size_t Len) {
    int Value = 0;
    if (At < Text.size()) std::from_chars(Text.data() + At, Text.data() + std::min(Text.size(), At + Len), Value);
    return Value;
  };
  Vantrel::TDateTime Value = 0;
  const Vantrel::TDateParts Parts{Part(0, 4), Part(4, 2), Part(6, 2), Part(8, 2), Part(10, 2), Part(12, 2), 0};
  return Vantrel::TryEncodeDateTime(Parts, Value) ? Value : 0;
}

std::string HL7TimeToText(std::string_view Text) {
  Vantrel::TDateTime Value = ParseDateTimeHL7(Text);
  if (Value == 0) return {};
  if (Text.size() <= 8) return Vantrel::FormatDateTime("dd/mm/yyyy", Value);
  return Vantrel::FormatDateTime("dd/mm/yyyy hh:nn", Vantrel::UTCToLocal(Value));
}

std::string XCNToName(std::string_view Value) {
  const size_t First = Value.find('^');
  if (First == std::string_view::npos) return "(inconnu)";
  const std::string_view Rest = Value.substr(First + 1);
  const size_t Second = Rest.find('^');
  const std::string_view Family = Rest.substr(0, Second);
  const std::string_view Given =
      Second == std::string_view::npos ? std::string_view() : Rest.substr(Second + 1).substr(0, Rest.substr(Second + 1).find('^'));
  return std::string(Given) + " " + std::string(Family);
}

std::string ExtensionFromFormatCode(std::string_view FormatCode) {
  for (const TTypeMimeInfo& Row : TypesMime())
    if (Row.Format.Code == FormatCode) return std::string(Row.ShortName);
  static constexpr std::string_view Structured[] = {
      "urn:ihe:pcc:xds-ms:2007",   "urn:ihe:lab:xd-lab:2008",  "urn:asip:ci-sis:idap:2011",
      "urn:asip:ci-sis:vsm:2012",  "urn:asip:ci-sis:hr:2019",  "urn:asip:ci-sis:vac:2019",
      "urn:asip:ci-sis:vac-note:2021"};
  for (std::string_view Code : Structured)
    if (Code == FormatCode) return "XML";
  if (FormatCode.substr(0, 13) == "urn:ihe:qrph:") return "XML";
  return std::string(FormatCode);
}

void FillDerivedFields(TDocumentInfo& Info) {
  Info.Auteur = XCNToName(Info.legalAuthenticator);
  if (const Vantrel::TDateTime UTC = ParseDateTimeHL7(Info.creationTime); UTC != 0) {
    Info.creationDate = Vantrel::UTCToLocal(UTC);
    Info.DateCreation = Vantrel::FormatDateTime("dd/mm/yyyy hh:nn", Info.creationDate);
  }
  Info.Extension = ExtensionFromFormatCode(Info.nodeRepresentation);
  Info.UniqueID = Info.DocumentUniqueId;
  Info.Statut = StatusFromURN(Info.currentStatus);
}

std::string DateFRToHL7(std::string_view Date) {
  if (Date.size() != 10 || Date[2] != '/' || Date[5] != '/') return {};
  for (size_t i : {0, 1, 3, 4, 6, 7, 8, 9})
    if (Date[i] < '0' || Date[i] > '9') return {};
  return std::string(Date.substr(6, 4)) + std::string(Date.substr(3, 2)) + std::string(Date.substr(0, 2));
}

}  // namespace Objects

namespace {

// Whole calendar years from a "dd/mm/yyyy" birth date to Now; -1 when the
// date does not read.
int AgeInYears(std::string_view Birth, Vantrel::TDateTime Now) {
  const std::string HL7 = Objects::DateFRToHL7(Birth);
  const Vantrel::TDateTime Date = Objects::ParseDateTimeHL7(HL7);
  if (Date == 0) return -1;
  const Vantrel::TDateParts B = Vantrel::DecodeDateTime(Date);
  const Vantrel::TDateParts N = Vantrel::DecodeDateTime(Now);
  const bool BirthdayReached = N.Month > B.Month || (N.Month == B.Month && N.Day >= B.Day);
  return N.Year - B.Year - (BirthdayReached ? 0 : 1);
}

}  // namespace

// ---- Records ----

void TCarvelin::FillDossierInfo(PXMLNode Message, TDossierInfo& Info) {
  Info.Autorisation.clear();
  if (const PXMLNode K = XPathNodeOf(Message, "attentionLine/keyWordText[@code=AUTORISATION]"))
    Info.Autorisation = AttributeValueOf(K->Parent->GetChild("value"), "code");
  Info.StatutMT = CodedTrue(Message, "attentionLine/keyWordText[@code=STATUT_MT]");
  const PXMLNode Event = ChildAt(Message, {"controlActProcess", "subject", "registrationEvent"});
  const PXMLNode Patient = ChildAt(Event, {"subject1", "patient"});
  Info.Fermeture.reset();
  if (AttributeValueOf(ChildAt(Patient, {"statusCode"}), "code") == "terminated") {
    const PXMLNode Issue = ChildAt(Message, {"controlActProcess", "reasonOf", "detectedIssueEvent"});
    Info.Fermeture = TFermeture{Objects::HL7TimeToText(AttributeValueOf(ChildAt(Event, {"effectiveTime"}), "value")),
                                AttributeValueOf(ChildAt(Issue, {"code"}), "code"), TextOf(ChildAt(Issue, {"text"}))};
  }
  Objects::ParsePatient(Patient, Info.Patient);
  Info.AccesWeb = CodedTrue(Patient, "subjectOf/administrativeObservation/code[@code=COMPTE_INTERNET_OUVERT]");
  Info.ENS = CodedTrue(Patient, "subjectOf/administrativeObservation/code[@code=RATTACHEMENT_ENS]");
  // A patient of exactly the age of majority, or whose birth date does not
  // read, is still a minor.
  Info.Mineur = FParametres.GestionMineurs &&
                FParametres.AgeMajoritee >= AgeInYears(Info.Patient.Identite.DateNaissance, Clock());
}

int TCarvelin::ParseDossierExiste(std::string_view XML, TDossierInfo& Info) {
  return Guarded(FError, [&] {
    TXMLTree Tree;
    int Code;
    const PXMLNode Message = BodyChild(*this, XML, Tree, {"PRPA_IN201308UV02"}, Code);
    if (Code == ERR_REQUETE_REFUSEE) return Code;
    const PXMLNode Ack = ChildAt(Message, {"acknowledgement"});
    if (AttributeValueOf(Ack, "typeCode") == "AE") {
      FError.SetError(TextOf(ChildAt(Ack, {"acknowledgementDetail", "text"})));
      return ERR_REQUETE_INVALIDE;
    }
    const std::string Response =
        AttributeValueOf(ChildAt(Message, {"controlActProcess", "queryAck", "queryResponseCode"}), "code");
    if (Response == "NF") return ERR_DMP;
    if (Response != "OK") return ERR_PROGRAMME;
    FillDossierInfo(Message, Info);
    return ERR_OK;
  });
}

int TCarvelin::ParseCreationDossier(std::string_view XML, TDossierInfo& Info) {
  return Guarded(FError, [&] {
    TXMLTree Tree;
    int Code;
    const PXMLNode Response = BodyChild(*this, XML, Tree, {"PRPA_IN201311UV02_Response"}, Code);
    if (Code != ERR_OK) return Code;
    if (const PXMLNode Created = Response->GetChild("PRPA_IN201312UV02");
        Created && AttributeValueOf(ChildAt(Created, {"acknowledgement"}), "typeCode") == "AA") {
      FillDossierInfo(Created, Info);
      return ERR_OK;
    }
    if (const PXMLNode Refused = Response->GetChild("PRPA_IN201313UV02");
        Refused && AttributeValueOf(ChildAt(Refused, {"acknowledgement"}), "typeCode") == "AE") {
      FError.SetError(TextOf(ChildAt(Refused, {"acknowledgement", "acknowledgementDetail", "text"})));
      return ERR_REQUETE_INVALIDE;
    }
    return ERR_PROGRAMME;
  });
}

int TCarvelin::ReadDossiers(std::string_view XML, std::vector<Objects::TDossierItem>& Items) {
  Items.clear();
  const int Result = Guarded(FError, [&] {
    TXMLTree Tree;
    std::string Status;
    int Code;
    const PXMLNode Output = StatusOutput(*this, XML, Tree, "patientListResponse", Status, Code);
    if (Code != ERR_OK) return Code;
    if (const int S = StatusCode(*this, Output, Status, {{"DMPErrorLPS", ERR_REQUETE_INVALIDE}}, ERR_DONNEES_VIDES))
      return S;
    static constexpr std::pair<std::string_view, char> Types[] = {{"1.2.250.1.213.1.4.2", 'C'},
                                                                  {"1.2.250.1.213.1.4.8", 'R'},
                                                                  {"1.2.250.1.213.1.4.10", 'T'},
                                                                  {"1.2.250.1.213.1.4.11", 'D'}};
    for (const Vantrel::TXMLNode& Data : Output->Children()) {
      if (!Data.Name.Compare("patientlistData")) continue;
      Objects::TDossierItem& Item = Items.emplace_back();
      for (const Vantrel::TXMLNode& Id : Data.Children()) {
        if (!Id.Name.Compare("patientIdentifier")) continue;
        const std::string Type = TextOf(ChildAt(&Id, {"nationalIdType"}));
        const PXMLNode Value = ChildAt(&Id, {"nationalId"});
        if (!Value) continue;
        for (const auto& [OID, Letter] : Types) {
          if (OID != Type) continue;
          const TIdentifiantNationalDeSante Found{Value->Value(), Letter, Type};
          if (Letter == 'C')
            Item.Patient.INSC = Found;
          else
            Item.Patient.INSi = Found;
        }
      }
      TIdentite& I = Item.Patient.Identite;
      I.Prenom = TextOf(ChildAt(&Data, {"firstName"}));
      I.NomNaissance = TextOf(ChildAt(&Data, {"patronymicalName"}));
      I.NomUsage = TextOf(ChildAt(&Data, {"lastName"}));
      if (I.NomUsage == NonRenseigne) I.NomUsage.clear();
      Item.StatutMT = TextOf(ChildAt(&Data, {"MT"})) == "true";
      Item.dateOfBirth = TextOf(ChildAt(&Data, {"dateOfBirth"}));
      Item.lastAccessDate = TextOf(ChildAt(&Data, {"lastAccessDate"}));
      Item.lastUpdateDate = TextOf(ChildAt(&Data, {"lastUpdateDate"}));
      Item.lastAddDate = TextOf(ChildAt(&Data, {"lastAddDate"}));
      I.DateNaissance = Objects::HL7TimeToText(Item.dateOfBirth);
      Item.DateDernierAcces = Objects::HL7TimeToText(Item.lastAccessDate);
      Item.DateModification = Objects::HL7TimeToText(Item.lastUpdateDate);
      Item.DateDernierDocument = Objects::HL7TimeToText(Item.lastAddDate);
    }
    return ERR_OK;
  });
  if (Result != ERR_OK) Items.clear();
  return Result;
}

int TCarvelin::ReadPatients(std::string_view XML, std::vector<TPatientItem>& Items) {
  Items.clear();
  const int Result = Guarded(FError, [&] {
    TXMLTree Tree;
    int Code;
    const PXMLNode Message = BodyChild(*this, XML, Tree, {"PRPA_IN201306UV02"}, Code);
    if (Code != ERR_OK) return Code;
    const PXMLNode Ack = Message->GetChild("acknowledgement");
    const std::string Type = AttributeValueOf(ChildAt(Ack, {"typeCode"}), "code");
    if (Type == "AE") {
      FError.SetError(TextOf(ChildAt(Ack, {"acknowledgementDetail", "text"})));
      const std::string Detail = AttributeValueOf(ChildAt(Ack, {"acknowledgementDetail", "code"}), "code");
      if (Detail == "DMPTooManyResult") return ERR_TROP_DE_RESULTATS;
      if (Detail == "DMPInvalidRequest") return ERR_REQUETE_INVALIDE;
      if (Detail == "DMPAuthenticationError") return ERR_ACCES_REFUSE;
    }
    if (Type != "AA") return ERR_REPONSE;
    const PXMLNode Act = Message->GetChild("controlActProcess");
    if (!Act) return ERR_OK;
    for (const Vantrel::TXMLNode& Subject : Act->Children()) {
      if (!Subject.Name.Compare("subject")) continue;
      TPatientItem& Item = Items.emplace_back();
      const PXMLNode Patient = ChildAt(&Subject, {"registrationEvent", "subject1", "patient"});
      Objects::ParsePatient(Patient, Item.Patient);
      Item.oppositionUrgence =
          CodedTrue(Patient, "subjectOf2/administrativeObservation/code[@code=OPPOSITION_ACCES_URGENCE]");
    }
    return ERR_OK;
  });
  if (Result != ERR_OK) Items.clear();
  return Result;
}

// ---- Administrative panel ----

int TCarvelin::ParseVoletAdministratif(std::string_view XML, TVoletAdministratif& Volet) {
  return Guarded(FError, [&] {
    TXMLTree Tree;
    int Code;
    const PXMLNode Message = BodyChild(*this, XML, Tree, {"PRPA_IN201308UV02"}, Code);
    return Code != ERR_OK ? Code : ReadVolet(*this, Message, Volet);
  });
}

int TCarvelin::ParseRevisionVolet(std::string_view XML, TVoletAdministratif& Volet) {
  return Guarded(FError, [&] {
    TXMLTree Tree;
    int Code;
    const PXMLNode Response = BodyChild(*this, XML, Tree, {"PRPA_IN201314UV02_Response"}, Code);
    if (Code != ERR_OK) return Code;
    if (Response->Length() != 1) return ERR_PROGRAMME;
    if (const PXMLNode Refused = Response->GetChild("PRPA_IN201316UV02")) {
      FError.SetError(TextOf(ChildAt(Refused, {"acknowledgement", "acknowledgementDetail", "text"})));
      return ERR_REQUETE_INVALIDE;
    }
    const PXMLNode Revised = Response->GetChild("PRPA_IN201315UV02");
    return Revised ? ReadVolet(*this, Revised, Volet) : ERR_PROGRAMME;
  });
}

int TCarvelin::HL7PatientPerson(const TVoletAdministratif* Volet, std::string& Text,
                                const TVoletAdministratif* Previous) {
  Text.clear();
  if (!Volet || Volet->Identite.Civilite < 0 || Volet->Identite.Civilite > 3) return ERR_CIVILITE;
  const TIdentite& I = Volet->Identite;
  if (I.NomUsage.empty()) return ERR_NOM_USAGE;
  if (I.Prenom.empty()) return ERR_PRENOM;
  const std::string Birth = Objects::DateFRToHL7(I.DateNaissance);
  if (Birth.empty() && !Previous) return ERR_DATE_NAISSANCE;
  std::string Gender;
  if (I.Sexe == 'F' || I.Sexe == 'M' || I.Sexe == 'U')
    Gender = "<administrativeGenderCode code=\"" + std::string(1, I.Sexe) + "\"/>";
  else if (I.Sexe != ' ')
    return ERR_SEXE;
  if (Gender.empty() && !Previous) return ERR_SEXE;
  const TIdentite* P = Previous ? &Previous->Identite : nullptr;
  const std::string Name = "<name>" + PrefixElement(I.Civilite) +
                           NASKElement("family", "qualifier=\"BR\"", I.NomNaissance, P ? &P->NomNaissance : nullptr) +
                           "<family qualifier=\"SP\">" + Vantrel::XMLEscape(I.NomUsage) + "</family><given>" +
                           Vantrel::XMLEscape(I.Prenom) + "</given></name>";
  const std::string Country =
      NASKElement("country", "", Volet->PaysNaissance, Previous ? &Previous->PaysNaissance : nullptr);
  Text = Name + Gender + AdresseElement(Volet->Adresse, Previous ? &Previous->Adresse : nullptr) +
         TelecomElements(Volet->Telecom) +
         (Birth.empty() ? std::string() : "<birthTime value=\"" + Vantrel::XMLEscape(Birth) + "\"/>") +
         (Country.empty() ? std::string() : "<birthPlace classCode=\"BIRTHPL\"><addr>" + Country + "</addr></birthPlace>") +
         HL7Representant(Volet->Representant, Previous ? &Previous->Representant : nullptr);
  return ERR_OK;
}

std::string TCarvelin::HL7Representant(const TRepresentantLegal& R, const TRepresentantLegal* Previous) {
  if (R.Relation == TRelation::Aucune || R.Nom.empty() || R.Prenom.empty()) return {};
  if (R.Civilite < 0 || R.Civilite > 3) return {};
  const std::string_view CodeSystem =
      R.Relation == TRelation::Autre ? "2.16.840.1.113883.1.11.19830" : "2.16.840.1.113883.1.11.19579";
  return "<personalRelationship classCode=\"PRS\"><code code=\"" + std::string(EnumText(R.Relation)) +
         "\" codeSystem=\"" + std::string(CodeSystem) + "\"/>" +
         AdresseElement(R.Adresse, Previous ? &Previous->Adresse : nullptr) + TelecomElements(R.Telecom) +
         "<relationshipHolder1 classCode=\"PSN\" determinerCode=\"INSTANCE\"><name>" + PrefixElement(R.Civilite) +
         "<given>" + Vantrel::XMLEscape(R.Prenom) + "</given><family>" + Vantrel::XMLEscape(R.Nom) +
         "</family></name></relationshipHolder1></personalRelationship>";
}

// ---- Practitioners, web access, authorisation ----

int TCarvelin::ParsePraticiens(std::string_view XML, std::vector<TPraticien>& Praticiens) {
  Praticiens.clear();
  const int Result = Guarded(FError, [&] {
    TXMLTree Tree;
    std::string Status;
    int Code;
    const PXMLNode Output = StatusOutput(*this, XML, Tree, "listAuthorizationByPatientResponse", Status, Code);
    if (Code != ERR_OK) return Code;
    if (const int S = StatusCode(*this, Output, Status, {{"DMPPatientAccessAlreadyExists", ERR_ACCES_PATIENT_EXISTE}},
                                 ERR_REQUETE_REFUSEE))
      return S;
    for (const Vantrel::TXMLNode& A : Output->Children()) {
      if (!A.Name.Compare("listOfAuthorizationByPatient")) continue;
      auto Field = [&A](std::string_view Name) { return TextOf(ChildAt(&A, {Name})); };
      Praticiens.push_back({Field("nationalId"), Field("nationalIdType"), Field("firstName"), Field("lastName"),
                            Objects::HL7TimeToText(Field("lastActionDate")), Field("mode"),
                            Objects::HL7TimeToText(Field("startOfAuthorization")),
                            TEntite{Field("codeSpeciality"), Field("libSpeciality"), {}},
                            Field("specificRight") == "MEDECIN_TRAITANT"});
    }
    return ERR_OK;
  });
  if (Result != ERR_OK) Praticiens.clear();
  return Result;
}

namespace {

int ReadAcces(TCarvelin& DMP, std::string_view XML, std::string_view Response, int AlreadyExists,
              TAccesPatient& Acces) {
  return Guarded(DMP.FError, [&] {
    TXMLTree Tree;
    std::string Status;
    int Code;
    const PXMLNode Output = StatusOutput(DMP, XML, Tree, Response, Status, Code);
    if (Code != ERR_OK) return Code;
    if (const int S = StatusCode(DMP, Output, Status, {{"DMPPatientAccessAlreadyExists", AlreadyExists}},
                                 ERR_REQUETE_REFUSEE))
      return S;
    Acces = {TextOf(ChildAt(Output, {"login"})), TextOf(ChildAt(Output, {"password"}))};
    return ERR_OK;
  });
}

}  // namespace

int TCarvelin::ParseAccesPatient(std::string_view XML, TAccesPatient& Acces) {
  return ReadAcces(*this, XML, "createPatientAccessResponse", ERR_ACCES_PATIENT_EXISTE, Acces);
}

int TCarvelin::ParseNouvelAcces(std::string_view XML, TAccesPatient& Acces) {
  return ReadAcces(*this, XML, "updatePatientAccessResponse", ERR_REQUETE_REFUSEE, Acces);
}

int TCarvelin::xmlModifierAccessPatient(std::string_view XML) {
  return Guarded(FError, [&] {
    TXMLTree Tree;
    std::string Status;
    int Code;
    const PXMLNode Output = StatusOutput(*this, XML, Tree, "patientOTPUpdateResponse", Status, Code);
    if (Code != ERR_OK) return Code;
    return StatusCode(*this, Output, Status, {{"DMPPatientAccessOTPAlreadyExists", ERR_CANAL_EXISTE}},
                      ERR_REQUETE_REFUSEE);
  });
}

int TCarvelin::xmlAutorisation(std::string_view XML) {
  return Guarded(FError, [&] {
    TXMLTree Tree;
    int Code;
    const PXMLNode Response = BodyChild(*this, XML, Tree, {"setAuthorizationResponse"}, Code);
    if (Code != ERR_OK) return Code;
    const PXMLNode Output = Response->GetChild("output");
    if (!Output) return ERR_OK;
    // Anything the service does not grant in so many words is a refusal.
    return StatusCode(*this, Output, TextOf(ChildAt(Output, {"status"})),
                      {{"DMPInvalidRequest", ERR_REQUETE_INVALIDE},
                       {"DMPErrorLPS", ERR_REQUETE_INVALIDE},
                       {"DMPClosed", ERR_REQUETE_INVALIDE},
                       {"DMPAuthorizationNotFound", ERR_ACCES_REFUSE},
                       {"DMPAuthenticationError", ERR_ACCES_REFUSE},
                       {"DMPAccessForbidden", ERR_ACCES_REFUSE},
                       {"DMPAccessDeniedByRightsService", ERR_ACCES_REFUSE}},
                      ERR_REQUETE_REFUSEE);
  });
}

namespace {

// 0 for a RegistryResponse of status Success, else the status in FError and a refusal.
int RegistrySuccessCode(TCarvelin& DMP, const TXMLTree& Tree) {
  const std::string Status = AttributeValueOf(Tree.XPathNode("/Envelope/Body/RegistryResponse"), "status");
  if (Status == RegistrySuccess) return ERR_OK;
  DMP.FError.SetError(Status);
  return ERR_REQUETE_REFUSEE;
}

}  // namespace

int TCarvelin::xmlUpdateDocumentSet(std::string_view XML) {
  return Guarded(FError, [&] {
    TXMLTree Tree;
    int Code;
    if (CheckSoapFault(XML, Tree)) return ERR_REQUETE_REFUSEE;
    if (CheckRegistryErrors(Tree, Code)) return Code;
    return RegistrySuccessCode(*this, Tree);
  });
}

// ---- Registry answers ----

int TCarvelin::FillDocumentList(std::string_view XML, std::vector<Objects::TDocumentInfo>& List) {
  return Guarded(FError, [&] {
    TXMLTree Tree;
    int Code;
    const PXMLNode Response = QueryResponse(*this, XML, Tree, Code);
    if (Code != ERR_OK) return Code;
    const PXMLNode Objects = CountedObjects(*this, Response);
    if (!Objects) return ERR_OK;
    std::vector<Objects::TDocumentInfo> Read;
    for (const Vantrel::TXMLNode& Entry : Objects->Children())
      if (Entry.Name.Compare("ExtrinsicObject")) Read.push_back(ReadEntry(&Entry));
    List.insert(List.end(), std::make_move_iterator(Read.begin()), std::make_move_iterator(Read.end()));
    return ERR_OK;
  });
}

int TCarvelin::ParseDocumentList(std::string_view XML, std::vector<Objects::TDocumentInfo>& List) {
  List.clear();
  const int Code = FillDocumentList(XML, List);
  if (Code != ERR_OK) List.clear();
  return Code;
}

namespace {

// The ids of a registry answer, taken from its response element by
// Collect; Ids is emptied first and again on an error.
int ReadIds(TCarvelin& DMP, std::string_view XML, std::vector<std::string>& Ids,
            const std::function<void(PXMLNode Response)>& Collect) {
  Ids.clear();
  const int Result = Guarded(DMP.FError, [&] {
    TXMLTree Tree;
    int Code;
    const PXMLNode Response = QueryResponse(DMP, XML, Tree, Code);
    if (Code != ERR_OK) return Code;
    Collect(Response);
    return ERR_OK;
  });
  if (Result != ERR_OK) Ids.clear();
  return Result;
}

}  // namespace

int TCarvelin::ParseObjectRefs(std::string_view XML, std::vector<std::string>& Ids) {
  return ReadIds(*this, XML, Ids, [&](PXMLNode Response) {
    if (const PXMLNode Objects = CountedObjects(*this, Response))
      for (const Vantrel::TXMLNode& Ref : Objects->Children())
        if (Ref.Name.Compare("ObjectRef"))
          if (std::string Id = AttributeValueOf(&Ref, "id"); !Id.empty()) Ids.push_back(std::move(Id));
  });
}

int TCarvelin::ParseHasMemberTargets(std::string_view XML, std::vector<std::string>& Ids) {
  return ReadIds(*this, XML, Ids, [&](PXMLNode Response) {
    // No association (sets without members) is an empty list, not a fault.
    if (const PXMLNode Objects = Response->GetChild("RegistryObjectList"))
      for (const Vantrel::TXMLNode& A : Objects->Children())
        if (A.Name.Compare("Association") && AttributeValueOf(&A, "associationType") == HasMember)
          Ids.push_back(AttributeValueOf(&A, "targetObject"));
  });
}

int TCarvelin::ParseSingleObjectRef(std::string_view XML, std::string& Id) {
  Id.clear();
  return Guarded(FError, [&] {
    TXMLTree Tree;
    int Code;
    const PXMLNode Response = QueryResponse(*this, XML, Tree, Code);
    if (Code != ERR_OK) return Code;
    if (AttributeValueOf(Response, "totalResultCount") != "1") return ERR_DOCUMENT_INTROUVABLE;
    Id = AttributeValueOf(ChildAt(Response, {"RegistryObjectList", "ObjectRef"}), "id");
    return Id.empty() ? ERR_PROGRAMME : ERR_OK;
  });
}

// ---- MTOM answers ----

namespace {

// The parts of a multipart answer when there is a first part with content;
// 0x7000 with the decoder's text otherwise.
int SplitParts(TCarvelin& DMP, std::string_view XML, Vantrel::TMimeDecoder& Mime) {
  Mime.Decode(XML);
  if (!Mime.Parts.empty() && Mime.Parts[0].Content.Len > 0) return ERR_OK;
  DMP.FError.SetError(Mime.Error.empty() ? std::string("Réponse MTOM sans partie SOAP") : Mime.Error);
  return ERR_XOP;
}

}  // namespace

int TCarvelin::ParseRetrieveDocumentSet(std::string_view XML, Objects::TRetrievedDocument& Document) {
  return Guarded(FError, [&] {
    Vantrel::TMimeDecoder Mime;
    if (const int Code = SplitParts(*this, XML, Mime)) return Code;
    TXMLTree Tree;
    int Code;
    if (CheckSoapFault(Mime.Parts[0].Content.View(), Tree)) return ERR_REQUETE_REFUSEE;
    if (CheckRegistryErrors(Tree, Code)) return Code;
    const PXMLNode Response = Tree.XPathNode("/Envelope/Body/RetrieveDocumentSetResponse/DocumentResponse");
    if (!Response || Mime.Parts.size() != 2 || Mime.Parts[1].Content.Len == 0) {
      FError.SetError("Réponse MTOM incomplète : " + std::to_string(Mime.Parts.size()) + " partie(s)");
      return ERR_XOP;
    }
    Document.RepositoryUniqueId = TextOf(Response->GetChild("RepositoryUniqueId"));
    Document.DocumentUniqueId = TextOf(Response->GetChild("DocumentUniqueId"));
    Document.Content = Mime.Parts[1].Content.View();
    return ERR_OK;
  });
}

int TCarvelin::xopProvideAndRegisterDocumentSetB(std::string_view XML) {
  return Guarded(FError, [&] {
    if (XML.starts_with('<')) {
      TXMLTree Plain;
      if (CheckSoapFault(XML, Plain)) return ERR_REQUETE_REFUSEE;
    }
    Vantrel::TMimeDecoder Mime;
    if (const int Code = SplitParts(*this, XML, Mime)) return Code;
    TXMLTree Tree;
    int Code;
    if (CheckSoapFault(Mime.Parts[0].Content.View(), Tree)) return ERR_REQUETE_REFUSEE;
    if (CheckRegistryErrors(Tree, Code)) return Code;
    return RegistrySuccessCode(*this, Tree);
  });
}

// ---- Identity teleservice ----

int TCarvelin::ReadINSiResponse(Vantrel::TINSiRequest& Request, std::string_view Answer, TINSiResponse& Response) {
  return Guarded(FError, [&] {
    FError.Clear();
    const int Result = Request.Response(Answer);
    if (Result == Vantrel::INSiFound) {
      Response = {Request.Individu, Request.INS,    Request.OID,  INSTypeLetter(Request.OID), Request.Nom,
                  Request.Prenom,   Request.Prenoms, Request.Sexe, Request.DateNaissance,      Request.LieuNaissance};
      return ERR_OK;
    }
    FError.SetError(Request.Error);
    switch (Result) {
      case Vantrel::INSiNotFound: return ERR_INSI;
      case Vantrel::INSiSeveral: return ERR_INSI_MULTIPLE;
      case Vantrel::INSiNoResult: return ERR_REQUETE_REFUSEE;
      default: return ERR_REPONSE;
    }
  });
}

// ---- Readers that keep their result in the root ----

int TCarvelin::xmlPraticiens(std::string_view XML, std::span<const TPraticien>& Praticiens) {
  std::vector<TPraticien> Read;
  const int Code = ParsePraticiens(XML, Read);
  if (Code == ERR_OK) FPraticiens = std::move(Read);
  Praticiens = Code == ERR_OK ? std::span<const TPraticien>(FPraticiens) : std::span<const TPraticien>();
  return Code;
}

namespace {

// What a reader filled replaces what the root kept only when the reading
// succeeded; Out then points at the kept record, else at nothing.
template <class T>
int KeepRead(int Code, T& Read, T& Kept, const T*& Out) {
  if (Code == ERR_OK) Kept = std::move(Read);
  Out = Code == ERR_OK ? &Kept : nullptr;
  return Code;
}

}  // namespace

int TCarvelin::xmlVoletAdministratif(std::string_view XML, const TVoletAdministratif*& Volet) {
  TVoletAdministratif Read;
  return KeepRead(ParseVoletAdministratif(XML, Read), Read, FVolet, Volet);
}

int TCarvelin::xmlRevisionVolet(std::string_view XML, const TVoletAdministratif*& Volet) {
  TVoletAdministratif Read;
  return KeepRead(ParseRevisionVolet(XML, Read), Read, FVolet, Volet);
}

int TCarvelin::xmlAccesPatient(std::string_view XML, const TAccesPatient*& Acces) {
  TAccesPatient Read;
  return KeepRead(ParseAccesPatient(XML, Read), Read, FAcces, Acces);
}

}  // namespace Talven
