#include "Vantrel.SysUtils.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <utility>

namespace Vantrel {

namespace {

class TFileHandle {
 public:
  explicit TFileHandle(int Fd) : FFd(Fd) {}
  ~TFileHandle() { Close(); }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  int Get() const { return FFd; }
  bool Close() {
    int Fd = FFd;
    FFd = -1;
    return Fd < 0 || close(Fd) == 0;
  }

 private:
  int FFd;
};

[[noreturn]] void ThrowFileError(int Error, const std::string& Name) {
  throw std::system_error(Error, std::generic_category(),
                          "Impossible de lire le fichier \"" + Name + "\"");
}

bool WriteAll(int Fd, std::string_view S) {
  while (!S.empty()) {
    ssize_t W = write(Fd, S.data(), S.size());
    if (W < 0 && errno == EINTR) continue;
    if (W <= 0) return false;
    S.remove_prefix(size_t(W));
  }
  return true;
}

bool WriteFileReplacing(const std::string& Name, std::string_view S) {
  if (Name.empty()) return false;
  std::string TempName = Name + ".XXXXXX";
  int Fd = mkostemp(TempName.data(), O_CLOEXEC);
  if (Fd < 0) return false;
  TFileHandle File(Fd);
  struct stat Old;
  bool Done = (stat(Name.c_str(), &Old) != 0 || !S_ISREG(Old.st_mode) ||
               fchmod(Fd, Old.st_mode & 07777) == 0) &&
              WriteAll(Fd, S) && fsync(Fd) == 0 && File.Close() &&
              rename(TempName.c_str(), Name.c_str()) == 0;
  if (!Done) unlink(TempName.c_str());
  return Done;
}

struct TSignature {
  std::string_view Bytes;
  int Code;
};

// First match wins, so the order matters.
constexpr TSignature Signatures[] = {
    {"%PDF", 1},
    {"{\\rtf", 2},
    {"BM", 3},
    {"I I", 4},
    {std::string_view("MM\0", 3), 4},
    {std::string_view("II*\0", 4), 4},
    {std::string_view("*MM\0+", 5), 4},
    {"\xFF\xD8\xFF", 5},
    {"\x89PNG\r\n\x1A\n", 6},
    {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 7},
    {"PK", 10},
    {"-8 1 ", 11},
    {"<?xml", 12},
};

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// The NIR characters of S (digits, 'A' or 'B' as the 7th); stops at 16, one
// more than a NIR holds, so that any longer input is told apart cheaply.
std::string KeptNIRCharacters(std::string_view S) {
  std::string Kept;
  for (char C : S) {
    if (IsDigit(C) || ((C == 'A' || C == 'B') && Kept.size() == 6)) {
      Kept += C;
      if (Kept.size() > 15) break;
    }
  }
  return Kept;
}

// The number of the first 13 characters, the Corsican departments 2A and 2B
// read as 19 and 18.
bool NIRNumber(std::string_view S, uint64_t& N) {
  if (S.size() < 13) return false;
  char Digits[13];
  S.copy(Digits, 13);
  if (Digits[5] == '2' && (Digits[6] == 'A' || Digits[6] == 'B')) {
    Digits[5] = '1';
    Digits[6] = Digits[6] == 'A' ? '9' : '8';
  }
  N = 0;
  for (char C : Digits) {
    if (!IsDigit(C)) return false;
    N = N * 10 + uint64_t(C - '0');
  }
  return true;
}

bool KeyOf(std::string_view S, char Key[2]) {
  uint64_t N;
  if (!NIRNumber(S, N)) return false;
  unsigned K = 97 - unsigned(N % 97);
  Key[0] = char('0' + K / 10);
  Key[1] = char('0' + K % 10);
  return true;
}

std::string_view Trim(std::string_view S) {
  while (!S.empty() && uint8_t(S.front()) <= ' ') S.remove_prefix(1);
  while (!S.empty() && uint8_t(S.back()) <= ' ') S.remove_suffix(1);
  return S;
}

// Reads one or more digits at Pos; fails on none or on a value above 65535.
bool ReadNumber(std::string_view S, size_t& Pos, int& Value) {
  size_t Start = Pos;
  Value = 0;
  while (Pos < S.size() && IsDigit(S[Pos])) {
    Value = Value * 10 + (S[Pos++] - '0');
    if (Value > 65535) return false;
  }
  return Pos > Start;
}

// '/' is also the workstation's date separator (and ':' its time separator).
bool ReadDateSeparator(std::string_view S, size_t& Pos) {
  if (Pos >= S.size()) return false;
  char C = S[Pos];
  if (C != '/' && C != '.' && C != ' ' && C != '-') return false;
  ++Pos;
  return true;
}

int DigitsValue(std::string_view S) {
  int V = 0;
  for (char C : S) V = V * 10 + (C - '0');
  return V;
}

}  // namespace

std::string FileToBytes(const std::string& AFileName) {
  int Fd = open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) ThrowFileError(errno, AFileName);
  TFileHandle File(Fd);
  std::string Bytes;
  struct stat Info;
  if (fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode) && uint64_t(Info.st_size) <= MaxWholeFileSize)
    Bytes.reserve(size_t(Info.st_size));
  char Buffer[65536];
  for (;;) {
    ssize_t Got = read(Fd, Buffer, sizeof Buffer);
    if (Got < 0 && errno == EINTR) continue;
    if (Got < 0) ThrowFileError(errno, AFileName);
    if (Got == 0) break;
    if (size_t(Got) > MaxWholeFileSize - Bytes.size()) ThrowFileError(EFBIG, AFileName);
    Bytes.append(Buffer, size_t(Got));
  }
  return Bytes;
}

std::string FileToUTF8(const std::string& AFileName) {
  try {
    return FileToBytes(AFileName);
  } catch (const std::exception&) {
    return {};
  }
}

bool UTF8ToFile(const std::string& AFileName, std::string_view S) {
  try {
    return WriteFileReplacing(AFileName, S);
  } catch (const std::exception&) {
    return false;
  }
}

bool StringToFile(const std::string& AFileName, std::string_view S) {
  return UTF8ToFile(AFileName, S);
}

std::string TempFileNameWithPrefix(std::string_view Prefix) {
  try {
    std::error_code Error;
    std::filesystem::path Folder = std::filesystem::temp_directory_path(Error);
    if (Error) Folder = "/tmp";
    // The first three characters, never cutting a UTF-8 sequence, and no
    // character that would leave the folder or end the name early.
    std::string Name;
    for (size_t I = 0, Chars = 0; I < Prefix.size() && Chars < 3; ++Chars) {
      size_t Len = 1;
      while (I + Len < Prefix.size() && (uint8_t(Prefix[I + Len]) & 0xC0) == 0x80) ++Len;
      std::string_view Ch = Prefix.substr(I, Len);
      Name += Ch == "/" || Ch == std::string_view("\0", 1) ? std::string_view("_") : Ch;
      I += Len;
    }
    std::string Template = (Folder / (Name + "XXXXXX")).string();
    int Fd = mkostemp(Template.data(), O_CLOEXEC);
    if (Fd < 0) return {};
    close(Fd);
    return Template;
  } catch (const std::exception&) {
    return {};
  }
}

std::string UserDataFolder() {
  const char* Xdg = std::getenv("XDG_DATA_HOME");
  if (Xdg && Xdg[0] == '/') return Xdg;
  const char* Home = std::getenv("HOME");
  if (Home && Home[0] == '/') return std::string(Home) + "/.local/share";
  return {};
}

void EnsureTrailingBackslash(TDocImport& DocImport) {
  std::string& Path = DocImport.Path;
  if (!Path.empty() && Path.back() != '/') Path += '/';
}

int FileTypeFromSignature(std::string_view Data) {
  for (const TSignature& S : Signatures)
    if (Data.substr(0, S.Bytes.size()) == S.Bytes) return S.Code;
  return 0;
}

std::vector<std::string> SplitText(std::string_view Sep, std::string_view S, int MaxCount,
                                   bool SkipEmpty) {
  std::vector<std::string> Parts;
  auto Add = [&](std::string_view Part) {
    if (!(SkipEmpty && Part.empty())) Parts.emplace_back(Part);
  };
  if (Sep.empty()) {
    Add(S);
    return Parts;
  }
  size_t Start = 0;
  for (;;) {
    size_t At = S.find(Sep, Start);
    if (At == std::string_view::npos || (MaxCount > 0 && Parts.size() + 1 >= size_t(MaxCount))) {
      Add(S.substr(Start));
      return Parts;
    }
    Add(S.substr(Start, At - Start));
    Start = At + Sep.size();
  }
}

std::string JoinText(std::string_view Sep, std::span<const std::string> Parts) {
  if (Parts.empty()) return {};
  size_t Size = Sep.size() * (Parts.size() - 1);
  for (const std::string& P : Parts) Size += P.size();
  std::string Out;
  Out.reserve(Size);
  for (size_t I = 0; I < Parts.size(); ++I) {
    if (I > 0) Out += Sep;
    Out += Parts[I];
  }
  return Out;
}

bool IsCodeInsee(std::string_view S) {
  if (S.size() != 5) return false;
  for (size_t I = 0; I < 5; ++I)
    if (!IsDigit(S[I]) && !(I == 1 && (S[I] == 'A' || S[I] == 'B'))) return false;
  return true;
}

std::string NIRWithKey(std::string_view S, bool AddKey) {
  std::string Kept = KeptNIRCharacters(S);
  if (Kept.size() == 15) return Kept;
  if (AddKey && Kept.size() == 13) {
    Kept.resize(15);
    if (NIRKey(Kept, 14)) return Kept;
  }
  return {};
}

std::string NIRWithDash(std::string_view S) {
  std::string Kept = KeptNIRCharacters(S);
  if (Kept.size() != 15) return {};
  Kept.insert(13, 1, '-');
  return Kept;
}

bool SameNIR(std::string_view A, std::string_view B) {
  std::string NIR = NIRWithDash(A);
  return !NIR.empty() && NIR == NIRWithDash(B);
}

bool NIRKey(std::string& S, size_t Index) {
  char Key[2];
  if (Index < 1 || Index >= S.size() || !KeyOf(S, Key)) return false;
  S[Index - 1] = Key[0];
  S[Index] = Key[1];
  return true;
}

bool IsValidNIR(std::string_view S) {
  char Key[2];
  return S.size() >= 15 && KeyOf(S, Key) && S[13] == Key[0] && S[14] == Key[1];
}

bool ParseDateLoose(std::string_view Text, TDateTime& Date, TDateTime Today) {
  Date = 0;
  Text = Trim(Text);
  if (Text.empty()) return false;
  const int CurrentYear = DecodeDateTime(Today).Year;
  int Day = 0, Month = 0, Year = 0, Hour = 0, Minute = 0, Second = 0;
  bool AllDigits = true;
  for (char C : Text) AllDigits = AllDigits && IsDigit(C);
  if (AllDigits) {
    if (Text.size() != 4 && Text.size() != 6 && Text.size() != 8) return false;
    Day = DigitsValue(Text.substr(0, 2));
    Month = DigitsValue(Text.substr(2, 2));
    Year = Text.size() == 4 ? CurrentYear : DigitsValue(Text.substr(4));
    if (Text.size() == 8 && Year < 1850) return false;
  } else {
    size_t Pos = 0;
    if (!ReadNumber(Text, Pos, Day) || !ReadDateSeparator(Text, Pos) ||
        !ReadNumber(Text, Pos, Month) || !ReadDateSeparator(Text, Pos) ||
        !ReadNumber(Text, Pos, Year))
      return false;
    if (Day > 1900) std::swap(Day, Year);  // year-month-day
    if (Pos < Text.size() && Text[Pos] == ' ') {
      ++Pos;
      if (!ReadNumber(Text, Pos, Hour) || Pos >= Text.size() || Text[Pos++] != ':' ||
          !ReadNumber(Text, Pos, Minute))
        return false;
      if (Pos + 1 < Text.size() && Text[Pos] == ':' && IsDigit(Text[Pos + 1])) {
        ++Pos;
        if (!ReadNumber(Text, Pos, Second)) return false;
      }
    }
  }
  if (Year < 100) {
    const int Century = CurrentYear % 100;
    Year += Year <= Century ? 2000 : 1900;
  }
  TDateTime Result;
  if (!TryEncodeDate(Year, Month, Day, Result)) return false;
  TDateTime Time;
  if ((Hour || Minute || Second) && TryEncodeTime(Hour, Minute, Second, 0, Time))
    Result = ComposeDateTime(Result, Time);
  Date = Result;
  return true;
}

bool ParseDateLoose(std::string_view Text, TDateTime& Date) {
  return ParseDateLoose(Text, Date, Now());
}

// ---- Log folder and library versions ----

std::string LogFolder() {
  std::filesystem::path Folder;
  if (const char* X = std::getenv("XDG_STATE_HOME"); X && *X == '/')
    Folder = X;
  else if (const char* Home = std::getenv("HOME"); Home && *Home == '/')
    Folder = std::filesystem::path(Home) / ".local" / "state";
  else
    return {};
  Folder /= "Carvelin2";
  std::error_code Ec;
  if (std::filesystem::create_directories(Folder, Ec))
    std::filesystem::permissions(Folder, std::filesystem::perms::owner_all, Ec);
  return Folder.string();
}

std::string ProgramLogFileName(std::string_view Extension) {
  std::error_code Ec;
  const std::filesystem::path Exe = std::filesystem::read_symlink("/proc/self/exe", Ec);
  if (Ec || !Exe.has_filename()) return {};
  const std::string Name = Exe.stem().string() + std::string(Extension);
  if (access(Exe.parent_path().c_str(), W_OK) == 0) return (Exe.parent_path() / Name).string();
  const std::string Logs = LogFolder();
  return Logs.empty() ? std::string() : (std::filesystem::path(Logs) / Name).string();
}

std::string WriteProgramLog(std::string_view Extension, std::string_view Text) {
  const std::string FileName = ProgramLogFileName(Extension);
  if (FileName.empty()) return {};
  std::ofstream Log(FileName, std::ios::binary | std::ios::trunc);
  Log.write(Text.data(), std::streamsize(Text.size()));
  Log.close();
  return Log ? FileName : std::string();
}

std::string StackTrace() {
  void* Frames[64];
  const int Count = backtrace(Frames, 64);
  std::unique_ptr<char*, decltype(&std::free)> Symbols(backtrace_symbols(Frames, Count), &std::free);
  if (!Symbols) return {};
  std::string Text;
  for (int I = 1; I < Count; ++I) {
    // "file(mangled+0x1f) [0x...]": the name between '(' and '+' is demangled.
    std::string Line = Symbols.get()[I];
    const size_t Open = Line.find('('), Plus = Line.find('+', Open == std::string::npos ? 0 : Open);
    if (Open != std::string::npos && Plus != std::string::npos && Plus > Open + 1) {
      int Status = 0;
      std::unique_ptr<char, decltype(&std::free)> Name(
          abi::__cxa_demangle(Line.substr(Open + 1, Plus - Open - 1).c_str(), nullptr, nullptr, &Status), &std::free);
      if (Status == 0 && Name) Line.replace(Open + 1, Plus - Open - 1, Name.get());
    }
    Text += Line + "\n";
  }
  return Text;
}

namespace {

// Where the loader looks for a name without a folder (ld.so(8)).
std::filesystem::path FindLibrary(const std::string& Name) {
  if (Name.find('/') != std::string::npos) return Name;
  std::vector<std::string> Folders;
  if (const char* Path = std::getenv("LD_LIBRARY_PATH"))
    for (std::string& F : SplitText(":", Path)) if (!F.empty()) Folders.push_back(std::move(F));
  for (const char* F : {"/usr/local/lib", "/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu",
                        "/lib/aarch64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/lib", "/usr/lib"})
    Folders.emplace_back(F);
  std::error_code Ec;
  for (const std::string& F : Folders) {
    std::filesystem::path P = std::filesystem::path(F) / Name;
    if (std::filesystem::exists(P, Ec)) return P;
  }
  return {};
}

}  // namespace

bool LibraryFileVersion(const std::string& FileName, TFileVersion& Version) {
  Version = {};
  const std::filesystem::path Found = FindLibrary(FileName);
  std::error_code Ec;
  if (Found.empty() || !std::filesystem::exists(Found, Ec)) return false;
  const std::string Name = std::filesystem::canonical(Found, Ec).filename().string();
  if (Ec) return false;
  const size_t So = Name.rfind(".so.");
  if (So == std::string::npos) return false;
  const std::vector<std::string> Parts = SplitText(".", std::string_view(Name).substr(So + 4));
  if (Parts.size() != 4) return false;
  for (size_t I = 0; I < 4; ++I) {
    const std::string& P = Parts[I];
    unsigned Value = 0;
    const auto [End, Err] = std::from_chars(P.data(), P.data() + P.size(), Value);
    if (P.empty() || Err != std::errc() || End != P.data() + P.size() || Value > 0xFFFF) return false;
    Version[I] = uint16_t(Value);
  }
  return true;
}

}  // namespace Vantrel
