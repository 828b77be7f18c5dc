#include "FakeCarvelin.h"

#include <optional>
#include <stdexcept>

namespace TestSupport {

using namespace Talven;

namespace {

std::string Quote(std::string_view S) { return "\"" + std::string(S) + "\""; }
std::string Bytes(std::string_view Data) { return std::to_string(Data.size()) + " bytes"; }
// A password as one star per byte: tests tell two apart by their lengths.
std::string Masked(std::string_view Password) { return std::string(Password.size(), '*'); }

const char* const CdaSource =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<ClinicalDocument xmlns=\"urn:hl7-org:v3\"><title>Compte rendu de consultation</title>"
    "<component><nonXMLBody><text mediaType=\"text/plain\">Examen normal.</text></nonXMLBody>"
    "</component></ClinicalDocument>\n";
const char* const PdfSource =
    "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
    "2 0 obj<</Type/Pages/Kids[]/Count 0>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n";
// The first bytes of a JPEG file: start of image and a JFIF header.
const char JpegHead[] = "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xFF\xD9";

TDocumentInfo DocumentInfo(std::string Nom, std::string Extension, std::string Categorie,
                           std::string UniqueID, size_t Size) {
  TDocumentInfo I;
  I.Nom = std::move(Nom);
  I.Auteur = "Dr MEDECIN Anne";
  I.DateCreation = "12/03/2024 10:30";
  I.Categorie = std::move(Categorie);
  I.Extension = std::move(Extension);
  I.Taille = int32_t(Size);
  I.UniqueID = std::move(UniqueID);
  I.Statut = "Approved";
  I.Version = 1;
  return I;
}

// ---- Objects ----

class TFakeLink {
 public:
  TFakeLink(std::shared_ptr<TFakeCore> ACore, std::weak_ptr<ICarvelin> ARoot)
      : Core(std::move(ACore)), Root(std::move(ARoot)) {}
  std::shared_ptr<TFakeCore> Core;
  std::weak_ptr<ICarvelin> Root;
  TFakeData& D() { return Core->Data; }
};

class TFakeDocument : public IDocument, TFakeLink {
 public:
  TFakeDocument(std::shared_ptr<TFakeCore> C, std::weak_ptr<ICarvelin> R, size_t I)
      : TFakeLink(std::move(C), std::move(R)), FInfo(D().Documents[I]), FContent(D().Contents[I]) {}

  const TDocumentInfo* GetInfo() override { return &FInfo; }
  void SaveToFile(std::string_view AFileName) override { Core->Call("SaveToFile", Quote(AFileName)); }
  int GetDescription(std::string_view& Source) override {
    const int Code = Core->Call("GetDescription", "");
    Source = FInfo.Nom;
    return Code;
  }
  int GetDocument(std::string_view& Source) override {
    const int Code = Core->Call("Document.GetDocument", "", {}, &FContent);
    Source = FContent;
    return Code;
  }
  int GetImage(std::string_view Name, std::string_view& Image) override {
    Image = {};
    return Core->Call("GetImage", Quote(Name));
  }
  std::string MimeType() override {
    if (FInfo.Extension == "PDF") return "application/pdf";
    if (FInfo.Extension == "JPEG") return "image/jpeg";
    return "text/xml";
  }
  bool IsUTF8() override { return FInfo.Extension == "XML"; }
  int SetVisibilite(int Visibilite) override {
    const int Code = Core->Call("SetVisibilite", std::to_string(Visibilite), "registry");
    if (Code == ERR_OK) FInfo.Visibilite = Visibilite;
    return Code;
  }
  int SetArchive(bool Archive) override {
    const int Code = Core->Call("SetArchive", Archive ? "true" : "false", "registry");
    if (Code == ERR_OK) FInfo.Statut = Archive ? "Archived" : "Approved";
    return Code;
  }
  int Supprimer() override { return Core->Call("Supprimer", FInfo.UniqueID, "registry"); }
  int Remplacer(TProprietesDocument& Props, std::string& UniqueId) override {
    const int Code = Core->Call("Remplacer", Quote(Props.Titre), "repository");
    UniqueId = Code == ERR_OK ? FInfo.UniqueID + ".2" : "";
    return Code;
  }
  std::shared_ptr<ICarvelin> Carvelin() override { return Root.lock(); }

 private:
  TDocumentInfo FInfo;
  std::string FContent;
};

class TFakeDocumentList : public IDocumentList, TFakeLink {
 public:
  TFakeDocumentList(std::shared_ptr<TFakeCore> C, std::weak_ptr<ICarvelin> R) : TFakeLink(std::move(C), std::move(R)) {
    for (size_t I = 0; I < D().Documents.size(); ++I) FRows.push_back(I);
  }
  int Count() override { return int(FRows.size()); }
  const TDocumentInfo* Info(int Index) override {
    return Valid(Index) ? &D().Documents[FRows[size_t(Index)]] : nullptr;
  }
  int Sort(int Column) override {
    FSort = Column;
    return Core->Call("Sort", std::to_string(Column));
  }
  int CategoryCount(std::string_view CodeCategorie) override {
    int N = 0;
    for (const TDocumentInfo& I : D().Documents) N += I.Categorie == CodeCategorie;
    return N;
  }
  int Filter(std::string_view CodeCategorie) override {
    FRows.clear();
    for (size_t I = 0; I < D().Documents.size(); ++I)
      if (CodeCategorie.empty() || D().Documents[I].Categorie == CodeCategorie) FRows.push_back(I);
    return int(FRows.size());
  }
  int GetDocument(int Index, std::shared_ptr<IDocument>& Doc) override {
    Doc.reset();
    if (!Valid(Index)) return ERR_INDEX;
    const int Code = Core->Call("GetDocument", D().Documents[FRows[size_t(Index)]].UniqueID, "repository");
    if (Code == ERR_OK) Doc = std::make_shared<TFakeDocument>(Core, Root, FRows[size_t(Index)]);
    return Code;
  }
  int GetSortIndex() override { return FSort; }
  void SetSortIndex(int Value) override { FSort = Value; }
  int DeleteDocument(int Index) override {
    if (!Valid(Index)) return ERR_INDEX;
    FRows.erase(FRows.begin() + Index);
    return ERR_OK;
  }

 private:
  bool Valid(int Index) const { return Index >= 0 && size_t(Index) < FRows.size(); }
  std::vector<size_t> FRows;
  int FSort = 0;
};

class TFakeDossier : public IDossierMedical, TFakeLink {
 public:
  using TFakeLink::TFakeLink;

  std::shared_ptr<ICarvelin> Carvelin() override { return Root.lock(); }
  const TDossierInfo* GetInfo() override { return &D().Dossier; }
  int GetVoletAdministratif(const TVoletAdministratif*& Volet) override {
    const int Code = Core->Call("GetVoletAdministratif", "", "patient");
    Volet = Code == ERR_OK ? &D().Volet : nullptr;
    return Code;
  }
  int SetVoletAdministratif(const TVoletAdministratif& Volet) override {
    // Kept as the service's answer, as the core keeps it.
    const int Code = Core->Call("SetVoletAdministratif", Quote(Volet.Identite.NomUsage), "patient");
    if (Code == ERR_OK) D().Volet = Volet;
    return Code;
  }
  int QueryDocuments(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) override {
    return Query_("QueryDocuments", Query, List);
  }
  int Query2Documents(std::string_view TypeDoc1, std::string_view TypeDoc2,
                      std::shared_ptr<IDocumentList>& List) override {
    List.reset();
    const int Code = Core->Call("Query2Documents", Quote(TypeDoc1) + " " + Quote(TypeDoc2), "registry");
    if (Code == ERR_OK) List = std::make_shared<TFakeDocumentList>(Core, Root);
    return Code;
  }
  int QuerySubmissions(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) override {
    return Query_("QuerySubmissions", Query, List);
  }
  int QuerySubmissions2(const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) override {
    return Query_("QuerySubmissions2", Query, List);
  }
  int Autorisation(bool Autoriser, std::string_view BrisDeGlace) override {
    return Core->Call("Autorisation", std::string(Autoriser ? "true " : "false ") + Quote(BrisDeGlace), "patient");
  }
  int OuvrirAcces(std::string_view BrisDeGlace) override { return Core->Call("OuvrirAcces", Quote(BrisDeGlace), "patient"); }
  int FermerAcces() override { return Core->Call("FermerAcces", "", "patient"); }
  int FermerDossier(std::string_view ACode, std::string_view Motif) override {
    return Core->Call("FermerDossier", Quote(ACode) + " " + Quote(Motif), "patient");
  }
  int CreerAccesPatient(std::string_view Canal, const TAccesPatient*& Acces) override {
    Acces = nullptr;
    const int Code = Core->Call("CreerAccesPatient", Quote(Canal), "patient");
    if (Code == ERR_OK) Acces = &FAcces;
    return Code;
  }
  int NouvelAccesPatient(const TAccesPatient*& Acces) override {
    Acces = nullptr;
    const int Code = Core->Call("NouvelAccesPatient", "", "patient");
    if (Code == ERR_OK) Acces = &FAcces;
    return Code;
  }
  int ModifierCanal(std::string_view Canal, TActionCanal Action) override {
    return Core->Call("ModifierCanal", Quote(Canal) + " " + std::string(EnumText(Action)), "patient");
  }
  int GetPraticiens(TModePraticien Mode, std::span<const TPraticien>& Praticiens) override {
    const int Code = Core->Call("GetPraticiens", std::string(EnumText(Mode)), "patient");
    Praticiens = Code == ERR_OK ? std::span<const TPraticien>(D().Praticiens) : std::span<const TPraticien>();
    return Code;
  }
  int AddDocument(const TProprietesDocument& Props, std::string& UniqueId) override {
    return File("AddDocument", Props, UniqueId);
  }
  int AddSynthese(const TProprietesDocument& Props, std::string_view, std::string& UniqueId) override {
    return File("AddSynthese", Props, UniqueId);
  }
  int GetDocument(std::string_view UniqueID, std::shared_ptr<IDocument>& Document) override {
    Document.reset();
    const int Code = Core->Call("GetDocument", std::string(UniqueID), "repository");
    if (Code != ERR_OK) return Code;
    for (size_t I = 0; I < D().Documents.size(); ++I)
      if (D().Documents[I].UniqueID == UniqueID) Document = std::make_shared<TFakeDocument>(Core, Root, I);
    return Document ? ERR_OK : ERR_DOCUMENT_INTROUVABLE;
  }
  int GetDocumentUUID(std::string_view UniqueID, std::string& UUID) override {
    const int Code = Core->Call("GetDocumentUUID", std::string(UniqueID), "registry");
    UUID = Code == ERR_OK ? "urn:uuid:" + std::string(UniqueID) : "";
    return Code;
  }
  int SupprimerDocument(std::string_view UniqueID) override {
    return Core->Call("SupprimerDocument", std::string(UniqueID), "registry");
  }
  int SupprimerDocumentUUID(std::string_view UUID) override {
    return Core->Call("SupprimerDocumentUUID", std::string(UUID), "registry");
  }
  int SetAccesSecret(bool Secret) override { return Core->Call("SetAccesSecret", Secret ? "true" : "false", "patient"); }
  int CreerLotDocuments(std::shared_ptr<ILotDocuments>& Lot) override {
    Lot.reset();
    const int Code = Core->Call("CreerLotDocuments", "");
    return Code != ERR_OK ? Code : ERR_NON_SUPPORTE;  // no submission batches yet
  }
  int AddNoteVaccination(const TProprietesDocument& Props, const TNoteVaccination&, std::string& UniqueId) override {
    return File("AddNoteVaccination", Props, UniqueId);
  }
  int AddCDAR2(const TProprietesDocument& Props, std::string& UniqueId) override {
    return File("AddCDAR2", Props, UniqueId);
  }
  std::string CreateSynthese(const TProprietesDocument& Props, std::string_view) override {
    std::string Text = CdaSource;
    Core->Call("CreateSynthese", Quote(Props.Titre), {}, &Text);
    return Text;
  }
  int ChangeDocumentStatusUUID(std::string_view UUID, TDocumentStatus, TDocumentStatus) override {
    return Core->Call("ChangeDocumentStatusUUID", std::string(UUID), "registry");
  }

 private:
  int Query_(std::string_view Name, const TQueryDocuments& Query, std::shared_ptr<IDocumentList>& List) {
    List.reset();
    const int Code = Core->Call(Name, "flags=" + std::to_string(Query.Flags.Bits()) + " type=" + Quote(Query.TypeDoc) +
                                          " after=" + Quote(Query.After) + " before=" + Quote(Query.Before),
                                "registry");
    if (Code == ERR_OK) List = std::make_shared<TFakeDocumentList>(Core, Root);
    return Code;
  }
  int File(std::string_view Name, const TProprietesDocument& Props, std::string& UniqueId) {
    std::string Id = "1.2.250.1.999.1.1." + std::to_string(++FFiled);
    const int Code = Core->Call(Name, Quote(Props.Titre), "repository", &Id);
    UniqueId = Code == ERR_OK ? Id : "";
    return Code;
  }
  TAccesPatient FAcces{"patient.test", "secret-initial"};
  int FFiled = 0;
};

class TFakeDossierList : public IDossierList, TFakeLink {
 public:
  using TFakeLink::TFakeLink;
  int GetCount() override { return FCount; }
  const TDossierItem* GetItem(int Index) override { return Index == 0 && FCount ? &FItem : nullptr; }
  int GetDossier(int Index, std::shared_ptr<IDossierMedical>& Dossier) override {
    Dossier.reset();
    if (Index != 0 || !FCount) return ERR_INDEX;
    Dossier = std::make_shared<TFakeDossier>(Core, Root);
    return ERR_OK;
  }

 private:
  int FCount = D().SearchRows;
  TDossierItem FItem{D().Dossier.Patient, D().Dossier.StatutMT, "01/03/2024", "12/03/2024", "12/03/2024"};
};

class TFakePatientList : public IPatientList, TFakeLink {
 public:
  using TFakeLink::TFakeLink;
  int GetCount() override { return FCount; }
  const TPatientItem* GetItem(int Index) override { return Index == 0 && FCount ? &FItem : nullptr; }
  int GetDossier(int Index, std::shared_ptr<IDossierMedical>& Dossier) override {
    Dossier.reset();
    if (Index != 0 || !FCount) return ERR_INDEX;
    Dossier = std::make_shared<TFakeDossier>(Core, Root);
    return ERR_OK;
  }

 private:
  int FCount = D().SearchRows;
  TPatientItem FItem{D().Dossier.Patient, false};
};

class TFakeVitale : public IVaspoCSV, TFakeLink {
 public:
  using TFakeLink::TFakeLink;
  int GetXML(std::string_view& XML) override {
    XML = FXML;
    return int(FXML.size());
  }
  int GetBeneficiaires() override { return int(D().Beneficiaires.size()); }
  const TBeneficiaire* GetBeneficiaire(int Index) override {
    return Index >= 0 && size_t(Index) < D().Beneficiaires.size() ? &D().Beneficiaires[size_t(Index)] : nullptr;
  }
  int SelectionBeneficiaire(int Index) override {
    if (!GetBeneficiaire(Index)) return ERR_INDEX;
    FSelected = Index;
    return ERR_OK;
  }
  int SelectedBeneficiaire() override { return FSelected; }
  std::string GetINS() override {
    std::string INS = FSelected >= 0 ? D().Beneficiaires[size_t(FSelected)].NirCertifie : "";
    Core->Call("GetINS", "", {}, &INS);
    return INS;
  }
  const TAdresse* GetAdresse() override { return &FAdresse; }
  int DossierExiste(std::shared_ptr<IDossierMedical>& Dossier) override {
    Dossier.reset();
    const int Code = Core->Call("Vitale.DossierExiste", std::to_string(FSelected), "patient");
    if (Code == ERR_OK) Dossier = std::make_shared<TFakeDossier>(Core, Root);
    return Code;
  }
  uint16_t GetCardType() override { return FCardType; }
  void SetCardType(uint16_t Value) override { FCardType = Value; }
  int rechercherInsAvecCarteVitale(const TINSiResponse*& INSiResponse) override {
    INSiResponse = nullptr;
    const int Code = Core->Call("rechercherInsAvecCarteVitale", std::to_string(FSelected), "insi");
    if (Code == ERR_OK) INSiResponse = &FINSi;
    return Code;
  }
  int Verify() override { return Core->Call("Verify", ""); }

 private:
  std::string FXML = "<CARTE_VITALE><BENEFICIAIRES/></CARTE_VITALE>";
  int FSelected = -1;
  uint16_t FCardType = 0;
  TAdresse FAdresse{"12 rue des Lilas", "", "75011", "PARIS", "FRANCE"};
  TINSiResponse FINSi{"<Individu><Identite><NomNaissance>DUPONT</NomNaissance></Identite></Individu>", D().Dossier.Patient.INSi.Code, D().Dossier.Patient.INSi.OID, 'T',
                      D().Dossier.Patient.Identite.NomNaissance, D().Dossier.Patient.Identite.Prenom,
                      D().Dossier.Patient.Identite.Prenom, "F", D().Dossier.Patient.Identite.DateNaissance, "75111"};
};

class TFakeAppVitale : public IAppVitale, TFakeLink {
 public:
  using TFakeLink::TFakeLink;
  char GetEnvType() override { return 'T'; }
  int GetCount() override { return int(D().IdentitesAMO.size()); }
  const TIdentiteAMO* GetItem(int Index) override {
    return Index >= 0 && Index < GetCount() ? &D().IdentitesAMO[size_t(Index)] : nullptr;
  }
  int GetDossier(int Index, std::shared_ptr<IDossierMedical>& Dossier) override {
    Dossier.reset();
    if (!GetItem(Index)) return ERR_INDEX;
    const int Code = Core->Call("AppVitale.GetDossier", std::to_string(Index), "patient");
    if (Code == ERR_OK) Dossier = std::make_shared<TFakeDossier>(Core, Root);
    return Code;
  }
};

class TFakeCPS : public IVaspoCPS, protected TFakeLink {
 public:
  TFakeCPS(std::shared_ptr<TFakeCore> C, std::weak_ptr<ICarvelin> R) : TFakeLink(std::move(C), std::move(R)) {
    FServer = D().Server;
    FTries = D().PinTries;
  }
  const TCarte* GetCarte() override { return &D().Carte; }
  const TPorteur* GetPorteur() override { return &D().Porteur; }
  int DossierExiste(std::string_view INSValue, char INSType, std::shared_ptr<IDossierMedical>& Dossier) override {
    Dossier.reset();
    const int Code = Core->Call("DossierExiste", std::string(INSValue) + " " + std::string(1, INSType), "patient");
    if (Code == ERR_OK) Dossier = std::make_shared<TFakeDossier>(Core, Root);
    return Code;
  }
  int GetDossiers(std::string_view DateUTC, TDateMode Mode, std::shared_ptr<IDossierList>& List) override {
    List.reset();
    const int Code = Core->Call("GetDossiers", std::string(DateUTC) + " " + std::string(EnumText(Mode)), "patient");
    if (Code == ERR_OK) List = std::make_shared<TFakeDossierList>(Core, Root);
    return Code;
  }
  int GetPatients(const TRecherchePatients& Criteres, std::shared_ptr<IPatientList>& List) override {
    List.reset();
    const int Code = Core->Call("GetPatients", Quote(Criteres.Nom) + " " + Quote(Criteres.Prenom), "patient");
    if (Code == ERR_OK) List = std::make_shared<TFakePatientList>(Core, Root);
    return Code;
  }
  std::string GetServer() override {
    std::string Server = FServer;
    Core->Call("GetServer", "", {}, &Server);
    return Server;
  }
  void SetServer(std::string_view Server) override { FServer = Server; }
  const TActivite* CurrentActivite() override {
    return FSelected >= 0 ? &D().Activites[size_t(FSelected)] : nullptr;
  }
  int rechercherInsAvecTraitsIdentite(const TINSiTraits& Traits, const TINSiResponse*& INSiResponse) override {
    INSiResponse = nullptr;
    const int Code = Core->Call("rechercherInsAvecTraitsIdentite",
                                Quote(Traits.Nom) + " " + Quote(Traits.Prenom) + " " + std::string(1, Traits.Sexe) +
                                    " " + Traits.Naissance + " " + Quote(Traits.CodeINSEE),
                                "insi");
    if (Code == ERR_OK) INSiResponse = &FINSi;
    return Code;
  }
  int GetCertificat(TCertificat* Cert) override {
    if (!Cert) return ERR_PARAMETRE;
    *Cert = TCertificat{"CN=" + D().Porteur.IdNational, "", true};
    return Core->Call("GetCertificat", "");
  }
  int SignHash(std::string_view Data, std::string_view& Digest) override {
    FSignature.assign(256, '\x5A');
    Digest = FSignature;
    return Core->Call("SignHash", Bytes(Data));
  }
  void SetSpecAMO(std::string_view Value) override { Core->Call("SetSpecAMO", Quote(Value)); }
  int GetAppVitale(std::string_view qrCode, std::shared_ptr<IAppVitale>& AppVitale, bool CloseContext) override {
    AppVitale.reset();
    const int Code = Core->Call("GetAppVitale", Quote(qrCode) + (CloseContext ? " close" : ""), "appvitale");
    if (Code == ERR_OK) AppVitale = std::make_shared<TFakeAppVitale>(Core, Root);
    return Code;
  }
  int CloseAppVitale() override { return Core->Call("CloseAppVitale", "", "appvitale"); }

  int PinCount() override {
    Core->Call("PinCount", "");
    return FTries;
  }
  int SetCode(std::string_view Code) override {
    Core->Progress("Vérification de la carte CPS...");
    const int Result = Core->Call("SetCode", "****");
    if (Result != ERR_OK) return Result;
    if (FTries == 0) return ERR_CARTE_BLOQUEE;
    if (Code != D().Pin) return --FTries == 0 ? ERR_CARTE_BLOQUEE : ERR_CODE_INVALIDE;
    FTries = D().PinTries;
    return ERR_OK;
  }
  int GetActivites(int& Count) override {
    Count = int(D().Activites.size());
    return Core->Call("GetActivites", "");
  }
  const TActivite* GetActivite(int Index) override {
    return Index >= 0 && size_t(Index) < D().Activites.size() ? &D().Activites[size_t(Index)] : nullptr;
  }
  int SelectActivite(int Index) override {
    const int Code = Core->Call("SelectActivite", std::to_string(Index), "parametres");
    if (Code != ERR_OK) return Code;
    if (!GetActivite(Index)) return ERR_INDEX;
    FSelected = Index;
    return ERR_OK;
  }
  int SelectedActivite() override { return FSelected; }

 private:
  std::string FServer;
  int FTries;
  int FSelected = -1;
  std::string FSignature;
  TINSiResponse FINSi{"", D().Dossier.Patient.INSi.Code, D().Dossier.Patient.INSi.OID, 'T',
                      D().Dossier.Patient.Identite.NomNaissance, D().Dossier.Patient.Identite.Prenom,
                      D().Dossier.Patient.Identite.Prenom, "F", D().Dossier.Patient.Identite.DateNaissance, "75111"};
};

class TFakeCRT : public TFakeCPS, public IVaspoCRT {
 public:
  using TFakeCPS::TFakeCPS;
  int LoadSignature(std::string_view Data, std::string_view Password) override {
    return Core->Call("LoadSignature", Bytes(Data) + " " + Masked(Password));
  }
  const TActivite* GetStructure() override { return FStructure ? &*FStructure : nullptr; }
  void SetStructure(std::string_view codeStruct, std::string_view idStruct, std::string_view RaisonSociale,
                    std::string_view numFacturation) override {
    Core->Call("SetStructure", std::string(idStruct));
    FStructure = TActivite{};
    FStructure->Entite.Code = codeStruct;
    FStructure->IdNational = idStruct;
    FStructure->RaisonSociale = RaisonSociale;
    FStructure->NumFacturation = numFacturation;
  }
  void SetPraticien(std::string_view IdNational, std::string_view, std::string_view, std::string_view,
                    std::string_view, std::string_view, std::string_view, std::string_view) override {
    Core->Call("SetPraticien", std::string(IdNational));
  }

 private:
  std::optional<TActivite> FStructure;
};

}  // namespace

// ---- Canned data ----

TFakeData TFakeData::Canned() {
  TFakeData D;
  D.Carte = {"CPS", "2800089831", 0x80, "20230101", "20291231"};  // a training card
  D.Porteur.TypeCarte = 0;
  D.Porteur.IdNational = "899700218896";
  D.Porteur.Civilite = {22, "Madame"};
  D.Porteur.Nom = "MEDECIN";
  D.Porteur.Prenom = "ANNE";
  D.Porteur.Profession = {"10", "Médecin", "1.2.250.1.71.1.2.7"};
  D.Porteur.Specialite = {"SM26", "Qualifié en Médecine Générale", "1.2.250.1.71.4.2.5"};
  TActivite Cabinet;
  Cabinet.Numero = 1;
  Cabinet.Entite = {"SA07", "Cabinet individuel", "1.2.250.1.71.4.2.4"};
  Cabinet.IdNational = "499700218896001";
  Cabinet.RaisonSociale = "CABINET DU DR MEDECIN";
  TActivite Centre;
  Centre.Numero = 2;
  Centre.Entite = {"SA05", "Centre de santé", "1.2.250.1.71.4.2.4"};
  Centre.IdNational = "1750000000";
  Centre.RaisonSociale = "CENTRE DE SANTE DES LILAS";
  D.Activites = {Cabinet, Centre};

  TPatientInfo& P = D.Dossier.Patient;
  P.INSi = {"279035121518989", 'T', "1.2.250.1.213.1.4.10"};
  P.Identite = {2, "DUPONT", "DUPONT", "MARIE", "15/03/1979", 'F'};
  D.Dossier.Autorisation = "VALIDE";
  D.Volet.Identite = P.Identite;
  D.Volet.Adresse = {"12 rue des Lilas", "", "75011", "PARIS", "FRANCE"};
  D.Volet.Telecom = {"", "0612345678", "marie.dupont@example.org"};

  D.Contents = {CdaSource, PdfSource, std::string(JpegHead, sizeof JpegHead - 1)};
  D.Documents = {DocumentInfo("Compte rendu de consultation", "XML", "11488-4", "1.2.250.1.999.1.1.1", D.Contents[0].size()),
                 DocumentInfo("Résultats de biologie", "PDF", "11502-2", "1.2.250.1.999.1.1.2", D.Contents[1].size()),
                 DocumentInfo("Radiographie du thorax", "JPEG", "18748-4", "1.2.250.1.999.1.1.3", D.Contents[2].size())};

  TPraticien Medecin;
  Medecin.IdNational = D.Porteur.IdNational;
  Medecin.Prenom = D.Porteur.Prenom;
  Medecin.Nom = D.Porteur.Nom;
  Medecin.Mode = "ACTIVE";
  Medecin.StatutMT = true;
  D.Praticiens = {Medecin};

  TBeneficiaire Assuree;
  Assuree.NomUsage = "DUPONT";
  Assuree.NomNaissance = "DUPONT";
  Assuree.Prenom = "MARIE";
  Assuree.DateNaissance = "15/03/1979";
  Assuree.Nir = "2790351215189";
  Assuree.NirCertifie = "279035121518989";
  Assuree.Qualite = 0;
  TBeneficiaire Enfant = Assuree;
  Enfant.Prenom = "LEA";
  Enfant.DateNaissance = "02/06/2015";
  Enfant.Qualite = 6;
  Enfant.NirCertifie = "";
  Enfant.RangDeNaissance = 1;
  D.Beneficiaires = {Assuree, Enfant};

  D.IdentitesAMO = {{"DUPONT", "DUPONT", "MARIE", 0, "15/03/1979", 0, "279035121518989", "2790351215189"},
                    {"DUPONT", "DUPONT", "LEA", 6, "02/06/2015", 1, "", "2790351215189"}};
  return D;
}

// ---- Shared state ----

void TFakeCore::Script(std::string_view Operation, TFakeAnswer Answer) {
  std::lock_guard Guard(Lock);
  FScript[std::string(Operation)].push_back(std::move(Answer));
}

std::vector<TFakeCall> TFakeCore::Calls() const {
  std::lock_guard Guard(Lock);
  return FCalls;
}

void TFakeCore::ClearCalls() {
  std::lock_guard Guard(Lock);
  FCalls.clear();
}

void TFakeCore::Progress(std::string_view Msg) {
  IVaspoLOG* Sink;
  ICarvelin* R;
  {
    std::lock_guard Guard(Lock);
    Sink = Logger;
    R = Root;
  }
  if (Sink && R) Sink->OnLog(*R, Msg);
}

void TFakeCore::Abort() {
  std::lock_guard Guard(Lock);
  FCalls.push_back({"AbortCalls", {}, std::this_thread::get_id()});
  FAborted = true;
  FAbortChanged.notify_all();
}

int TFakeCore::Call(std::string_view Name, std::string Args, std::string_view Service, std::string* Text) {
  std::optional<TFakeAnswer> Answer;
  {
    std::lock_guard Guard(Lock);
    FCalls.push_back({std::string(Name), std::move(Args), std::this_thread::get_id()});
    const auto Queue = FScript.find(Name);
    if (Queue != FScript.end() && !Queue->second.empty()) {
      Answer = std::move(Queue->second.front());
      Queue->second.pop_front();
    }
  }
  if (!Service.empty())
    Progress("Interrogation du DMP [https://" + Data.Server + "/si-dmp-server/v2/services/" + std::string(Service) +
             "]...");
  {
    std::unique_lock Guard(Lock);
    if (Answer && Answer->Delay.count() > 0) FAbortChanged.wait_for(Guard, Answer->Delay, [this] { return FAborted; });
    if (FAborted) {
      Error.SetError("WINSOCK Error #00002745 on function connect");
      return ERR_CONNEXION;
    }
  }
  if (Answer && Answer->Raise) throw std::runtime_error(Answer->Detail);
  const int Code = Answer ? Answer->Code : ERR_OK;
  {
    std::lock_guard Guard(Lock);
    Error.SetError(Answer ? Answer->Detail : std::string());
  }
  if (Code == ERR_OK && !Service.empty()) Progress("Décodage de la réponse du DMP...");
  if (Text && Answer && !Answer->Data.empty()) *Text = Answer->Data;
  return Code;
}

namespace {

// The stand-ins that read or make one object: the call is recorded with Args
// and, when it succeeds, Object is a fake over the canned data.
template <typename TFake, typename TInterface, typename... TMore>
int MakeObject(TFakeCarvelin& Root, std::string_view Name, std::string Args, std::shared_ptr<TInterface>& Object,
               TMore... More) {
  Object.reset();
  const int Code = Root.Core->Call(Name, std::move(Args));
  if (Code == ERR_OK) Object = std::make_shared<TFake>(Root.Core, Root.weak_from_this(), More...);
  return Code;
}

}  // namespace

// ---- Root ----

TFakeCarvelin::TFakeCarvelin(TFakeData Data) : Core(std::make_shared<TFakeCore>(std::move(Data))) {
  Core->Root = this;
}

TFakeCarvelin::~TFakeCarvelin() {
  std::lock_guard Guard(Core->Lock);
  Core->Root = nullptr;
  Core->Logger = nullptr;
}

std::string_view TFakeCarvelin::GetErrMsg(int ErrNo) {
  std::lock_guard Guard(Core->Lock);
  return Core->Error.GetErrMsg(ErrNo);
}

std::string TFakeCarvelin::GetErrDetail() {
  std::lock_guard Guard(Core->Lock);
  return Core->Error.GetErrDetail();
}

void TFakeCarvelin::SetLogger(IVaspoLOG* Logger) {
  std::lock_guard Guard(Core->Lock);
  Core->Logger = Logger;
}

int TFakeCarvelin::SetCryptoLib(std::string_view AFileName) { return Core->Call("SetCryptoLib", Quote(AFileName)); }
int TFakeCarvelin::SetApiLecture(std::string_view AFileName) { return Core->Call("SetApiLecture", Quote(AFileName)); }

int TFakeCarvelin::GetSlotCount(int& Count) {
  const int Code = Core->Call("GetSlotCount", "");
  Count = Code == ERR_OK ? 1 : 0;
  return Code;
}

int TFakeCarvelin::GetCPS(int Slot, std::shared_ptr<IVaspoCPS>& ACPS) {
  ACPS.reset();
  Core->Progress("Vérification de la carte CPS...");
  const int Code = Core->Call("GetCPS", std::to_string(Slot));
  if (Code != ERR_OK) return Code;
  if (Slot != 0) return ERR_CARTE_ABSENTE;
  FCPS = std::make_shared<TFakeCPS>(Core, weak_from_this());
  ACPS = FCPS;
  return ERR_OK;
}

std::shared_ptr<IVaspoCPS> TFakeCarvelin::GetActiveCPS() { return FCPS; }

int TFakeCarvelin::GetCSV(std::shared_ptr<IVaspoCSV>& CSV) {
  return MakeObject<TFakeVitale>(*this, "GetCSV", "", CSV);
}

int TFakeCarvelin::SetCSV(std::string_view XML, std::shared_ptr<IVaspoCSV>& CSV) {
  return MakeObject<TFakeVitale>(*this, "SetCSV", Bytes(XML), CSV);
}

void TFakeCarvelin::SetDMPUrl(std::string_view URL) { Core->Call("SetDMPUrl", Quote(URL)); }

int TFakeCarvelin::GetDMPUrl(TDMPUrl DMPUrl, std::string_view Param, std::string& URL) {
  URL = "https://" + Core->Data.Server + "/" + std::string(EnumText(DMPUrl)) + "?" + std::string(Param);
  return Core->Call("GetDMPUrl", std::string(EnumText(DMPUrl)), {}, &URL);
}

std::string TFakeCarvelin::GetDMPParams(std::string_view Mobile, std::string_view EMail, std::string_view,
                                        std::string_view, std::string_view, std::string_view, std::string_view) {
  return "mobile=" + std::string(Mobile) + "&email=" + std::string(EMail);
}

int TFakeCarvelin::LoadCertificat(std::string_view Data, std::string_view Password, std::shared_ptr<IVaspoCRT>& CRT) {
  CRT.reset();
  const int Result = Core->Call("LoadCertificat", Bytes(Data) + " " + Masked(Password));
  if (Result == ERR_OK) CRT = NewCertificateSession();
  return Result;
}

std::shared_ptr<IVaspoCRT> TFakeCarvelin::NewCertificateSession() {
  return std::make_shared<TFakeCRT>(Core, weak_from_this());
}

int TFakeCarvelin::xmlGetDossiers(std::string_view XML, std::shared_ptr<IDossierList>& List) {
  return MakeObject<TFakeDossierList>(*this, "xmlGetDossiers", Bytes(XML), List);
}

int TFakeCarvelin::xmlGetPatients(std::string_view XML, std::shared_ptr<IPatientList>& List) {
  return MakeObject<TFakePatientList>(*this, "xmlGetPatients", Bytes(XML), List);
}

int TFakeCarvelin::xmlDossierExiste(std::string_view XML, std::shared_ptr<IDossierMedical>& Dossier) {
  return MakeObject<TFakeDossier>(*this, "xmlDossierExiste", Bytes(XML), Dossier);
}

int TFakeCarvelin::xmlQueryDocuments(std::string_view XML, std::shared_ptr<IDocumentList>& List) {
  return MakeObject<TFakeDocumentList>(*this, "xmlQueryDocuments", Bytes(XML), List);
}

int TFakeCarvelin::xopGetDocument(std::string_view XOP, std::shared_ptr<IDocument>& Doc) {
  return MakeObject<TFakeDocument>(*this, "xopGetDocument", Bytes(XOP), Doc, 0);
}

int TFakeCarvelin::xmlLoadDocument(std::string_view xml, std::shared_ptr<IDocument>& Doc) {
  return MakeObject<TFakeDocument>(*this, "xmlLoadDocument", Bytes(xml), Doc, 0);
}

}  // namespace TestSupport
