#include "Carvelin.Letters.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "Talven.Carvelin.Utils.Network.h"
#include "Vantrel.HTTPClient.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.RTTI.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.URL.h"
#include "Vantrel.UTF8.Utils.h"

namespace Carvelin {

namespace {

struct TLetterData {
  std::string name;
  std::string ins;
};
VANTREL_RECORD(TLetterData, VANTREL_FIELD(name), VANTREL_FIELD(ins))

constexpr size_t MaxLetterINS = 22;
// A letter is a page or two; anything larger is not one.
constexpr size_t MaxLetterSize = 16 * 1024 * 1024;

bool Writable(const std::filesystem::path& Folder) { return access(Folder.c_str(), W_OK | X_OK) == 0; }

// The patient's data never travel in clear; Base64 holds '+', '/' and '=',
// which a query must carry escaped.
std::string LetterURL(std::string_view Maker, std::string_view Path, std::string_view Data) {
  if (!Vantrel::StartsText("https://", Maker)) return {};
  return std::string(Maker) + std::string(Path) + Vantrel::URL::Encode(Vantrel::Base64Encode(Data));
}

}  // namespace

std::string OpeningLetterURL(std::string_view Maker, std::string_view Name, std::string_view INS) {
  return LetterURL(Maker, "/dmp/ouverture.php?data=",
                   Vantrel::JSON::buildJSON(TLetterData{std::string(Name), std::string(INS)}));
}

std::string AccessLetterURL(std::string_view Maker, std::string_view Data) {
  return LetterURL(Maker, "/dmp/index.php?data=", Data);
}

std::string LetterFileName(std::string_view INS) {
  if (INS.empty() || INS.size() > MaxLetterINS) return {};
  for (const char C : INS)
    if (!((C >= '0' && C <= '9') || (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z'))) return {};
  return "DMP_" + std::string(INS) + ".PDF";
}

std::string LetterFolder() {
  namespace fs = std::filesystem;
  std::error_code Error;
  const fs::path Current = fs::current_path(Error);
  if (!Error && Writable(Current)) return Current.string();
  const char* Data = std::getenv("XDG_DATA_HOME");
  const char* Home = std::getenv("HOME");
  fs::path Folder;
  if (Data && *Data == '/')
    Folder = fs::path(Data) / "Carvelin2";
  else if (Home && *Home == '/')
    Folder = fs::path(Home) / ".local" / "share" / "Carvelin2";
  else
    return {};
  fs::create_directories(Folder, Error);
  return Writable(Folder) ? Folder.string() : std::string();
}

bool SaveLetter(const std::string& FileName, std::string_view Body) {
  // A kept file would keep its mode; the letter may hold a password.
  unlink(FileName.c_str());
  return Vantrel::StringToFile(FileName, Body);
}

bool DownloadLetter(const std::string& URL, const std::string& FileName, int TimeoutMs) {
  if (URL.empty() || FileName.empty()) return false;
  try {
    Vantrel::THTTPClient Client;
    Client.SetTimeout(TimeoutMs);
    Client.SetKeepAlive(false);
    Client.SetMaxBodySize(MaxLetterSize);
    Talven::SetSystemProxy(Client, URL);
    std::string Body;
    Client.Get(URL, Body);
    if (Client.ResponseCode() != 200 || !Body.starts_with("%PDF-")) return false;
    return SaveLetter(FileName, Body);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace Carvelin
