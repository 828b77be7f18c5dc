// Document queries of the record (IHE XDS.b registry stored queries,
// ITI-18) and the document list they make.
//
// Every caller value goes into the stored-query list syntax "('a','b')"
// with a quote inside a value doubled, then XML-escaped. A refusal (gate,
// unknown type, too long a period) comes before anything is sent, and a
// failed query leaves List nullptr.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "Talven.Carvelin.Objects.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "Talven.Carvelin.ValueSets.h"
#include "Vantrel.SOAP.h"

namespace Talven {

namespace Registry {

std::string XDSAddressing(std::string_view Operation, std::string_view Destination) {
  return Vantrel::WSAddressingHeader("urn:ihe:iti:2007", Operation, Destination);
}

std::string QuotedList(const std::vector<std::string>& Values) {
  std::string List = "(";
  for (const std::string& V : Values) {
    if (List.size() > 1) List += ',';
    std::string Quoted;
    for (char C : V) Quoted += C == '\'' ? std::string("''") : std::string(1, C);
    List += '\'' + Vantrel::XMLEscape(Quoted) + '\'';
  }
  return List + ')';
}

std::string AdhocQueryRequest(std::string_view QueryId, bool ObjectRef, std::string_view Slots) {
  return "<ns3:AdhocQueryRequest xmlns=\"urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0\" "
         "xmlns:ns2=\"urn:oasis:names:tc:ebxml-regrep:xsd:rs:3.0\" "
         "xmlns:ns3=\"urn:oasis:names:tc:ebxml-regrep:xsd:query:3.0\" "
         "xmlns:ns4=\"urn:oasis:names:tc:ebxml-regrep:xsd:lcm:3.0\">"
         "<ns3:ResponseOption returnComposedObjects=\"true\" returnType=\"" +
         std::string(ObjectRef ? "ObjectRef" : "LeafClass") + "\"/>" +
         Vantrel::AdhocQueryElement(QueryId, Slots) + "</ns3:AdhocQueryRequest>";
}

}  // namespace Registry

namespace {

constexpr std::string_view FindDocuments = "urn:uuid:14d4debf-8f97-4251-9a74-a90016b0af0d";
constexpr std::string_view FindSubmissionSetsQuery = "urn:uuid:f26abbcb-ac74-4422-8a30-edb644bbc1a9";
constexpr std::string_view GetSubmissionSetAndContents = "urn:uuid:e8e3cb2c-e39c-46b9-99e4-c12f57260b83";
constexpr std::string_view GetAssociations = "urn:uuid:a7ae438b-4bc2-4642-93e9-be891f7bb155";

constexpr std::string_view Approved = "urn:oasis:names:tc:ebxml-regrep:StatusType:Approved";
constexpr std::string_view Archived = "urn:asip:ci-sis:2010:StatusType:Archived";
constexpr std::string_view Deprecated = "urn:oasis:names:tc:ebxml-regrep:StatusType:Deprecated";

constexpr std::string_view TypeCodes = "JDV_J66-TypeCode-DMP.xml";
constexpr double AverageMonthDays = 30.4375;

using Registry::AdhocQueryRequest;
using Registry::GetDocuments;
using Registry::QuotedList;


// The coding scheme and display name of a document type code; false when unknown.
bool LookUpType(std::string_view Code, std::string& OID, std::string& Label) {
  TResourceXML Types;
  Types.LoadFile(std::string(TypeCodes));
  return Types.GetCode(Code, OID, Label);
}

// A query date; 0 (no date) for a text that does not read, an impossible date included.
Vantrel::TDateTime QueryDate(std::string_view Text) {
  try {
    return ParseDateTimeFR(Text);
  } catch (const std::invalid_argument&) {
    return 0;
  }
}

// The time slot of a date when set (a text that does not read is no date).
std::string TimeSlot(std::string_view Name, Vantrel::TDateTime Date) {
  return Date > 0 ? Vantrel::QuerySlot(Name, Vantrel::HL7TimeUTC(Date)) : std::string();
}

template <class T>
int CompareValue(const T& A, const T& B) {
  return A < B ? -1 : B < A ? 1 : 0;
}

// Texts compared with ASCII letters case folded (never the locale): <0, 0, >0.
int CompareText(const std::string& A, const std::string& B) {
  auto Fold = [](char C) {
    const int U = static_cast<unsigned char>(C);
    return U >= 'A' && U <= 'Z' ? U + 32 : U;
  };
  const size_t N = std::min(A.size(), B.size());
  for (size_t I = 0; I < N; ++I)
    if (Fold(A[I]) != Fold(B[I])) return Fold(A[I]) < Fold(B[I]) ? -1 : 1;
  return CompareValue(A.size(), B.size());
}

using TEntry = Objects::TDocumentInfo;
using TComparer = int (*)(const TEntry& A, const TEntry& B);

int CompareDocumentNom(const TEntry& A, const TEntry& B) { return CompareText(A.Nom, B.Nom); }
int CompareDocumentAuteur(const TEntry& A, const TEntry& B) {
  const int C = CompareText(A.Auteur, B.Auteur);
  return C ? C : CompareDocumentNom(A, B);
}
int CompareDocumentDate(const TEntry& A, const TEntry& B) {
  const int C = CompareValue(A.creationDate, B.creationDate);
  return C ? C : CompareDocumentNom(A, B);
}
int CompareDocumentCategorie(const TEntry& A, const TEntry& B) {
  const int C = CompareText(A.Categorie, B.Categorie);
  return C ? C : CompareDocumentNom(A, B);
}
int CompareDocumentExtension(const TEntry& A, const TEntry& B) {
  const int C = CompareText(A.Extension, B.Extension);
  return C ? C : CompareDocumentCategorie(A, B);
}
int CompareDocumentTaille(const TEntry& A, const TEntry& B) {
  const int C = CompareValue(A.Taille, B.Taille);
  return C ? C : CompareDocumentNom(A, B);
}

constexpr TComparer Comparers[] = {CompareDocumentNom,       CompareDocumentAuteur,    CompareDocumentDate,
                                   CompareDocumentCategorie, CompareDocumentExtension, CompareDocumentTaille};

}  // namespace

// ---- The list ----

TDocumentList::TDocumentList(const std::shared_ptr<TCarvelin>& DMP, std::shared_ptr<TDossierMedical> ADossier)
    : TDMPLink(DMP), Dossier(std::move(ADossier)) {}

void TDocumentList::ViewAll() {
  FDocs.resize(FInfos.size());
  for (size_t I = 0; I < FDocs.size(); ++I) FDocs[I] = I;
}

int TDocumentList::ApplySort() {
  if (FSort < 0 || size_t(FSort) >= std::size(Comparers)) return ERR_INDEX;
  const TComparer Compare = Comparers[FSort];
  // The last tie-break is the reply order, so the result is the same whatever the algorithm.
  std::sort(FDocs.begin(), FDocs.end(), [&](size_t A, size_t B) {
    const int C = Compare(FInfos[A], FInfos[B]);
    return C ? C < 0 : A < B;
  });
  return ERR_OK;
}

const Objects::TDocumentInfo* TDocumentList::Entry(int Index) const {
  if (Index < 0 || size_t(Index) >= FDocs.size()) return nullptr;
  return &FInfos[FDocs[FDesc ? FDocs.size() - 1 - size_t(Index) : size_t(Index)]];
}

const TDocumentInfo* TDocumentList::Info(int Index) { return Entry(Index); }

int TDocumentList::Sort(int Column) {
  if (Column == FSort) {
    FDesc = !FDesc;
    return ERR_OK;
  }
  FSort = Column;
  FDesc = false;
  return ApplySort();
}

int TDocumentList::CategoryCount(std::string_view CodeCategorie) {
  return int(std::count_if(FInfos.begin(), FInfos.end(),
                           [&](const Objects::TDocumentInfo& I) { return I.CodeCategorie == CodeCategorie; }));
}

int TDocumentList::Filter(std::string_view CodeCategorie) {
  FDocs.clear();
  for (size_t I = 0; I < FInfos.size(); ++I)
    if (CodeCategorie.empty() || FInfos[I].CodeCategorie == CodeCategorie) FDocs.push_back(I);
  return ApplySort();
}

int TDocumentList::GetSortIndex() {
  if (FSort < 0 || size_t(FSort) >= std::size(Comparers)) return 0;
  return FDesc ? -(FSort + 1) : FSort + 1;
}

void TDocumentList::SetSortIndex(int Value) {
  FDesc = Value < 0;
  FSort = std::abs(Value) - 1;
  ApplySort();
}

int TCarvelin::xmlQueryDocuments(std::string_view XML, std::shared_ptr<IDocumentList>& List) {
  List.reset();
  auto Read = std::make_shared<TDocumentList>(shared_from_this(), nullptr);
  const int Code = ParseDocumentList(XML, Read->FInfos);
  if (Code != ERR_OK) return Code;
  Read->ViewAll();
  List = std::move(Read);
  return ERR_OK;
}

// ---- The record's queries ----

int TDossierMedical::QuerySlots(std::string_view Prefix, const TQueryDocuments& Query, std::string& Slots) {
  Slots.clear();
  if (const int Code = CheckAccess()) return Code;
  const TQueryFlags F = Query.Flags;
  std::vector<std::string> Status;
  if (F.Contains(TQueryFlag::Aprouve) || !(F.Contains(TQueryFlag::Archive) || F.Contains(TQueryFlag::Obsolete)))
    Status.emplace_back(Approved);
  if (F.Contains(TQueryFlag::Archive)) Status.emplace_back(Archived);
  if (F.Contains(TQueryFlag::Obsolete)) Status.emplace_back(Deprecated);
  std::string Made = Vantrel::QuerySlot(std::string(Prefix) + "Status", QuotedList(Status));

  std::vector<std::string> Hidden;
  if (F.Contains(TQueryFlag::MasquePS))
    Hidden.emplace_back("MASQUE_PS^Document masqué aux professionnels de santé^1.2.250.1.213.1.1.4.13");
  if (F.Contains(TQueryFlag::InvisiblePatient))
    Hidden.emplace_back("INVISIBLE_PATIENT^Document non visible par le patient^1.2.250.1.213.1.1.4.13");
  if (F.Contains(TQueryFlag::Invisible_RepresentantLegal))
    Hidden.emplace_back(
        "INVISIBLE_REPRESENTANTS_LEGAUX^Non visible par les représentants légaux du patient^1.2.250.1.213.1.1.4.13");
  if (!Hidden.empty()) Made += Vantrel::QuerySlot(std::string(Prefix) + "ConfidentialityCode", QuotedList(Hidden));

  if (!Query.TypeDoc.empty()) {
    std::string OID, Label;
    if (!LookUpType(Query.TypeDoc, OID, Label)) return ERR_DOCUMENT;
    Made += Vantrel::QuerySlot(std::string(Prefix) + "TypeCode", QuotedList({Query.TypeDoc + "^^" + OID}));
  }
  Slots = std::move(Made);
  return ERR_OK;
}

int TDossierMedical::StoredQuery(std::string_view QueryId, bool ObjectRef, const std::string& Slots,
                                 const TReader& Read) {
  return SendAbout(
      Root(), Registry::StoredQuery, PatientIdCX(), FBrisDeGlace, FAccesMineur,
      [&](const TVaspoCNX&) { return AdhocQueryRequest(QueryId, ObjectRef, Slots); }, Read);
}

std::shared_ptr<TDocumentList> TDossierMedical::NewList() {
  auto List = std::make_shared<TDocumentList>(Root(), shared_from_this());
  List->FINS = PatientIdCX();
  List->FBrisGlace = FBrisDeGlace;
  return List;
}

int TDossierMedical::QueryList(std::string_view QueryId, const std::string& Slots,
                               std::shared_ptr<TDocumentList>& List) {
  List.reset();
  auto Made = NewList();
  const int Code = StoredQuery(QueryId, false, Slots, [&Made](TCarvelin& DMP, std::string_view Response) {
    return DMP.ParseDocumentList(Response, Made->FInfos);
  });
  if (Code != ERR_OK) return Code;
  Made->ViewAll();
  List = std::move(Made);
  return ERR_OK;
}

int TDossierMedical::QueryDocuments(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) {
  List.reset();
  std::string Slots;
  if (const int Code = QuerySlots("$XDSDocumentEntry", Query, Slots)) return Code;
  const Vantrel::TDateTime After = QueryDate(Query.After), Before = QueryDate(Query.Before);
  // The reimbursement history is served over a bounded period only.
  if (Query.TypeDoc == "REMB" && After > 1 && Before > 1) {
    const std::shared_ptr<TCarvelin> DMP = Root();
    const int32_t Max = DMP->FParametres.hrPeriodeMax;
    if (std::trunc((Before - After) / AverageMonthDays) > Max) {
      DMP->FError.SetError("La période de recherche dépasse " + std::to_string(Max) + " mois");
      return ERR_PERIODE;
    }
  }
  Slots = Vantrel::QuerySlot("$XDSDocumentEntryPatientId", "'" + PatientIdCX() + "'") + Slots +
          TimeSlot("$XDSDocumentEntryServiceStartTimeFrom", After) +
          TimeSlot("$XDSDocumentEntryServiceStopTimeTo", Before);
  std::shared_ptr<TDocumentList> Made;
  if (const int Code = QueryList(FindDocuments, Slots, Made)) return Code;
  Made->FSort = 2;  // newest first
  Made->FDesc = true;
  Made->ApplySort();
  List = std::move(Made);
  return ERR_OK;
}

int TDossierMedical::Query2Documents(std::string_view TypeDoc1, std::string_view TypeDoc2,
                                     std::shared_ptr<IDocumentList>& List) {
  List.reset();
  if (const int Code = CheckAccess()) return Code;
  std::vector<std::string> Types;
  for (const std::string_view Code : {TypeDoc1, TypeDoc2}) {
    std::string OID, Label;
    if (!LookUpType(Code, OID, Label)) return ERR_DOCUMENT;
    Types.push_back(std::string(Code) + '^' + Label + '^' + OID);
  }
  const std::string Slots = Vantrel::QuerySlot("$XDSDocumentEntryPatientId", "'" + PatientIdCX() + "'") +
                            Vantrel::QuerySlot("$XDSDocumentEntryStatus", QuotedList({std::string(Approved)})) +
                            Vantrel::QuerySlot("$XDSDocumentEntryTypeCode", QuotedList(Types));
  std::shared_ptr<TDocumentList> Made;
  if (const int Code = QueryList(FindDocuments, Slots, Made)) return Code;
  List = std::move(Made);
  return ERR_OK;
}

int TDossierMedical::FindSubmissionSets(const TQueryDocuments& Query, std::vector<std::string>& Sets) {
  Sets.clear();
  std::string Slots;
  if (const int Code = QuerySlots("$XDSSubmissionSet", Query, Slots)) return Code;
  Slots += Vantrel::QuerySlot("$XDSSubmissionSetPatientId", "'" + PatientIdCX() + "'") +
           TimeSlot("$XDSSubmissionSetSubmissionTimeFrom", QueryDate(Query.After)) +
           TimeSlot("$XDSSubmissionSetSubmissionTimeTo", QueryDate(Query.Before));
  return StoredQuery(FindSubmissionSetsQuery, true, Slots, [&Sets](TCarvelin& DMP, std::string_view Response) {
    return DMP.ParseObjectRefs(Response, Sets);
  });
}

int TDossierMedical::DocumentsOfSubmissionSets(const TQueryDocuments& Query, const std::vector<std::string>& Sets,
                                               std::shared_ptr<IDocumentList>& List) {
  std::string Slots;
  if (const int Code = QuerySlots("$XDSDocumentEntry", Query, Slots)) return Code;
  auto Made = NewList();
  for (const std::string& Set : Sets) {
    const int Code = StoredQuery(GetSubmissionSetAndContents, false,
                                 Vantrel::QuerySlot("$XDSSubmissionSetEntryUUID", QuotedList({Set})) + Slots,
                                 [&Made](TCarvelin& DMP, std::string_view Response) {
                                   return DMP.FillDocumentList(Response, Made->FInfos);
                                 });
    if (Code != ERR_OK) return Code;
  }
  Made->ViewAll();
  List = std::move(Made);
  return ERR_OK;
}

int TDossierMedical::SubmissionSetMembers(const std::vector<std::string>& Sets, std::vector<std::string>& Entries) {
  return StoredQuery(GetAssociations, false, Vantrel::QuerySlot("$uuid", QuotedList(Sets)),
                     [&Entries](TCarvelin& DMP, std::string_view Response) {
                       return DMP.ParseHasMemberTargets(Response, Entries);
                     });
}

int TDossierMedical::DocumentsByEntryUUIDs(const std::vector<std::string>& Entries,
                                           std::shared_ptr<IDocumentList>& List) {
  std::shared_ptr<TDocumentList> Made;
  if (const int Code =
          QueryList(GetDocuments, Vantrel::QuerySlot("$XDSDocumentEntryEntryUUID", QuotedList(Entries)), Made))
    return Code;
  List = std::move(Made);
  return ERR_OK;
}

int TDossierMedical::QuerySubmissions(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) {
  List.reset();
  if (QueryDate(Query.After) <= 0 && QueryDate(Query.Before) <= 0) return QueryDocuments(Query, List);
  std::vector<std::string> Sets;
  if (const int Code = FindSubmissionSets(Query, Sets)) return Code;
  return DocumentsOfSubmissionSets(Query, Sets, List);
}

int TDossierMedical::QuerySubmissions2(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) {
  List.reset();
  if (QueryDate(Query.After) <= 0 && QueryDate(Query.Before) <= 0) return QueryDocuments(Query, List);
  std::vector<std::string> Sets, Entries;
  if (const int Code = FindSubmissionSets(Query, Sets)) return Code;
  if (!Sets.empty())
    if (const int Code = SubmissionSetMembers(Sets, Entries)) return Code;
  // No set, or no member: an empty list, and no query for an empty identifier list.
  if (Entries.empty()) {
    List = NewList();
    return ERR_OK;
  }
  return DocumentsByEntryUUIDs(Entries, List);
}

}  // namespace Talven
