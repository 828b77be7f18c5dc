// The CPS card session over Talven.eSante.CryptoLibV5: opening the card,
// its data objects and certificate subject, the environment, the PIN login,
// the activities and billing numbers, signatures, and the root's card check.
//
// Card data objects are DER read with TDERChunk: one context-specific
// constructed outer tag whose fields are primitive context-specific tags;
// unknown tags are skipped. Texts on the card are Windows-1252.
#include <cxxabi.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Objects.h"
#include "Talven.Carvelin.ValueSets.h"
#include "Vantrel.DER.Parser.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.Winapi.BCrypt.h"
#include "Vantrel.XML.XDSb.XAdES.h"

namespace Talven {

namespace {

constexpr std::string_view AuthLabel = "Certificat d'Authentification CPS";
constexpr std::string_view SignLabel = "Certificat de Signature CPS";
constexpr std::string_view SubjectRoles = "JDV_J65-SubjectRole-DMP.xml";
constexpr std::string_view AuthorSpecialties = "JDV_J56-AuthorSpecialty-DMP.xml";
constexpr std::string_view FacilityTypes = "JDV_J61-HealthcareFacilityTypeCode-DMP.xml";
constexpr std::string_view AuthorSpecialtyOID = "1.2.250.1.213.1.1.4.5";
constexpr std::string_view FacilityTypeOID = "1.2.250.1.71.4.2.4";
constexpr std::string_view PharmacistSectionOID = "1.2.250.1.71.4.2.6";
constexpr std::string_view SpecialityOID = "1.2.250.1.71.4.2.5";
constexpr int MaxActivities = 16;

// A standard module reports a locked PIN with CKR_PIN_LOCKED; the card's own
// module with its private value.
constexpr CK_RV P11_PIN_LOCKED = CKR_PIN_LOCKED;

// X.520 attribute types of the certificate subject (2.5.4.n).
enum : int { AttrCN = 3, AttrSurname = 4, AttrCountry = 6, AttrOrg = 10, AttrOU = 11, AttrTitle = 12, AttrGiven = 42 };

std::string CardText(Vantrel::TDERChunk& Field) { return Vantrel::Windows1252ToUTF8(Field.AsAnsiString()); }

// Calls Field for each field of a card data object whose outer tag is Tag.
template <class F>
void ForEachField(std::string_view Bytes, uint8_t Tag, F&& Field) {
  Vantrel::TDERChunk Object = Vantrel::TDERChunk::Init(Bytes);
  Object.EnterTag(Tag);
  while (!Object.Eof()) {
    Vantrel::TDERChunk Item;
    Object.GetChunk(Item);
    Field(Item);
  }
}

// The object's bytes; empty when the card has none or cannot give it.
std::string CardObject(TCarvelin& Root, std::string_view Name, bool Private) {
  try {
    return Root.CryptoLib.GetCPSData(Name, Private);
  } catch (const eSante::ECryptoLibError& E) {
    Root.Log(std::string(Name) + " : " + E.what());
    return {};
  }
}

std::string DERErrorText(std::string_view Name, const Vantrel::EDERError& E) {
  return std::string(Name) + " : " + E.what() + " (octet " + std::to_string(E.Offset) + ")";
}

// Reads a public card object into Fill; Missing when it is absent or malformed.
template <class F>
int ReadCardObject(TCarvelin& Root, std::string_view Name, uint8_t Tag, int Missing, F&& Fill) {
  const std::string Bytes = CardObject(Root, Name, false);
  if (Bytes.empty()) return Missing;
  try {
    ForEachField(Bytes, Tag, Fill);
  } catch (const Vantrel::EDERError& E) {
    Root.FError.SetError(DERErrorText(Name, E));
    return Missing;
  }
  return ERR_OK;
}

int ReadIdCard(TCarvelin& Root, TCarte& Carte) {
  return ReadCardObject(Root, "CPS_ID_CARD", 0xE3, ERR_INFOS_CARTE, [&](Vantrel::TDERChunk& F) {
    switch (F.Tag()) {
      case 0x80: Carte.Emetteur = F.AsBCD(); break;
      case 0x81: Carte.IdCarte = F.AsBCD(); break;
      case 0x82: Carte.Categorie = F.AsByte(); break;
      case 0x83: Carte.DebutValidite = F.AsBCD(); break;
      case 0x84: Carte.FinValidite = F.AsBCD(); break;
      default: break;
    }
  });
}

int ReadNamePS(TCarvelin& Root, TPorteur& Porteur) {
  return ReadCardObject(Root, "CPS_NAME_PS", 0xE4, ERR_NOM_PORTEUR, [&](Vantrel::TDERChunk& F) {
    switch (F.Tag()) {
      case 0x80: Porteur.Civilite.Code = F.AsByte(); break;
      case 0x81: Porteur.NomNaissance = CardText(F); break;
      case 0x84: Porteur.Prenom = CardText(F); break;
      default: break;
    }
  });
}

int ReadInfoPS(TCarvelin& Root, TPorteur& Porteur) {
  return ReadCardObject(Root, "CPS_INFO_PS", 0xED, ERR_INFOS_PORTEUR, [&](Vantrel::TDERChunk& F) {
    switch (F.Tag()) {
      case 0x80: Porteur.TypeCarte = F.AsByte(); break;
      case 0x81: Porteur.IdNational = CardText(F); break;
      case 0x82: Porteur.Profession.Code = std::to_string(F.AsByte()); break;
      case 0x84: Porteur.Nom = CardText(F); break;
      case 0x85: Porteur.Specialite.Code = CardText(F); break;
      default: break;
    }
  });
}

void ReadActivity(std::string_view Bytes, TActivite& A) {
  ForEachField(Bytes, 0xEE, [&](Vantrel::TDERChunk& F) {
    switch (F.Tag()) {
      case 0x81: A.Statut = F.AsByte(); break;
      case 0x82: A.Pharmacien.Code = CardText(F); break;
      case 0x83: A.Numero = F.AsByte(); break;
      case 0x84: A.RaisonSociale = CardText(F); break;
      case 0x85: A.IdNational = CardText(F); break;
      case 0x86: A.Entite.Code = CardText(F); break;
      default: break;
    }
  });
}

// "yyyymmdd" as midnight of that day; 0 for any other text.
Vantrel::TDateTime CardDate(std::string_view Text) {
  if (Text.size() != 8 || !std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; }))
    return 0;
  auto Number = [Text](size_t At, size_t Length) { return std::atoi(std::string(Text.substr(At, Length)).c_str()); };
  Vantrel::TDateTime Date = 0;
  return Vantrel::TryEncodeDate(Number(0, 4), Number(4, 2), Number(6, 2), Date) ? Date : 0;
}

// ISO 8859-1 bytes (T61String as the card issuers write it) to UTF-8.
std::string Latin1ToUTF8(std::string_view Bytes) {
  std::string Text;
  for (unsigned char C : Bytes) Vantrel::AppendUTF8(Text, C);
  return Text;
}

// The class name of an exception, without its namespace.
std::string ClassName(const std::exception& E) {
  const char* Mangled = typeid(E).name();
  int Status = 0;
  std::unique_ptr<char, decltype(&std::free)> Demangled(abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status),
                                                        &std::free);
  const std::string Name = Status == 0 && Demangled ? Demangled.get() : Mangled;
  const size_t Colon = Name.rfind("::");
  return Colon == std::string::npos ? Name : Name.substr(Colon + 2);
}

std::string WithoutTrailingSlashes(std::string Text) {
  while (!Text.empty() && Text.back() == '/') Text.pop_back();
  return Text;
}

bool IsTraining(const TCarte& Carte) { return (Carte.Categorie & 0x80) != 0; }

// The subject's attributes, walked depth first through its sets and sequences.
void WalkSubject(Vantrel::TDERChunk& Level, int& Current, std::string (&Values)[43]) {
  while (!Level.Eof()) {
    Vantrel::TDERChunk Item;
    Level.GetChunk(Item);
    switch (Item.Tag()) {
      case 0x30:
      case 0x31: WalkSubject(Item, Current, Values); break;
      case 0x06: {
        const std::string OID = Item.AsOID();
        constexpr std::string_view Arc = "2.5.4.";
        Current = -1;
        if (OID.size() > Arc.size() && OID.compare(0, Arc.size(), Arc) == 0) {
          int N = -1;
          const char* End = OID.data() + OID.size();
          auto R = std::from_chars(OID.data() + Arc.size(), End, N);
          if (R.ec == std::errc() && R.ptr == End && N >= 0 && N <= 42) Current = N;
        }
        break;
      }
      case 0x0C:  // UTF8String
      case 0x13:  // PrintableString
        if (Current >= 0) Values[Current] = Item.AsUTF8String();
        break;
      case 0x14:  // T61String
        if (Current >= 0) Values[Current] = Latin1ToUTF8(Item.Data());
        break;
      default: break;
    }
  }
}

}  // namespace

std::string NormalizePersonName(std::string_view Text) {
  auto Allowed = [](char16_t C) {
    return (C >= u'A' && C <= u'Z') || (C >= u'a' && C <= u'z') || (C >= u'0' && C <= u'9') || C == u' ' ||
           C == u'\'' || C == u'-' || (C >= 0xC0 && C <= 0xCF) || C == 0xE0 || (C >= 0xE8 && C <= 0xEA) ||
           C == 0xEE || C == 0xEF || C == 0xF4 || C == 0xF6 || C == 0xF9;
  };
  std::u16string Name;
  for (char16_t C : Vantrel::UTF8ToUTF16(Text)) {
    if (C >= 0xDC00 && C <= 0xDFFF) continue;  // the second half of a pair already gave its hyphen
    Name += Allowed(C) ? C : u'-';
  }
  return Vantrel::UTF16ToUTF8(Name);
}

// ---- Root operations ----

int TCarvelin::GetSlotCount(int& Count) {
  FError.Clear();
  if (!CryptoLib.Loaded()) {
    Log("Chargement de la CryptoLibV5...");
    if (!CryptoLib.Init(nullptr)) {
      FError.SetError(CryptoLib.LastLoadError());
      return ERR_CPS;
    }
  }
  Log("Détection du lecteur...");
  const int Cards = CryptoLib.CheckTokens();
  if (Cards > 0) {
    Count = Cards;
    return ERR_OK;
  }
  Log("Détection de la carte CPS...");
  return CryptoLib.FSlotCount > 0 ? ERR_CARTE_ABSENTE : ERR_LECTEUR_ABSENT;
}

bool TCarvelin::OpenCardSession(int Slot) {
  if (CryptoLib.OpenSession(Slot)) return true;
  // Some modules keep the slots and cards they saw when initialised, so a
  // card put back stays unusable until the module starts again.
  Log("Réinitialisation de la CryptoLibV5...");
  return CryptoLib.Reinitialize() && CryptoLib.CheckTokens() > Slot && CryptoLib.OpenSession(Slot);
}

int TCarvelin::GetCPS(int Slot, std::shared_ptr<IVaspoCPS>& CPS) {
  CPS.reset();
  UnlinkSession();
  int Count = 0;
  if (const int Code = GetSlotCount(Count)) return Code;
  if (Slot < 0 || Slot >= Count) {
    FError.SetError("Numéro de Slot invalide");
    return ERR_INDEX;
  }
  Log("Ouverture de session...");
  if (!OpenCardSession(Slot)) return ERR_SESSION_CPS;
  eSante::TCertificat AuthCert, SignCert;
  Log("Chargement du certificat d'authentification...");
  bool Found = CryptoLib.searchCertificat(AuthLabel, AuthCert) == CKR_OK;
  if (Found) {
    Log("Chargement du certificat de signature...");
    Found = CryptoLib.searchCertificat(SignLabel, SignCert) == CKR_OK;
  }
  if (!Found) {
    CryptoLib.CloseSession();
    return ERR_CERTIFICAT_CPS;
  }

  // From here the session is linked; leaving without it frees it, which
  // unlinks it and closes the module session.
  auto Session = std::make_shared<TVaspoCPS>();
  VaspoCNX = Session.get();
  Session->DMP = this;
  try {
    Session->SetAuthCertificate(AuthCert);
  } catch (const Vantrel::EDERError& E) {
    FError.SetError(DERErrorText(AuthLabel, E));
    return ERR_CERTIFICAT_CPS;
  }
  Session->Sign = SignCert;
  Session->Cert = SignCert.DER;
  TCPSInfo& Info = Session->Info;
  Log("Lecture des informations sur le porteur de carte...");
  if (const int Code = ReadNamePS(*this, Info.Porteur)) return Code;
  Log("Lecture des informations de la carte CPS...");
  if (const int Code = ReadIdCard(*this, Info.Carte)) return Code;
  // Midnight of the end date: a card is refused on its last day too.
  const Vantrel::TDateTime End = CardDate(Info.Carte.FinValidite);
  if (Clock() > End) {
    FError.SetError("La carte de " + Info.Porteur.NomNaissance + " " + Info.Porteur.Prenom + " (" +
                    Info.Carte.IdCarte + ") a expiré le " + Vantrel::FormatDateTime("dd/mm/yyyy", End));
    return ERR_CPS_EXPIREE;
  }
  Session->SetEnvironment();
  Log("Lecture des informations sur la profession...");
  if (const int Code = ReadInfoPS(*this, Info.Porteur)) return Code;
  try {
    Session->CompletePorteur();
    Session->LPS_OID = Info.LPS_OID = InstanceOID();
  } catch (const std::exception& E) {
    FError.SetError(E.what());
    return ERR_EXCEPTION;
  }
  CPS = Session;
  return ERR_OK;
}

std::shared_ptr<IVaspoCPS> TCarvelin::GetActiveCPS() {
  auto* Session = dynamic_cast<TVaspoCPS*>(VaspoCNX);
  return Session ? Session->weak_from_this().lock() : nullptr;
}

bool TCarvelin::CheckCardSession() {
  auto* Session = dynamic_cast<TVaspoCPS*>(VaspoCNX);
  if (!Session) return false;
  const CK_RV Event = CryptoLib.CheckSession(false);
  // An event on the session's own slot still leaves a usable card.
  if (Event == eSante::P11_OK || Event == eSante::P11_SESSION_CLOSED) return true;
  if (Event != eSante::P11_NOT_INITIALIZED) return false;

  // The module lost its initialisation (reader reset, card pulled out):
  // take the first card again if it is the same one.
  if (!CryptoLib.Reset() || CryptoLib.CheckTokens() < 1 || !CryptoLib.OpenSession(0)) return false;
  TCarte Card;
  const TCarte& Known = Session->Info.Carte;
  if (ReadIdCard(*this, Card) != ERR_OK || Card.IdCarte != Known.IdCarte ||
      Card.DebutValidite != Known.DebutValidite) {
    // Another card: its session must not serve this one.
    CryptoLib.CloseSession();
    return false;
  }
  if (!Session->CodePin().empty() && CryptoLib.Login(Session->CodePin().c_str())) {
    Session->FActive = true;
    return true;
  }
  // The session stays open but inactive: its calls answer ERR_SESSION until
  // the PIN is typed again.
  Session->ClearCodePin();
  Session->FActive = false;
  return false;
}

// ---- TVaspoCPS ----

TVaspoCPS::~TVaspoCPS() { ClearCodePin(); }

void TVaspoCPS::ClearCodePin() { Vantrel::WipeBytes(FCodePin); }

void TVaspoCPS::KeepCodePin(std::string_view Code) {
  ClearCodePin();
  FCodePin = Code;
}

void TVaspoCPS::SetAuthCertificate(const eSante::TCertificat& Certificate) {
  Auth = Certificate;
  Vantrel::TDERChunk Walk = Vantrel::TDERChunk::Init(Auth.DER);
  Walk.EnterTag(0x30);  // Certificate
  Walk.EnterTag(0x30);  // TBSCertificate
  Vantrel::TDERChunk Item;
  Walk.GetChunk(Item);
  if (Item.Tag() == 0xA0) Walk.GetChunk(Item);  // [0] version, then the serial number
  for (int Skipped = 0; Skipped < 3; ++Skipped) Walk.GetChunk(Item);  // signature, issuer, validity
  Walk.GetChunk(Item);                                                // subject
  if (Item.Tag() != 0x30) throw Vantrel::EDERError("Expected Tag 48 not found", Item.Offset());
  std::string Values[43];
  int Current = -1;
  WalkSubject(Item, Current, Values);

  Info.CN = Values[AttrCN];
  Info.Org = Values[AttrOrg];
  Info.DN.clear();
  if (!Info.CN.empty()) {
    const std::pair<std::string_view, int> Parts[] = {{"CN", AttrCN},   {"SURNAME", AttrSurname}, {"GIVENNAME", AttrGiven},
                                                      {"T", AttrTitle}, {"OU", AttrOU},           {"O", AttrOrg},
                                                      {"C", AttrCountry}};
    for (const auto& [Key, Index] : Parts) {
      if (Values[Index].empty()) continue;
      if (!Info.DN.empty()) Info.DN += " + ";
      Info.DN += std::string(Key) + "=" + Values[Index];
    }
  }
  const std::string& Title = Values[AttrTitle];
  Info.Anonym = (Values[AttrSurname].empty() && Values[AttrGiven].empty()) ||
                Title == "Carte de service santé ou social" || Title == "Carte de service autorisée";
}

int TVaspoCPS::SetEnvironment() {
  Info.LPS_Version = "2.6";
  Info.LPS_ID_HOMOLOGATION_DMP = "R7QJWNZX-LBFTUVGE";
  Info.LPS_ID = "2024.09.05-08.01";
  Info.LPS_Nom = "CARVELIN";
  const bool Training = IsTraining(Info.Carte);
  const THostsEnvironment Hosts = HostsConfig().Environment(Training);
  Info.DMP_Server = Hosts.DMP_Server;
  Info.AccesWeb = WithoutTrailingSlashes(Hosts.WebAccessBase());
  if (Training) Info.AccesWeb += "/ps/acces-web/";
  Info.ProcessingCode = Training ? "D" : "P";
  return ERR_OK;
}

void TVaspoCPS::CompletePorteur() {
  TPorteur& P = Info.Porteur;
  P.Civilite.Nom = CiviliteLibelle(P.Civilite.Code);
  if (P.TypeCarte == 2) {
    if (Info.Anonym) {
      P.Nom = NormalizePersonName(Info.Org);
      P.Prenom = NormalizePersonName(Info.CN);
    }
    P.Profession.Code = "SECRETARIAT_MEDICAL";
    P.Profession.OID = "1.2.250.1.213.1.1.4.6";
  } else if (P.TypeCarte == 1) {
    P.Profession.OID = "1.2.250.1.71.1.2.8";
  } else {
    P.Profession.OID = "1.2.250.1.71.1.2.7";
    if (!P.Specialite.Code.empty()) {
      P.Specialite.OID = SpecialityOID;
      P.Entite.Code = "G15_" + P.Profession.Code + "/" + P.Specialite.Code;
      P.Entite.OID = SpecialityOID;
    }
  }
  TResourceXML Roles;
  Roles.LoadFile(std::string(SubjectRoles));
  P.Profession.Nom = Roles.GetLibelle(P.Profession.Code, P.Profession.OID);
  if (!P.Specialite.Code.empty()) P.Specialite.Nom = Roles.GetLibelle(P.Specialite.Code, P.Specialite.OID);
  if (!P.Entite.Code.empty()) {
    TResourceXML Specialties;
    Specialties.LoadFile(std::string(AuthorSpecialties));
    P.Entite.OID = AuthorSpecialtyOID;
    P.Entite.Nom = Specialties.GetLibelle(P.Entite.Code, P.Entite.OID);
  }
}

int TVaspoCPS::CardEnvironmentMismatch() {
  const bool OnProduction = Vantrel::SameText(Info.DMP_Server, HostsConfig().Production.DMP_Server);
  const bool Training = IsTraining(Info.Carte);
  if (!OnProduction && !Training) return ERR_CPS_REELLE;
  if (OnProduction && Training) return ERR_CPS_TEST;
  return ERR_OK;
}

bool TVaspoCPS::CheckCard() { return DMP && DMP->CheckCardSession(); }

std::string TVaspoCPS::SignDigestInfo(std::string_view DigestInfo) {
  std::string Signature;
  if (!DMP || DMP->CryptoLib.Sign(Auth, DigestInfo.data(), DigestInfo.size(), Signature) != CKR_OK) return {};
  return Signature;
}

int TVaspoCPS::SignData(std::string_view Data, std::string& Digest) {
  Digest.clear();
  if (const int Code = CheckActive()) return Code;
  // The callers hand a bare digest, as every signer of this program takes it.
  const bool IsDigest = Data.size() == 20 || Data.size() == 32 || Data.size() == 48;
  const std::string Input = IsDigest ? Vantrel::PKCS1DigestInfo(Data) : std::string(Data);
  std::string Signature;
  CK_RV Result = DMP->CryptoLib.Sign(Sign, Input.data(), Input.size(), Signature);
  if (Result == eSante::P11_NOT_INITIALIZED && DMP->CheckCardSession())
    Result = DMP->CryptoLib.Sign(Sign, Input.data(), Input.size(), Signature);
  if (Result != CKR_OK) {
    DMP->FError.SetError("Erreur de signature #" + std::to_string(Result));
    return ERR_CRYPTOLIB;
  }
  Digest = Vantrel::Base64Encode(Signature);
  return ERR_OK;
}

int TVaspoCPS::PinCount() {
  return DMP && DMP->VaspoCNX == this ? DMP->CryptoLib.GetPinCount() : eSante::PIN_COUNT_NO_SESSION;
}

int TVaspoCPS::SetCode(std::string_view Code) {
  if (!DMP || DMP->VaspoCNX != this) return ERR_SESSION;
  std::string Pin(Code);
  eSante::TCryptoLibV5& Card = DMP->CryptoLib;
  bool LoggedIn = Card.Login(Pin.c_str());
  // A card already logged in checks no code: the one it accepted is the
  // judge, else the card after a log-out. Only a code the card accepted is kept.
  if (LoggedIn && Card.FError == CKR_USER_ALREADY_LOGGED_IN) {
    if (FCodePin.empty()) {
      Card.Logout();
      LoggedIn = Card.Login(Pin.c_str()) && Card.FError == CKR_OK;
    } else if (!Vantrel::ConstantTimeEqual(Pin, FCodePin)) {
      Vantrel::WipeBytes(Pin);
      FActive = false;
      return ERR_CODE_INVALIDE;
    }
  }
  if (!LoggedIn) {
    Vantrel::WipeBytes(Pin);
    FActive = false;
    switch (Card.FError) {
      case eSante::P11_SESSION_CLOSED: return ERR_SESSION;
      case eSante::P11_CARD_LOCKED:
      case P11_PIN_LOCKED: return ERR_CARTE_BLOQUEE;
      default: return ERR_CODE_INVALIDE;
    }
  }
  KeepCodePin(Pin);
  Vantrel::WipeBytes(Pin);
  FActive = true;
  Info.ActCount = -1;
  try {
    DMP->LoadDmpParameters();
  } catch (const std::exception& E) {
    DMP->FError.SetError(std::string(E.what()) + " (" + ClassName(E) + ")");
    return -1;
  }
  return ERR_OK;
}

int TVaspoCPS::GetActivites(int& Count) {
  if (const int Code = CheckActive()) return Code;
  if (Info.ActCount < 0)
    if (const int Code = ReadActivites()) return Code;
  Count = Info.ActCount;
  return ERR_OK;
}

const TActivite* TVaspoCPS::GetActivite(int Index) {
  return Index >= 0 && Index < Info.ActCount ? &Info.Activites[size_t(Index)] : nullptr;
}

int TVaspoCPS::SelectActivite(int Index) {
  if (Index < 0 || Index >= Info.ActCount) return ERR_INDEX;
  Info.ActIndex = Index;
  return ERR_OK;
}

int TVaspoCPS::ReadActivites() {
  Info.ActCount = 0;
  if (!DMP || DMP->VaspoCNX != this) return ERR_SESSION;
  DMP->Log("Lecture des secteurs d'activité...");
  for (int N = 1; N <= MaxActivities; ++N) {
    const std::string Name = std::string("CPS_ACTIVITY_") + char('0' + N / 10) + char('0' + N % 10) + "_PS";
    const std::string Bytes = CardObject(*DMP, Name, true);
    if (Bytes.empty()) continue;
    TActivite Activite;
    try {
      ReadActivity(Bytes, Activite);
    } catch (const Vantrel::EDERError& E) {
      DMP->Log(DERErrorText(Name, E));
      continue;
    }
    Info.Activites[size_t(Info.ActCount++)] = std::move(Activite);
  }
  if (Info.ActCount > 0) {
    const std::span<TActivite> Read(Info.Activites.data(), size_t(Info.ActCount));
    TResourceXML Facilities;
    Facilities.LoadFile(std::string(FacilityTypes));
    for (TActivite& A : Read) {
      if (A.Entite.Code.empty()) continue;
      A.Entite.Nom = Facilities.GetLibelle(A.Entite.Code, FacilityTypeOID);
      A.Entite.OID = FacilityTypeOID;
    }
    if (std::any_of(Read.begin(), Read.end(), [](const TActivite& A) { return !A.Pharmacien.Code.empty(); })) {
      TResourceXML Roles, Specialties;
      Roles.LoadFile(std::string(SubjectRoles));
      TEntite& Entite = Info.Porteur.Entite;
      const bool TakeEntite = Entite.Code.empty();
      if (TakeEntite) Specialties.LoadFile(std::string(AuthorSpecialties));
      for (TActivite& A : Read) {
        if (A.Pharmacien.Code.empty()) continue;
        A.Pharmacien.Nom = Roles.GetLibelle(A.Pharmacien.Code, PharmacistSectionOID);
        A.Pharmacien.OID = PharmacistSectionOID;
        if (!TakeEntite) continue;
        Entite.Code = "G15_21/" + A.Pharmacien.Code;
        Entite.OID = AuthorSpecialtyOID;
        Entite.Nom = Specialties.GetLibelle(Entite.Code, Entite.OID);
      }
    }
  }
  DMP->Log("Lecture des informations de facturation...");
  LoadBillingNumbers();
  return ERR_OK;
}

void TVaspoCPS::LoadBillingNumbers() {
  if (Info.ActCount <= 0) return;
  const std::string Bytes = CardObject(*DMP, "CPS_SIT_FACT", true);
  if (Bytes.empty()) return;
  try {
    // Each child of the outer tag is one situation, whatever its tag.
    ForEachField(Bytes, 0xE0, [&](Vantrel::TDERChunk& Situation) {
      std::string Logical, Billing;
      while (!Situation.Eof()) {
        Vantrel::TDERChunk F;
        Situation.GetChunk(F);
        if (F.Tag() == 0x80) Logical = F.AsBCD();
        if (F.Tag() == 0x81) Billing = F.AsBCD();
      }
      int Number = 0;
      const char* End = Logical.data() + Logical.size();
      const auto R = std::from_chars(Logical.data(), End, Number);
      if (Billing.size() != 10 || Billing[0] != '2' || Logical.empty() || R.ec != std::errc() || R.ptr != End) return;
      for (TActivite& A : std::span<TActivite>(Info.Activites.data(), size_t(Info.ActCount)))
        if (A.Numero == Number) A.NumFacturation = Billing.substr(1);
    });
  } catch (const Vantrel::EDERError& E) {
    DMP->Log(DERErrorText("CPS_SIT_FACT", E));
  }
}

}  // namespace Talven
