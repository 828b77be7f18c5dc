#include "Vantrel.RegUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {

namespace {

// A store larger than this is not ours: it is treated as unreadable.
constexpr size_t MaxStoreSize = 4 << 20;

constexpr std::string_view RootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                          "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

// One line per value: root, path, name and value separated by TAB, with
// backslash, TAB, CR and LF escaped.
struct TEntry {
  std::string Root, Path, Name, Value;
};

std::filesystem::path ConfigFolder() {
  const char* Xdg = std::getenv("XDG_CONFIG_HOME");
  if (Xdg && Xdg[0] == '/') return std::filesystem::path(Xdg) / "Carvelin2";
  const char* Home = std::getenv("HOME");
  if (!Home || Home[0] != '/') return {};
  return std::filesystem::path(Home) / ".config" / "Carvelin2";
}

std::string_view TrimSeparators(std::string_view Path) {
  while (!Path.empty() && Path.front() == '\\') Path.remove_prefix(1);
  while (!Path.empty() && Path.back() == '\\') Path.remove_suffix(1);
  return Path;
}

// The whole store; nullopt when it exists but cannot be read.
std::optional<std::vector<TEntry>> LoadStore() {
  std::vector<TEntry> Entries;
  std::filesystem::path Folder = ConfigFolder();
  if (Folder.empty()) return std::nullopt;
  int Fd = open((Folder / "registry").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) return errno == ENOENT ? std::optional(Entries) : std::nullopt;
  std::string Text;
  struct stat St {};
  bool Ok = fstat(Fd, &St) == 0 && S_ISREG(St.st_mode) && size_t(St.st_size) <= MaxStoreSize;
  if (Ok) {
    Text.resize(size_t(St.st_size));
    size_t Got = 0;
    while (Ok && Got < Text.size()) {
      ssize_t N = read(Fd, Text.data() + Got, Text.size() - Got);
      if (N < 0 && errno == EINTR) continue;
      Ok = N > 0;
      if (Ok) Got += size_t(N);
    }
  }
  close(Fd);
  if (!Ok) return std::nullopt;

  std::string_view Rest = Text;
  while (!Rest.empty()) {
    size_t Eol = Rest.find('\n');
    std::string_view Line = Rest.substr(0, Eol);
    Rest = Eol == std::string_view::npos ? std::string_view() : Rest.substr(Eol + 1);
    std::string_view Fields[4];
    size_t Count = 0;
    while (Count < 3) {
      size_t Tab = Line.find('\t');
      if (Tab == std::string_view::npos) break;
      Fields[Count++] = Line.substr(0, Tab);
      Line.remove_prefix(Tab + 1);
    }
    if (Count != 3) continue;  // not one of our lines
    Fields[3] = Line;
    Entries.push_back({BackslashUnescaped(Fields[0]), BackslashUnescaped(Fields[1]),
                       BackslashUnescaped(Fields[2]), BackslashUnescaped(Fields[3])});
  }
  return Entries;
}

bool WriteAll(int Fd, std::string_view Data) {
  while (!Data.empty()) {
    ssize_t N = write(Fd, Data.data(), Data.size());
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Data.remove_prefix(size_t(N));
  }
  return true;
}

bool SaveStore(const std::vector<TEntry>& Entries) {
  std::filesystem::path Folder = ConfigFolder();
  if (Folder.empty()) return false;
  std::error_code Ignored;
  std::filesystem::create_directories(Folder, Ignored);
  std::string Text;
  for (const TEntry& E : Entries) {
    AppendBackslashEscaped(Text, E.Root);
    Text += '\t';
    AppendBackslashEscaped(Text, E.Path);
    Text += '\t';
    AppendBackslashEscaped(Text, E.Name);
    Text += '\t';
    AppendBackslashEscaped(Text, E.Value);
    Text += '\n';
  }
  if (Text.size() > MaxStoreSize) return false;
  std::filesystem::path Final = Folder / "registry";
  std::filesystem::path Temp = Folder / ("registry." + std::to_string(getpid()) + ".tmp");
  unlink(Temp.c_str());
  int Fd = open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (Fd < 0) return false;
  bool Ok = WriteAll(Fd, Text) && fsync(Fd) == 0;
  Ok = close(Fd) == 0 && Ok;
  Ok = Ok && rename(Temp.c_str(), Final.c_str()) == 0;
  if (!Ok) unlink(Temp.c_str());
  return Ok;
}

std::string_view RootName(TRegistryRoot Root) {
  return size_t(Root) < std::size(RootNames) ? RootNames[Root] : std::string_view();
}

}  // namespace

std::filesystem::path RegistryStorePath() {
  std::filesystem::path Folder = ConfigFolder();
  return Folder.empty() ? Folder : Folder / "registry";
}

std::string RegReadString(TRegistryRoot Root, std::string_view Path, std::string_view ValueName,
                          std::string_view Default) {
  std::optional<std::vector<TEntry>> Entries = LoadStore();
  if (Entries && !RootName(Root).empty())
    for (const TEntry& E : *Entries)
      if (E.Root == RootName(Root) && SameText(E.Path, TrimSeparators(Path)) && SameText(E.Name, ValueName))
        return E.Value;
  return std::string(Default);
}

bool RegWriteString(TRegistryRoot Root, std::string_view Path, std::string_view ValueName,
                    std::string_view Value) {
  std::optional<std::vector<TEntry>> Entries = LoadStore();
  if (!Entries || RootName(Root).empty()) return false;
  Path = TrimSeparators(Path);
  bool Found = false;
  for (TEntry& E : *Entries)
    if (E.Root == RootName(Root) && SameText(E.Path, Path) && SameText(E.Name, ValueName)) {
      E.Value = Value;
      Found = true;
    }
  if (!Found) Entries->push_back({std::string(RootName(Root)), std::string(Path), std::string(ValueName), std::string(Value)});
  return SaveStore(*Entries);
}

}  // namespace Vantrel
