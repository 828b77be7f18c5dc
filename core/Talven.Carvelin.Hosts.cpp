#include "Talven.Carvelin.Hosts.h"

#include <charconv>
#include <fstream>
#include <mutex>
#include <utility>

#include "Talven.Carvelin.AppVitale.h"
#include "Vantrel.HTTPClient.h"
#include "Vantrel.INSi.h"
#include "Vantrel.SOAP.h"
#include "Vantrel.WinSSPI.h"

namespace Talven {

namespace {

constexpr std::string_view HTTPS = "https://";
constexpr size_t MaxConfigSize = 1 << 20;
constexpr int32_t MaxTimeoutSeconds = 3600;

// The member the reader is in, while LoadHostsConfig reads.
thread_local std::string* ReadingMember = nullptr;

std::mutex ConfigLock;
THostsConfig& CurrentConfig() {
  static THostsConfig Config = DefaultHostsConfig();
  return Config;
}

[[noreturn]] void Refuse(std::string_view Member, std::string_view Why) {
  throw EHostsConfigError(std::string(Member) + ": " + std::string(Why));
}

bool ValidPort(std::string_view Port) {
  unsigned Value = 0;
  auto R = std::from_chars(Port.data(), Port.data() + Port.size(), Value);
  return R.ec == std::errc() && R.ptr == Port.data() + Port.size() && Value >= 1 && Value <= 65535;
}

// "host[:port]": a host name or IPv4 address, no scheme, path or user part.
bool ValidAuthority(std::string_view Text) {
  const size_t Colon = Text.find(':');
  std::string_view Host = Text.substr(0, Colon);
  if (Host.empty() || Host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") !=
                          std::string_view::npos)
    return false;
  return Colon == std::string_view::npos || ValidPort(Text.substr(Colon + 1));
}

void CheckAuthority(std::string_view Member, std::string_view Value) {
  if (!ValidAuthority(Value)) Refuse(Member, "\"" + std::string(Value) + "\" is not host[:port]");
}

// "https://" + host[:port], then an optional path.
void CheckHTTPS(std::string_view Member, std::string_view Value) {
  const bool Secure = Value.substr(0, HTTPS.size()) == HTTPS;
  const std::string_view Rest = Secure ? Value.substr(HTTPS.size()) : std::string_view();
  if (!Secure || !ValidAuthority(Rest.substr(0, Rest.find('/'))))
    Refuse(Member, "\"" + std::string(Value) + "\" is not an https address");
}

void CheckEnvironment(std::string_view Name, const THostsEnvironment& E) {
  const std::string Prefix = std::string(Name) + ".";
  CheckAuthority(Prefix + "DMP_Server", E.DMP_Server);
  CheckHTTPS(Prefix + "AccesWeb", E.AccesWeb);
  CheckHTTPS(Prefix + "ParamSite", E.ParamSite);
  CheckHTTPS(Prefix + "INSiCard", E.INSiCard);
  CheckHTTPS(Prefix + "INSiMutual", E.INSiMutual);
  if (!E.AppVitale.empty()) CheckHTTPS(Prefix + "AppVitale", E.AppVitale);
}

// GET Maker + "/microtime" with the time-out the caller hands over.
Vantrel::TServiceTimeSource MakerTimeSource(std::string Maker) {
  return [Maker = std::move(Maker)](std::chrono::milliseconds TimeOut) -> std::optional<Vantrel::TDateTime> {
    Vantrel::THTTPClient Client;
    Client.SetTimeout(int(TimeOut.count()));
    Client.SetKeepAlive(false);
    Client.SetMaxBodySize(64);
    std::string Body;
    Client.Get(Maker + std::string(Vantrel::ServiceTimePath), Body);
    if (Client.ResponseCode() != 200) return std::nullopt;
    return Vantrel::ParseServiceTime(Body);
  };
}

}  // namespace

std::string THostsEnvironment::WebAccessBase() const {
  return AccesWeb.substr(0, HTTPS.size()) == HTTPS ? AccesWeb.substr(HTTPS.size()) : AccesWeb;
}

bool THostsConfig::JSONParseField(std::string_view Path, Vantrel::TJSONParser&) {
  if (ReadingMember) *ReadingMember = Path;
  return false;
}

THostsConfig DefaultHostsConfig() {
  const Vantrel::TINSiEndpoints INSi = Vantrel::DefaultINSiEndpoints();
  THostsConfig C;
  C.Formation = {"lps2.formation.dmp.gouv.fr", "https://formation.dmp.gouv.fr/ps/acces-web/",
                 "https://www.dmp.fr", INSi.CPSQualification, INSi.TLSMQualification};
  C.Production = {"lps2.dmp.gouv.fr", "https://www.dmp.fr/ps", "https://www.dmp.fr", INSi.CPSProduction,
                  INSi.TLSMProduction};
  C.INSiDomain = INSi.NamespaceDomain;
  return C;
}

void CheckHostsConfig(const THostsConfig& Config) {
  CheckEnvironment("Formation", Config.Formation);
  CheckEnvironment("Production", Config.Production);
  if (!Config.Maker.empty()) CheckHTTPS("Maker", Config.Maker);
  if (!Config.ExtraCAFile.empty() && !std::ifstream(Config.ExtraCAFile))
    Refuse("ExtraCAFile", "cannot read \"" + Config.ExtraCAFile + "\"");
  if (Config.TimeoutSeconds < 1 || Config.TimeoutSeconds > MaxTimeoutSeconds)
    Refuse("TimeoutSeconds", std::to_string(Config.TimeoutSeconds) + " is not between 1 and 3600");
  if (!ValidAuthority(Config.INSiDomain)) Refuse("INSiDomain", "\"" + Config.INSiDomain + "\" is not a host name");
}

THostsConfig LoadHostsConfig(const std::string& Path) {
  std::ifstream File(Path, std::ios::binary);
  std::string Text;
  if (File) {
    Text.resize(MaxConfigSize + 1);
    File.read(Text.data(), std::streamsize(Text.size()));
    Text.resize(size_t(File.gcount()));
  }
  if (!File.eof() || Text.size() > MaxConfigSize)
    throw EHostsConfigError(Path + ": cannot read the file (missing, unreadable or over 1 MiB)");
  THostsConfig Config = DefaultHostsConfig();
  std::string Member;
  ReadingMember = &Member;
  try {
    Vantrel::JSON::parseJSON(Text, Config);
    ReadingMember = nullptr;
    CheckHostsConfig(Config);
  } catch (const EHostsConfigError& E) {
    throw EHostsConfigError(Path + ": " + E.what());
  } catch (const std::exception& E) {
    ReadingMember = nullptr;
    throw EHostsConfigError(Path + ": " + (Member.empty() ? std::string() : Member + ": ") + E.what());
  }
  return Config;
}

THostsConfig HostsConfig() {
  std::lock_guard Lock(ConfigLock);
  return CurrentConfig();
}

void SetHostsConfig(THostsConfig Config) {
  CheckHostsConfig(Config);
  Vantrel::SetINSiEndpoints({Config.Formation.INSiCard, Config.Production.INSiCard, Config.Formation.INSiMutual,
                             Config.Production.INSiMutual, Config.INSiDomain});
  AppVitale::SetAppVitaleEndpoints({Config.Formation.AppVitale, Config.Production.AppVitale,
                                    Config.AppVitaleNamespace, Config.AppVitaleIDAM});
  Vantrel::SetExtraCAFile(Config.ExtraCAFile);
  Vantrel::SetServiceTimeSource(Config.Maker.empty() ? nullptr : MakerTimeSource(Config.Maker));
  std::lock_guard Lock(ConfigLock);
  CurrentConfig() = std::move(Config);
}

}  // namespace Talven
