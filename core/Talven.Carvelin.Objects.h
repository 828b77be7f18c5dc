// The client core: the service root TCarvelin, the session base TVaspoCNX
// and the record-side base TDMPLink.
//
// The root owns one HTTP client for the shared-record service, answers the
// TLS client authentication through the current session's card hooks, and
// runs every service call synchronously in the caller's thread: pre-call
// gate, posting, faults and registry errors to codes, error report. It is
// not safe for concurrent calls (one HTTP client, one FError); only its
// registry of record-side objects is shared between threads.
//
// Ownership: the root is held by std::shared_ptr (TCarvelin::Create). The
// session is held by its owner, not by the root; each side clears its
// pointer to the other (UnlinkSession, ~TVaspoCNX). Record-side objects hold
// the root weakly and the registry strongly, so they may outlive the root
// and be released on any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Talven.Carvelin.CDA.h"
#include "Talven.Carvelin.ClinicalDocuments.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.Carvelin.Types.h"
#include "Talven.Carvelin.VIHF.h"
#include "Talven.eSante.API_LEC.h"
#include "Talven.eSante.CryptoLibV5.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.HTTPClient.h"
#include "Vantrel.INSi.h"
#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.XDSb.XAdES.h"

namespace Talven {

class TCarvelin;
class TDMPLink;
namespace AppVitale {
struct TAppVitaleRequest;
}

// The records the reply readers fill, and the document helpers they use.
namespace Objects {

// The schemes of the XDS document entry attributes the registry readers
// look up (IHE ITI TF-3 metadata): typeCode, practiceSettingCode, classCode,
// formatCode and uniqueId.
namespace Scheme {
inline constexpr std::string_view Categorie = "urn:uuid:f0306f51-975f-434e-a61c-c59651d33983";
inline constexpr std::string_view CadreExercice = "urn:uuid:cccf5598-8b07-4b77-a05e-ae952c785ead";
inline constexpr std::string_view Auteur = "urn:uuid:41a5887f-8865-4c09-adf7-e362475b143a";
inline constexpr std::string_view Format = "urn:uuid:a09d5840-386c-46f2-b5ad-9c3699a4309d";
inline constexpr std::string_view UniqueId = "urn:uuid:2e82c1f6-a085-4c72-9da3-8640a32e42ab";
}  // namespace Scheme

// The internal twin of a document entry: the interface record first (handed
// out by pointer), then what later requests about the entry need.
struct TDocumentInfo : Talven::TDocumentInfo {
  std::string CodeCategorie;
  std::string uuid;  // the registry entry's id
  std::string RepositoryId;
  std::string DocumentUniqueId;
  std::string legalAuthenticator;
  std::string creationTime;         // HL7 time, UTC, as received
  Vantrel::TDateTime creationDate = 0;  // local time
  std::string nodeRepresentation;   // format code
  std::string currentStatus;        // status URN
};

// The display fields of an entry (Auteur, DateCreation, Extension, UniqueID,
// Statut) and creationDate, from the fields kept as received.
void FillDerivedFields(TDocumentInfo& Info);

// A line of the professional's patient list, with its four dates as received.
struct TDossierItem : Talven::TDossierItem {
  std::string dateOfBirth;
  std::string lastAccessDate;
  std::string lastUpdateDate;
  std::string lastAddDate;
};

// What a retrieval answer holds.
struct TRetrievedDocument {
  std::string RepositoryUniqueId;
  std::string DocumentUniqueId;
  std::string Content;  // the bytes as received
};

// The identifier that names the patient in requests: the INS when set, else
// the older identifier (code and OID each fall back on their own).
std::string INS_CODE(const TPatientInfo& Info);
std::string INS_OID(const TPatientInfo& Info);

// Identifiers, sex, birth date, civility and names of an HL7 v3 patient
// element; nullptr leaves Info unchanged.
void ParsePatient(Vantrel::PXMLNode Patient, TPatientInfo& Info);

// The short name of a status URN: "Approved", "Archived", "Deleted", the
// rest of another ebRIM status URN, any other text whole.
std::string StatusFromURN(std::string_view URN);
// Visibility bits (1, 2, 4) of a registry entry's classifications.
int32_t VisibiliteFromEntry(Vantrel::PXMLNode Entry);
// yyyymmdd[hhnnss] (characters past 14 ignored, missing parts 0); 0 for
// non-digits or a date or time that does not exist.
Vantrel::TDateTime ParseDateTimeHL7(std::string_view Text);
// "dd/mm/yyyy", with " hh:nn" in local time when the text holds a UTC time;
// "" for an empty or unreadable text.
std::string HL7TimeToText(std::string_view Text);
// "given family" of an XCN value; "(inconnu)" without '^'.
std::string XCNToName(std::string_view Value);
// "TXT", "PDF", "XML"... of an XDS format code; an unknown code unchanged.
std::string ExtensionFromFormatCode(std::string_view FormatCode);
// "dd/mm/yyyy" to "yyyymmdd"; "" for any other text.
std::string DateFRToHL7(std::string_view Date);
// The XML reader's message with the byte offset it names.
std::string XMLErrorText(const Vantrel::EXMLError& E);
// The id root of a CDA document and its XDS format code: the first of the
// consecutive templateId roots at the head of the document element that the
// format-code value set maps ("" when none). Raises the XML reader's
// exceptions for a text that is not XML.
void CDAFormatCode(std::string_view CDA, std::string& IdRoot, std::string& FormatCode);
// Identifiers a caller hands in (unique ids, entry UUIDs) go into quoted
// lists and elements: letters, digits, '.', '-', ':' and '_' only, not empty.
bool IsPlainIdentifier(std::string_view Value);

}  // namespace Objects

// The registry of live record-side objects: the root's and every linked
// object's, so that whichever goes last frees it.
class TDMPLinks {
 public:
  void Add(TDMPLink* Link);
  void Remove(TDMPLink* Link);  // when still listed
  // Clears each link from the last to the first and empties the list.
  void ClearAll();
  size_t Count() const;

 private:
  friend class TDMPLink;
  mutable std::mutex FLock;
  std::vector<TDMPLink*> FItems;
};

// A record-side object's link to the root: joins the root's registry when
// created with a root, leaves it when destroyed.
class TDMPLink {
 public:
  explicit TDMPLink(const std::shared_ptr<TCarvelin>& DMP);
  virtual ~TDMPLink();
  TDMPLink(const TDMPLink&) = delete;
  TDMPLink& operator=(const TDMPLink&) = delete;

  // The root, or nullptr once it is gone or the link was cleared.
  std::shared_ptr<TCarvelin> Root() const;
  // The link is set, the root has a current session and it is logged in.
  bool Active() const;
  // The root's interface; nullptr once the link is cut.
  std::shared_ptr<ICarvelin> Carvelin() const;

 private:
  friend class TDMPLinks;
  void ClearLink() { FDMP.reset(); }  // under the registry's lock

  std::weak_ptr<TCarvelin> FDMP;
  std::shared_ptr<TDMPLinks> FLinks;
};

// The professional session: what the card told about the professional,
// the software identity sent with every request, and the session-level
// transactions. Card sessions override the card hooks; the defaults are
// those of a session without a card.
class TVaspoCNX : public virtual IVaspoCNX {
 public:
  TVaspoCNX() = default;
  // A linked session closes the root's connection and module session, and
  // makes the root forget it and its Vitale card.
  ~TVaspoCNX() override;
  TVaspoCNX(const TVaspoCNX&) = delete;
  TVaspoCNX& operator=(const TVaspoCNX&) = delete;

  TCarvelin* DMP = nullptr;  // back-pointer, set while the root's current session
  bool FActive = false;      // logged in
  std::string Cert;          // DER of the signature certificate
  TCPSInfo Info;
  std::string LPS_OID;       // the installation's instance OID, copied from the root
  std::string FDigest;       // the last signature handed out by SignHash (Base64)
  TINSiResponse FINSi;       // the last teleservice answer handed out
  std::string FSpecAMO = "99";
  std::string FAppVitaleContext;  // the mobile application's context last read, until closed
  // Names this session to the lists it made: they hold it weakly and compare
  // it with the root's current session's, so a later session never passes
  // for this one, even at the same address.
  const std::shared_ptr<char> Identity = std::make_shared<char>();

  // Card hooks.
  virtual bool IsCardSession() { return false; }
  // ERR_CPS_TEST or ERR_CPS_REELLE when the card does not suit the server; 0 otherwise.
  virtual int CardEnvironmentMismatch() { return ERR_OK; }
  // The card is still there and its session open.
  virtual bool CheckCard() { return false; }
  // DER of the card's authentication certificate.
  virtual std::string AuthCertificate() { return {}; }
  // The PKCS #1 v1.5 signature of a DER DigestInfo; empty when refused.
  virtual std::string SignDigestInfo(std::string_view DigestInfo);

  // The Base64 PKCS #1 v1.5 signature of Data with the session's signature
  // key. A 20-, 32- or 48-byte input is a digest and gets its DigestInfo
  // (RFC 8017 §9.2) first; any other input is signed as given.
  virtual int SignData(std::string_view Data, std::string& Digest) = 0;
  // 0 when the session has a root, is its current one and is logged in;
  // else ERR_SESSION (a card session may tell a lost card apart).
  virtual int CheckActive();

  // The identity assertion of a request (Info, the patient's HL7 CX
  // identifier or "" for none, the emergency reason, the minor mode, the
  // service time). Throws EVIHFError when no activity is chosen.
  std::string SecurityHeader(std::string_view PatientId, std::string_view Reason = {}, uint8_t MinorMode = 0) const;
  // The HL7 v3 transmission wrapper Name around BodyMarkup.
  std::string HL7Interaction(std::string_view Name, std::string_view BodyMarkup) const;
  // The author block of the holder and the chosen activity.
  std::string HL7Author() const;
  // The PRPA_IN201307UV02 message asking about one patient (INS code and
  // OID, plain text) for the reason Code / DisplayName.
  std::string HL7PatientQuery(std::string_view Code, std::string_view DisplayName, std::string_view INS,
                              std::string_view OID) const;
  // One SOAP request to a record service, its answer in Response.
  // Addressing is the WS-Addressing block for Service; the assertion names
  // PatientId (escaped HL7 CX, or "") with the emergency reason and minor
  // mode. An assertion that cannot be built (no activity chosen) stops it
  // before anything is sent.
  int Transact(std::string_view Service, std::string_view Addressing, std::string_view PatientId,
               std::string_view Body, std::string& Response, std::string_view Reason = {}, uint8_t MinorMode = 0);
  int SignBytes(std::string_view Bytes, std::string& Digest) { return SignData(Bytes, Digest); }
  IVaspoCNX& Connexion() { return *this; }

  // Record existence by INS (the value with its type letter, or an HL7 CX
  // text with type 'N'); the reader fills Dossier.
  int TestExistenceDossier(std::string_view INSValue, char INSType, TDossierInfo& Dossier);
  // The record of a list item, by its INS when set, else by its older identifier.
  int DossierExisteItem(const TPatientInfo& Item, std::shared_ptr<IDossierMedical>& Dossier);
  // The professional's records changed since DateUTC.
  int ListDossiers(std::string_view DateUTC, TDateMode Mode, std::vector<Objects::TDossierItem>& Items);
  // Patient search by identity traits.
  int SearchPatients(const TRecherchePatients& Criteres, std::vector<TPatientItem>& Items);
  // A teleservice request signed by this session: ERR_SESSION unless it is
  // active, ERR_CERTIFICAT when the card's certificate cannot be read.
  int PrepareINSi(Vantrel::TINSiRequest& Request);
  // Posts Body to the teleservice and reads the answer into Response. An
  // empty Body is a builder's failure, told by Request.Error.
  int SendINSi(Vantrel::TINSiRequest& Request, std::string_view Body, TINSiResponse& Response);

  // IVaspoCNX
  const TCarte* GetCarte() override { return &Info.Carte; }
  const TPorteur* GetPorteur() override { return &Info.Porteur; }
  std::string GetServer() override { return Info.DMP_Server; }
  void SetServer(std::string_view Server) override { Info.DMP_Server = Server; }
  int DossierExiste(std::string_view INSValue, char INSType, std::shared_ptr<IDossierMedical>& Dossier) override;
  int GetDossiers(std::string_view DateUTC, TDateMode Mode, std::shared_ptr<IDossierList>& List) override;
  int GetPatients(const TRecherchePatients& Criteres, std::shared_ptr<IPatientList>& List) override;
  const TActivite* CurrentActivite() override;
  int rechercherInsAvecTraitsIdentite(const TINSiTraits& INSiTraits, const TINSiResponse*& INSiResponse) override;
  int GetCertificat(TCertificat* Certificat) override;
  int SignHash(std::string_view Data, std::string_view& Digest) override;
  void SetSpecAMO(std::string_view Value) override { FSpecAMO = Value.empty() ? "99" : std::string(Value); }
  int GetAppVitale(std::string_view qrCode, std::shared_ptr<IAppVitale>& AppVitale, bool CloseContext) override;
  // Closes the context of the last reading, when one is open; 0 whatever
  // the service answers.
  int CloseAppVitale() override;

 private:
  // The session check (its failure forgets the cached assertion) and the
  // signer's context of a mobile-application request.
  int PrepareAppVitale(AppVitale::TAppVitaleRequest& Request);
  // Posts a request text; an empty one (no signed header) is refused with
  // its reason, nothing sent.
  int PostAppVitale(AppVitale::TAppVitaleRequest& Request, const std::string& Body, std::string& Answer);
};

// The professional's records (TDossierList) and a patient search's result
// (TPatientList): items filled once by the reader that made the list, then
// never changed. A record opens only while the session that ran the query
// is still the root's current one.
template <class IList, class TPublic, class TItem = TPublic>
class TSessionList : public TDMPLink, public IList {
 public:
  // Made under the root's current session.
  TSessionList(const std::shared_ptr<TCarvelin>& DMP, std::vector<TItem> Items);

  std::weak_ptr<char> CNX;  // the Identity of the session that ran the query
  const std::vector<TItem> FItems;

  int GetCount() override { return int(FItems.size()); }
  // nullptr outside 0 .. count - 1.
  const TPublic* GetItem(int Index) override;
  int GetDossier(int Index, std::shared_ptr<IDossierMedical>& Dossier) override;
};

using TDossierList = TSessionList<IDossierList, TDossierItem, Objects::TDossierItem>;
using TPatientList = TSessionList<IPatientList, TPatientItem>;

// Where a record request goes and how it is addressed.
using TAddressing = std::string (*)(std::string_view Operation, std::string_view Destination);
struct TRequest {
  std::string_view Service;
  TAddressing Addressing;
  std::string_view Operation;
};
// The body of a request, made by the session that sends it.
using TBody = std::function<std::string(const TVaspoCNX& Session)>;
// The reader of its answer.
using TReader = std::function<int(TCarvelin& DMP, std::string_view Response)>;
// One request about the patient PatientId, signed by the root's current
// session, its answer read by Read.
int SendAbout(const std::shared_ptr<TCarvelin>& DMP, const TRequest& Request, const std::string& PatientId,
              std::string_view Reason, uint8_t MinorMode, const TBody& Body, const TReader& Read);

// The XDS.b registry's frame (IHE ITI-18), shared by queries and documents.
namespace Registry {
inline constexpr std::string_view GetDocuments = "urn:uuid:5c4f972b-d56b-40ac-a5fc-c8ca9b40b9d4";
// WS-Addressing of the XDS.b transactions ("urn:ihe:iti:2007").
std::string XDSAddressing(std::string_view Operation, std::string_view Destination);
inline constexpr TRequest StoredQuery{"registry", XDSAddressing, "RegistryStoredQuery"};
// "('a','b')": each value quoted, a quote inside doubled, then escaped.
std::string QuotedList(const std::vector<std::string>& Values);
// ns3:AdhocQueryRequest with its ResponseOption and the stored query.
std::string AdhocQueryRequest(std::string_view QueryId, bool ObjectRef, std::string_view Slots);
}  // namespace Registry

class TDocumentList;

// What a filing is built from: the CDA and document records, identifiers,
// submission-set texts, certificate and signer.
using TXDSbInfo = Vantrel::TXDSbInfo<TCDAInfo, TDOCInfo>;

// The access mode chosen for a minor's record, sent in every later assertion.
enum TAccesMineur : uint8_t { amMajeur = 0, amNormal = 1, amSecret = MineurSecret };

// One patient's record: made by the existence test, refilled in place by
// Reload. The pointers handed out point into its fields and stay valid until
// the operation that rewrites that field, or the record's release. Fields
// change only after a successful reading.
class TDossierMedical : public TDMPLink,
                        public IDossierMedical,
                        public std::enable_shared_from_this<TDossierMedical> {
 public:
  using TDMPLink::TDMPLink;

  TDossierInfo FInfo;
  std::string FBrisDeGlace;  // the emergency reason, sent with later queries, retrievals and filings
  TVoletAdministratif FVolet;
  TAccesPatient FAcces;
  std::vector<TPraticien> FPraticiens;
  TAccesMineur FAccesMineur = amMajeur;
  std::string FUUID;
  std::string FUniqueID;

  // The gate of every record operation: ERR_SESSION when not Active,
  // ERR_PATIENT_MINEUR for a minor's record whose mode is not chosen.
  int CheckAccess();
  // The existence test again, into FInfo.
  int Reload();
  // The patient's HL7 CX identifier (INSi, else INS-C), escaped for XML.
  std::string PatientIdCX() const;
  // The entry UUID of a unique id: exactly one object reference.
  int GetEntryUUID(std::string_view UniqueID, std::string& UUID);
  // The status change of an entry, from this record.
  int UpdateAvailabilityStatus(std::string_view UUID, std::string_view OriginalStatus, std::string_view NewStatus);

  // IDossierMedical
  std::shared_ptr<ICarvelin> Carvelin() override { return TDMPLink::Carvelin(); }
  const TDossierInfo* GetInfo() override { return &FInfo; }
  int GetVoletAdministratif(const TVoletAdministratif*& Volet) override;
  int SetVoletAdministratif(const TVoletAdministratif& Volet) override;
  int QueryDocuments(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) override;
  int Query2Documents(std::string_view TypeDoc1, std::string_view TypeDoc2,
                      std::shared_ptr<IDocumentList>& List) override;
  int QuerySubmissions(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) override;
  int QuerySubmissions2(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) override;
  int Autorisation(bool Autoriser, std::string_view BrisDeGlace) override;
  int OuvrirAcces(std::string_view BrisDeGlace) override { return Autorisation(true, BrisDeGlace); }
  int FermerAcces() override { return Autorisation(false, {}); }
  int FermerDossier(std::string_view ACode, std::string_view Motif) override;
  int CreerAccesPatient(std::string_view Canal, const TAccesPatient*& Acces) override;
  int NouvelAccesPatient(const TAccesPatient*& Acces) override;
  int ModifierCanal(std::string_view Canal, TActionCanal Action) override;
  int GetPraticiens(TModePraticien Mode, std::span<const TPraticien>& Praticiens) override;
  int AddDocument(const TProprietesDocument& Props, std::string& UniqueId) override;
  int AddSynthese(const TProprietesDocument& Props, std::string_view Volet, std::string& UniqueId) override;
  int GetDocument(std::string_view UniqueID, std::shared_ptr<IDocument>& Document) override;
  int GetDocumentUUID(std::string_view UniqueID, std::string& UUID) override;
  int SupprimerDocument(std::string_view UniqueID) override;
  int SupprimerDocumentUUID(std::string_view UUID) override;
  int SetAccesSecret(bool Secret) override;
  int CreerLotDocuments(std::shared_ptr<ILotDocuments>& Lot) override;
  int AddNoteVaccination(const TProprietesDocument& Props, const TNoteVaccination& Note,
                         std::string& UniqueId) override;
  int AddCDAR2(const TProprietesDocument& Props, std::string& UniqueId) override;
  std::string CreateSynthese(const TProprietesDocument& Props, std::string_view Volet) override;
  int ChangeDocumentStatusUUID(std::string_view UUID, TDocumentStatus oldStatus, TDocumentStatus newStatus) override;

  // ---- Filing ----
  // Gate, then Props checked against the value sets and dated into Xds:
  // 0x6000 to 0x6003 before anything is sent.
  int PrepareDocument(const TProprietesDocument& Props, TXDSbInfo& Xds);
  // 0x6004 for a document with neither content nor comment, then PrepareDocument.
  int ValidateDocument(const TProprietesDocument& Props, TXDSbInfo& Xds);
  // Files Props as a plain document, as the replacement of Props.Remplacer
  // when Replace is set.
  int SubmitDocument(const TProprietesDocument& Props, bool Replace);
  // SubmitDocument, replacing when Props names a document; a replacement the
  // service refuses (0x6005) is filed again as a new document.
  int SubmitOrReplace(const TProprietesDocument& Props);
  // Files Props as the new version of Old: Props.Remplacer := Old's unique
  // id, entry UUID and version; UniqueId := the new document's unique id.
  int ReplaceDocument(const Objects::TDocumentInfo& Old, TProprietesDocument& Props, std::string& UniqueId);

 private:
  // The PRPA_IN201314UV02 revision of the panel, or the closing with its reason.
  int Revise(bool Closing, std::string_view PersonMarkup, std::string_view ClosingReason, TVoletAdministratif& Volet);

  // The status, visibility and type slots of Query for the entries named
  // by Prefix ("$XDSDocumentEntry" or "$XDSSubmissionSet"), gate first.
  int QuerySlots(std::string_view Prefix, const TQueryDocuments& Query, std::string& Slots);
  // One registry stored query about this record, its answer read by Read.
  int StoredQuery(std::string_view QueryId, bool ObjectRef, const std::string& Slots, const TReader& Read);
  // A new list of this record with the entries of one stored query.
  int QueryList(std::string_view QueryId, const std::string& Slots, std::shared_ptr<TDocumentList>& List);
  std::shared_ptr<TDocumentList> NewList();
  // The submission sets filed between the query's dates.
  int FindSubmissionSets(const TQueryDocuments& Query, std::vector<std::string>& Sets);
  int DocumentsOfSubmissionSets(const TQueryDocuments& Query, const std::vector<std::string>& Sets,
                                std::shared_ptr<IDocumentList>& List);
  int SubmissionSetMembers(const std::vector<std::string>& Sets, std::vector<std::string>& Entries);
  int DocumentsByEntryUUIDs(const std::vector<std::string>& Entries, std::shared_ptr<IDocumentList>& List);

  friend class TLotDocuments;
  // The replacement fields of Xds: version, treating doctor, the replaced
  // document and its entry UUID (looked up when not given).
  int ReplacementFields(const TProprietesDocument& Props, bool Replace, TXDSbInfo& Xds);
  // DocID := a new OID (unless set), the submission-set and signature ids,
  // certificate, submission-set texts and the session's signer.
  void Identifiers(const TProprietesDocument& Props, TXDSbInfo& Xds);
  // Writes the document of a filing (DOC's type, format and the CDA text)
  // into Document; a non-zero answer stops the filing.
  using TDocumentMaker = std::function<int(TXDSbInfo& Xds, std::string& Document)>;
  // Preparation (after the empty-document test when Validate), replacement
  // fields, a new DocID, the document, identifiers, signature and posting.
  int FileDocument(const TProprietesDocument& Props, bool Validate, bool Replace, const TDocumentMaker& MakeDocument);
  // The request from the security header and the repository's address.
  using TRequestMaker = std::function<std::string(const std::string& Header, const std::string& Destination)>;
  // Posts a filing to the holder's repository and reads the answer;
  // FUniqueID := Attempted only when the service accepted it.
  int PostFiling(const TRequestMaker& MakeRequest, Vantrel::TDateTime NowUTC, const std::string& Attempted);
  // Runs a filing; an exception becomes 0x8004, its message the detail, and
  // goes with the stack to the log sink and the program's ".log" file.
  int Guarded(const std::function<int()>& Filing);
};

// A record's documents as one query found them. FInfos keeps the reply
// order and never changes after the query; the view FDocs holds indexes into
// it, filtered and sorted ascending, and is read backwards when FDesc is set.
// The list holds its record, so it may outlive the caller's reference.
class TDocumentList : public TDMPLink, public IDocumentList {
 public:
  // Dossier is nullptr for a list read without a record.
  TDocumentList(const std::shared_ptr<TCarvelin>& DMP, std::shared_ptr<TDossierMedical> ADossier);

  std::string FINS;  // the patient's HL7 CX identifier, escaped
  std::vector<Objects::TDocumentInfo> FInfos;
  std::vector<size_t> FDocs;
  int FSort = -1;  // column 0 to 5, -1 in reply order
  bool FDesc = false;
  std::string FBrisGlace;
  const std::shared_ptr<TDossierMedical> Dossier;

  // The view := every entry in reply order.
  void ViewAll();
  // Sorts the view by FSort; ERR_INDEX (view kept) for an unknown column.
  int ApplySort();

  // IDocumentList
  int Count() override { return int(FDocs.size()); }
  // nullptr outside 0 .. Count - 1.
  const TDocumentInfo* Info(int Index) override;
  int Sort(int Column) override;
  int CategoryCount(std::string_view CodeCategorie) override;
  int Filter(std::string_view CodeCategorie) override;
  int GetDocument(int Index, std::shared_ptr<IDocument>& Doc) override;
  int GetSortIndex() override;
  void SetSortIndex(int Value) override;
  int DeleteDocument(int Index) override;

 private:
  const Objects::TDocumentInfo* Entry(int Index) const;
};

namespace Objects {

// A retrieved (or loaded) document: the bytes as received, rendered once;
// only Info.currentStatus and Info.Statut change afterwards. It holds its
// record, so it may outlive the caller's reference; one made without a
// record answers ERR_SESSION to what needs one.
class TDocument : public TDMPLink, public IDocument {
 public:
  TDocument(const std::shared_ptr<TCarvelin>& DMP, std::shared_ptr<TDossierMedical> ADossier);

  std::string FINS;  // the patient's HL7 CX identifier, escaped
  std::shared_ptr<const std::string> XML = std::make_shared<const std::string>();
  TClinicalDocument Document;
  std::string FMimeType;
  TDocumentInfo Info;
  const std::shared_ptr<TDossierMedical> Dossier;

  // Renders XML and takes its version; ERR_XOP with the renderer's message
  // when it cannot read it (nothing raises).
  int ParseContent();
  // The registry entry of this document (LeafClass), as answered.
  int QueryEntry(std::string& Response);
  int ChangeStatus(std::string_view NewStatus);

  // IDocument
  const Talven::TDocumentInfo* GetInfo() override;
  // Replaces the file through a rename; raises when it cannot be written.
  void SaveToFile(std::string_view AFileName) override;
  int GetDescription(std::string_view& Source) override;
  int GetDocument(std::string_view& Source) override;
  int GetImage(std::string_view Name, std::string_view& Image) override;
  std::string MimeType() override;
  bool IsUTF8() override { return Document.TextIsUTF8; }
  int SetVisibilite(int Visibilite) override;
  int SetArchive(bool Archive) override;
  int Supprimer() override;
  int Remplacer(TProprietesDocument& Props, std::string& UniqueId) override;
  std::shared_ptr<ICarvelin> Carvelin() override { return TDMPLink::Carvelin(); }

 private:
  int CheckRecord();
};

// A retrieval answer made a document of Dossier (nullptr for none): the
// repository's ids and the content, rendered.
int RetrievedDocument(TCarvelin& DMP, std::string_view Answer, const std::shared_ptr<TDossierMedical>& Dossier,
                      std::shared_ptr<TDocument>& Doc);

}  // namespace Objects

// Every character other than A-Z, a-z, 0-9, blank, apostrophe, hyphen and
// the accented letters of French names becomes a hyphen (names of staff
// cards, taken from their certificate).
std::string NormalizePersonName(std::string_view Text);

// The session opened with the CPS card.
class TVaspoCPS : public TVaspoCNX, public IVaspoCPS, public std::enable_shared_from_this<TVaspoCPS> {
 public:
  TVaspoCPS() = default;
  ~TVaspoCPS() override;

  eSante::TCertificat Auth;  // the authentication certificate; its key signs the TLS handshake
  eSante::TCertificat Sign;  // the signature certificate (Cert holds its DER)

  // The subject of the authentication certificate: CN, DN, Org, Anonym.
  // Throws EDERError for a certificate it cannot walk.
  void SetAuthCertificate(const eSante::TCertificat& Certificate);
  // The software identity, and the hosts and processing code of the card's environment.
  int SetEnvironment();
  // Civility, profession, speciality and author speciality labels.
  void CompletePorteur();
  // The PIN of the last login, kept for a silent login after a module reset.
  const std::string& CodePin() const { return FCodePin; }
  // Forgets the PIN (overwritten first).
  void ClearCodePin();

  // Card hooks
  bool IsCardSession() override { return true; }
  int CardEnvironmentMismatch() override;
  bool CheckCard() override;
  std::string AuthCertificate() override { return Auth.DER; }
  std::string SignDigestInfo(std::string_view DigestInfo) override;
  int SignData(std::string_view Data, std::string& Digest) override;

  // IVaspoCPS
  int PinCount() override;
  int SetCode(std::string_view Code) override;
  int GetActivites(int& Count) override;
  const TActivite* GetActivite(int Index) override;
  int SelectActivite(int Index) override;
  int SelectedActivite() override { return Info.ActIndex; }

 private:
  void KeepCodePin(std::string_view Code);
  int ReadActivites();
  void LoadBillingNumbers();

  std::string FCodePin;
};

// The Vitale card read for the current patient, made by the root from a
// reading or from the caller's card XML. The root holds its current card and
// the caller its own reference; the card holds the root weakly, as
// record-side objects do, so the root's going cuts the link. Pointers it
// hands out point into its fields until the call that refills them.
class TVaspoCSV : public TDMPLink, public IVaspoCSV, public std::enable_shared_from_this<TVaspoCSV> {
 public:
  // A certified identity of the card holder; nothing fills it yet.
  struct TCertif {
    std::string nirIndividu;  // HL7 CX text
    std::string prenom;
    std::string nomUsuel;
    std::string nomPatronymique;
    std::string dateNaissance;
  };

  // The card's type for a card made from XML: a test card.
  static constexpr uint16_t CardFromXML = 3;

  // Parses Text (card dates judged against Today); raises what the card
  // reader raises for text it cannot read.
  TVaspoCSV(const std::shared_ptr<TCarvelin>& DMP, std::string_view Text, Vantrel::TDateTime Today);

  const std::string XML;  // as received
  eSante::TDonneesVitale DATA;
  uint16_t Card = CardFromXML;  // 0 production card, any other value test card
  int Benef = 0;
  std::string INSNIR;
  TAdresse Adr;
  TCertif Certif;
  TINSiResponse FINSi;

  // 0 when this card is the root's current one under an active session
  // whose card suits it (ERR_SESSION, ERR_VITALE_REELLE, ERR_VITALE_TEST);
  // DMP is then the root.
  int CheckEnv(std::shared_ptr<TCarvelin>& DMP);

  // IVaspoCSV
  int GetXML(std::string_view& Text) override;
  int GetBeneficiaires() override { return int(FBeneficiaires.size()); }
  const TBeneficiaire* GetBeneficiaire(int Index) override;
  int SelectionBeneficiaire(int Index) override;
  int SelectedBeneficiaire() override { return Benef; }
  std::string GetINS() override;
  const TAdresse* GetAdresse() override;
  int DossierExiste(std::shared_ptr<IDossierMedical>& Dossier) override;
  uint16_t GetCardType() override { return Card; }
  void SetCardType(uint16_t Value) override { Card = Value; }
  int rechercherInsAvecCarteVitale(const TINSiResponse*& INSiResponse) override;
  int Verify() override;

 private:
  // The selected beneficiary; nullptr when the selection is outside the list.
  const eSante::TBeneficiaire* Selected() const;

  std::vector<TBeneficiaire> FBeneficiaires;  // DATA.listeBenef in the interface's form
};

class TCarvelin : public ICarvelin, public std::enable_shared_from_this<TCarvelin> {
 public:
  static constexpr int Version = 260;
  static constexpr std::string_view BuildStamp = "2024.09.05-08.01";

  // The first root applies the hosts configuration (the file named by
  // CARVELIN_HOSTS when set, read by every new root) and sets AuthnInstant.
  // EHostsConfigError when that file is refused.
  static std::shared_ptr<TCarvelin> Create();
  // Unlinks the session, the Vitale card and every registered object,
  // unloads the card module and frees the HTTP client.
  ~TCarvelin() override;

  IVaspoLOG* Logger = nullptr;
  eSante::TCryptoLibV5 CryptoLib;
  std::shared_ptr<TVaspoCSV> VaspoCSV;  // the current card
  std::shared_ptr<TDMPLinks> Links = std::make_shared<TDMPLinks>();
  std::unique_ptr<Vantrel::THTTPClient> HTTP;
  // Shared by every HTTP client of the root; set once, never replaced, so
  // that another thread may use it.
  const std::shared_ptr<Vantrel::TAbortSignal> FAbortSignal = std::make_shared<Vantrel::TAbortSignal>();
  TParametres FParametres;
  std::string FLastRequest;
  TLastError FError;
  std::string FURL;
  std::string FParam;
  TVoletAdministratif FVolet;
  TAccesPatient FAcces;
  std::vector<TPraticien> FPraticiens;
  std::string FDMPUrl;
  TVaspoCNX* VaspoCNX = nullptr;
  // The last post timed out after its request went out: its outcome is unknown.
  bool AnswerLate() const { return FAnswerLate; }
  // The clock that dates a patient's age and a card's expiry (tests set their own).
  std::function<Vantrel::TDateTime()> Clock = Vantrel::Now;

  // ICarvelin
  int GetVersion() override { return Version; }
  void AbortCalls() override { FAbortSignal->Abort(); }
  std::string_view GetErrMsg(int ErrNo) override { return FError.GetErrMsg(ErrNo); }
  std::string GetErrDetail() override { return FError.GetErrDetail(); }
  void SetLogger(IVaspoLOG* ALogger) override { Logger = ALogger; }
  int SetCryptoLib(std::string_view AFileName) override;
  int SetApiLecture(std::string_view AFileName) override;
  int GetSlotCount(int& Count) override;
  int GetCPS(int Slot, std::shared_ptr<IVaspoCPS>& CPS) override;
  std::shared_ptr<IVaspoCPS> GetActiveCPS() override;
  int GetCSV(std::shared_ptr<IVaspoCSV>& CSV) override;
  int SetCSV(std::string_view XML, std::shared_ptr<IVaspoCSV>& CSV) override;
  void SetDMPUrl(std::string_view URL) override { FDMPUrl = URL; }
  int GetDMPUrl(TDMPUrl DMPUrl, std::string_view Param, std::string& URL) override;
  std::string GetDMPParams(std::string_view Mobile, std::string_view EMail, std::string_view Adresse,
                           std::string_view Complement, std::string_view CodePostal, std::string_view Ville,
                           std::string_view Pays) override;
  // Clears CRT and FError and raises "TODO !": no software-certificate session.
  int LoadCertificat(std::string_view Data, std::string_view Password, std::shared_ptr<IVaspoCRT>& CRT) override;
  const TParametres* GetParametres() override { return &FParametres; }
  int xmlGetDossiers(std::string_view XML, std::shared_ptr<IDossierList>& List) override;
  int xmlGetPatients(std::string_view XML, std::shared_ptr<IPatientList>& List) override;
  int xmlDossierExiste(std::string_view XML, std::shared_ptr<IDossierMedical>& Dossier) override;
  int xmlQueryDocuments(std::string_view XML, std::shared_ptr<IDocumentList>& List) override;
  int xopGetDocument(std::string_view XOP, std::shared_ptr<IDocument>& Doc) override;
  int xmlLoadDocument(std::string_view xml, std::shared_ptr<IDocument>& Doc) override;

  // ---- Services of the client core's objects ----

  // OnLog of the logger, when one is set.
  void Log(std::string_view Text);
  // "https://" + the session's DMP_Server + "/si-dmp-server/v2/services/" + Service.
  std::string DmpServiceUrl(std::string_view Service) const;
  // Before every service call: false with Code when the call must not go out.
  bool PreCallGate(int& Code);
  // Posts a SOAP request (no Boundary) or an MTOM request to a named
  // service; Response gets the answer's body. 0 or an error code. The
  // request is kept (FLastRequest) for the error report: callers move it in.
  int SendRequest(std::string Request, std::string_view Service, std::string_view Boundary,
                  std::string& Response);
  // Posts a prepared SOAP body to a full address; Answer gets the body (also
  // after a failure when one arrived). 0 or an error code.
  int SendToURL(std::string_view URL, std::string_view Body, std::string& Answer);
  // Parses Source into Tree; true (the caller stops with ERR_REQUETE_REFUSEE)
  // for text that is not XML or a SOAP fault (its reason in FError, and an
  // error report). Tree may keep views into Source.
  bool CheckSoapFault(std::string_view Source, Vantrel::TXMLTree& Tree);
  // True with Code for a registry error (its context in FError, and an error report).
  bool CheckRegistryErrors(const Vantrel::TXMLTree& Tree, int& Code);
  // Posts the failure to the maker's error report; never raises, sends
  // nothing without a maker.
  void ErrorReport(std::string_view Response);
  // Reads the service parameters document into FParametres; raises when
  // its body is not XML.
  void LoadDmpParameters();

  // ---- Reply readers ----
  // Each takes the answer's body and answers 0 or an error code, with the
  // service's own text in FError; none raises. A reader that fails leaves
  // the caller's storage possibly partly filled, except where said.

  // Record state from a PRPA_IN201308UV02 (or PRPA_IN201312UV02) element.
  void FillDossierInfo(Vantrel::PXMLNode Message, TDossierInfo& Info);
  // The existence test; ERR_DMP when the service has no record.
  int ParseDossierExiste(std::string_view XML, TDossierInfo& Info);
  // The record-creation answer (PRPA_IN201311UV02_Response).
  int ParseCreationDossier(std::string_view XML, TDossierInfo& Info);
  // The professional's patient list; Items is emptied first.
  int ReadDossiers(std::string_view XML, std::vector<Objects::TDossierItem>& Items);
  // The patient search (PRPA_IN201306UV02); Items is emptied first.
  int ReadPatients(std::string_view XML, std::vector<TPatientItem>& Items);
  int ParseVoletAdministratif(std::string_view XML, TVoletAdministratif& Volet);
  int ParseRevisionVolet(std::string_view XML, TVoletAdministratif& Volet);
  // The panel's patientPerson content; Previous is the panel as last read.
  int HL7PatientPerson(const TVoletAdministratif* Volet, std::string& Text, const TVoletAdministratif* Previous);
  // The representative's personalRelationship, "" when there is none.
  static std::string HL7Representant(const TRepresentantLegal& Representant, const TRepresentantLegal* Previous);
  int ParsePraticiens(std::string_view XML, std::vector<TPraticien>& Praticiens);
  int ParseAccesPatient(std::string_view XML, TAccesPatient& Acces);
  int ParseNouvelAcces(std::string_view XML, TAccesPatient& Acces);
  int xmlModifierAccessPatient(std::string_view XML);
  int xmlAutorisation(std::string_view XML);
  int xmlUpdateDocumentSet(std::string_view XML);
  // Appends the entries of a registry answer after those of List.
  int FillDocumentList(std::string_view XML, std::vector<Objects::TDocumentInfo>& List);
  // A new list: emptied first, and emptied again on an error.
  int ParseDocumentList(std::string_view XML, std::vector<Objects::TDocumentInfo>& List);
  int ParseObjectRefs(std::string_view XML, std::vector<std::string>& Ids);
  int ParseHasMemberTargets(std::string_view XML, std::vector<std::string>& Ids);
  int ParseSingleObjectRef(std::string_view XML, std::string& Id);
  int ParseRetrieveDocumentSet(std::string_view XML, Objects::TRetrievedDocument& Document);
  int xopProvideAndRegisterDocumentSetB(std::string_view XML);
  int ReadINSiResponse(Vantrel::TINSiRequest& Request, std::string_view Answer, TINSiResponse& Response);

  // Readers that keep their result in the root and point into it; a
  // failure leaves what the root held.
  int xmlPraticiens(std::string_view XML, std::span<const TPraticien>& Praticiens);
  int xmlVoletAdministratif(std::string_view XML, const TVoletAdministratif*& Volet);
  int xmlRevisionVolet(std::string_view XML, const TVoletAdministratif*& Volet);
  int xmlAccesPatient(std::string_view XML, const TAccesPatient*& Acces);

  // ---- Vitale card ----

  // Card XML given by a caller is refused above this size.
  static constexpr size_t MaxCardXML = size_t(1) << 20;
  // Reads the card through the process's reader library (loaded from its
  // default location when none is), makes it the current card with the
  // reader's card type; XML gets what was read.
  int ReadVitale(std::string& XML);
  // Releases the current card and makes a new one of XML (card type 3);
  // ERR_CONTENU_VITALE, the root without a card, when XML cannot be read.
  int NewCSV(std::string_view XML);

  // ---- Sessions ----

  // Makes Session the current one, after unlinking the previous one.
  void SetSession(TVaspoCNX& Session);
  // The current session forgets the root; its module session and the HTTP
  // connection are closed and the Vitale card released.
  void UnlinkSession();
  // The card of the current CPS session is still usable: no card event, or
  // after a module reset the same card logged in again with the kept PIN.
  // Never blocks.
  bool CheckCardSession();
  // Opens the module session on the Slot-th card; when that fails, the
  // module is started afresh and the cards listed again before one more try
  // (a card taken out and put back).
  bool OpenCardSession(int Slot);
  // The installation's instance OID ("2.25." and decimal digits): read from
  // the settings store, made and stored on first use or when the stored
  // value is not one; tests set their own.
  std::string InstanceOID();
  void SetInstanceOID(std::string_view OID) { FInstanceOID = OID; }
  // The TLS engine the root's client starts with (the own engine by default).
  void SetTLSEngine(Vantrel::TTLSEngine Engine);

  // Installs Client (any THTTPClient, tests give one with their own sockets)
  // as the root's client with the root's settings and TLS events.
  void SetupHTTPClient(std::unique_ptr<Vantrel::THTTPClient> Client);

 protected:
  TCarvelin() = default;

 private:
  std::string FInstanceOID;
  Vantrel::TTLSEngine FTLSEngine = Vantrel::TTLSEngine::TinyTLS;

  Vantrel::THTTPClient& HTTPClient();
  int Post(std::string_view URL, std::string_view Body, std::string ContentType, std::string& Answer);
  bool FAnswerLate = false;
  bool CardSession();
  void CertificateRequest(std::vector<std::string>& Certificates);
  void CertificateVerify(const std::string& Hash, std::string& Signature);
};

}  // namespace Talven
