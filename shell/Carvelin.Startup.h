// The program's main block and what it decides before any window exists:
// whether this run installs the program under the user's home, hands a
// "dmp://" link to a copy that already runs, or starts the main window.
// Also the desktop entries the program writes for itself.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Carvelin {

// The product folder with its trailing "/": $HOME/Dostrana/ when that
// folder exists, else $XDG_DATA_HOME/Talven/ (~/.local/share/Talven/).
std::string ProductFolder();
// ProductFolder() + "carvelin2".
std::string InstalledCopy();
// Exe is the installed copy, or "carvelin2" (any case) directly in a folder
// named "Dostrana" (any case).
bool IsInstalledCopy(const std::string& Exe);
// The database of the default name lies beside Exe, or CARVELIN_INI names
// the settings (the launcher chose where the data lives).
bool IsInUse(const std::string& Exe);

// Offers the installation unless Args (without the program) start with
// "/start" or Exe is installed or in use. The exit code when the run must
// end here, nullopt when it goes on.
std::optional<int> InstallIfRequested(const std::string& Exe, const QStringList& Args);

// XDG_DESKTOP_DIR of $XDG_CONFIG_HOME/user-dirs.dirs, else $HOME/Desktop
// when it exists, else "".
std::string DesktopFolder();
// Writes "Carvelin2.desktop" (mode 0755) into DesktopFolder(), never over
// an existing file; true when written.
bool CreateDesktopShortcut(const std::string& Target, const std::string& WorkingFolder);

// Registers the "dmp" scheme for Exe when $XDG_CONFIG_HOME/mimeapps.list
// names no default handler, or names ours with another command:
// $XDG_DATA_HOME/applications/carvelin2.desktop, starting Exe with the
// files this run was given ($CARVELIN_INI, $SOFTHSM2_CONF,
// $APILEC_STUB_XML, $CARVELIN_HOSTS, each when set), and one line in
// [Default Applications]. A path the Exec line would have to quote is named
// through a link of ProductFolder() + "liens/" (to Exe itself, to a file's
// folder): Debian's xdg-open splits that line on blanks and takes no
// quotes. True when written now.
bool RegisterDmpScheme(const std::string& Exe);

// A desktop entry's Exec value running Command (each word quoted only when
// it must be) followed by FieldCode ("%u", or nothing).
std::string DesktopExec(const std::vector<std::string>& Command, std::string_view FieldCode);

// Hands URL to the first running copy that answers PING on the session bus;
// true when it accepted the link (answered neither 0 nor BUSY).
bool ForwardToRunningInstance(const QString& URL);

// Keeps the PIN, names and INS held in memory out of core files and away
// from other processes' ptrace (not dumpable, core size limit 0), unless
// CARVELIN_ALLOW_CORE_DUMPS is "1". True when both settings took.
bool DisableCoreDumps();

// The main block; the process's exit code.
int RunCarvelin(int& Argc, char** Argv);

}  // namespace Carvelin
