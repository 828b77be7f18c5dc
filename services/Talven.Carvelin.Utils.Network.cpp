// Service utilities: proxy from the environment, strict date parsers, size
// text, downloads over the program's HTTP client and ZIP unpacking (libzip).
#include "Talven.Carvelin.Utils.Network.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "Vantrel.HTTPClient.h"
#include "Vantrel.URL.h"
#include "Vantrel.UTF8.Utils.h"

namespace Talven {

namespace {

constexpr int MaxRedirects = 10;
constexpr uint64_t MaxUnpackedSize = uint64_t(1) << 30;
constexpr zip_int64_t MaxZipEntries = 65536;

std::string_view Env(const char* Lower, const char* Upper) {
  const char* V = getenv(Lower);
  if ((!V || !*V) && Upper) V = getenv(Upper);
  return V ? V : "";
}

// no_proxy: comma- or blank-separated hosts and domains; "*" is every host.
bool Bypassed(std::string_view Host, std::string_view NoProxy) {
  std::string H = Vantrel::LowerCaseASCII(Host);
  size_t At = 0;
  while (At < NoProxy.size()) {
    size_t End = NoProxy.find_first_of(", ", At);
    if (End == std::string_view::npos) End = NoProxy.size();
    std::string_view Entry = NoProxy.substr(At, End - At);
    At = End + 1;
    if (Entry == "*") return true;
    Entry = Entry.substr(0, Entry.find(':'));
    while (!Entry.empty() && Entry.front() == '.') Entry.remove_prefix(1);
    if (Entry.empty()) continue;
    std::string E = Vantrel::LowerCaseASCII(Entry);
    if (H == E || (H.size() > E.size() && H.ends_with(E) && H[H.size() - E.size() - 1] == '.')) return true;
  }
  return false;
}

// "scheme://user@host:port/path" gives "host:port".
std::string ProxyHostPort(std::string_view Value) {
  size_t Scheme = Value.find("://");
  if (Scheme != std::string_view::npos) Value.remove_prefix(Scheme + 3);
  Value = Value.substr(0, Value.find('/'));
  size_t At = Value.rfind('@');
  if (At != std::string_view::npos) Value.remove_prefix(At + 1);
  if (Value.empty()) return {};
  std::string Out(Value);
  if (Value.find(':') == std::string_view::npos) Out += ":1080";
  return Out;
}

Vantrel::TDateTime EncodeDate(int Year, int Month, int Day) {
  Vantrel::TDateTime D;
  if (!Vantrel::TryEncodeDate(Year, Month, Day, D)) throw std::invalid_argument("Invalid argument to date encode");
  return D;
}

Vantrel::TDateTime EncodeTime(int Hour, int Minute, int Second) {
  Vantrel::TDateTime T;
  if (!Vantrel::TryEncodeTime(Hour, Minute, Second, 0, T)) throw std::invalid_argument("Invalid argument to time encode");
  return T;
}

// "dd/mm/yyyy" at Pos; false when malformed.
bool ReadDateFR(std::string_view Text, size_t& Pos, int& Year, int& Month, int& Day) {
  return ReadDigitsW(Text, Pos, Day, 2) && MatchCharW(Text, Pos, '/') && ReadDigitsW(Text, Pos, Month, 2) &&
         MatchCharW(Text, Pos, '/') && ReadDigitsW(Text, Pos, Year, 4);
}

bool ReadTime(std::string_view Text, size_t& Pos, int& Hour, int& Minute) {
  return MatchCharW(Text, Pos, ' ') && ReadDigitsW(Text, Pos, Hour, 2) && MatchCharW(Text, Pos, ':') &&
         ReadDigitsW(Text, Pos, Minute, 2);
}

std::mutex HostLock;
std::string& FileHost() {
  static std::string Host;
  return Host;
}

// Location against the URL it answered (RFC 9110 §10.2.2); empty when the
// target would leave https for http.
std::string ResolveRedirect(const std::string& From, std::string_view Location) {
  Vantrel::TURL Base;
  Base.Decode(From, false);
  std::string Origin = Base.Protocol + "://" + Base.HostName + ":" + Base.Port;
  std::string To;
  if (Location.find("://") != std::string_view::npos) To = std::string(Location);
  else if (Location.starts_with("//")) To = Base.Protocol + ":" + std::string(Location);
  else if (Location.starts_with("/")) To = Origin + std::string(Location);
  else To = Origin + Base.URI.substr(0, Base.URI.rfind('/') + 1) + std::string(Location);
  Vantrel::TURL Next;
  Next.Decode(To, false);
  if (Base.Protocol == "https" && Next.Protocol != "https") return {};
  return To;
}

// The body of a 2xx answer, following redirects; false on any failure.
bool Fetch(std::string_view URL, std::string& Body, int TimeoutMs = DownloadTimeoutMs) {
  try {
    Vantrel::THTTPClient Client;
    Client.SetTimeout(TimeoutMs);
    std::string Current(URL);
    for (int Hop = 0; Hop <= MaxRedirects; ++Hop) {
      Body.clear();
      Client.Get(Current, Body);
      int Code = Client.ResponseCode();
      bool Redirect = Code == 301 || Code == 302 || Code == 303 || Code == 307 || Code == 308;
      if (!Redirect) return Code >= 200 && Code < 300;
      std::string Location = Client.GetHeader("Location");
      if (Location.empty()) return false;
      Current = ResolveRedirect(Current, Location);
      if (Current.empty()) return false;
    }
  } catch (const std::exception&) {
  }
  Body.clear();
  return false;
}

bool WriteAll(int Fd, std::string_view Data) {
  while (!Data.empty()) {
    ssize_t N = write(Fd, Data.data(), Data.size());
    if (N <= 0) return false;
    Data.remove_prefix(size_t(N));
  }
  return true;
}

// A plain file name: no folder part, no "." or "..", no control character.
bool IsPlainFileName(std::string_view Name) {
  if (Name.empty() || Name == "." || Name == "..") return false;
  return std::none_of(Name.begin(), Name.end(),
                      [](char C) { return C == '/' || C == '\\' || uint8_t(C) < 0x20 || C == 0x7F; });
}

// An archive entry's relative path, or empty when it must be refused.
std::filesystem::path SafeEntryPath(std::string_view Name) {
  if (Name.empty() || Name.front() == '/' || Name.front() == '\\') return {};
  if (Name.size() >= 2 && Name[1] == ':') return {};  // a drive letter
  std::filesystem::path Out;
  size_t At = 0;
  while (At <= Name.size()) {
    size_t End = Name.find_first_of("/\\", At);
    if (End == std::string_view::npos) End = Name.size();
    std::string_view Part = Name.substr(At, End - At);
    At = End + 1;
    if (Part.empty() || Part == ".") continue;
    if (Part == ".." || std::any_of(Part.begin(), Part.end(), [](char C) { return uint8_t(C) < 0x20; }))
      return {};
    Out /= std::string(Part);
  }
  return Out;
}

bool IsLinkEntry(zip_t* Zip, zip_uint64_t Index) {
  zip_uint8_t System = 0;
  zip_uint32_t Attributes = 0;
  if (zip_file_get_external_attributes(Zip, Index, 0, &System, &Attributes) != 0) return true;
  return System == ZIP_OPSYS_UNIX && ((Attributes >> 16) & S_IFMT) == S_IFLNK;
}

// Copies one entry to Target (a new or replaced regular file, never through
// a link); Budget is what may still be unpacked.
bool ExtractEntry(zip_t* Zip, zip_uint64_t Index, const std::filesystem::path& Target, uint64_t& Budget) {
  zip_file_t* In = zip_fopen_index(Zip, Index, 0);
  if (!In) return false;
  int Fd = open(Target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  bool Ok = Fd >= 0;
  char Buf[65536];
  while (Ok) {
    zip_int64_t N = zip_fread(In, Buf, sizeof Buf);
    if (N == 0) break;
    if (N < 0 || uint64_t(N) > Budget) Ok = false;
    else {
      Budget -= uint64_t(N);
      Ok = WriteAll(Fd, std::string_view(Buf, size_t(N)));
    }
  }
  if (Fd >= 0) close(Fd);
  zip_fclose(In);
  if (!Ok) {
    std::error_code Ec;
    std::filesystem::remove(Target, Ec);
  }
  return Ok;
}

}  // namespace

int GetProxyForURL(std::string_view URL, TProxyInfo& Info) {
  Info = {};
  Vantrel::TURL U;
  U.Decode(URL, false);
  // HTTP_PROXY in capitals is left alone: CGI programs receive a request's
  // "Proxy:" header under that name.
  std::string_view Proxy = U.Protocol == "https" ? Env("https_proxy", "HTTPS_PROXY") : Env("http_proxy", nullptr);
  std::string_view NoProxy = Env("no_proxy", "NO_PROXY");
  Info.ProxyBypass = std::string(NoProxy);
  if (!Proxy.empty() && !Bypassed(U.HostName, NoProxy)) Info.ProxyURL = ProxyHostPort(Proxy);
  return 0;
}

void SetSystemProxy(TProxyParams& Params, std::string_view URL) {
  TProxyInfo Info;
  size_t Colon = std::string::npos;
  if (GetProxyForURL(URL, Info) == 0) Colon = Info.ProxyURL.find(':');
  if (Colon == std::string::npos) {
    Params.Clear();
    return;
  }
  std::string_view PortText = std::string_view(Info.ProxyURL).substr(Colon + 1);
  int Port = 0;
  auto [End, Ec] = std::from_chars(PortText.data(), PortText.data() + PortText.size(), Port);
  if (Ec != std::errc() || End != PortText.data() + PortText.size())
    throw std::invalid_argument("'" + std::string(PortText) + "' is not a valid integer value");
  Params.ProxyServer = Info.ProxyURL.substr(0, Colon);
  Params.ProxyPort = Port;
}

void SetSystemProxy(Vantrel::TCustomHTTPClient& Client, std::string_view URL) {
  TProxyParams Params;
  SetSystemProxy(Params, URL);
  Client.SetProxy(Params.ProxyServer, Params.ProxyPort);
}

bool ReadDigitsW(std::string_view Text, size_t& Pos, int& Number, int Count) {
  Number = 0;
  for (int I = 0; I < Count; ++I) {
    if (Pos >= Text.size() || Text[Pos] < '0' || Text[Pos] > '9') return false;
    Number = Number * 10 + (Text[Pos] - '0');
    ++Pos;
  }
  return true;
}

bool MatchCharW(std::string_view Text, size_t& Pos, char Ch) {
  bool Match = Pos < Text.size() && Text[Pos] == Ch;
  ++Pos;
  return Match;
}

Vantrel::TDateTime ParseDateFR(std::string_view Text) {
  size_t Pos = 0;
  int Year, Month, Day, Hour, Minute, Second = 0;
  if (!ReadDateFR(Text, Pos, Year, Month, Day)) return 0;
  Vantrel::TDateTime Date = EncodeDate(Year, Month, Day);
  if (!ReadTime(Text, Pos, Hour, Minute)) return Date;
  size_t SecondsAt = Pos;
  if (!MatchCharW(Text, SecondsAt, ':') || !ReadDigitsW(Text, SecondsAt, Second, 2)) Second = 0;
  return Vantrel::ComposeDateTime(Date, EncodeTime(Hour, Minute, Second));
}

Vantrel::TDateTime ParseDateHL7(std::string_view Text) {
  size_t Pos = 0;
  int Year, Month, Day;
  if (!ReadDigitsW(Text, Pos, Year, 4) || !ReadDigitsW(Text, Pos, Month, 2) || !ReadDigitsW(Text, Pos, Day, 2))
    return 0;
  return EncodeDate(Year, Month, Day);
}

Vantrel::TDateTime ParseDateTimeFR(std::string_view Text) {
  size_t Pos = 0;
  int Year, Month, Day, Hour, Minute;
  if (!ReadDateFR(Text, Pos, Year, Month, Day) || !ReadTime(Text, Pos, Hour, Minute)) return 0;
  return Vantrel::ComposeDateTime(EncodeDate(Year, Month, Day), EncodeTime(Hour, Minute, 0));
}

std::string SizeTextKo(int64_t Bytes) {
  int64_t K = (Bytes + 512) / 1024;
  int64_t Value = K;
  char Unit = 'K';
  if (Bytes + 512 > 1048575) {
    int64_t M = (K + 512) / 1024;
    Value = K + 512 > 1048575 ? (M + 512) / 1024 : M;
    Unit = K + 512 > 1048575 ? 'G' : 'M';
  }
  return std::to_string(Value) + " " + Unit + "o";
}

void SetServiceFileHost(std::string Host) {
  std::lock_guard<std::mutex> Guard(HostLock);
  FileHost() = std::move(Host);
}

std::string ServiceFileHost() {
  std::lock_guard<std::mutex> Guard(HostLock);
  return FileHost();
}

bool DownloadServiceFile(const std::filesystem::path& Folder, std::string_view FileName) {
  std::string Host = ServiceFileHost();
  if (Host.empty() || !IsPlainFileName(FileName)) return false;
  std::string Bytes;
  if (!Fetch("https://" + Host + "/files/" + Vantrel::URL::Encode(FileName), Bytes)) return false;
  const auto Target = Folder / std::string(FileName);
  const auto Partial = Folder / (std::string(FileName) + ".part");
  int Fd = open(Partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (Fd < 0) return false;
  bool Written = WriteAll(Fd, Bytes);
  Written = close(Fd) == 0 && Written;
  std::error_code Ec;
  if (!Written || (std::filesystem::rename(Partial, Target, Ec), Ec)) {
    std::filesystem::remove(Partial, Ec);
    return false;
  }
  if (Vantrel::LowerCaseASCII(std::filesystem::path(FileName).extension().string()) == ".zip") ExtractZipArchive(Target, Folder);
  return true;
}

bool ExtractZipArchive(const std::filesystem::path& Archive, const std::filesystem::path& Folder) {
  std::error_code Ec;
  const auto Root = std::filesystem::canonical(Folder, Ec);
  if (Ec) return false;
  int Err = 0;
  zip_t* Zip = zip_open(Archive.c_str(), ZIP_RDONLY, &Err);
  if (!Zip) return false;
  bool AllDone = true;
  uint64_t Budget = MaxUnpackedSize;
  zip_int64_t Count = zip_get_num_entries(Zip, 0);
  if (Count < 0 || Count > MaxZipEntries) {
    zip_close(Zip);
    return false;
  }
  for (zip_int64_t I = 0; I < Count; ++I) {
    const char* Name = zip_get_name(Zip, zip_uint64_t(I), 0);
    std::filesystem::path Relative = Name ? SafeEntryPath(Name) : std::filesystem::path();
    if (Relative.empty() || IsLinkEntry(Zip, zip_uint64_t(I))) {
      AllDone = false;
      continue;
    }
    const auto Target = Root / Relative;
    bool IsFolder = std::string_view(Name).ends_with('/');
    const auto Parent = IsFolder ? Target : Target.parent_path();
    std::filesystem::create_directories(Parent, Ec);
    // A link already in the folder must not carry the entry elsewhere.
    const auto Real = std::filesystem::canonical(Parent, Ec);
    if (Ec || std::mismatch(Root.begin(), Root.end(), Real.begin(), Real.end()).first != Root.end()) {
      AllDone = false;
      continue;
    }
    if (!IsFolder && !ExtractEntry(Zip, zip_uint64_t(I), Real / Target.filename(), Budget)) AllDone = false;
  }
  zip_discard(Zip);
  return AllDone;
}

void DownloadToTempFile(std::string_view URL, std::string& FilePath) {
  FilePath.clear();
  std::string Bytes;
  if (!Fetch(URL, Bytes)) return;
  std::string Templ = (std::filesystem::temp_directory_path() / "carvelin-XXXXXX.tmp").string();
  int Fd = mkstemps(Templ.data(), 4);  // private (0600): the content may be a patient's
  if (Fd < 0) return;
  bool Written = WriteAll(Fd, Bytes);
  Written = close(Fd) == 0 && Written;
  if (!Written) {
    unlink(Templ.c_str());
    return;
  }
  FilePath = Templ;
}

void DownloadBytes(std::string_view URL, std::string& Bytes) {
  if (!Fetch(URL, Bytes)) Bytes.clear();
}

std::string DownloadText(std::string_view URL, int TimeoutMs) {
  std::string Bytes;
  if (!Fetch(URL, Bytes, TimeoutMs)) Bytes.clear();
  return Bytes;
}

}  // namespace Talven
