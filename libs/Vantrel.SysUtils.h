// Plain system helpers: whole-file reading and writing, the file type of a
// document from its first bytes, splitting and joining texts, the French
// commune code and social-security number (NIR: 13 characters and a
// two-digit key, Corsican departments 2A and 2B), and a tolerant reader of
// dates typed by users or given by host software.
//
// No state. Only FileToBytes throws (the file errors of the system); every
// other routine answers false or an empty text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Vantrel.DateTime.h"

namespace Vantrel {

// Files are read whole up to this size; a larger file is refused.
inline constexpr size_t MaxWholeFileSize = size_t(2147483647);

// The whole file as bytes. Throws std::system_error (with errno) when the file
// cannot be opened or read, or is larger than MaxWholeFileSize.
std::string FileToBytes(const std::string& AFileName);
// The whole file as it is; any error gives an empty text.
std::string FileToUTF8(const std::string& AFileName);

// Create or replace the file with S. The content goes to a temporary file
// beside it that then takes its name, so a failed write leaves the old file
// whole. A replaced file keeps its permissions; a new one is private to the
// user (0600). False on any error.
bool UTF8ToFile(const std::string& AFileName, std::string_view S);
// The same for text in the workstation's code page, which is UTF-8 on Linux:
// the bytes are written as they are.
bool StringToFile(const std::string& AFileName, std::string_view S);

// Creates a new empty file in the user's temporary folder (TMPDIR, else /tmp),
// named after the first three characters of Prefix and a unique suffix, and
// returns its full name; empty when it cannot be created.
std::string TempFileNameWithPrefix(std::string_view Prefix);

// The user's data folder (XDG Base Directory): $XDG_DATA_HOME when it is an
// absolute path, else $HOME/.local/share when HOME is one; empty when
// neither is, so that no caller falls back to a folder at the root of the
// file system.
std::string UserDataFolder();

// The host import folder settings (section DocImport of the settings file).
struct TDocImport {
  std::string Path;  // folder into which documents are exported for the host program
  std::string Icon;  // icon of the export button: file name, a comma, icon index
  std::string Hint;  // hint of the export button
};

// Appends the path delimiter ('/' on this platform) to DocImport.Path when
// it is not empty and does not end with one.
void EnsureTrailingBackslash(TDocImport& DocImport);

// The type of a document from its leading bytes: 1 PDF, 2 RTF, 3 BMP,
// 4 TIFF, 5 JPEG, 6 PNG, 7 compound document (OLE), 10 ZIP, 11 the text
// signature "-8 1 ", 12 XML; 0 when nothing matches.
int FileTypeFromSignature(std::string_view Data);

// S cut at every Sep. MaxCount > 0 makes at most MaxCount parts, the last
// holding the rest unsplit. SkipEmpty drops empty parts (an empty S then
// gives none; otherwise it gives one empty part). An empty Sep gives S whole.
std::vector<std::string> SplitText(std::string_view Sep, std::string_view S, int MaxCount = 0,
                                   bool SkipEmpty = false);
std::string JoinText(std::string_view Sep, std::span<const std::string> Parts);

// Five characters, all digits except that the second may be 'A' or 'B'.
bool IsCodeInsee(std::string_view S);

// The NIR's characters from S: digits, and 'A' or 'B' as the 7th; anything
// else is skipped. 15 of them are returned as they are; with AddKey, 13 are
// completed with their key; any other count (or a 13-character number that
// has no key) gives an empty text.
std::string NIRWithKey(std::string_view S, bool AddKey);
// The same 15 characters written "1234567890123-45"; empty unless exactly 15.
std::string NIRWithDash(std::string_view S);
// True when A gives a NIR and B gives the same one.
bool SameNIR(std::string_view A, std::string_view B);
// Writes the key of the first 13 characters of S at the 1-based positions
// Index and Index + 1. False (S untouched) when S is too short for either,
// or when the 13 characters are not a number (2A/2B read as 19/18).
bool NIRKey(std::string& S, size_t Index);
// At least 15 characters, the 14th and 15th being the key of the first 13.
bool IsValidNIR(std::string_view S);

// A date typed loosely: "ddmm", "ddmmyy", "ddmmyyyy", or day, month and year
// (or year, month, day) between separators '/', '.', ' ' or '-', optionally
// followed by a space and "hh:nn" or "hh:nn:ss". A year below 100 belongs to
// the 2000s up to the last two digits of the current year, else to the
// 1900s. Today gives the current year. False (and Date = 0) when the text
// is no valid date.
bool ParseDateLoose(std::string_view Text, TDateTime& Date, TDateTime Today);
bool ParseDateLoose(std::string_view Text, TDateTime& Date);

// The folder of the program's own logs: $XDG_STATE_HOME/Carvelin2, else
// ~/.local/state/Carvelin2 (created, private to the user, when missing);
// empty when neither variable gives an absolute folder.
std::string LogFolder();

// The file named after the running program with its extension replaced by
// Extension (".log"): beside the program, or in LogFolder() when the
// program's folder is not writable; "" when neither is possible.
std::string ProgramLogFileName(std::string_view Extension);
// Writes Text as it is to ProgramLogFileName(Extension), created or
// overwritten. The file's name, or "" when it could not be written.
std::string WriteProgramLog(std::string_view Extension, std::string_view Text);

// The calling thread's stack (glibc backtrace), one frame a line, C++ names
// demangled; the frames of this function left out.
std::string StackTrace();

// A file version: major, minor, release, build.
using TFileVersion = std::array<uint16_t, 4>;

// The version of a shared library from its file name, after resolving
// symbolic links: the suffix ".so." and four decimal numbers of at most
// 65535 (libx.so -> libx.so.2.12.0.1). A name without a folder is looked
// up as the loader does: LD_LIBRARY_PATH, then the system's library
// folders. False when the file is missing or its name has no such suffix.
bool LibraryFileVersion(const std::string& FileName, TFileVersion& Version);

}  // namespace Vantrel
