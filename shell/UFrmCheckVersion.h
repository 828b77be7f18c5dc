// The program's version strings, the check with the maker's update service
// at start-up and the replacement of the program by a signed update.
//
// An update goes:
//   POST Version, Build, EXE to Maker + "/carvelin2.php" (HTTPS, 5 s; every
//     request through the environment's proxy)
//     "ok"                 -> the program goes on
//     a relative ".zip" path -> GET Maker + "/" + path into "carvelin2.zip"
//                             GET the same + ".sig"
//                             ECDSA P-256 / SHA-256 over the archive, against
//                               the maker's public key, else nothing changes
//                             first entry -> "carvelin2_new" (0755, synced)
//                             rename "carvelin2_new" over "carvelin2" (the
//                               running process keeps its file), start it,
//                               and this run ends
//     other text           -> shown, and the program stops
//   an error status, an HTML page or no connection: the failure is shown
//   and the program goes on.
// Every step before the rename leaves the working copy as it was.
#pragma once

#include <QDialog>
#include <QPointer>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

class QLabel;
class QProgressBar;

namespace Carvelin {

class TPaintBox;

inline constexpr std::string_view ProductExeName = "carvelin2";
inline constexpr std::string_view UpdateArchiveName = "carvelin2.zip";
inline constexpr std::string_view NewExeName = "carvelin2_new";

// ---- Version strings ----

// "V" + major.minor.release of Version ("2.0.0"), then " RC" + Build when
// Build is not 0; "DEBUG" when Version is not three numbers.
std::string FormatProductVersion(std::string_view Version, int Build);
// "%d.%d.%d.%d"; "0.0.0.0" when Version is not three numbers.
std::string FormatBuildString(std::string_view Version, int Build);

// This program's strings, computed once.
const std::string& GetProductVersion();
const std::string& GetBuildString();
const std::string& ExeFolder();    // with its trailing "/"
const std::string& ExeFileName();  // without the folder

// ---- The update service ----

// Starts Program detached with Folder as working folder; false when it
// could not be started.
using TStartProgram = std::function<bool(const std::string& Program, const std::string& Folder)>;
// QProcess::startDetached without arguments.
bool StartDetached(const std::string& Program, const std::string& Folder);

struct TUpdateEnvironment {
  std::string Maker;         // "https://host[:port]"; empty: no check
  std::string PublicKeyPEM;  // the key that signs updates
  std::string Exe;           // the running program's full path
  TStartProgram Start = StartDetached;
  int AnswerTimeoutMs = 5000;  // to connect, and again to answer the check
};

// The compiled-in public key, or the contents of KeyFile when it names one.
std::string UpdatePublicKey(const std::string& KeyFile);
// Maker of the hosts configuration, UpdatePublicKey(KeyFile), this program.
TUpdateEnvironment DefaultUpdateEnvironment(const std::string& KeyFile);

enum class TUpdateVerdict {
  Go,       // "ok": nothing to do
  Message,  // a text of the service, shown; the program stops
  Archive,  // Text is the archive's path
  Failure,  // Text is the connection failure, shown; the program goes on
};
struct TUpdateAnswer {
  TUpdateVerdict Verdict = TUpdateVerdict::Failure;
  std::string Text;
};

// What the service's answer means. Only a 200 answer that is not HTML is
// the service's; a 407 is the proxy's refusal.
TUpdateAnswer ReadUpdateAnswer(int Status, std::string_view StatusLine, std::string_view ContentType,
                               std::string_view Body);
// A path below the maker's base: no scheme, "//", ".." segment, leading
// "/" or character outside A-Z a-z 0-9 - . _ ~ /.
bool IsSafeArchivePath(std::string_view Path);

// Progress of a download: the expected size once known, then the bytes
// received. Called on the downloading thread.
struct TDownloadProgress {
  std::function<void(int64_t Size)> Started;
  std::function<void(int64_t Received)> Received;
};

class TUpdateCheck {
 public:
  static constexpr int DownloadTimeoutMs = 30000;  // without a byte
  static constexpr size_t MaxAnswerSize = 64 * 1024;
  static constexpr uint64_t MaxArchiveSize = uint64_t(256) << 20;
  static constexpr uint64_t MaxEntrySize = uint64_t(256) << 20;

  explicit TUpdateCheck(TUpdateEnvironment Env);

  // Posts the version and decides; never throws.
  TUpdateAnswer Ask() const;
  // Fetches Path and its signature, checks them and writes the new program
  // beside the working copy; false (nothing replaced, nothing left) on any
  // failure, with the reason in Refusal (French). Never throws.
  bool Download(const std::string& Path, std::string& Refusal, const TDownloadProgress& Progress = {}) const;
  // Puts the new program in place of the working copy and starts it; false
  // when it could not be started (the new copy then stays in place).
  bool Install() const;

  std::string Folder() const;
  std::string NewExe() const;

 private:
  TUpdateEnvironment FEnv;
};

// The program log of refused updates, beside the program's other logs.
inline constexpr std::string_view UpdateLogExtension = ".update_log.txt";
// Says which update was refused and why, in the log window and the program
// log, so that a workstation left on an old version does not go unseen.
void ReportRefusedUpdate(std::string_view Path, std::string_view Refusal);

// The start-up step of an update left by a three-process update: run as
// "carvelin2_new", it renames itself over "carvelin2" (attempts Wait apart,
// up to 1200, a message after the 600th failure), starts it and gives the
// exit code; otherwise it deletes a leftover "carvelin2_new" and gives
// nullopt.
std::optional<int> FinishSelfUpdate(const std::string& Exe, const TStartProgram& Start = StartDetached,
                                    const std::function<void()>& Wait = nullptr);

// ---- The dialog ----

class TFrmCheckVersion : public QDialog {
  Q_OBJECT
 public:
  // True when the program goes on: another program name, no maker, "ok",
  // a failure (shown). False after a service message (shown) or when the
  // new program was started.
  static bool Execute(QWidget* Sender, const TUpdateEnvironment& Env);
  static bool Execute(QWidget* Sender);

  TFrmCheckVersion(QWidget* Owner, const TUpdateEnvironment& Env);
  ~TFrmCheckVersion() override;

  QLabel* Label1;
  TPaintBox* PaintBox1;
  QProgressBar* ProgressBar;
  std::string FMessage;
  bool FStarted = false;  // the new program runs

 protected:
  void reject() override {}  // only the check closes it

 private:
  void CheckVersionThread(TUpdateEnvironment Env);
  // On the user-interface thread.
  void EndStep(bool FUpdate, const std::string& FError, const TUpdateCheck& Check);

  std::thread FThread;
};

}  // namespace Carvelin
