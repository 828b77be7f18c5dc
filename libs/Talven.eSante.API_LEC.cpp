#include "Talven.eSante.API_LEC.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Vantrel.SysUtils.h"

namespace Talven::eSante {

namespace {

const Vantrel::TFileVersion MinimumVersion = {6, 2, 1, 0};

std::string UserDataFolder() {
  const char* Xdg = std::getenv("XDG_DATA_HOME");
  if (Xdg && Xdg[0] == '/') return Xdg;
  const char* Home = std::getenv("HOME");
  if (Home && Home[0] == '/') return std::string(Home) + "/.local/share";
  return {};
}

template <typename T>
bool FindEntry(void* Handle, const char* Name, T& Entry) {
  Entry = reinterpret_cast<T>(dlsym(Handle, Name));
  return Entry != nullptr;
}

}  // namespace

const std::string& TAPI_LEC::DefaultLocation() {
  static const std::string Location = UserDataFolder() + "/santesocial/DMP/libapi_lec.so";
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

}  // namespace Talven::eSante
