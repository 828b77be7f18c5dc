// Filing in the patient record (IHE XDS.b ProvideAndRegisterDocumentSet-b,
// ITI-41, sent as MTOM): a plain file wrapped in a CDA document, the medical
// summary, the vaccination note, the caller's own CDA document, the
// replacement of a document by a new version, and submission batches.
//
// Every refusal of the caller's values comes before anything is sent. A
// filing hands out its unique identifier only when the service accepted it;
// after a refusal the attempted identifier goes to the log sink, so that a
// doubtful filing can be looked up. No exception leaves a filing operation.
#include <algorithm>

#include "Talven.Carvelin.CDA.h"
#include "Talven.Carvelin.Objects.h"
#include "Talven.Carvelin.Utils.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "Talven.Carvelin.ValueSets.h"
#include "Vantrel.SOAP.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.XML.XDSb.MTOM.h"

namespace Talven {

namespace {

using Vantrel::TOIDValue;

constexpr std::string_view TypeCodes = "JDV_J66-TypeCode-DMP.xml";
constexpr std::string_view TypeToClass = "ASS_X16-CorrespondanceType-Classe-DMP.xml";
constexpr std::string_view ClassCodes = "JDV_J57-ClassCode-DMP.xml";
constexpr std::string_view PracticeCodes = "JDV_J62-PracticeSettingCode-DMP.xml";
constexpr std::string_view FormatCodes = "JDV_J60-FormatCode-DMP.xml";
constexpr std::string_view TemplateToFormat = "ASS_A11-CorresModeleCDA-XdsFormatCode-CISIS.xml";

constexpr Vantrel::TDateTime OneSecond = 1.0 / 86400;

// Code, coding scheme and display name of Code in a value set; false when unknown.
bool LookUp(std::string_view ValueSet, std::string_view Code, TOIDValue& Value) {
  TResourceXML Set;
  Set.LoadFile(std::string(ValueSet));
  std::string OID, Label;
  if (Code.empty() || !Set.GetCode(Code, OID, Label)) return false;
  Value = {std::string(Code), std::move(OID), std::move(Label)};
  return true;
}

std::string MappedCode(std::string_view ValueSet, std::string_view Code) {
  TResourceXML Map;
  Map.LoadFile(std::string(ValueSet));
  std::string Target;
  return Map.Correspondance(Code, Target) ? Target : std::string();
}

std::string_view Trimmed(std::string_view Text) {
  const auto Blank = [](char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; };
  while (!Text.empty() && Blank(Text.front())) Text.remove_prefix(1);
  while (!Text.empty() && Blank(Text.back())) Text.remove_suffix(1);
  return Text;
}

// A caller's date, never after Cap; a text that does not read is no date (0).
Vantrel::TDateTime CappedDate(std::string_view Text, Vantrel::TDateTime Cap) {
  Vantrel::TDateTime Date = 0;
  try {
    Date = ParseDateFR(Text);
  } catch (const std::invalid_argument&) {
  }
  return std::min(Date, Cap);
}

// The repository of the holder's card: type 2 cards (staff) file through their own.
std::string_view RepositoryService(const TVaspoCNX& Session) {
  return Session.Info.Porteur.TypeCarte == 2 ? "repositoryCPE" : "repository";
}

constexpr std::string_view LotRefuseCDA = "Les CDAR2 ne sont pas encore supportés dans les lots";
constexpr std::string_view LotPlein = "Un lot ne peut pas contenir plus de 99 documents";
constexpr std::string_view LotTransmis = "Le lot a déjà été transmis";

}  // namespace

// ---- Helpers ----

void Objects::CDAFormatCode(std::string_view CDA, std::string& IdRoot, std::string& FormatCode) {
  IdRoot.clear();
  FormatCode.clear();
  Vantrel::TXMLTree Tree;
  Tree.BuildFrom(CDA);
  const Vantrel::PXMLNode Document = Tree.Root().Search("ClinicalDocument");
  if (!Document) return;
  if (const Vantrel::PXMLNode Id = Document->GetChild("id"))
    if (const Vantrel::TXMLString* Root = Id->GetAttribute("root")) IdRoot = Root->Value();
  TResourceXML Map;
  Map.LoadFile(std::string(TemplateToFormat));
  bool Started = false;
  for (const Vantrel::TXMLNode& Child : Document->Children()) {
    if (Child.IsText()) continue;
    if (!Child.Name.Compare("templateId")) {
      if (Started) break;
      continue;
    }
    Started = true;
    const Vantrel::TXMLString* Root = Child.GetAttribute("root");
    if (Root && Map.Correspondance(Root->Value(), FormatCode)) return;
  }
  FormatCode.clear();
}

// ---- Preparation ----

int TDossierMedical::PrepareDocument(const TProprietesDocument& Props, TXDSbInfo& Xds) {
  if (const int Code = CheckAccess()) return Code;
  const std::shared_ptr<TCarvelin> DMP = Root();
  TVaspoCNX& Session = *DMP->VaspoCNX;
  DMP->Log("Définition des paramètres...");
  const std::string_view PatientId = Trimmed(Props.PatientId);
  if (PatientId.empty() || PatientId == "0") return ERR_PATIENT_ID;
  TCDAInfo& C = Xds.CDA;
  if (!LookUp(TypeCodes, Props.TypeDocument, C.DocType)) return ERR_DOCUMENT;
  if (!LookUp(ClassCodes, MappedCode(TypeToClass, Props.TypeDocument), C.Classe)) return ERR_CLASSE_DOCUMENT;
  if (!LookUp(PracticeCodes, Props.CadreExercice, C.Practice)) return ERR_CADRE_EXERCICE;
  C.DocTitle = Props.Titre;
  C.Patient = &FInfo.Patient;
  C.Porteur = &Session.Info.Porteur;
  C.Activite = Session.CurrentActivite();
  C.NowUTC = Vantrel::ServiceTimeUTC();
  // No date of the document may lie after the filing.
  const Vantrel::TDateTime Cap = Vantrel::UTCToLocal(C.NowUTC - OneSecond);
  C.CreateDate = CappedDate(Props.DateDocument, Cap);
  C.StartDate = CappedDate(Props.DateDebut, Cap);
  C.StopDate = CappedDate(Props.DateFin, Cap);
  C.Confidentialite = int32_t(Props.Visibilite.Bits());
  C.LPS_OID = Session.Info.LPS_OID;
  C.PatientId = Props.PatientId;
  return ERR_OK;
}

int TDossierMedical::ValidateDocument(const TProprietesDocument& Props, TXDSbInfo& Xds) {
  if (Props.Document.Contenu.empty() && Props.Commentaire.empty()) return ERR_DOCUMENT_VIDE;
  return PrepareDocument(Props, Xds);
}

int TDossierMedical::ReplacementFields(const TProprietesDocument& Props, bool Replace, TXDSbInfo& Xds) {
  TCDAInfo& C = Xds.CDA;
  C.Version = 1;
  C.MedecinTraitant = Props.MedecintTraitant ? &*Props.MedecintTraitant : nullptr;
  C.ReplaceUniqueId.clear();
  Xds.ReplaceUuid.clear();
  const TDocumentReference& Old = Props.Remplacer;
  if (!Replace || Old.UniqueID.empty()) return ERR_OK;
  C.ReplaceUniqueId = Old.UniqueID;
  Xds.ReplaceUuid = Old.UUID;
  if (Xds.ReplaceUuid.empty())
    if (const int Code = GetDocumentUUID(Old.UniqueID, Xds.ReplaceUuid)) return Code;
  C.Version = std::max(Old.Version + 1, 2);
  return ERR_OK;
}

void TDossierMedical::Identifiers(const TProprietesDocument& Props, TXDSbInfo& Xds) {
  const std::shared_ptr<TCarvelin> DMP = Root();
  Xds.SubId = Xds.DOC.DocID + ".1";
  Xds.SignId = Xds.DOC.DocID + ".2";
  Xds.Certificat = DMP->VaspoCNX->Cert;
  Xds.Lot = {"lot du document originel", "Document texte simple", Props.Commentaire};
  // The signer is the root's session at the time of signing (a batch signs later).
  Xds.Sign = [Weak = std::weak_ptr<TCarvelin>(DMP)](const std::string& Hash, std::string& Signature) {
    const std::shared_ptr<TCarvelin> Owner = Weak.lock();
    if (!Owner || !Owner->VaspoCNX) return ERR_SESSION;
    return Owner->VaspoCNX->SignBytes(Hash, Signature);
  };
}

// ---- Sending ----

int TDossierMedical::PostFiling(const TRequestMaker& MakeRequest, Vantrel::TDateTime NowUTC,
                                const std::string& Attempted) {
  const std::shared_ptr<TCarvelin> DMP = Root();
  TVaspoCNX& Session = *DMP->VaspoCNX;
  DMP->Log("Encodage du message...");
  std::string Header;
  try {
    Header = Vantrel::WSSecurityHeader(BuildVIHF(Session.Info, PatientIdCX(), FBrisDeGlace, FAccesMineur, NowUTC));
  } catch (const EVIHFError& E) {
    DMP->FError.SetError(E.what());
    return ERR_INDEX;
  }
  const std::string_view Service = RepositoryService(Session);
  std::string Request = MakeRequest(Header, DMP->DmpServiceUrl(Service));
  DMP->Log("SendRequest");
  std::string Response;
  int Code = DMP->SendRequest(std::move(Request), Service, Vantrel::MTOMBoundary, Response);
  if (Code == ERR_OK) Code = DMP->xopProvideAndRegisterDocumentSetB(Response);
  if (Code == ERR_CONNEXION && DMP->AnswerLate()) {
    Code = ERR_DEPOT_INCERTAIN;
    DMP->Log("Dépôt au résultat inconnu (pas de réponse à temps) : vérifiez la liste des documents avant de "
             "déposer à nouveau, identifiant unique tenté : " + Attempted);
  } else if (Code == ERR_OK) {
    FUniqueID = Attempted;
  } else {
    DMP->Log("Dépôt non confirmé, identifiant unique tenté : " + Attempted);
  }
  return Code;
}

int TDossierMedical::FileDocument(const TProprietesDocument& Props, bool Validate, bool Replace,
                                  const TDocumentMaker& MakeDocument) {
  return Guarded([&] {
    FUniqueID.clear();
    TXDSbInfo Xds;
    if (const int Code = Validate ? ValidateDocument(Props, Xds) : PrepareDocument(Props, Xds)) return Code;
    if (const int Code = ReplacementFields(Props, Replace, Xds)) return Code;
    Xds.DOC.DocID = Vantrel::NewOIDUUID();
    std::string Document;
    if (const int Code = MakeDocument(Xds, Document)) return Code;
    Identifiers(Props, Xds);
    const std::shared_ptr<TCarvelin> DMP = Root();
    DMP->Log("Signature du document...");
    std::string Signature;
    if (const int Code = Vantrel::SignDocumentXAdES(Xds, Document, Signature)) return Code;
    return PostFiling(
        [&](const std::string& Header, const std::string& Destination) {
          return Vantrel::ProvideAndRegisterRequest(Xds, Header, Document, Destination, Signature);
        },
        Xds.CDA.NowUTC, Xds.DOC.DocID);
  });
}

int TDossierMedical::Guarded(const std::function<int()>& Filing) {
  try {
    return Filing();
  } catch (const std::exception& E) {
    const std::string Text = std::string(E.what()) + "\r\n" + Vantrel::StackTrace();
    if (const std::shared_ptr<TCarvelin> DMP = Root()) {
      DMP->FError.SetError(E.what());
      DMP->Log(Text);
    }
    Vantrel::WriteProgramLog(".log", Text);
    return ERR_EXCEPTION;
  }
}

// ---- Record operations ----

int TDossierMedical::SubmitDocument(const TProprietesDocument& Props, bool Replace) {
  return FileDocument(Props, true, Replace, [this, &Props](TXDSbInfo& Xds, std::string& Document) {
    const TTypeMimeInfo& Type = TypeMimeInfo(Props.Document.TypeMime);
    Xds.DOC.mediaType = Type.MimeType;
    Xds.DOC.Content = Props.Document.Contenu.data();
    Xds.DOC.ContentSize = Props.Document.Contenu.size();
    Xds.DOC.Format = &Type.Format;
    Root()->Log("Construction du document...");
    Document = BuildCDANonXMLBody(Xds.DOC, Xds.CDA);
    return ERR_OK;
  });
}

int TDossierMedical::SubmitOrReplace(const TProprietesDocument& Props) {
  const bool Replace = !Props.Remplacer.UniqueID.empty();
  const int Code = SubmitDocument(Props, Replace);
  if (!Replace || Code != ERR_REMPLACEMENT) return Code;
  const int Again = SubmitDocument(Props, false);
  if (Again == ERR_OK)
    Root()->Log("Remplacement refusé par le DMP : le document a été déposé comme un nouveau document, "
                "pas comme une nouvelle version de " + Props.Remplacer.UniqueID);
  return Again;
}

int TDossierMedical::ReplaceDocument(const Objects::TDocumentInfo& Old, TProprietesDocument& Props,
                                     std::string& UniqueId) {
  UniqueId.clear();
  if (!Active()) return ERR_SESSION;
  Props.Remplacer = {Old.UniqueID, Old.uuid, Old.Version};
  FUniqueID.clear();
  const int Code = SubmitOrReplace(Props);
  UniqueId = FUniqueID;
  return Code;
}

int TDossierMedical::AddDocument(const TProprietesDocument& Props, std::string& UniqueId) {
  if (Props.Document.TypeMime == TTypeMime::CDAR2XML) return AddCDAR2(Props, UniqueId);
  UniqueId.clear();
  FUniqueID.clear();
  const int Code = SubmitOrReplace(Props);
  UniqueId = FUniqueID;
  return Code;
}

int TDossierMedical::AddSynthese(const TProprietesDocument& Props, std::string_view Volet, std::string& UniqueId) {
  UniqueId.clear();
  const int Code = FileDocument(Props, false, true, [&](TXDSbInfo& Xds, std::string& Document) {
    Xds.DOC.mediaType = "text/xml";
    Xds.DOC.Format = &FormatSyntheseMedicale();
    Root()->Log("Construction du document...");
    Document = BuildCDASynthese(Xds.DOC, Xds.CDA, Volet);
    return ERR_OK;
  });
  UniqueId = FUniqueID;
  return Code;
}

std::string TDossierMedical::CreateSynthese(const TProprietesDocument& Props, std::string_view Volet) {
  std::string Document;
  Guarded([&] {
    TXDSbInfo Xds;
    if (const int Code = PrepareDocument(Props, Xds)) return Code;
    Xds.CDA.Version = Props.Remplacer.UniqueID.empty() ? 1 : std::max(Props.Remplacer.Version + 1, 2);
    Xds.DOC.mediaType = "text/xml";
    Xds.DOC.Format = &FormatSyntheseMedicale();
    Xds.DOC.DocID = Vantrel::NewOIDUUID();
    Document = BuildCDASynthese(Xds.DOC, Xds.CDA, Volet);
    return ERR_OK;
  });
  return Document;
}

int TDossierMedical::AddNoteVaccination(const TProprietesDocument& Props, const TNoteVaccination& Note,
                                        std::string& UniqueId) {
  UniqueId.clear();
  const bool Replace = !Props.Remplacer.UniqueID.empty();
  int Code;
  if (Replace && Note.ID.empty()) {
    // Checked after the gate and the properties, as every refusal of the caller's values.
    TXDSbInfo Xds;
    Code = Guarded([&] { return PrepareDocument(Props, Xds); });
    return Code ? Code : ERR_VACCIN_ID;
  }
  Code = FileDocument(Props, false, true, [&](TXDSbInfo& Xds, std::string& Document) {
    Xds.DOC.mediaType = "text/xml";
    Xds.DOC.Format = &FormatNoteVaccination();
    const std::shared_ptr<TCarvelin> DMP = Root();
    DMP->Log("Construction du document...");
    if (Note.Vaccination < 0 || Note.Vaccination > 2) {
      DMP->FError.SetError("Numéro de Vaccination \"" + std::to_string(Note.Vaccination) + "\" invalide (de 0 à 2)");
      return ERR_INDEX;
    }
    const std::string_view Performer =
        Note.Vaccinateur == VaccinateurMoiMeme ? std::string_view() : std::string_view(Note.Vaccinateur);
    const std::string Body =
        BuildNoteVaccinationBody(Xds.CDA, Note, Note.ID.empty() ? Vantrel::NewOIDUUID() : Note.ID);
    Document = BuildCDANoteVaccination(Xds.DOC, Xds.CDA, Body, Performer);
    return ERR_OK;
  });
  // The next request opens a new connection after a note was replaced.
  if (Code == ERR_OK && Replace)
    if (const std::shared_ptr<TCarvelin> DMP = Root(); DMP && DMP->HTTP) DMP->HTTP->Close();
  UniqueId = FUniqueID;
  return Code;
}

int TDossierMedical::AddCDAR2(const TProprietesDocument& Props, std::string& UniqueId) {
  UniqueId.clear();
  TOIDValue Format;
  const int Code = FileDocument(Props, false, true, [&](TXDSbInfo& Xds, std::string& Document) {
    const std::shared_ptr<TCarvelin> DMP = Root();
    std::string IdRoot, FormatCode;
    try {
      Objects::CDAFormatCode(Props.Document.Contenu, IdRoot, FormatCode);
    } catch (const Vantrel::EXMLError& E) {
      DMP->FError.SetError(E.Message() + " (octet " + std::to_string(E.Index) + ")");
      return ERR_CDA;
    }
    if (IdRoot.empty()) return ERR_CDA;
    if (!LookUp(FormatCodes, FormatCode, Format)) return ERR_DOCUMENT;
    Xds.DOC.DocID = IdRoot;
    Xds.DOC.mediaType = "text/xml";
    Xds.DOC.Format = &Format;
    Document = Props.Document.Contenu;
    return ERR_OK;
  });
  UniqueId = FUniqueID;
  return Code;
}

// ---- Batches ----

// Several plain documents filed as one submission set, signed once. The
// record is held for the batch's life. A batch is sent once: after a
// successful Submit it refuses more documents and a second Submit; after a
// failed one, Submit sends the same identifiers again.
class TLotDocuments : public TDMPLink, public ILotDocuments {
 public:
  explicit TLotDocuments(const std::shared_ptr<TDossierMedical>& Dossier)
      : TDMPLink(Dossier->Root()), FDossier(Dossier), FUniqueID(Vantrel::NewOIDUUID()) {
    FNow = Vantrel::ServiceTimeUTC();
  }

  int AddDocument(const TProprietesDocument& Props) override;
  int Submit() override;
  std::string GetUniqueID(int Index) override;

 private:
  int Refuse(std::string_view Detail) {
    if (const std::shared_ptr<TCarvelin> DMP = Root()) DMP->FError.SetError(std::string(Detail));
    return ERR_PROGRAMME;
  }

  TXDSbInfo Xds;
  Vantrel::TDateTime FNow = 0;
  const std::shared_ptr<TDossierMedical> FDossier;
  const std::string FUniqueID;
  int FDocCount = 0;
  std::string FRef;
  std::string FCda;
  std::string FExtrinsicObjects;
  std::string FGetUniqueID;
  bool FSubmitted = false;
};

int TLotDocuments::AddDocument(const TProprietesDocument& Props) {
  return FDossier->Guarded([&] {
    if (Props.Document.TypeMime == TTypeMime::CDAR2XML) return Refuse(LotRefuseCDA);
    if (FSubmitted) return Refuse(LotTransmis);
    if (FDocCount >= Vantrel::MaxLotDocuments) return Refuse(LotPlein);
    TXDSbInfo Made;
    if (const int Code = FDossier->ValidateDocument(Props, Made)) return Code;
    if (const int Code = FDossier->ReplacementFields(Props, false, Made)) return Code;
    const int N = FDocCount + 1;
    Made.DOC.DocID = GetUniqueID(N);
    FDossier->Identifiers(Props, Made);
    // The submission set and the signature are the batch's, so that
    // GetUniqueID(0) names what was filed.
    Made.SubId = GetUniqueID(0);
    Made.SignId = FUniqueID + ".1.2";
    const TTypeMimeInfo& Type = TypeMimeInfo(Props.Document.TypeMime);
    Made.DOC.mediaType = Type.MimeType;
    Made.DOC.Content = Props.Document.Contenu.data();
    Made.DOC.ContentSize = Props.Document.Contenu.size();
    Made.DOC.Format = &Type.Format;
    Root()->Log("Construction du document...");
    const std::string Document = BuildCDANonXMLBody(Made.DOC, Made.CDA);
    std::string Ref = Vantrel::XAdESDocumentReference(Made.DOC.DocID, Document);
    std::string Part = N == 1 ? Document : Vantrel::MTOMDocumentPart(N, Document);
    std::string Entry = Vantrel::XDSbDocumentEntry(Made, N);
    // The batch changes only once the document is wholly built.
    Made.DOC.Content = nullptr;
    Made.DOC.ContentSize = 0;
    Made.CDA.MedecinTraitant = nullptr;
    FRef += Ref;
    FCda += Part;
    FExtrinsicObjects += Entry;
    FNow = std::max(FNow, Made.CDA.NowUTC);
    FDocCount = N;
    Xds = std::move(Made);
    return ERR_OK;
  });
}

int TLotDocuments::Submit() {
  return FDossier->Guarded([&] {
    if (const int Code = FDossier->CheckAccess()) return Code;
    if (FSubmitted) return Refuse(LotTransmis);
    if (FDocCount == 0) return ERR_DOCUMENT_VIDE;
    const std::shared_ptr<TCarvelin> DMP = Root();
    DMP->Log("Signature du document...");
    Xds.CDA.NowUTC = FNow;
    std::string Signature;
    if (const int Code = Vantrel::SignLotDocumentsXAdES(Xds, FRef, Signature)) return Code;
    const int Code = FDossier->PostFiling(
        [&](const std::string& Header, const std::string& Destination) {
          return Vantrel::ProvideAndRegisterLotRequest(Xds, Header, FCda, FDocCount, Destination,
                                                       FExtrinsicObjects, Signature);
        },
        FNow, FUniqueID + ".1.1");
    FSubmitted = Code == ERR_OK;
    return Code;
  });
}

std::string TLotDocuments::GetUniqueID(int Index) {
  FGetUniqueID = Index == 0 ? FUniqueID + ".1.1" : FUniqueID + ".2." + std::to_string(Index);
  return FGetUniqueID;
}

int TDossierMedical::CreerLotDocuments(std::shared_ptr<ILotDocuments>& Lot) {
  Lot = std::make_shared<TLotDocuments>(shared_from_this());
  return ERR_OK;
}

}  // namespace Talven
