// Service utilities: system proxy, strict date parsers, size text and
// downloads. Downloads go through Vantrel::THTTPClient with a time-out,
// follow at most 10 redirects (never from https down to http) and hold
// bodies in memory under the client's cap.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "Vantrel.DateTime.h"

namespace Vantrel {
class TCustomHTTPClient;
}

namespace Talven {

// The proxy that the environment gives for a URL: ProxyURL is "host:port"
// (port 1080 when the variable names none, as curl does), empty for a
// direct connection; ProxyBypass is the no_proxy list as it stands.
struct TProxyInfo {
  std::string ProxyURL;
  std::string ProxyBypass;
  bool AutoDetected = false;  // no automatic discovery on this platform
};

// From https_proxy (or HTTPS_PROXY) for https URLs, http_proxy for the
// others, unless no_proxy (or NO_PROXY) names the host ("*", a host, or a
// domain matched on a label boundary, case-insensitively). Clears Info
// first; answers 0.
int GetProxyForURL(std::string_view URL, TProxyInfo& Info);

// The proxy settings of an HTTP client.
struct TProxyParams {
  std::string ProxyServer;
  int ProxyPort = 0;
  void Clear() {
    ProxyServer.clear();
    ProxyPort = 0;
  }
};

// Fills Params from GetProxyForURL, or clears them for a direct connection.
// A port that is not a number raises std::invalid_argument.
void SetSystemProxy(TProxyParams& Params, std::string_view URL);
// The same, set on (or cleared from) Client for its requests to URL.
void SetSystemProxy(Vantrel::TCustomHTTPClient& Client, std::string_view URL);

// Exactly Count decimal digits at Pos (advanced); false at the first
// non-digit, Number then holding the digits read so far.
bool ReadDigitsW(std::string_view Text, size_t& Pos, int& Number, int Count);
// Whether Text[Pos] is Ch; Pos advances by one either way.
bool MatchCharW(std::string_view Text, size_t& Pos, char Ch);

// "dd/mm/yyyy", then optionally " hh:nn" and ":ss": 0 when the date part is
// malformed, the date alone when the time part is. An impossible date or
// time raises std::invalid_argument. Text after the pattern is ignored.
Vantrel::TDateTime ParseDateFR(std::string_view Text);
// "yyyymmdd"; 0 when malformed.
Vantrel::TDateTime ParseDateHL7(std::string_view Text);
// "dd/mm/yyyy hh:nn"; 0 unless both parts parse.
Vantrel::TDateTime ParseDateTimeFR(std::string_view Text);

// "2 Ko", "1 Mo", "3 Go": the byte count rounded to the nearest unit.
std::string SizeTextKo(int64_t Bytes);

// The host (and optional ":port") of the maker's file service; empty, the
// default, disables DownloadServiceFile.
void SetServiceFileHost(std::string Host);
std::string ServiceFileHost();

// Fetches "https://" + ServiceFileHost() + "/files/" + FileName into
// Folder/FileName (replaced only once the whole file arrived) and unpacks it
// into Folder when its extension is ".zip" in any case. FileName must be a
// plain file name. False when nothing was downloaded.
bool DownloadServiceFile(const std::filesystem::path& Folder, std::string_view FileName);

// Extracts every entry of a ZIP archive under Folder. Entries that are
// absolute, hold a ".." component or are links are refused (skipped);
// nothing is written outside Folder, and the total size is capped. False
// when the archive could not be read or an entry was refused.
bool ExtractZipArchive(const std::filesystem::path& Archive, const std::filesystem::path& Folder);

// The URL's content in a new private temporary file; FilePath is empty (and
// no file left) when the download fails.
void DownloadToTempFile(std::string_view URL, std::string& FilePath);
// The URL's content; empty when the download fails (an error status too).
void DownloadBytes(std::string_view URL, std::string& Bytes);
// The same within TimeoutMs for each exchange.
inline constexpr int DownloadTimeoutMs = 30000;
std::string DownloadText(std::string_view URL, int TimeoutMs = DownloadTimeoutMs);

}  // namespace Talven
