// The vocabulary that the client core and the screens exchange: the
// enumerations with their wire texts, the records, and the abstract
// interfaces of the service model.
//
// Records own their texts (UTF-8 std::string, "" = nothing) and bytes
// (std::string); an optional sub-record is a std::optional.
// Lifetime rule: a `const T*` or `std::string_view` handed out by an
// interface points into the called object's own storage and stays valid until
// the next call on that object that refills the same storage, or until the
// object is released. Everything returned by value belongs to the caller.
//
// Interfaces are abstract classes held by std::shared_ptr. An operation that
// can fail returns an int error code, 0 for success (Talven.Carvelin.ErrorCodes);
// a record accessor returns nullptr when there is nothing to give.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace Talven {

// ---------------------------------------------------------------------------
// Enumerations (ordinal order, first value 0)

enum class TDocumentStatus : uint8_t { dsApproved, dsArchived, dsDeleted, dsDeprecated };

enum class TRelation : uint8_t {
  Aucune, Pere, Mere, BeauPere, BelleMere, GrandPere, GrandMere,
  ArriereGrandPere, ArriereGrandMere, Tante, Oncle, Frere, Soeur, Autre
};

enum class TModePraticien : uint8_t { Active, Interdite, Toute };

enum class TVisibiliteDocument : uint8_t { PatientUniquement, PraticiensUniquement, InvisibleRepresentantLegal };

enum class TTypeMime : uint8_t { TextPlain, TextRTF, ApplicationPDF, ImageJPEG, ImageTIFF, CDAR2XML };

enum class TDateMode : uint8_t { DateAutorisation, DateDernierDocument };

enum class TSexe : uint8_t { Tous, Homme, Femme, Inconnu };

enum class TQueryFlag : uint8_t {
  Aprouve, Archive, MasquePS, InvisiblePatient, Invisible_RepresentantLegal, Obsolete
};

enum class TDMPUrl : uint8_t {
  TableauDeBord, DossierPatient, GestionDMP, Documents, ParcoursDeSoins,
  HistoriqueAcces, Parametrages, VolontesEtDroits
};

enum class TActionCanal : uint8_t { Ajout, Modification, Suppression };

// Number of values of each enumeration.
template <class E> inline constexpr size_t EnumCount = 0;
template <> inline constexpr size_t EnumCount<TDocumentStatus> = 4;
template <> inline constexpr size_t EnumCount<TRelation> = 14;
template <> inline constexpr size_t EnumCount<TModePraticien> = 3;
template <> inline constexpr size_t EnumCount<TVisibiliteDocument> = 3;
template <> inline constexpr size_t EnumCount<TTypeMime> = 6;
template <> inline constexpr size_t EnumCount<TDateMode> = 2;
template <> inline constexpr size_t EnumCount<TSexe> = 4;
template <> inline constexpr size_t EnumCount<TQueryFlag> = 6;
template <> inline constexpr size_t EnumCount<TDMPUrl> = 8;
template <> inline constexpr size_t EnumCount<TActionCanal> = 3;

// Wire or text form of the enumerations that have one, indexed by ordinal;
// "" marks a value without a text (TRelation::Aucune, TSexe::Tous).
template <class E> struct TEnumTexts;

template <> struct TEnumTexts<TDocumentStatus> {
  static constexpr std::array<std::string_view, 4> Texts = {
      "urn:oasis:names:tc:ebxml-regrep:StatusType:Approved",
      "urn:asip:ci-sis:2010:StatusType:Archived",
      "urn:asip:ci-sis:2010:StatusType:Deleted",
      "urn:oasis:names:tc:ebxml-regrep:StatusType:Deprecated"};
};
// HL7 role codes of the legal representative's relation.
template <> struct TEnumTexts<TRelation> {
  static constexpr std::array<std::string_view, 14> Texts = {
      "", "FTH", "MTH", "STPFTH", "STPMTH", "GRFTH", "GRMTH",
      "GGRFTH", "GGRMTH", "AUNT", "UNCLE", "BRO", "SIS", "RESPRSN"};
};
template <> struct TEnumTexts<TModePraticien> {
  static constexpr std::array<std::string_view, 3> Texts = {"ACTIVE", "INTERDITE", "TOUTE"};
};
template <> struct TEnumTexts<TDateMode> {
  static constexpr std::array<std::string_view, 2> Texts = {"LASTAUTORIZATION", "LASTDOC"};
};
template <> struct TEnumTexts<TSexe> {
  static constexpr std::array<std::string_view, 4> Texts = {"", "M", "F", "U"};
};
// Page names of the service's web pages.
template <> struct TEnumTexts<TDMPUrl> {
  static constexpr std::array<std::string_view, 8> Texts = {
      "TableauDeBord", "DossierPatient", "GestionDMPPatient", "Documents",
      "ParcoursDeSoins", "HistoriqueAcces", "Parametrages", "VolontesEtDroits"};
};
template <> struct TEnumTexts<TActionCanal> {
  static constexpr std::array<std::string_view, 3> Texts = {"AJOUT", "MODIFICATION", "SUPPRESSION"};
};

// The text of a value ("" for a value without one or out of range).
template <class E>
constexpr std::string_view EnumText(E Value) {
  static_assert(TEnumTexts<E>::Texts.size() == EnumCount<E>);
  const auto Index = static_cast<size_t>(Value);
  return Index < TEnumTexts<E>::Texts.size() ? TEnumTexts<E>::Texts[Index] : std::string_view();
}

// The value whose text equals Text exactly; nothing for "" or an unknown text.
template <class E>
constexpr std::optional<E> EnumFromText(std::string_view Text) {
  if (Text.empty()) return std::nullopt;
  for (size_t I = 0; I < TEnumTexts<E>::Texts.size(); ++I)
    if (TEnumTexts<E>::Texts[I] == Text) return static_cast<E>(I);
  return std::nullopt;
}

// A set of enumeration values, one bit per ordinal (bit 1 << ordinal), as the
// sets travel as integers (visibility bits, query flags).
template <class E>
class TEnumSet {
 public:
  static constexpr uint32_t AllBits = (uint32_t(1) << EnumCount<E>) - 1;

  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> Values) {
    for (E V : Values) Include(V);
  }
  // Bits outside the enumeration are dropped.
  static constexpr TEnumSet FromBits(uint32_t Bits) {
    TEnumSet S;
    S.FBits = Bits & AllBits;
    return S;
  }
  constexpr uint32_t Bits() const { return FBits; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr bool Contains(E V) const { return (FBits & Bit(V)) != 0; }
  constexpr TEnumSet& Include(E V) {
    FBits |= Bit(V);
    return *this;
  }
  constexpr TEnumSet& Exclude(E V) {
    FBits &= ~Bit(V);
    return *this;
  }
  friend constexpr bool operator==(TEnumSet, TEnumSet) = default;

 private:
  static constexpr uint32_t Bit(E V) { return (uint32_t(1) << static_cast<uint32_t>(V)) & AllBits; }
  uint32_t FBits = 0;
};

// Visibility bits: 1 hidden from health professionals, 2 hidden from the
// patient, 4 hidden from legal representatives; 0 shows to everybody.
using TVisibilitesDocument = TEnumSet<TVisibiliteDocument>;
using TQueryFlags = TEnumSet<TQueryFlag>;

// ---------------------------------------------------------------------------
// Records (fields in the order the service model gives them)

// The five address lines of a Vitale-card beneficiary.
using TAdresse5 = std::array<std::string, 5>;

struct TCivilite {
  uint8_t Code = 0;  // from the CPS card: 22 Madame, 23 Mademoiselle, 31 Monsieur
  std::string Nom;
};

// A coded value, its label and its code system.
struct TEntite {
  std::string Code;
  std::string Nom;
  std::string OID;
};

// A coded role (profession or speciality).
struct TRole {
  std::string Code;
  std::string Nom;
  std::string OID;
};

struct TCarte {
  std::string Emetteur;
  std::string IdCarte;
  uint8_t Categorie = 0;  // bit 7 (0x80) set on training cards
  std::string DebutValidite;  // "yyyymmdd"
  std::string FinValidite;    // "yyyymmdd"
};

struct TPorteur {
  uint8_t TypeCarte = 0;
  std::string IdNational;
  TCivilite Civilite;
  std::string Nom;
  std::string Prenom;
  TEntite Entite;  // author speciality code
  TRole Profession;
  TRole Specialite;
  std::string NomNaissance;
};

struct TActivite {
  uint8_t Numero = 0;  // activity number on the card
  uint8_t Statut = 0;
  TEntite Entite;  // care-facility type code
  std::string IdNational;     // structure identifier
  std::string RaisonSociale;  // structure name
  TEntite Pharmacien;         // pharmacist section code
  std::string NumFacturation;
};

struct TBeneficiaire {
  std::string NomUsage;
  std::string NomNaissance;
  std::string Prenom;
  std::string dateEnCarte;    // "yymmdd" as written on the card
  std::string DateNaissance;  // "dd/mm/yyyy"
  std::string Nir;
  std::string NirCertifie;
  int32_t Qualite = -1;  // -1 when absent
  TAdresse5 Adresse;
  int32_t RangDeNaissance = 0;
  std::string MedecinTraitant;
  std::string INSC;
};

struct TDocumentInfo {
  std::string Nom;           // title
  std::string Auteur;
  std::string DateCreation;  // "dd/mm/yyyy hh:nn", local time
  std::string Categorie;     // category label
  std::string Extension;     // type label such as "PDF" or "XML"
  std::string Commentaire;
  int32_t Taille = 0;
  std::string CadreExercice;
  std::string DateDebut;
  std::string DateFin;
  std::string UniqueID;
  int32_t Visibilite = 0;  // bits of TVisibilitesDocument
  std::string Statut;      // "Approved", "Archived", "Deleted" or the status text
  bool DocumentPatient = false;  // filed by the patient
  std::string DocumentSource;    // the document's XML source when held
  int32_t Version = 0;
};

struct TIdentifiantNationalDeSante {
  std::string Code;
  char Type = 0;  // see INSTypeLetter
  std::string OID;
};

struct TIdentite {
  int32_t Civilite = 0;  // 0 none, 1 "M", 2 "Mme", 3 "Mlle"
  std::string NomUsage;
  std::string NomNaissance;
  std::string Prenom;
  std::string DateNaissance;  // "dd/mm/yyyy"
  char Sexe = 0;              // 'M', 'F' or 'U'
};

struct TPatientInfo {
  TIdentifiantNationalDeSante INSC;  // the older identifier (type 'C' or 'A')
  TIdentifiantNationalDeSante INSi;  // the INS (type 'R', 'T' or 'D')
  TIdentite Identite;
};

struct TFermeture {
  std::string Date;
  std::string Code;
  std::string Motif;
};

struct TDossierInfo {
  TPatientInfo Patient;
  bool StatutMT = false;  // the professional is the treating doctor
  std::string Autorisation;
  std::optional<TFermeture> Fermeture;  // empty while the record is open
  bool AccesWeb = false;
  bool Mineur = false;
  int32_t Secret = 0;
  bool ENS = false;  // attached to the patient's digital health space
};

struct TAdresse {
  std::string Adresse;
  std::string Complement;
  std::string CodePostal;
  std::string Ville;
  std::string Pays;
};

struct TTelecom {
  std::string Fixe;
  std::string Mobile;
  std::string EMail;
};

struct TRepresentantLegal {
  TRelation Relation = TRelation::Aucune;
  int32_t Civilite = 0;  // as in TIdentite
  std::string Nom;
  std::string Prenom;
  TAdresse Adresse;
  TTelecom Telecom;
};

struct TVoletAdministratif {
  TIdentite Identite;
  TAdresse Adresse;
  TTelecom Telecom;
  std::string PaysNaissance;
  TRepresentantLegal Representant;
};

struct TDossierItem {
  TPatientInfo Patient;
  bool StatutMT = false;
  std::string DateModification;     // "dd/mm/yyyy"
  std::string DateDernierAcces;     // "dd/mm/yyyy"
  std::string DateDernierDocument;  // "dd/mm/yyyy"
};

struct TPatientItem {
  TPatientInfo Patient;
  bool oppositionUrgence = false;  // the patient opposes emergency access
};

// Never logged: carries the patient's initial password.
struct TAccesPatient {
  std::string login;
  std::string password;
};

struct TPraticien {
  std::string IdNational;
  std::string TypeId;
  std::string Prenom;
  std::string Nom;
  std::string DateAction;
  std::string Mode;
  std::string DateDebut;
  TEntite Entite;  // speciality code and label
  bool StatutMT = false;
};

// Content of a document to file; its size is Contenu.size().
struct TDocument {
  std::string Contenu;
  TTypeMime TypeMime = TTypeMime::TextPlain;
};

// The document that a filing replaces.
struct TDocumentReference {
  std::string UniqueID;
  std::string UUID;
  int32_t Version = 0;
};

struct TMedecinTraitant {
  std::string Nom;
  std::string Prenom;
  std::string RPPS;
  std::string Telephone;
  std::string EMail;
  std::string MSS;
};

struct TProprietesDocument {
  std::string Titre;
  TDocument Document;
  std::string Commentaire;
  std::string PatientId;
  std::string TypeDocument;
  std::string DateDocument;
  std::string CadreExercice;
  std::string DateDebut;
  std::string DateFin;
  TVisibilitesDocument Visibilite;
  TDocumentReference Remplacer;
  std::optional<TMedecinTraitant> MedecintTraitant;  // the system spells it so
};

struct TCodeLibelle {
  std::string Code;
  std::string Libelle;
};

struct TNoteVaccination {
  std::string ID;
  std::string Content;
  std::string Date;
  std::string Vaccin;
  int32_t Vaccination = 0;
  TCodeLibelle Site;
  TCodeLibelle Route;
  std::string Lot;
  int32_t Rang = 0;
  TCodeLibelle CIS;
  TCodeLibelle CIP;
  TCodeLibelle ATC;
  std::string Vaccinateur;
};

struct TRecherchePatients {
  std::string Nom;
  std::string Prenom;
  std::string Naissance;
  TSexe Sexe = TSexe::Tous;
  bool NomPartiel = false;  // the name is a prefix
};

struct TQueryDocuments {
  TQueryFlags Flags;
  std::string TypeDoc;
  std::string After;
  std::string Before;
};

// The service parameters, with the values that hold until they are fetched.
struct TParametres {
  bool GestionMineurs = false;
  int32_t AgeMajoritee = 18;
  bool CumulVisibilite = false;
  int32_t hrPeriodeMax = 24;  // months
};

struct TCertificat {
  std::string DN;         // subject of the session certificate
  std::string CertBytes;  // its DER bytes; the size is CertBytes.size()
  bool IsCPS = false;     // the session is a CPS-card session
};

struct TINSiTraits {
  std::string Nom;
  std::string Prenom;
  char Sexe = 0;
  std::string Naissance;
  std::string CodeINSEE;  // birthplace code
};

struct TINSiResponse {
  std::string Balise;  // the answer's identity block as UTF-8 XML
  std::string INS;
  std::string OID;
  char INSType = 0;
  std::string Nom;
  std::string Prenom;
  std::string Prenoms;
  std::string Sexe;
  std::string DateNaissance;
  std::string LieuNaissance;
};

struct TIdentiteAMO {
  std::string NomFamille;
  std::string NomUsage;
  std::string Prenom;
  int32_t Qualite = 0;
  std::string DateNaissance;
  int32_t Rang = 0;
  std::string NIRCertifie;
  std::string NIRAssure;
};

// ---------------------------------------------------------------------------
// Interfaces (operations in the order of the service model)

class ICarvelin;
class IVaspoCNX;
class IVaspoCPS;
class IVaspoCRT;
class IVaspoCSV;
class IVaspoLOG;
class IDossierMedical;
class IDossierList;
class IPatientList;
class IDocumentList;
class IDocument;
class ILotDocuments;
class IAppVitale;

// The progress and log sink.
class IVaspoLOG {
 public:
  virtual ~IVaspoLOG();
  // Called in the thread of the service call.
  virtual void OnLog(ICarvelin& DMP, std::string_view Msg) = 0;
};

// The service client root.
class ICarvelin {
 public:
  static constexpr std::string_view IID = "{37645c09-487f-485a-8855-fde25af497ae}";
  virtual ~ICarvelin();
  virtual int GetVersion() = 0;
  // From any thread, for a program that is closing: the service call under
  // way fails at once (its socket is shut down) and so does every later one.
  virtual void AbortCalls() = 0;
  // The message of a code: a constant, valid for the whole run.
  virtual std::string_view GetErrMsg(int ErrNo) = 0;
  virtual std::string GetErrDetail() = 0;
  // Not owned: the sink must outlive the root or be replaced by nullptr first.
  virtual void SetLogger(IVaspoLOG* Logger) = 0;
  virtual int SetCryptoLib(std::string_view AFileName) = 0;
  virtual int SetApiLecture(std::string_view AFileName) = 0;
  virtual int GetSlotCount(int& Count) = 0;
  virtual int GetCPS(int Slot, std::shared_ptr<IVaspoCPS>& CPS) = 0;
  virtual std::shared_ptr<IVaspoCPS> GetActiveCPS() = 0;
  virtual int GetCSV(std::shared_ptr<IVaspoCSV>& CSV) = 0;
  virtual int SetCSV(std::string_view XML, std::shared_ptr<IVaspoCSV>& CSV) = 0;
  virtual void SetDMPUrl(std::string_view URL) = 0;
  virtual int GetDMPUrl(TDMPUrl DMPUrl, std::string_view Param, std::string& URL) = 0;
  virtual std::string GetDMPParams(std::string_view Mobile, std::string_view EMail,
                                   std::string_view Adresse, std::string_view Complement,
                                   std::string_view CodePostal, std::string_view Ville,
                                   std::string_view Pays) = 0;
  virtual int LoadCertificat(std::string_view Data, std::string_view Password,
                             std::shared_ptr<IVaspoCRT>& CRT) = 0;
  virtual const TParametres* GetParametres() = 0;
  virtual int xmlGetDossiers(std::string_view XML, std::shared_ptr<IDossierList>& List) = 0;
  virtual int xmlGetPatients(std::string_view XML, std::shared_ptr<IPatientList>& List) = 0;
  virtual int xmlDossierExiste(std::string_view XML, std::shared_ptr<IDossierMedical>& Dossier) = 0;
  virtual int xmlQueryDocuments(std::string_view XML, std::shared_ptr<IDocumentList>& List) = 0;
  virtual int xopGetDocument(std::string_view XOP, std::shared_ptr<IDocument>& Doc) = 0;
  virtual int xmlLoadDocument(std::string_view xml, std::shared_ptr<IDocument>& Doc) = 0;
};

// An authenticated professional session.
class IVaspoCNX {
 public:
  virtual ~IVaspoCNX();
  virtual const TCarte* GetCarte() = 0;
  virtual const TPorteur* GetPorteur() = 0;
  virtual int DossierExiste(std::string_view INSValue, char INSType,
                            std::shared_ptr<IDossierMedical>& Dossier) = 0;
  virtual int GetDossiers(std::string_view DateUTC, TDateMode Mode, std::shared_ptr<IDossierList>& List) = 0;
  virtual int GetPatients(const TRecherchePatients& Criteres, std::shared_ptr<IPatientList>& List) = 0;
  virtual std::string GetServer() = 0;
  virtual void SetServer(std::string_view Server) = 0;
  virtual const TActivite* CurrentActivite() = 0;
  virtual int rechercherInsAvecTraitsIdentite(const TINSiTraits& INSiTraits,
                                              const TINSiResponse*& INSiResponse) = 0;
  // Fills the caller's record; nullptr is refused.
  virtual int GetCertificat(TCertificat* Cert) = 0;
  virtual int SignHash(std::string_view Data, std::string_view& Digest) = 0;
  virtual void SetSpecAMO(std::string_view Value) = 0;
  virtual int GetAppVitale(std::string_view qrCode, std::shared_ptr<IAppVitale>& AppVitale,
                           bool CloseContext) = 0;
  virtual int CloseAppVitale() = 0;
};

// The CPS-card session.
class IVaspoCPS : public virtual IVaspoCNX {
 public:
  ~IVaspoCPS() override;
  virtual int PinCount() = 0;
  virtual int SetCode(std::string_view Code) = 0;
  virtual int GetActivites(int& Count) = 0;
  virtual const TActivite* GetActivite(int Index) = 0;
  virtual int SelectActivite(int Index) = 0;
  virtual int SelectedActivite() = 0;
};

// The software-certificate session.
class IVaspoCRT : public virtual IVaspoCNX {
 public:
  ~IVaspoCRT() override;
  virtual int LoadSignature(std::string_view Data, std::string_view Password) = 0;
  virtual const TActivite* GetStructure() = 0;
  virtual void SetStructure(std::string_view codeStruct, std::string_view idStruct,
                            std::string_view RaisonSociale, std::string_view numFacturation) = 0;
  virtual void SetPraticien(std::string_view IdNational, std::string_view Nom, std::string_view Prenom,
                            std::string_view Profession, std::string_view Specialite,
                            std::string_view Pharmacien, std::string_view codeStruct,
                            std::string_view numFacturation) = 0;
};

// The Vitale card read for the current patient.
class IVaspoCSV {
 public:
  virtual ~IVaspoCSV();
  // The card XML; the result is its length in bytes, not an error code.
  virtual int GetXML(std::string_view& XML) = 0;
  virtual int GetBeneficiaires() = 0;
  virtual const TBeneficiaire* GetBeneficiaire(int Index) = 0;
  virtual int SelectionBeneficiaire(int Index) = 0;
  virtual int SelectedBeneficiaire() = 0;
  virtual std::string GetINS() = 0;
  virtual const TAdresse* GetAdresse() = 0;
  virtual int DossierExiste(std::shared_ptr<IDossierMedical>& Dossier) = 0;
  virtual uint16_t GetCardType() = 0;
  virtual void SetCardType(uint16_t Value) = 0;
  virtual int rechercherInsAvecCarteVitale(const TINSiResponse*& INSiResponse) = 0;
  virtual int Verify() = 0;
};

// One patient's shared record.
class IDossierMedical {
 public:
  virtual ~IDossierMedical();
  virtual std::shared_ptr<ICarvelin> Carvelin() = 0;
  virtual const TDossierInfo* GetInfo() = 0;
  virtual int GetVoletAdministratif(const TVoletAdministratif*& Volet) = 0;
  virtual int SetVoletAdministratif(const TVoletAdministratif& Volet) = 0;
  virtual int QueryDocuments(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) = 0;
  virtual int Query2Documents(std::string_view TypeDoc1, std::string_view TypeDoc2,
                              std::shared_ptr<IDocumentList>& List) = 0;
  virtual int QuerySubmissions(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) = 0;
  virtual int QuerySubmissions2(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) = 0;
  virtual int Autorisation(bool Autoriser, std::string_view BrisDeGlace) = 0;
  virtual int OuvrirAcces(std::string_view BrisDeGlace) = 0;
  virtual int FermerAcces() = 0;
  virtual int FermerDossier(std::string_view ACode, std::string_view Motif) = 0;
  virtual int CreerAccesPatient(std::string_view Canal, const TAccesPatient*& Acces) = 0;
  virtual int NouvelAccesPatient(const TAccesPatient*& acces) = 0;
  virtual int ModifierCanal(std::string_view Canal, TActionCanal Action) = 0;
  virtual int GetPraticiens(TModePraticien Mode, std::span<const TPraticien>& Praticiens) = 0;
  virtual int AddDocument(const TProprietesDocument& Props, std::string& UniqueId) = 0;
  virtual int AddSynthese(const TProprietesDocument& Props, std::string_view Volet, std::string& UniqueId) = 0;
  virtual int GetDocument(std::string_view UniqueID, std::shared_ptr<IDocument>& Document) = 0;
  virtual int GetDocumentUUID(std::string_view UniqueID, std::string& UUID) = 0;
  virtual int SupprimerDocument(std::string_view UniqueID) = 0;
  virtual int SupprimerDocumentUUID(std::string_view UUID) = 0;
  virtual int SetAccesSecret(bool Secret) = 0;
  virtual int CreerLotDocuments(std::shared_ptr<ILotDocuments>& Lot) = 0;
  virtual int AddNoteVaccination(const TProprietesDocument& Props, const TNoteVaccination& Note,
                                 std::string& UniqueId) = 0;
  virtual int AddCDAR2(const TProprietesDocument& Props, std::string& UniqueId) = 0;
  virtual std::string CreateSynthese(const TProprietesDocument& Props, std::string_view Volet) = 0;
  virtual int ChangeDocumentStatusUUID(std::string_view UUID, TDocumentStatus oldStatus,
                                       TDocumentStatus newStatus) = 0;
};

// The professional's list of patient records.
class IDossierList {
 public:
  virtual ~IDossierList();
  virtual int GetCount() = 0;
  virtual const TDossierItem* GetItem(int Index) = 0;
  virtual int GetDossier(int Index, std::shared_ptr<IDossierMedical>& Dossier) = 0;
};

// The result of a patient search.
class IPatientList {
 public:
  virtual ~IPatientList();
  virtual int GetCount() = 0;
  virtual const TPatientItem* GetItem(int Index) = 0;
  virtual int GetDossier(int Index, std::shared_ptr<IDossierMedical>& Dossier) = 0;
};

// The documents found by a query.
class IDocumentList {
 public:
  virtual ~IDocumentList();
  virtual int Count() = 0;
  virtual const TDocumentInfo* Info(int Index) = 0;
  virtual int Sort(int Column) = 0;
  virtual int CategoryCount(std::string_view CodeCategorie) = 0;
  virtual int Filter(std::string_view CodeCategorie) = 0;
  virtual int GetDocument(int Index, std::shared_ptr<IDocument>& Doc) = 0;
  virtual int GetSortIndex() = 0;
  virtual void SetSortIndex(int Value) = 0;
  virtual int DeleteDocument(int Index) = 0;
};

// One retrieved document.
class IDocument {
 public:
  virtual ~IDocument();
  virtual const TDocumentInfo* GetInfo() = 0;
  virtual void SaveToFile(std::string_view AFileName) = 0;
  virtual int GetDescription(std::string_view& Source) = 0;
  virtual int GetDocument(std::string_view& Source) = 0;
  virtual int GetImage(std::string_view Name, std::string_view& Image) = 0;
  virtual std::string MimeType() = 0;
  virtual bool IsUTF8() = 0;
  virtual int SetVisibilite(int Visibilite) = 0;
  virtual int SetArchive(bool Archive) = 0;
  virtual int Supprimer() = 0;
  virtual int Remplacer(TProprietesDocument& Props, std::string& UniqueId) = 0;
  virtual std::shared_ptr<ICarvelin> Carvelin() = 0;
};

// Several documents filed as one submission set.
class ILotDocuments {
 public:
  virtual ~ILotDocuments();
  virtual int AddDocument(const TProprietesDocument& Props) = 0;
  virtual int Submit() = 0;
  virtual std::string GetUniqueID(int Index) = 0;
};

// The identities returned by the mobile Vitale application service.
class IAppVitale {
 public:
  virtual ~IAppVitale();
  virtual char GetEnvType() = 0;
  virtual int GetCount() = 0;
  virtual const TIdentiteAMO* GetItem(int Index) = 0;
  virtual int GetDossier(int Index, std::shared_ptr<IDossierMedical>& Dossier) = 0;
};

// ---------------------------------------------------------------------------

// The type letter of an INS identifier system, compared exactly: 'A', 'C',
// 'R', 'I', 'T' or 'D'; '?' for any other text.
char INSTypeLetter(std::string_view OID);

}  // namespace Talven
