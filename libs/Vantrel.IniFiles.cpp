#include "Vantrel.IniFiles.h"

#include <charconv>
#include <filesystem>

#include "Vantrel.SysUtils.h"
#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {

namespace {

constexpr std::string_view BOM = "\xEF\xBB\xBF";
constexpr size_t npos = std::string::npos;

std::string_view Trimmed(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
  return S;
}

// Text is what a line may hold: valid UTF-8 without control characters but TAB.
bool IsTextLine(std::string_view Line) {
  bool ASCII = true;
  for (char C : Line) {
    if ((uint8_t(C) < 0x20 && C != '\t') || C == 0x7F) return false;
    ASCII = ASCII && uint8_t(C) < 0x80;
  }
  return ASCII || IsValidUTF8(Line);  // which answers false for pure ASCII
}

std::string OneLine(std::string_view Value) {
  std::string S(Value);
  for (char& C : S)
    if (C == '\r' || C == '\n') C = ' ';
  return S;
}

}  // namespace

TIniFile::TIniFile(std::string FileName) : FFileName(std::move(FileName)) {
  std::error_code Error;
  const uintmax_t Size = std::filesystem::file_size(FFileName, Error);
  if (Error) {
    if (Error != std::errc::no_such_file_or_directory) {
      FRefused = true;
      FWarnings.push_back(FFileName + " : " + Error.message());
    }
    return;
  }
  if (Size > MaxIniFileSize) {
    FRefused = true;
    FWarnings.push_back(FFileName + " : fichier trop grand (" + std::to_string(Size) + " octets), ignoré");
    return;
  }
  try {
    Parse(FileToBytes(FFileName));
  } catch (const std::exception& E) {
    FRefused = true;
    FWarnings.push_back(FFileName + " : " + E.what());
  }
}

void TIniFile::Parse(std::string_view Text) {
  if (Text.starts_with(BOM)) {
    FBOM = BOM;
    Text.remove_prefix(BOM.size());
  }
  size_t Number = 0;
  while (!Text.empty()) {
    const size_t Eol = Text.find('\n');
    std::string_view Raw = Text.substr(0, Eol);
    Text = Eol == npos ? std::string_view() : Text.substr(Eol + 1);
    if (Raw.ends_with('\r')) {
      Raw.remove_suffix(1);
      if (Number == 0) FEol = "\r\n";
    }
    ++Number;
    TLine Line{std::string(Raw)};
    const std::string_view Body = Trimmed(Raw);
    const std::string Where = FFileName + " ligne " + std::to_string(Number);
    if (Raw.size() > MaxIniLineSize) {
      FWarnings.push_back(Where + " : ligne trop longue, ignorée");
    } else if (!IsTextLine(Raw)) {
      FWarnings.push_back(Where + " : caractères invalides, ligne ignorée");
    } else if (Body.empty() || Body.front() == ';' || Body.front() == '#') {
      // blank or comment
    } else if (Body.front() == '[' && Body.find(']') != npos) {
      Line.Kind = TKind::Section;
      Line.Name = Trimmed(Body.substr(1, Body.find(']') - 1));
    } else if (const size_t Eq = Body.find('='); Eq != npos) {
      Line.Kind = TKind::Key;
      Line.Name = Trimmed(Body.substr(0, Eq));
      Line.Value = Trimmed(Body.substr(Eq + 1));
    } else {
      FWarnings.push_back(Where + " : ligne sans \"=\", ignorée");
    }
    FLines.push_back(std::move(Line));
  }
}

// The first line after the first header of Section, or npos.
size_t TIniFile::FindSection(std::string_view Section) const {
  for (size_t I = 0; I < FLines.size(); ++I)
    if (FLines[I].Kind == TKind::Section && SameText(FLines[I].Name, Section)) return I + 1;
  return npos;
}

// The next section header at or after Body (or the end).
size_t TIniFile::SectionEnd(size_t Body) const {
  while (Body < FLines.size() && FLines[Body].Kind != TKind::Section) ++Body;
  return Body;
}

size_t TIniFile::FindKey(std::string_view Section, std::string_view Ident) const {
  const size_t Body = FindSection(Section);
  if (Body == npos) return npos;
  for (size_t I = Body, End = SectionEnd(Body); I < End; ++I)
    if (FLines[I].Kind == TKind::Key && SameText(FLines[I].Name, Ident)) return I;
  return npos;
}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) const {
  const size_t I = FindKey(Section, Ident);
  return I == npos ? std::string(Default) : FLines[I].Value;
}

int TIniFile::ReadInteger(std::string_view Section, std::string_view Ident, int Default) const {
  const size_t I = FindKey(Section, Ident);
  if (I == npos) return Default;
  std::string_view V = FLines[I].Value;
  if (V.starts_with('+')) V.remove_prefix(1);
  int Result = 0;
  const auto [End, Error] = std::from_chars(V.data(), V.data() + V.size(), Result);
  return Error == std::errc() && End == V.data() + V.size() && !V.empty() ? Result : Default;
}

bool TIniFile::ReadBool(std::string_view Section, std::string_view Ident, bool Default) const {
  return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view Section, std::string_view Ident, std::string_view Value) {
  const std::string V = OneLine(Value);
  const std::string Name(Trimmed(OneLine(Ident)));
  if (const size_t Found = FindKey(Section, Name); Found != npos) {
    TLine& Line = FLines[Found];
    if (Line.Value == Trimmed(V)) return;
    Line = {Line.Name + "=" + V, TKind::Key, Line.Name, std::string(Trimmed(V))};
  } else {
    size_t Body = FindSection(Section);
    if (Body == npos) {
      const std::string S(Trimmed(OneLine(Section)));
      FLines.push_back({"[" + S + "]", TKind::Section, S});
      Body = FLines.size();
    }
    // After the section's last key, so that blank lines and comments that
    // introduce the next section stay with it.
    size_t At = Body;
    for (size_t I = Body, End = SectionEnd(Body); I < End; ++I)
      if (FLines[I].Kind == TKind::Key) At = I + 1;
    FLines.insert(FLines.begin() + std::ptrdiff_t(At), TLine{Name + "=" + V, TKind::Key, Name, std::string(Trimmed(V))});
  }
  FModified = true;
}

void TIniFile::WriteInteger(std::string_view Section, std::string_view Ident, int Value) {
  WriteString(Section, Ident, std::to_string(Value));
}

void TIniFile::DeleteKey(std::string_view Section, std::string_view Ident) {
  const size_t I = FindKey(Section, Ident);
  if (I == npos) return;
  FLines.erase(FLines.begin() + std::ptrdiff_t(I));
  FModified = true;
}

void TIniFile::EraseSection(std::string_view Section) {
  for (size_t Body = FindSection(Section); Body != npos; Body = FindSection(Section)) {
    FLines.erase(FLines.begin() + std::ptrdiff_t(Body - 1), FLines.begin() + std::ptrdiff_t(SectionEnd(Body)));
    FModified = true;
  }
}

bool TIniFile::SectionExists(std::string_view Section) const { return FindSection(Section) != npos; }

std::vector<std::string> TIniFile::ReadSection(std::string_view Section) const {
  std::vector<std::string> Names;
  const size_t Body = FindSection(Section);
  if (Body == npos) return Names;
  for (size_t I = Body, End = SectionEnd(Body); I < End; ++I)
    if (FLines[I].Kind == TKind::Key && FindKey(Section, FLines[I].Name) == I) Names.push_back(FLines[I].Name);
  return Names;
}

std::vector<std::string> TIniFile::ReadSections() const {
  std::vector<std::string> Names;
  for (size_t I = 0; I < FLines.size(); ++I)
    if (FLines[I].Kind == TKind::Section && FindSection(FLines[I].Name) == I + 1) Names.push_back(FLines[I].Name);
  return Names;
}

bool TIniFile::UpdateFile() {
  if (FRefused) return false;
  if (!FModified) return true;
  std::string Text = FBOM;
  for (const TLine& Line : FLines) {
    Text += Line.Text;
    Text += FEol;
  }
  if (!UTF8ToFile(FFileName, Text)) return false;
  FModified = false;
  return true;
}

}  // namespace Vantrel
