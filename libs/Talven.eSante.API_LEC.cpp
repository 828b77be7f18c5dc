#include "Talven.eSante.API_LEC.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>

#include "Vantrel.SysUtils.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.Tree.h"

namespace Talven::eSante {

namespace {

const Vantrel::TFileVersion MinimumVersion = {6, 2, 1, 0};

template <typename T>
bool FindEntry(void* Handle, const char* Name, T& Entry) {
  Entry = reinterpret_cast<T>(dlsym(Handle, Name));
  return Entry != nullptr;
}

}  // namespace

const std::string& TAPI_LEC::DefaultLocation() {
  // Without a data folder there is no default: a path at the root of the
  // file system would load whatever library stands there.
  static const std::string Location = [] {
    const std::string Folder = Vantrel::UserDataFolder();
    return Folder.empty() ? Folder : Folder + "/santesocial/DMP/libapi_lec.so";
  }();
  return Location;
}

void TAPI_LEC::CloseLibrary() {
  if (FHandle) dlclose(FHandle);
  FHandle = nullptr;
  FLibrary.clear();
  Lec_OuvertureSessionVitale = nullptr;
  Lec_IntroductionMstVitale = nullptr;
  Lec_RetraitMhtVitale = nullptr;
  Lec_FermetureSessionVitale = nullptr;
  Lec_LectureVitale = nullptr;
}

bool TAPI_LEC::Load(const std::string& AFileName) {
  if (FLibrary.empty()) {
    CloseLibrary();
    FPath.clear();
    FError = FErrorCode = FCard = FSession = 0;
    FAppName.clear();
  } else if (FLibrary != AFileName) {
    Unload();
  }
  if (FHandle) return true;
  FLibrary = AFileName;
  if (FLibrary.empty()) return false;
  Vantrel::TFileVersion Version;
  if (!Vantrel::LibraryFileVersion(FLibrary, Version) || Version < MinimumVersion) {
    FLibrary.clear();
    return false;
  }
  FHandle = dlopen(FLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  const bool Found = FHandle && FindEntry(FHandle, "Lec_OuvertureSessionVitale", Lec_OuvertureSessionVitale) &&
                     FindEntry(FHandle, "Lec_IntroductionMstVitale", Lec_IntroductionMstVitale) &&
                     FindEntry(FHandle, "Lec_RetraitMhtVitale", Lec_RetraitMhtVitale) &&
                     FindEntry(FHandle, "Lec_FermetureSessionVitale", Lec_FermetureSessionVitale) &&
                     FindEntry(FHandle, "Lec_LectureVitale", Lec_LectureVitale);
  if (!Found) CloseLibrary();
  return Found;
}

bool TAPI_LEC::Init(const std::string& APath) {
  if (!FHandle) return false;
  std::string Folder = APath;
  if (Folder.empty()) {
    Folder = std::filesystem::path(FLibrary).parent_path().string();
    if (Folder.empty()) Folder = ".";
  }
  if (!FPath.empty() && Folder == FPath) return true;
  if (!FPath.empty()) Done();
  // The application name stands for the window handle the library expects.
  FAppName = "DMP_" + std::to_string(getpid());
  FError = Lec_OuvertureSessionVitale(Folder.c_str(), FAppName.c_str(), &FSession, &FErrorCode);
  const bool Opened = FError == LEC_OK || FError == LEC_SESSION_ALREADY_OPEN;
  FPath = Opened ? Folder : std::string();
  return Opened;
}

bool TAPI_LEC::Done() {
  if (FLibrary.empty() || !FHandle) return false;
  // A session number the library never gave is not handed back to it.
  if (FPath.empty()) return true;
  FPath.clear();
  FError = Lec_FermetureSessionVitale(FSession, &FErrorCode);
  return FError == LEC_OK;
}

bool TAPI_LEC::Unload() {
  if (FLibrary.empty()) return false;
  const bool Closed = Done();
  CloseLibrary();
  return Closed;
}

bool TAPI_LEC::LoadVitale(std::string& Data) {
  if (!FHandle) return false;
  FError = Lec_IntroductionMstVitale(FSession, 0, &FCard, &FErrorCode);
  if (FError == LEC_OK && (FCard & 0xFF) != 0) FError = LEC_CARD_ABSENT;
  bool Read = false;
  if (FError == LEC_OK) {
    // The length word cannot name more than the buffer holds, so the
    // length returned always lies within it.
    Data.assign(VitaleBufferSize, '\0');
    uint16_t Length = VitaleBufferSize;
    FError = Lec_LectureVitale(FSession, 0, Data.data(), &Length, &FErrorCode);
    Read = FError == LEC_OK || FError == LEC_READ_PARTIAL;
    if (Read) Data.resize(Length);
  }
  // Whatever happened, the card access ends; with its own code word, as the
  // detection's or reading's code is the one the user is told.
  uint16_t RemovalCode = 0;
  Lec_RetraitMhtVitale(FSession, 0, &RemovalCode);
  if (!Read) Data.clear();
  return Read;
}

std::string TAPI_LEC::ErrorMessage() const {
  switch (FError) {
    case LEC_CARD_ABSENT: return "Carte absente";
    case LEC_GALSS_ERROR: {
      char Code[5];
      std::snprintf(Code, sizeof Code, "%04X", unsigned(FErrorCode));
      return std::string("Erreur GALSS ") + Code + "; assurez vous de l'état du lecteur de carte";
    }
    case 25: return "Temporisation écoulée";
    case 26: return "session inconnue";
    case 32: return "Le fichier api_lec.ini est invalide ou introuvable";
    case 33: return "Le paramètre Mode du fichier api_lec.ini est invalide";
    case 44: return "Problème de structure de la table binaire";
    case 47: return "Table binaire introuvable";
    case 70: return "Erreur lors de la detection automatique des cartes dans les lecteur PSC/SC";
    default: return "Erreur #" + std::to_string(FError) + ", Code " + std::to_string(FErrorCode);
  }
}

namespace {

// Text without leading and trailing spaces and control characters.
std::string Trimmed(std::string_view S) {
  const auto Kept = [](char C) { return static_cast<unsigned char>(C) > ' '; };
  const auto First = std::find_if(S.begin(), S.end(), Kept);
  const auto Last = std::find_if(S.rbegin(), S.rend(), Kept).base();
  return First < Last ? std::string(First, Last) : std::string();
}

// The whole text as a number; false for anything else.
bool ReadNumber(std::string_view S, int& Value) {
  const auto [End, Err] = std::from_chars(S.data(), S.data() + S.size(), Value);
  return !S.empty() && Err == std::errc() && End == S.data() + S.size();
}

bool AllDigits(std::string_view S, size_t Count) {
  return S.size() == Count && std::all_of(S.begin(), S.end(), [](char C) { return C >= '0' && C <= '9'; });
}

int Digits(std::string_view S, size_t At, size_t Count) {
  int Value = 0;
  ReadNumber(S.substr(At, Count), Value);
  return Value;
}

// The day within its month (a month above 12 taken as 12); 0 for day or month 0.
Vantrel::TDateTime LenientDate(int Year, int Month, int Day) {
  Vantrel::TDateTime Date = 0;
  if (Day == 0 || Month == 0) return 0;
  Month = std::min(Month, 12);
  Day = std::min(Day, Vantrel::DaysInMonth(Year, Month));
  return Vantrel::TryEncodeDate(Year, Month, Day, Date) ? Date : 0;
}

std::string JoinedLines(const std::string& A, const std::string& B) { return Trimmed(A + " " + B); }

}  // namespace

Vantrel::TDateTime CardDateYYMMDD(std::string_view Text, Vantrel::TDateTime Today) {
  if (!AllDigits(Text, 6)) return 0;
  const int YY = Digits(Text, 0, 2), Month = Digits(Text, 2, 2), Day = Digits(Text, 4, 2);
  const Vantrel::TDateTime Date = LenientDate(2000 + YY, Month, Day);
  return Date > Vantrel::DateOf(Today) ? LenientDate(1900 + YY, Month, Day) : Date;
}

Vantrel::TDateTime CardDateDDMMYYYY(std::string_view Text) {
  if (!AllDigits(Text, 8)) return 0;
  return LenientDate(Digits(Text, 4, 4), Digits(Text, 2, 2), Digits(Text, 0, 2));
}

bool TBeneficiaire::AdresseNonVide() const {
  return std::any_of(Adresse.begin(), Adresse.end(), [](const std::string& L) { return !L.empty(); });
}

std::string TBeneficiaire::Adresse1() const {
  const std::string Lines12 = JoinedLines(Adresse[0], Adresse[1]);
  return Lines12.empty() ? JoinedLines(Adresse[2], Adresse[3]) : Lines12;
}

std::string TBeneficiaire::Adresse2() const {
  return JoinedLines(Adresse[0], Adresse[1]).empty() ? std::string() : JoinedLines(Adresse[2], Adresse[3]);
}

std::string TBeneficiaire::CodePostal() const {
  const size_t Space = Adresse[4].find(' ');
  return Space == std::string::npos ? std::string() : Adresse[4].substr(0, Space);
}

std::string TBeneficiaire::Ville() const {
  const size_t Space = Adresse[4].find(' ');
  return Space == std::string::npos ? Adresse[4] : Adresse[4].substr(Space + 1);
}

std::string TBeneficiaire::DateDeNaissance() const {
  if (DateEnCarte.size() == 6) return DateEnCarte;
  return BirthDate == 0 ? std::string() : Vantrel::FormatDateTime("yymmdd", BirthDate);
}

std::string TBeneficiaire::DateINS() const {
  if (naissance.size() == 8)
    return naissance.substr(4, 4) + "-" + naissance.substr(2, 2) + "-" + naissance.substr(0, 2);
  if (DateEnCarte.size() != 6) return {};
  const std::string Century = Vantrel::DecodeDateTime(BirthDate).Year < 2000 ? "19" : "20";
  return Century + DateEnCarte.substr(0, 2) + "-" + DateEnCarte.substr(2, 2) + "-" + DateEnCarte.substr(4, 2);
}

std::string TBeneficiaire::FullName() const {
  return NomUsage + " " + Prenom + ", né(e) le " + Vantrel::FormatDateTime("dd/mm/yyyy", BirthDate);
}

namespace {

std::string TextAt(const Vantrel::TXMLNode& Node, std::initializer_list<std::string_view> Path) {
  const Vantrel::TXMLNode* Found = Node.GetChildAt(Path);
  return Found ? Trimmed(Found->Value()) : std::string();
}

TBeneficiaire ReadBeneficiaire(const Vantrel::TXMLNode& Node, Vantrel::TDateTime Today) {
  TBeneficiaire B;
  const Vantrel::TXMLNode* Ident = Node.GetChild("ident");
  if (Ident) {
    B.NomUsage = TextAt(*Ident, {"nomUsuel"});
    B.NomNaissance = TextAt(*Ident, {"nomPatronymique"});
    B.Prenom = TextAt(*Ident, {"prenomUsuel"});
    if (Ident->GetChildAt({"naissance", "dateEnCarte"})) {
      B.DateEnCarte = TextAt(*Ident, {"naissance", "dateEnCarte"});
      B.BirthDate = CardDateYYMMDD(B.DateEnCarte, Today);
    }
    // The full date, when given, wins over the card's short one.
    if (Ident->GetChildAt({"naissance", "date"})) {
      B.naissance = TextAt(*Ident, {"naissance", "date"});
      B.BirthDate = CardDateDDMMYYYY(B.naissance);
    }
    if (B.BirthDate != 0) B.DateNaissance = Vantrel::FormatDateTime("dd/mm/yyyy", B.BirthDate);
    B.Nir = TextAt(*Ident, {"nir"});
    ReadNumber(TextAt(*Ident, {"rangDeNaissance"}), B.RangDeNaissance);
    B.NirCertifie = TextAt(*Ident, {"nirCertifie"});
    static constexpr std::string_view Lines[] = {"ligne1", "ligne2", "ligne3", "ligne4", "ligne5"};
    for (size_t I = 0; I < B.Adresse.size(); ++I) B.Adresse[I] = TextAt(*Ident, {"adresse", Lines[I]});
  }
  if (!ReadNumber(TextAt(Node, {"amo", "qualBenef"}), B.Qualite)) B.Qualite = -1;
  B.MedecinTraitant = TextAt(Node, {"amo", "medecinTraitant"});
  return B;
}

}  // namespace

void TDonneesVitale::Parse(std::string_view XML, Vantrel::TDateTime Today) {
  Vantrel::TXMLTree Tree;
  Tree.Build(Vantrel::IsValidUTF8(XML) ? std::string(XML) : Vantrel::Windows1252ToUTF8(XML));
  const Vantrel::TXMLNode& Root = Tree.Root();
  numSerie = TextAt(Root, {"tech", "numSerie"});
  const Vantrel::TXMLNode* List = Root.GetChildAt({"T_AsnDonneesVitale", "listeBenef"});
  if (!List) List = Root.GetChildAt({"t_AsnDonneesVitale", "listeBenef"});
  if (!List) return;
  listeBenef.clear();
  for (const Vantrel::TXMLNode& Child : List->Children())
    if (Child.Name.Match("T_AsnBeneficiaire") || Child.Name.Match("element"))
      listeBenef.push_back(ReadBeneficiaire(Child, Today));
}

}  // namespace Talven::eSante
