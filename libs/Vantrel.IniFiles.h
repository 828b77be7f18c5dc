// A settings file of "[Section]" and "Key=Value" lines, read whole into
// memory and written back by UpdateFile.
//
// Reading: section and key names compare without regard to ASCII case, the
// first match wins; a value is the text after the first "=" with the blanks
// around it trimmed, nothing else interpreted (no quotes, escapes, lists or
// "%" references). UTF-8 with or without a BOM, LF or CR LF line ends.
// Bounded: a file over MaxIniFileSize is refused whole, a line over
// MaxIniLineSize, with bytes that are not text, or without "=" is not
// interpreted; each gives a warning. Every line the program did not change,
// comments and unreadable lines included, is written back as it was, through
// the foundation's whole-file write (a temporary file and a rename).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Vantrel {

inline constexpr size_t MaxIniFileSize = size_t(1) << 20;
inline constexpr size_t MaxIniLineSize = size_t(64) << 10;

class TIniFile {
 public:
  // Reads FileName; a missing file is an empty one.
  explicit TIniFile(std::string FileName);

  const std::string& FileName() const { return FFileName; }
  // What could not be read, one text per problem (for the log window).
  const std::vector<std::string>& Warnings() const { return FWarnings; }

  std::string ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) const;
  // A value that is not a decimal integer (optional sign) gives Default.
  int ReadInteger(std::string_view Section, std::string_view Ident, int Default) const;
  // ReadInteger(Default ? 1 : 0) != 0.
  bool ReadBool(std::string_view Section, std::string_view Ident, bool Default) const;
  // CR and LF in Value become spaces (a value is one line).
  void WriteString(std::string_view Section, std::string_view Ident, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Ident, int Value);
  void DeleteKey(std::string_view Section, std::string_view Ident);
  // Removes every section of that name with its lines.
  void EraseSection(std::string_view Section);
  bool SectionExists(std::string_view Section) const;
  // The key names of the section, in file order, each once.
  std::vector<std::string> ReadSection(std::string_view Section) const;
  // The section names, in file order, each once.
  std::vector<std::string> ReadSections() const;

  // Writes the file when something changed. False when the write failed or
  // the file was refused at reading (it is then never overwritten).
  bool UpdateFile();

 private:
  enum class TKind { Other, Section, Key };
  struct TLine {
    std::string Text;  // as written, without its line end
    TKind Kind = TKind::Other;
    std::string Name;  // section or key name, trimmed
    std::string Value;
  };
  // Line indexes: the first line after the section's first header (npos
  // when none), the next header, the key's first line in that body.
  size_t FindSection(std::string_view Section) const;
  size_t SectionEnd(size_t Body) const;
  size_t FindKey(std::string_view Section, std::string_view Ident) const;
  void Parse(std::string_view Text);

  std::string FFileName;
  std::vector<TLine> FLines;
  std::vector<std::string> FWarnings;
  std::string FBOM;
  std::string_view FEol = "\n";
  bool FRefused = false;
  bool FModified = false;
};

}  // namespace Vantrel
