// The Vitale card: the process's reader library, the card object made from
// a reading or from the caller's XML, and the identity search with the card.
//
// One reader record serves the whole process. The job thread and the local
// REST server's threads both reach it, so every use holds its lock; the
// record is never destroyed, so that nothing calls into the library while
// the process exits.
#include <algorithm>
#include <mutex>
#include <string>

#include "Talven.Carvelin.Objects.h"
#include "Vantrel.UTF8.Utils.h"

namespace Talven {

namespace {

std::mutex& ReaderLock() {
  static std::mutex Lock;
  return Lock;
}

eSante::TAPI_LEC& Reader() {
  static eSante::TAPI_LEC& Api = *new eSante::TAPI_LEC;
  return Api;
}

// Loads the library and opens a reader session for its folder; the caller
// holds the reader's lock.
int OpenReader(eSante::TAPI_LEC& Api, const std::string& FileName, TLastError& Error) {
  if (!Api.Load(FileName)) {
    Error.SetError(FileName);
    return ERR_VITALE;
  }
  if (!Api.Init("")) {
    Error.SetError(Api.ErrorMessage());
    Api.Unload();
    return ERR_API_LECTURE;
  }
  return ERR_OK;
}

TBeneficiaire InterfaceForm(const eSante::TBeneficiaire& B) {
  return {B.NomUsage,    B.NomNaissance, B.Prenom,  B.DateEnCarte,      B.DateNaissance, B.Nir,
          B.NirCertifie, B.Qualite,      B.Adresse, B.RangDeNaissance, B.MedecinTraitant, B.INSNIR};
}

std::string INSiName(std::string_view Name) { return Vantrel::NormalizeINSiName(Vantrel::UTF8ToUTF16(Name)); }

}  // namespace

// ---- Root ----

int TCarvelin::SetApiLecture(std::string_view AFileName) {
  FError.Clear();
  std::lock_guard Lock(ReaderLock());
  return OpenReader(Reader(), std::string(AFileName), FError);
}

int TCarvelin::GetCSV(std::shared_ptr<IVaspoCSV>& CSV) {
  FError.Clear();
  CSV.reset();
  std::string XML;
  const int Code = ReadVitale(XML);
  if (Code == ERR_OK) CSV = VaspoCSV;
  return Code;
}

int TCarvelin::SetCSV(std::string_view XML, std::shared_ptr<IVaspoCSV>& CSV) {
  FError.Clear();
  CSV.reset();
  const int Code = NewCSV(XML);
  if (Code == ERR_OK) CSV = VaspoCSV;
  return Code;
}

int TCarvelin::ReadVitale(std::string& XML) {
  XML.clear();
  uint16_t CardType;
  {
    std::lock_guard Lock(ReaderLock());
    eSante::TAPI_LEC& Api = Reader();
    if (!Api.Loaded()) {
      Log("Chargement de l'API de lecteur...");
      const std::string& Library = eSante::TAPI_LEC::DefaultLocation();
      if (Library.empty()) {
        FError.SetError("Aucun emplacement par défaut pour l'API de lecture : ni XDG_DATA_HOME ni HOME ne "
                        "désignent un dossier");
        return ERR_VITALE;
      }
      if (const int Code = OpenReader(Api, Library, FError)) return Code;
    }
    // Detection is part of the reading: the library tells a missing card there.
    Log("Détection de la carte Vitale...");
    Log("Lecture de la carte Vitale...");
    if (!Api.LoadVitale(XML)) {
      FError.SetError(Api.ErrorMessage());
      return ERR_LECTURE_VITALE;
    }
    CardType = Api.Card();
  }
  // The library writes text: a length reported past it brings the buffer's zero bytes.
  XML.resize(std::min(XML.size(), XML.find('\0')));
  const int Code = NewCSV(XML);
  if (Code == ERR_OK) VaspoCSV->Card = CardType;
  return Code;
}

int TCarvelin::NewCSV(std::string_view XML) {
  VaspoCSV.reset();
  if (XML.size() > MaxCardXML) {
    FError.SetError("Données de la carte Vitale trop volumineuses (" + std::to_string(XML.size()) + " octets)");
    return ERR_CONTENU_VITALE;
  }
  try {
    VaspoCSV = std::make_shared<TVaspoCSV>(shared_from_this(), XML, Clock());
  } catch (const Vantrel::EXMLError& E) {
    FError.SetError(Objects::XMLErrorText(E));
    return ERR_CONTENU_VITALE;
  } catch (const std::exception& E) {
    FError.SetError(E.what());
    return ERR_CONTENU_VITALE;
  }
  return ERR_OK;
}

// ---- Card ----

TVaspoCSV::TVaspoCSV(const std::shared_ptr<TCarvelin>& DMP, std::string_view Text, Vantrel::TDateTime Today)
    : TDMPLink(DMP), XML(Text) {
  DATA.Parse(XML, Today);
  for (const eSante::TBeneficiaire& B : DATA.listeBenef) FBeneficiaires.push_back(InterfaceForm(B));
}

const eSante::TBeneficiaire* TVaspoCSV::Selected() const {
  return Benef >= 0 && size_t(Benef) < DATA.listeBenef.size() ? &DATA.listeBenef[size_t(Benef)] : nullptr;
}

int TVaspoCSV::CheckEnv(std::shared_ptr<TCarvelin>& DMP) {
  DMP = Root();
  if (!DMP || DMP->VaspoCSV.get() != this || !DMP->VaspoCNX || DMP->VaspoCNX->CheckActive() != ERR_OK)
    return ERR_SESSION;
  const bool TrainingCPS = (DMP->VaspoCNX->Info.Carte.Categorie & 0x80) != 0;
  if (TrainingCPS && Card == 0) return ERR_VITALE_REELLE;
  if (!TrainingCPS && Card != 0) return ERR_VITALE_TEST;
  return ERR_OK;
}

int TVaspoCSV::GetXML(std::string_view& Text) {
  Text = XML;
  return int(XML.size());
}

const TBeneficiaire* TVaspoCSV::GetBeneficiaire(int Index) {
  return Index >= 0 && size_t(Index) < FBeneficiaires.size() ? &FBeneficiaires[size_t(Index)] : nullptr;
}

int TVaspoCSV::SelectionBeneficiaire(int Index) {
  if (!GetBeneficiaire(Index)) return ERR_INDEX;
  Benef = Index;
  return ERR_OK;
}

std::string TVaspoCSV::GetINS() {
  const eSante::TBeneficiaire* B = Selected();
  if (!B || B->INSNIR.empty()) return {};
  INSNIR = B->INSNIR;
  return INSNIR;
}

const TAdresse* TVaspoCSV::GetAdresse() {
  const eSante::TBeneficiaire* B = Selected();
  if (!B) return nullptr;
  Adr.Adresse = B->Adresse2();
  Adr.Complement = B->Adresse1();
  Adr.CodePostal = B->CodePostal();
  Adr.Ville = B->Ville();
  return &Adr;
}

int TVaspoCSV::DossierExiste(std::shared_ptr<IDossierMedical>& Dossier) {
  Dossier.reset();
  std::shared_ptr<TCarvelin> DMP;
  if (const int Code = CheckEnv(DMP)) return Code;
  // The card reading gives no INS: the teleservice does (rechercherInsAvecCarteVitale).
  if (GetINS().empty()) return ERR_INS_PATIENT;
  return DMP->VaspoCNX->DossierExiste(Certif.nirIndividu, 'N', Dossier);
}

int TVaspoCSV::rechercherInsAvecCarteVitale(const TINSiResponse*& INSiResponse) {
  INSiResponse = nullptr;
  const std::shared_ptr<TCarvelin> DMP = Root();
  if (!DMP || !DMP->VaspoCNX) return ERR_SESSION;
  DMP->FError.Clear();
  const eSante::TBeneficiaire* B = Selected();
  if (!B) {
    DMP->FError.SetError("Aucun bénéficiaire sélectionné sur la carte Vitale");
    return ERR_INDEX;
  }
  TVaspoCNX& Session = *DMP->VaspoCNX;
  Vantrel::TINSiRequest Request;
  if (const int Code = Session.PrepareINSi(Request)) return Code;
  const Vantrel::TINSiBeneficiaire Beneficiaire{B->Nir, B->NirCertifie, B->naissance, B->BirthDate,
                                                B->RangDeNaissance};
  auto Search = [&](const std::string& Name) {
    return Session.SendINSi(Request, Request.rechercherInsAvecCarteVitale(DATA.numSerie, Beneficiaire, Name),
                            FINSi);
  };
  const std::string BirthName = INSiName(B->NomNaissance), UsageName = INSiName(B->NomUsage);
  int Code = Search(BirthName);
  // Nobody or several people under the birth name: the usage name may tell.
  if ((Code == ERR_INSI || Code == ERR_INSI_MULTIPLE) && !UsageName.empty() && UsageName != BirthName)
    Code = Search(UsageName);
  if (Code == ERR_OK) INSiResponse = &FINSi;
  return Code;
}

int TVaspoCSV::Verify() {
  // The reading replaces the root's current card, which may be this one.
  const std::shared_ptr<TVaspoCSV> Self = shared_from_this();
  const std::shared_ptr<TCarvelin> DMP = Root();
  if (!DMP) return ERR_SESSION;
  DMP->FError.Clear();
  std::string Read;
  const int Code = DMP->ReadVitale(Read);
  return Code == ERR_OK && Read != XML ? ERR_CHANGEMENT_CARTE : Code;
}

}  // namespace Talven
