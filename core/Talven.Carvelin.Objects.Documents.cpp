// Retrieved documents (IHE XDS.b ITI-43), their rendering, and the metadata
// updates of the registry (ITI-57): visibility, archiving, restoring and
// deletion, from a document or from its record.
//
// Caller identifiers are checked before anything is sent (IsPlainIdentifier)
// and every value is escaped where it is inserted. A status change that the
// registry refuses because the entry already has the new status counts as
// done; a deletion refused because the entry is archived is made once more
// from Archived, and a second refusal is the answer. Registry refusals are
// told apart by the codeContext of their RegistryError, never by the text
// the root keeps for the user.
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "Talven.Carvelin.Objects.h"
#include "Talven.Carvelin.ValueSets.h"
#include "Vantrel.SOAP.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.XML.XDSb.MTOM.h"

namespace Talven {

using Vantrel::PXMLNode;
using Vantrel::XMLEscape;

namespace {

constexpr std::string_view RetrievalRepository = "1.2.250.1.213.4.1.1.1.2";
constexpr std::string_view UpdateStatus = "urn:ihe:iti:2010:AssociationType:UpdateAvailabilityStatus";
constexpr std::string_view HasMember = "urn:oasis:names:tc:ebxml-regrep:AssociationType:HasMember";

std::string_view StatusURN(TDocumentStatus Status) { return EnumText(Status); }

std::string MetadataAddressing(std::string_view Operation, std::string_view Destination) {
  return Vantrel::WSAddressingHeader("urn:ihe:iti:2010", Operation, Destination);
}

constexpr TRequest Retrieval{"repository", Registry::XDSAddressing, "RetrieveDocumentSet"};
constexpr TRequest MetadataUpdate{"registry", MetadataAddressing, "UpdateDocumentSet"};

// ERR_PARAMETRE, naming the value, for an identifier that is not plain.
int CheckIdentifier(const std::shared_ptr<TCarvelin>& DMP, std::string_view Name, std::string_view Value) {
  if (Objects::IsPlainIdentifier(Value)) return ERR_OK;
  if (DMP) DMP->FError.SetError("Identifiant invalide : " + std::string(Name));
  return ERR_PARAMETRE;
}

std::string RetrieveRequest(std::string_view RepositoryId, std::string_view UniqueId) {
  return "<RetrieveDocumentSetRequest xmlns=\"urn:ihe:iti:xds-b:2007\" "
         "xmlns:ns2=\"urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0\" "
         "xmlns:ns3=\"urn:oasis:names:tc:ebxml-regrep:xsd:rs:3.0\" "
         "xmlns:ns4=\"urn:oasis:names:tc:ebxml-regrep:xsd:query:3.0\" "
         "xmlns:ns5=\"urn:oasis:names:tc:ebxml-regrep:xsd:lcm:3.0\"><DocumentRequest>" +
         Vantrel::XMLElement("RepositoryUniqueId", {}, XMLEscape(RepositoryId)) +
         Vantrel::XMLElement("DocumentUniqueId", {}, XMLEscape(UniqueId)) +
         "</DocumentRequest></RetrieveDocumentSetRequest>";
}

// One retrieval for Dossier, the answer made a document.
int Retrieve(const std::shared_ptr<TDossierMedical>& Dossier, const std::string& PatientId, std::string_view Reason,
             std::string_view RepositoryId, std::string_view UniqueId, std::shared_ptr<Objects::TDocument>& Doc) {
  return SendAbout(
      Dossier->Root(), Retrieval, PatientId, Reason, Dossier->FAccesMineur,
      [&](const TVaspoCNX&) { return RetrieveRequest(RepositoryId, UniqueId); },
      [&](TCarvelin& DMP, std::string_view Response) { return Objects::RetrievedDocument(DMP, Response, Dossier, Doc); });
}

// The codeContext of every RegistryError of an answer.
std::vector<std::string> ErrorContexts(std::string_view Response) {
  std::vector<std::string> Contexts;
  try {
    Vantrel::TXMLTree Tree;
    Tree.BuildFrom(Response);
    if (const PXMLNode List = Tree.XPathNode("/Envelope/Body//RegistryErrorList"))
      for (const Vantrel::TXMLNode& E : List->Children())
        if (E.Name.Compare("RegistryError"))
          if (const Vantrel::TXMLString* A = E.GetAttribute("codeContext")) Contexts.push_back(A->Value());
  } catch (const std::exception&) {
    // the reader has already told why the answer is refused
  }
  return Contexts;
}

// The registry refused the change because the entry has that status.
std::string StatusContext(std::string_view UUID, std::string_view Status) {
  return "entryUUID=" + std::string(UUID) + ";status=" + std::string(Status);
}

// One metadata update about PatientId: the submission set named Name, then
// ObjectsMarkup. Contexts gets the registry errors' contexts of a refusal.
int SendMetadataUpdate(const std::shared_ptr<TCarvelin>& DMP, const std::string& PatientId, uint8_t MinorMode,
                       std::string_view Name, const std::string& ObjectsMarkup, std::vector<std::string>& Contexts) {
  Contexts.clear();
  return SendAbout(
      DMP, MetadataUpdate, PatientId, {}, MinorMode,
      [&](const TVaspoCNX& Session) {
        Vantrel::detail::TSubmissionValues V;
        V.NowUTC = Vantrel::ServiceTimeUTC();
        V.Lot.Name = Name;
        V.XCN = Vantrel::AuthorPersonXCN(Session.Info.Porteur);
        if (Session.Info.ActIndex >= 0 && Session.Info.ActIndex < Session.Info.ActCount)
          V.XON = Vantrel::AuthorInstitutionXON(Session.Info.Activites[size_t(Session.Info.ActIndex)]);
        V.CX = PatientId;
        V.LPS_OID = Session.LPS_OID;
        V.SubId = Vantrel::NewOIDUUID();
        return Vantrel::UpdateDocumentSetBody(V, ObjectsMarkup);
      },
      [&](TCarvelin& Root, std::string_view Response) {
        const int Code = Root.xmlUpdateDocumentSet(Response);
        if (Code != ERR_OK) Contexts = ErrorContexts(Response);
        return Code;
      });
}

// The status change of entry UUID; a refusal saying the entry already has
// NewStatus is a success. Contexts as SendMetadataUpdate.
int SendStatusChange(const std::shared_ptr<TCarvelin>& DMP, const std::string& PatientId, uint8_t MinorMode,
                     std::string_view UUID, std::string_view OriginalStatus, std::string_view NewStatus,
                     std::vector<std::string>& Contexts) {
  if (const int Code = CheckIdentifier(DMP, "entryUUID", UUID)) return Code;
  const std::string Association = Vantrel::RimAssociation(
      "association1", "SubmissionSet01", UUID, UpdateStatus,
      Vantrel::RimSlot("OriginalStatus", XMLEscape(OriginalStatus)) +
          Vantrel::RimSlot("NewStatus", XMLEscape(NewStatus)));
  const int Code = SendMetadataUpdate(DMP, PatientId, MinorMode, "Suppression", Association, Contexts);
  if (Code == ERR_OK) return ERR_OK;
  const std::string Already = StatusContext(UUID, NewStatus);
  for (const std::string& C : Contexts)
    if (C == Already) {
      DMP->FError.Clear();
      return ERR_OK;
    }
  return Code;
}

bool Contains(const std::vector<std::string>& Texts, std::string_view Text) {
  for (const std::string& T : Texts)
    if (T == Text) return true;
  return false;
}

}  // namespace

// ---- Helpers ----

namespace Objects {

bool IsPlainIdentifier(std::string_view Value) {
  if (Value.empty()) return false;
  for (char C : Value)
    if (!((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '.' || C == '-' ||
          C == ':' || C == '_'))
      return false;
  return true;
}

}  // namespace Objects

// ---- The document ----

Objects::TDocument::TDocument(const std::shared_ptr<TCarvelin>& DMP, std::shared_ptr<TDossierMedical> ADossier)
    : TDMPLink(DMP),
      Document(DMP ? DMP->Clock : TClinicalDocumentClock(Vantrel::Now)),
      Dossier(std::move(ADossier)) {}

int Objects::TDocument::ParseContent() {
  const std::shared_ptr<TCarvelin> DMP = Root();
  try {
    Document.Parse(XML);
    Info.Version = Document.Version;
    return ERR_OK;
  } catch (const Vantrel::EXMLError& E) {
    if (DMP) DMP->FError.SetError(Objects::XMLErrorText(E));
  } catch (const std::exception& E) {
    if (DMP) DMP->FError.SetError(E.what());
  }
  return ERR_XOP;
}

int Objects::RetrievedDocument(TCarvelin& DMP, std::string_view Answer,
                               const std::shared_ptr<TDossierMedical>& Dossier, std::shared_ptr<Objects::TDocument>& Doc) {
  Doc.reset();
  Objects::TRetrievedDocument Read;
  if (const int Code = DMP.ParseRetrieveDocumentSet(Answer, Read)) return Code;
  auto Made = std::make_shared<Objects::TDocument>(DMP.shared_from_this(), Dossier);
  Made->Info.RepositoryId = std::move(Read.RepositoryUniqueId);
  Made->Info.DocumentUniqueId = std::move(Read.DocumentUniqueId);
  Made->XML = std::make_shared<const std::string>(std::move(Read.Content));
  if (const int Code = Made->ParseContent()) return Code;
  Doc = std::move(Made);
  return ERR_OK;
}

int TCarvelin::xopGetDocument(std::string_view XOP, std::shared_ptr<IDocument>& Doc) {
  Doc.reset();
  std::shared_ptr<Objects::TDocument> Made;
  const int Code = Objects::RetrievedDocument(*this, XOP, nullptr, Made);
  Doc = std::move(Made);
  return Code;
}

int TCarvelin::xmlLoadDocument(std::string_view xml, std::shared_ptr<IDocument>& Doc) {
  Doc.reset();
  auto Made = std::make_shared<Objects::TDocument>(shared_from_this(), nullptr);
  Made->XML = std::make_shared<const std::string>(xml);
  if (const int Code = Made->ParseContent()) return Code;
  Doc = std::move(Made);
  return ERR_OK;
}

const TDocumentInfo* Objects::TDocument::GetInfo() {
  if (Info.DocumentSource.size() != XML->size()) Info.DocumentSource = *XML;
  return &Info;
}

void Objects::TDocument::SaveToFile(std::string_view AFileName) {
  const std::string Name(AFileName);
  if (!Vantrel::StringToFile(Name, *XML))
    throw std::filesystem::filesystem_error("Impossible de créer le fichier", Name,
                                            std::error_code(errno ? errno : EIO, std::generic_category()));
}

int Objects::TDocument::GetDescription(std::string_view& Source) {
  Source = Document.HtmlStream;
  return ERR_OK;
}

int Objects::TDocument::GetDocument(std::string_view& Source) {
  Source = Document.NonXMLBody.Bytes();
  return ERR_OK;
}

int Objects::TDocument::GetImage(std::string_view Name, std::string_view& Image) {
  const TMedia* Media = Document.MediaList.GetMedia(Name);
  if (!Media) return ERR_XOP_DOCUMENT;
  Image = Media->Data.Bytes();
  return ERR_OK;
}

std::string Objects::TDocument::MimeType() {
  FMimeType = Document.mimeType;
  return FMimeType;
}

int Objects::TDocument::CheckRecord() {
  if (const std::shared_ptr<TCarvelin> DMP = Root()) DMP->FError.Clear();
  return Active() && Dossier ? ERR_OK : ERR_SESSION;
}

int Objects::TDocument::QueryEntry(std::string& Response) {
  Response.clear();
  if (const int Code = CheckRecord()) return Code;
  if (const int Code = CheckIdentifier(Root(), "DocumentUniqueId", Info.DocumentUniqueId)) return Code;
  const std::string Slots =
      Vantrel::QuerySlot("$XDSDocumentEntryUniqueId", Registry::QuotedList({Info.DocumentUniqueId}));
  return SendAbout(
      Root(), Registry::StoredQuery, FINS, Dossier->FBrisDeGlace, Dossier->FAccesMineur,
      [&](const TVaspoCNX&) { return Registry::AdhocQueryRequest(Registry::GetDocuments, false, Slots); },
      [&](TCarvelin&, std::string_view Answer) {
        Response = Answer;
        return ERR_OK;
      });
}

int Objects::TDocument::ChangeStatus(std::string_view NewStatus) {
  const std::string_view Archived = StatusURN(TDocumentStatus::dsArchived);
  const bool Deleting = NewStatus == StatusURN(TDocumentStatus::dsDeleted);
  std::vector<std::string> Contexts;
  for (int Attempt = 0;; ++Attempt) {
    if (const int Code = CheckRecord()) return Code;
    const int Code =
        SendStatusChange(Root(), FINS, Dossier->FAccesMineur, Info.uuid, Info.currentStatus, NewStatus, Contexts);
    // A list may still show Approved an entry archived since: once more from Archived.
    if (Code != ERR_OK && Deleting && Attempt == 0 && Info.currentStatus != Archived &&
        Contains(Contexts, StatusContext(Info.uuid, Archived))) {
      Info.currentStatus = Archived;
      continue;
    }
    if (Code != ERR_OK) return Code;
    Info.currentStatus = NewStatus;
    Info.Statut = Objects::StatusFromURN(NewStatus);
    return ERR_OK;
  }
}

int Objects::TDocument::SetArchive(bool Archive) {
  return ChangeStatus(StatusURN(Archive ? TDocumentStatus::dsArchived : TDocumentStatus::dsApproved));
}

int Objects::TDocument::Supprimer() { return ChangeStatus(StatusURN(TDocumentStatus::dsDeleted)); }

int Objects::TDocument::SetVisibilite(int Visibilite) {
  std::string Response;
  if (const int Code = QueryEntry(Response)) return Code;
  const std::shared_ptr<TCarvelin> DMP = Root();
  std::string EntryText, OldVersion, EntryId;
  try {
    Vantrel::TXMLTree Tree;
    int Code;
    if (DMP->CheckSoapFault(Response, Tree)) return ERR_REQUETE_REFUSEE;
    if (DMP->CheckRegistryErrors(Tree, Code)) return Code;
    const PXMLNode List = Tree.XPathNode("/Envelope/Body/AdhocQueryResponse/RegistryObjectList");
    const PXMLNode Entry = List && List->Length() > 0 ? &List->Children().back() : nullptr;
    if (!Entry || !Entry->Name.Compare("ExtrinsicObject")) {
      DMP->FError.SetError("ExtrinsicObject introuvable");
      return ERR_REQUETE_REFUSEE;
    }
    Vantrel::UpdatedDocumentEntry(Entry, uint32_t(Visibilite), EntryText, OldVersion, EntryId);
  } catch (const std::exception& E) {
    DMP->FError.SetError(E.what());
    return ERR_PROGRAMME;
  }
  const std::string Objects =
      Vantrel::RimAssociation("association1", "SubmissionSet01", EntryId, HasMember,
                              Vantrel::RimSlot("SubmissionSetStatus", "Original") +
                                  Vantrel::RimSlot("PreviousVersion", XMLEscape(OldVersion))) +
      EntryText;
  std::vector<std::string> Contexts;
  return SendMetadataUpdate(DMP, FINS, Dossier->FAccesMineur, "Visibilité", Objects, Contexts);
}

int Objects::TDocument::Remplacer(TProprietesDocument& Props, std::string& UniqueId) {
  UniqueId.clear();
  if (!Active() || !Dossier) return ERR_SESSION;
  return Dossier->ReplaceDocument(Info, Props, UniqueId);
}

// ---- The list's documents ----

int TDocumentList::GetDocument(int Index, std::shared_ptr<IDocument>& Doc) {
  Doc.reset();
  if (!Active()) return ERR_SESSION;
  const Objects::TDocumentInfo* E = Entry(Index);
  if (!E) return ERR_INDEX;
  if (!Dossier) return ERR_SESSION;
  std::shared_ptr<Objects::TDocument> Made;
  if (const int Code = Retrieve(Dossier, FINS, FBrisGlace, E->RepositoryId, E->DocumentUniqueId, Made)) return Code;
  Made->FINS = FINS;
  Made->Info = *E;
  Doc = std::move(Made);
  return ERR_OK;
}

int TDocumentList::DeleteDocument(int Index) {
  const Objects::TDocumentInfo* E = Entry(Index);
  if (!E) return ERR_INDEX;
  if (!Dossier) return ERR_SESSION;
  std::string UUID;
  if (const int Code = Dossier->GetEntryUUID(E->UniqueID, UUID)) return Code;
  return Dossier->UpdateAvailabilityStatus(UUID, E->currentStatus, StatusURN(TDocumentStatus::dsDeleted));
}

// ---- The record's document operations ----

int TDossierMedical::GetDocument(std::string_view UniqueID, std::shared_ptr<IDocument>& Document) {
  Document.reset();
  if (const int Code = CheckAccess()) return Code;
  if (const int Code = CheckIdentifier(Root(), "UniqueID", UniqueID)) return Code;
  std::shared_ptr<Objects::TDocument> Made;
  const std::string PatientId = PatientIdCX();
  if (const int Code = Retrieve(shared_from_this(), PatientId, FBrisDeGlace, RetrievalRepository, UniqueID, Made))
    return Code;
  Made->FINS = PatientId;
  Document = std::move(Made);
  return ERR_OK;
}

int TDossierMedical::GetEntryUUID(std::string_view UniqueID, std::string& UUID) {
  UUID.clear();
  if (const int Code = CheckAccess()) return Code;
  if (const int Code = CheckIdentifier(Root(), "UniqueID", UniqueID)) return Code;
  return StoredQuery(Registry::GetDocuments, true,
                     Vantrel::QuerySlot("$XDSDocumentEntryUniqueId", Registry::QuotedList({std::string(UniqueID)})),
                     [&UUID](TCarvelin& DMP, std::string_view Response) {
                       return DMP.ParseSingleObjectRef(Response, UUID);
                     });
}

int TDossierMedical::GetDocumentUUID(std::string_view UniqueID, std::string& UUID) {
  UUID.clear();
  std::string Found;
  if (const int Code = GetEntryUUID(UniqueID, Found)) return Code;
  FUUID = std::move(Found);
  UUID = FUUID;
  return ERR_OK;
}

int TDossierMedical::UpdateAvailabilityStatus(std::string_view UUID, std::string_view OriginalStatus,
                                              std::string_view NewStatus) {
  if (const int Code = CheckAccess()) return Code;
  std::vector<std::string> Contexts;
  return SendStatusChange(Root(), PatientIdCX(), FAccesMineur, UUID, OriginalStatus, NewStatus, Contexts);
}

int TDossierMedical::SupprimerDocument(std::string_view UniqueID) {
  std::string UUID;
  if (const int Code = GetEntryUUID(UniqueID, UUID)) return Code;
  return UpdateAvailabilityStatus(UUID, StatusURN(TDocumentStatus::dsApproved),
                                  StatusURN(TDocumentStatus::dsDeleted));
}

int TDossierMedical::SupprimerDocumentUUID(std::string_view UUID) {
  return UpdateAvailabilityStatus(UUID, StatusURN(TDocumentStatus::dsApproved),
                                  StatusURN(TDocumentStatus::dsDeleted));
}

int TDossierMedical::ChangeDocumentStatusUUID(std::string_view UUID, TDocumentStatus oldStatus,
                                              TDocumentStatus newStatus) {
  return UpdateAvailabilityStatus(UUID, StatusURN(oldStatus), StatusURN(newStatus));
}

}  // namespace Talven
