// The document vocabulary of the service: the document types a professional
// may file (with the category groups the lists show them in), the care
// settings, the file types with their MIME types, short names and XDS format
// codes. Every lookup compares texts exactly (case-sensitive), except the
// extension lookup, which upper-cases the extension first. The tables are
// constants of static storage: views and references into them stay valid for
// the whole run.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "Talven.Carvelin.Types.h"
#include "Vantrel.XML.XDSb.h"

namespace Talven {

// ---------------------------------------------------------------------------
// Document tables

// A coded value: code, coding scheme (OID) and display name.
using Vantrel::TOIDValue;

// One document type. A caption made of a group name, a vertical bar and a
// label opens a new category group: the rows that follow belong to it until
// the next row that opens one.
struct TTypeDocument {
  std::string_view Code;  // LOINC code or a code of the service
  std::string_view Caption;
};

inline constexpr int TypeDocumentCount = 84;
// Rows 0 to 72 are medical documents; the certificates and administrative
// documents follow.
inline constexpr int TypeDocumentMedicalCount = 73;
extern const std::array<TTypeDocument, TypeDocumentCount> TypesDocument;

// The practice-setting codes of the filed documents.
struct TCadreExercice {
  std::string_view Code;
  std::string_view Label;
};

inline constexpr int CadreExerciceCount = 8;
extern const std::array<TCadreExercice, CadreExerciceCount> CadresExercice;

// One file type, indexed by TTypeMime.
struct TTypeMimeInfo {
  std::string_view MimeType;
  std::string_view ShortName;
  TOIDValue Format;  // XDS format code
};

const std::array<TTypeMimeInfo, EnumCount<TTypeMime>>& TypesMime();
const TTypeMimeInfo& TypeMimeInfo(TTypeMime Type);  // TextPlain's row for a value out of range

// Format codes of the structured documents.
const TOIDValue& FormatSyntheseMedicale();
const TOIDValue& FormatNoteVaccination();

// ".PDF" ApplicationPDF, ".JPG"/".JPEG" ImageJPEG, ".TIF"/".TIFF" ImageTIFF,
// ".RTF" TextRTF, ".XML" CDAR2XML, anything else TextPlain.
TTypeMime TypeMimeFromExtension(std::string_view FileName);
// The type whose MIME type equals the text; TextPlain when none does.
TTypeMime TypeMimeFromMimeType(std::string_view MimeType);
// The short name ("PDF", "XML"...) of TypeMimeFromMimeType.
std::string_view ExtensionFromMimeType(std::string_view MimeType);

// The row with that code, -1 when none.
int TypeDocumentIndex(std::string_view Code);
// The last row whose caption is the label, alone or after a group's bar; -1 when none.
int TypeDocumentIndexOfLabel(std::string_view Label);
// The code of TypeDocumentIndexOfLabel, else of the patient-side labels;
// "" when the label is unknown.
std::string_view TypeDocumentCode(std::string_view Label);
// The caption of the row with that code without its group; the code itself
// when no row has it.
std::string TypeDocumentLabel(std::string_view Code);
// The group a row belongs to ("" for an index outside the table).
std::string_view TypeDocumentGroup(int Index);
// True for the medical rows (0 to 72); false outside the table.
bool IsTypeDocumentMedical(int Index);

// The group part and the label part of a caption ("" and the caption when it
// holds no bar).
std::string_view CaptionGroup(std::string_view Caption);
std::string_view CaptionLabel(std::string_view Caption);

// The care setting with that code or label; 0 ("AMBULATOIRE") when none matches.
int CadreExerciceIndex(std::string_view Code);
int CadreExerciceIndexOfLabel(std::string_view Label);

// 1 for "M", 2 for "Mme", 3 for "Mlle", else 0.
int CiviliteCode(std::string_view Civilite);

}  // namespace Talven

// ===========================================================================
// Service utilities: system proxy, strict date parsers, size text and
// downloads (Talven.Carvelin.Utils.Network.cpp). Downloads go through
// Vantrel::THTTPClient with a time-out, follow at most 10 redirects (never
// from https down to http) and hold bodies in memory under the client's cap.

#include <cstdint>
#include <filesystem>

#include "Vantrel.DateTime.h"

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
std::string DownloadText(std::string_view URL);

}  // namespace Talven
