#include "Carvelin.Startup.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QProcess>
#include <QTranslator>

#include <cstdlib>
#include <filesystem>

#include "Carvelin.MessageDlg.h"
#include "Carvelin.SQLIteDataBase.h"
#include "DMP2Main.h"
#include "UDocumentViewer.h"
#include "ShellTr.h"
#include "UFrmCheckVersion.h"
#include "Vantrel.IniFiles.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.WMCopyData.h"

namespace Carvelin {

namespace fs = std::filesystem;

namespace {

std::string Env(const char* Name) {
  const char* V = std::getenv(Name);
  return V ? V : "";
}

// An XDG base folder: the variable when it is absolute, else $HOME + Fallback.
fs::path XdgFolder(const char* Variable, const char* Fallback) {
  const std::string V = Env(Variable);
  if (!V.empty() && V.front() == '/') return V;
  return fs::path(Env("HOME")) / Fallback;
}

bool WriteAll(int Fd, std::string_view Data) {
  while (!Data.empty()) {
    const ssize_t N = write(Fd, Data.data(), Data.size());
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Data.remove_prefix(size_t(N));
  }
  return true;
}

// Creates Final with Bytes and Mode, whole or not at all, and never over an
// existing file: the bytes go to a temporary file beside it, which is then
// linked under the final name (link fails when that name exists).
bool CreateFileNoReplace(const fs::path& Final, std::string_view Bytes, mode_t Mode) {
  std::string Temp = (Final.parent_path() / (Final.filename().string() + ".XXXXXX")).string();
  const int Fd = mkostemp(Temp.data(), O_CLOEXEC);
  if (Fd < 0) return false;
  bool Ok = WriteAll(Fd, Bytes) && fchmod(Fd, Mode) == 0 && fsync(Fd) == 0;
  Ok = close(Fd) == 0 && Ok;
  Ok = Ok && link(Temp.c_str(), Final.c_str()) == 0;
  unlink(Temp.c_str());
  return Ok;
}

// A value of type string in a desktop entry (Desktop Entry Specification,
// "Possible value types").
std::string DesktopString(std::string_view S) {
  std::string R;
  for (char C : S) {
    switch (C) {
      case '\\': R += "\\\\"; break;
      case '\n': R += "\\n"; break;
      case '\r': R += "\\r"; break;
      case '\t': R += "\\t"; break;
      default: R += C;
    }
  }
  return R;
}

// An Exec argument holding one of the reserved characters must be quoted
// (Desktop Entry Specification, "The Exec key").
bool NeedsQuotes(std::string_view Arg) {
  return Arg.empty() || Arg.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string_view::npos;
}

std::string DesktopEntry(std::initializer_list<std::pair<std::string_view, std::string>> Keys) {
  std::string Text = "[Desktop Entry]\n";
  for (const auto& [Key, Value] : Keys) Text += std::string(Key) + "=" + Value + "\n";
  return Text;
}

bool Ask(const QString& Question) {
  return MessageDlg(nullptr, QMessageBox::Question, Question, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

void InstallTranslations(QApplication& App) {
  auto* Qt = new QTranslator(&App);
  if (Qt->load(QLocale(QLocale::French), QStringLiteral("qtbase"), QStringLiteral("_"),
               QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(Qt);
}

}  // namespace

std::string ProductFolder() {
  const fs::path Dostrana = fs::path(Env("HOME")) / "Dostrana";
  std::error_code Error;
  if (!Env("HOME").empty() && fs::is_directory(Dostrana, Error)) return Dostrana.string() + "/";
  return (XdgFolder("XDG_DATA_HOME", ".local/share") / "Talven").string() + "/";
}

std::string InstalledCopy() { return ProductFolder() + "carvelin2"; }

bool IsInstalledCopy(const std::string& Exe) {
  const fs::path Path(Exe);
  return Exe == InstalledCopy() || (Vantrel::SameText(Path.filename().string(), "carvelin2") &&
                                    Vantrel::SameText(Path.parent_path().filename().string(), "Dostrana"));
}

bool IsInUse(const std::string& Exe) {
  std::error_code Error;
  return fs::exists(fs::path(Exe).replace_extension(".db3"), Error) || !Env("CARVELIN_INI").empty();
}

std::optional<int> InstallIfRequested(const std::string& Exe, const QStringList& Args) {
  if (!Args.isEmpty() && Args.front() == QLatin1String("/start")) return std::nullopt;
  if (IsInstalledCopy(Exe) || IsInUse(Exe)) return std::nullopt;
  if (Ask(ShellTr::tr("Voulez-vous installer Carvelin 2.0 ?"))) {
    const std::string Folder = ProductFolder();
    const std::string Target = InstalledCopy();
    std::error_code Error;
    fs::create_directories(Folder, Error);
    bool Ok = false;
    try {
      Ok = CreateFileNoReplace(Target, Vantrel::FileToBytes(Exe), 0755);
    } catch (const std::exception&) {
      Ok = false;
    }
    if (Ok) {
      CreateDesktopShortcut(Target, Folder);
      QProcess::startDetached(QString::fromStdString(Target), {QStringLiteral("/start")}, QString::fromStdString(Folder));
    } else {
      MessageDlg(nullptr, QMessageBox::Critical,
                 ShellTr::tr("Impossible de copier ce programme dans %1").arg(QString::fromStdString(Folder)));
    }
    return 0;
  }
  const std::string Folder = fs::path(Exe).parent_path().string() + "/";
  if (!Ask(ShellTr::tr("Autorisez-vous Carvelin 2.0 à écrire dans le répertoire \"%1\" ?")
               .arg(QString::fromStdString(Folder))))
    return 0;
  return std::nullopt;
}

std::string DesktopFolder() {
  const std::string Home = Env("HOME");
  const std::string Dirs = Vantrel::FileToUTF8((XdgFolder("XDG_CONFIG_HOME", ".config") / "user-dirs.dirs").string());
  for (const std::string& Raw : Vantrel::SplitText("\n", Dirs)) {
    std::string_view Line = Raw;
    if (!Line.starts_with("XDG_DESKTOP_DIR=")) continue;
    Line.remove_prefix(16);
    if (Line.size() >= 2 && Line.front() == '"' && Line.back() == '"') Line = Line.substr(1, Line.size() - 2);
    std::string Folder(Line);
    if (Line.starts_with("$HOME")) Folder = Home + std::string(Line.substr(5));
    if (!Folder.empty() && Folder.front() == '/') return Folder;
  }
  std::error_code Error;
  const fs::path Desktop = fs::path(Home) / "Desktop";
  return !Home.empty() && fs::is_directory(Desktop, Error) ? Desktop.string() : std::string();
}

std::string DesktopExec(const std::vector<std::string>& Command, std::string_view FieldCode) {
  // An argument with a reserved character goes inside double quotes, where
  // '"', '`', '$' and '\' take a backslash; '%' is doubled everywhere; then
  // the whole value is escaped as a string.
  std::string Line;
  for (const std::string& Arg : Command) {
    const bool Quote = NeedsQuotes(Arg);
    if (!Line.empty()) Line += ' ';
    if (Quote) Line += '"';
    for (char C : Arg) {
      if (Quote && (C == '"' || C == '`' || C == '$' || C == '\\')) Line += '\\';
      Line += C;
      if (C == '%') Line += '%';
    }
    if (Quote) Line += '"';
  }
  if (!FieldCode.empty()) Line += " " + std::string(FieldCode);
  return DesktopString(Line);
}

bool CreateDesktopShortcut(const std::string& Target, const std::string& WorkingFolder) {
  const std::string Folder = DesktopFolder();
  if (Folder.empty()) return false;
  const std::string Text = DesktopEntry({{"Type", "Application"},
                                         {"Name", "Carvelin2"},
                                         {"Comment", "Vaspo DMP 2.0"},
                                         {"Exec", DesktopExec({Target}, "")},
                                         {"Path", DesktopString(WorkingFolder)},
                                         {"Terminal", "false"}});
  return CreateFileNoReplace(fs::path(Folder) / "Carvelin2.desktop", Text, 0755);
}

namespace {

// Path itself when an Exec line can name it unquoted; else the same file
// through the link "liens/" + Name, when that name allows: a link to the
// file itself when Whole, else to its folder (a file the program rewrites
// by renaming a new copy over it must not be reached through a file link,
// which the rename would replace).
std::string PlainPath(const std::string& Path, const std::string& Name, bool Whole) {
  if (!NeedsQuotes(Path)) return Path;
  const fs::path Target(Path);
  const fs::path Links = fs::path(ProductFolder()) / "liens";
  const fs::path Shown = Whole ? Links / Name : Links / Name / Target.filename();
  if (NeedsQuotes(Shown.string())) return Path;
  std::error_code Error;
  fs::create_directories(Links, Error);
  // Replaced in one step: a handler started meanwhile finds the old link or the new one.
  const fs::path Temp = Links / ("." + Name + ".tmp");
  fs::remove(Temp, Error);
  fs::create_symlink(Whole ? Target : Target.parent_path(), Temp, Error);
  if (!Error) fs::rename(Temp, Links / Name, Error);
  return Error ? Path : Shown.string();
}

}  // namespace

bool RegisterDmpScheme(const std::string& Exe) {
  constexpr std::string_view Scheme = "x-scheme-handler/dmp";
  constexpr std::string_view Name = "carvelin2.desktop";
  const fs::path Config = XdgFolder("XDG_CONFIG_HOME", ".config");
  Vantrel::TIniFile MimeApps((Config / "mimeapps.list").string());
  const std::string Default = MimeApps.ReadString("Default Applications", Scheme, "");
  if (!Default.empty() && Default != Name) return false;
  // The files this copy runs with go with it (its settings, the card's
  // token configuration, the stand-in Vitale card, the service hosts), so
  // that a link opened from a browser reaches this copy (or one started
  // like it); each variable with the name of its link.
  constexpr std::pair<const char*, const char*> Carried[] = {{"CARVELIN_INI", "reglages"},
                                                             {"SOFTHSM2_CONF", "carte"},
                                                             {"APILEC_STUB_XML", "vitale"},
                                                             {"CARVELIN_HOSTS", "hotes"}};
  std::vector<std::string> Command;
  for (const auto& [Variable, Link] : Carried)
    if (const std::string Value = Env(Variable); !Value.empty())
      Command.push_back(std::string(Variable) + "=" + PlainPath(Value, Link, false));
  if (!Command.empty()) Command.insert(Command.begin(), "env");
  Command.push_back(PlainPath(Exe, "programme", true));
  const std::string Entry = DesktopEntry({{"Type", "Application"},
                                          {"Name", "Carvelin2"},
                                          {"Exec", DesktopExec(Command, "%u")},
                                          {"Icon", "carvelin2"},
                                          {"NoDisplay", "true"},
                                          {"MimeType", std::string(Scheme) + ";"}});
  const fs::path Applications = XdgFolder("XDG_DATA_HOME", ".local/share") / "applications";
  const std::string File = (Applications / Name).string();
  if (!Default.empty() && Vantrel::FileToUTF8(File) == Entry) return false;
  std::error_code Error;
  fs::create_directories(Applications, Error);
  fs::create_directories(Config, Error);
  if (!Vantrel::UTF8ToFile(File, Entry)) return false;
  if (!Default.empty()) return true;
  MimeApps.WriteString("Default Applications", Scheme, Name);
  return MimeApps.UpdateFile();
}

bool ForwardToRunningInstance(const QString& URL) {
  Vantrel::TWMCopyDataHandler Handler;
  if (!Vantrel::FindPeerWindow(Handler, QLatin1String(Vantrel::WMCopyDataServicePrefix))) return false;
  const int Answer = Vantrel::SendCopyDataAndWait(Handler, Vantrel::URL, URL);
  // A busy copy has not taken the link: this run opens it itself.
  return Answer != 0 && Answer != Vantrel::BUSY;
}

bool DisableCoreDumps() {
  if (Env("CARVELIN_ALLOW_CORE_DUMPS") == "1") return false;
  const rlimit NoCore{0, 0};
  const bool Limited = setrlimit(RLIMIT_CORE, &NoCore) == 0;
  return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && Limited;
}

int RunCarvelin(int& Argc, char** Argv) {
  DisableCoreDumps();
  QApplication App(Argc, Argv);
  InstallTranslations(App);
  QStringList Args = QApplication::arguments();
  Args.removeFirst();
  const std::string Exe = QApplication::applicationFilePath().toStdString();
  if (const std::optional<int> Exit = FinishSelfUpdate(Exe)) return *Exit;
  if (const std::optional<int> Exit = InstallIfRequested(Exe, Args)) return *Exit;
  const QString First = Args.value(0);
  if (First.startsWith(QLatin1String("dmp://")) && ForwardToRunningInstance(First)) return 0;
  QApplication::setApplicationName(QStringLiteral("Carvelin2"));
  // The desktop shows it after the caption of the program's windows.
  QApplication::setApplicationDisplayName(QStringLiteral("Carvelin - le Dossier Médical Partagé magique"));
  int Result = 0;
  {
    TDMPMainOptions Options;
    Options.Arguments = Args;
    Options.Screens = TScreens::Program();
    TDMPMain Main(std::move(Options));
    if (!Main.StartStopped()) {
      Main.show();
      Result = QApplication::exec();
    } else {
      Result = Main.StartExitCode();
    }
  }
  PendingURL = {};
  PendingDeleteURL.clear();
  return Result;
}

}  // namespace Carvelin
