#include "UFrmCheckVersion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <memory>

#include "Carvelin.MessageDlg.h"
#include "FLogMessage.h"
#include "ShellTr.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "VCLPatches.h"
#include "Vantrel.HTTPClient.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.Winapi.BCrypt.h"

#ifndef CARVELIN_BUILD
#define CARVELIN_BUILD 0
#endif
#ifndef CARVELIN_VERSION
#define CARVELIN_VERSION ""
#endif

static void InitUpdateKey() { Q_INIT_RESOURCE(CarvelinShell); }

namespace Carvelin {

namespace fs = std::filesystem;

namespace {

constexpr size_t MaxSignatureSize = 1024;
constexpr size_t CopyChunk = size_t(1) << 20;

std::string_view Trim(std::string_view S) {
  constexpr std::string_view Blanks = " \t\r\n";
  const size_t First = S.find_first_not_of(Blanks);
  return First == std::string_view::npos ? std::string_view() : S.substr(First, S.find_last_not_of(Blanks) - First + 1);
}

// "major.minor.release" as three numbers.
bool ParseVersion(std::string_view Version, int (&Parts)[3]) {
  const char* P = Version.data();
  const char* End = P + Version.size();
  for (int I = 0; I < 3; ++I) {
    auto [Next, Ec] = std::from_chars(P, End, Parts[I]);
    if (Ec != std::errc() || Parts[I] < 0) return false;
    P = Next;
    if (I < 2) {
      if (P == End || *P != '.') return false;
      ++P;
    }
  }
  return P == End;
}

std::string ExePath() {
  std::error_code Error;
  const fs::path Path = fs::read_symlink("/proc/self/exe", Error);
  return Error ? std::string() : Path.string();
}

bool WriteAll(int Fd, const char* Data, size_t Size) {
  while (Size > 0) {
    const ssize_t N = write(Fd, Data, Size);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Data += N;
    Size -= size_t(N);
  }
  return true;
}

// A socket that tells what it receives: the size announced by the response
// head (Content-Length), then the body bytes as they arrive.
class TProgressSocket : public Vantrel::TTCPSocket {
 public:
  TProgressSocket(std::unique_ptr<Vantrel::TTCPSocket> Inner, const TDownloadProgress& Progress)
      : FInner(std::move(Inner)), FProgress(Progress) {}
  bool Closed() override { return FInner->Closed(); }
  int Write(const void* Data, size_t Size) override { return FInner->Write(Data, Size); }
  int Read(void* Data, size_t Size) override {
    const int N = FInner->Read(Data, Size);
    if (N > 0) Seen(static_cast<const char*>(Data), size_t(N));
    return N;
  }

 private:
  void Seen(const char* Data, size_t Size) {
    if (FHeadDone) {
      FBody += int64_t(Size);
      if (FProgress.Received) FProgress.Received(FBody);
      return;
    }
    FHead.append(Data, Size);
    const size_t End = FHead.find("\r\n\r\n");
    if (End == std::string::npos) {
      if (FHead.size() > Vantrel::TCustomHTTPClient::MaxHeadSize) FHeadDone = true;
      return;
    }
    FHeadDone = true;
    const std::string Head = Vantrel::LowerCaseASCII(std::string_view(FHead).substr(0, End));
    int64_t Length = 0;
    if (const size_t At = Head.find("\r\ncontent-length:"); At != std::string::npos) {
      const char* P = Head.data() + At + 17;
      while (*P == ' ') ++P;
      std::from_chars(P, Head.data() + Head.size(), Length);
    }
    if (FProgress.Started) FProgress.Started(Length);
    FBody = int64_t(FHead.size() - End - 4);
    if (FProgress.Received) FProgress.Received(FBody);
  }

  std::unique_ptr<Vantrel::TTCPSocket> FInner;
  const TDownloadProgress& FProgress;
  std::string FHead;
  bool FHeadDone = false;
  int64_t FBody = 0;
};

class TProgressHTTPClient : public Vantrel::THTTPClient {
 public:
  explicit TProgressHTTPClient(const TDownloadProgress& Progress) : FProgress(Progress) {}

 protected:
  std::unique_ptr<Vantrel::TTCPSocket> OpenSocket() override {
    return std::make_unique<TProgressSocket>(THTTPClient::OpenSocket(), FProgress);
  }

 private:
  const TDownloadProgress& FProgress;
};

// GET URL into Body; true for a 200 answer.
bool Fetch(Vantrel::THTTPClient& Client, const std::string& URL, size_t MaxSize, std::string& Body) {
  Client.SetTimeout(TUpdateCheck::DownloadTimeoutMs);
  Client.SetKeepAlive(false);
  Client.SetMaxBodySize(MaxSize);
  Talven::SetSystemProxy(Client, URL);
  Client.Get(URL, Body);
  return Client.ResponseCode() == 200;
}

// A new file at Path, mode 0600, never following a link.
bool WriteNewFile(const std::string& Path, std::string_view Bytes) {
  const int Fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (Fd < 0) return false;
  const bool Ok = WriteAll(Fd, Bytes.data(), Bytes.size()) && fsync(Fd) == 0;
  return close(Fd) == 0 && Ok;
}

struct TZipClose {
  void operator()(zip_t* Z) const { zip_discard(Z); }
};
struct TZipFileClose {
  void operator()(zip_file_t* F) const { zip_fclose(F); }
};

// The archive's first entry into Target (through a temporary file beside
// it, synced, mode 0755, then renamed); false leaves Target as it was.
bool UnpackFirstEntry(const std::string& Archive, const std::string& Target) {
  int Error = 0;
  std::unique_ptr<zip_t, TZipClose> Zip(zip_open(Archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &Error));
  zip_stat_t Stat;
  if (!Zip || zip_get_num_entries(Zip.get(), 0) < 1 || zip_stat_index(Zip.get(), 0, 0, &Stat) != 0 ||
      !(Stat.valid & ZIP_STAT_SIZE) || Stat.size > TUpdateCheck::MaxEntrySize)
    return false;
  std::unique_ptr<zip_file_t, TZipFileClose> Entry(zip_fopen_index(Zip.get(), 0, 0));
  if (!Entry) return false;
  std::string Temp = Target + ".XXXXXX";
  const int Fd = mkostemp(Temp.data(), O_CLOEXEC);
  if (Fd < 0) return false;
  std::string Chunk(CopyChunk, '\0');
  uint64_t Total = 0;
  bool Ok = true;
  for (zip_int64_t N; Ok && (N = zip_fread(Entry.get(), Chunk.data(), Chunk.size())) != 0;) {
    Total += uint64_t(N);
    Ok = N > 0 && Total <= Stat.size && WriteAll(Fd, Chunk.data(), size_t(N));
  }
  Ok = Ok && Total == Stat.size && fchmod(Fd, 0755) == 0 && fsync(Fd) == 0;
  Ok = close(Fd) == 0 && Ok;
  Ok = Ok && rename(Temp.c_str(), Target.c_str()) == 0;
  if (!Ok) unlink(Temp.c_str());
  return Ok;
}

}  // namespace

// ---- Version strings ----

std::string FormatProductVersion(std::string_view Version, int Build) {
  int P[3];
  if (!ParseVersion(Version, P)) return "DEBUG";
  std::string Text = "V" + std::to_string(P[0]) + "." + std::to_string(P[1]) + "." + std::to_string(P[2]);
  if (Build != 0) Text += " RC" + std::to_string(Build);
  return Text;
}

std::string FormatBuildString(std::string_view Version, int Build) {
  int P[3] = {0, 0, 0};
  if (!ParseVersion(Version, P)) P[0] = P[1] = P[2] = Build = 0;
  return std::to_string(P[0]) + "." + std::to_string(P[1]) + "." + std::to_string(P[2]) + "." + std::to_string(Build);
}

const std::string& GetProductVersion() {
  static const std::string Version = FormatProductVersion(CARVELIN_VERSION, CARVELIN_BUILD);
  return Version;
}

const std::string& GetBuildString() {
  static const std::string Build = FormatBuildString(CARVELIN_VERSION, CARVELIN_BUILD);
  return Build;
}

const std::string& ExeFolder() {
  static const std::string Folder = fs::path(ExePath()).parent_path().string() + "/";
  return Folder;
}

const std::string& ExeFileName() {
  static const std::string Name = fs::path(ExePath()).filename().string();
  return Name;
}

// ---- The update service ----

bool StartDetached(const std::string& Program, const std::string& Folder) {
  return QProcess::startDetached(QString::fromStdString(Program), {}, QString::fromStdString(Folder));
}

std::string UpdatePublicKey(const std::string& KeyFile) {
  if (!KeyFile.empty()) return Vantrel::FileToUTF8(KeyFile);
  InitUpdateKey();
  QFile Key(QStringLiteral(":/shell/update/update-key.pem"));
  return Key.open(QIODevice::ReadOnly) ? Key.readAll().toStdString() : std::string();
}

TUpdateEnvironment DefaultUpdateEnvironment(const std::string& KeyFile) {
  TUpdateEnvironment Env;
  Env.Maker = Talven::HostsConfig().Maker;
  Env.PublicKeyPEM = UpdatePublicKey(KeyFile);
  Env.Exe = ExeFolder() + ExeFileName();
  return Env;
}

TUpdateAnswer ReadUpdateAnswer(int Status, std::string_view StatusLine, std::string_view ContentType,
                               std::string_view Body) {
  const std::string Failure = ShellTr::tr("Impossible d'accéder à Internet\r").toStdString();
  if (Status == 407)
    return {TUpdateVerdict::Failure, ShellTr::tr("Impossible de s'authentifier sur votre Proxy").toStdString()};
  const std::string Text(Trim(Body));
  const bool Html = Vantrel::StartsText("text/html", ContentType) || Vantrel::StartsText("<!doctype", Text) ||
                    Vantrel::StartsText("<html", Text);
  if (Status != 200 || Html) return {TUpdateVerdict::Failure, Failure + std::string(StatusLine)};
  if (Text.find(".zip") != std::string::npos) return {TUpdateVerdict::Archive, Text};
  if (Text == "ok") return {TUpdateVerdict::Go, {}};
  return {TUpdateVerdict::Message, Text};
}

bool IsSafeArchivePath(std::string_view Path) {
  if (Path.empty() || Path.front() == '/' || Path.find("//") != std::string_view::npos) return false;
  for (char C : Path)
    if (!(std::isalnum(static_cast<unsigned char>(C)) || C == '-' || C == '.' || C == '_' || C == '~' || C == '/'))
      return false;
  for (std::string_view Rest = Path; !Rest.empty();) {
    const size_t Slash = Rest.find('/');
    if (Rest.substr(0, Slash) == "..") return false;
    Rest = Slash == std::string_view::npos ? std::string_view() : Rest.substr(Slash + 1);
  }
  return true;
}

TUpdateCheck::TUpdateCheck(TUpdateEnvironment Env) : FEnv(std::move(Env)) {}

std::string TUpdateCheck::Folder() const { return fs::path(FEnv.Exe).parent_path().string() + "/"; }
std::string TUpdateCheck::NewExe() const { return Folder() + std::string(NewExeName); }

TUpdateAnswer TUpdateCheck::Ask() const {
  Vantrel::THTTPClient Client;
  try {
    Client.SetTimeout(FEnv.AnswerTimeoutMs);
    Client.SetKeepAlive(false);
    Client.SetMaxBodySize(MaxAnswerSize);
    const std::string URL = FEnv.Maker + "/carvelin2.php";
    Talven::SetSystemProxy(Client, URL);
    std::string Body =
        Client.Post(URL, {{"Version", GetProductVersion()}, {"Build", GetBuildString()}, {"EXE", FEnv.Exe}});
    return ReadUpdateAnswer(Client.ResponseCode(), Client.Response(), Client.GetHeader("Content-Type"), Body);
  } catch (const std::exception& E) {
    if (Client.ResponseCode() == 407) return ReadUpdateAnswer(407, {}, {}, {});
    return {TUpdateVerdict::Failure, ShellTr::tr("Impossible d'accéder à Internet\r").toStdString() + E.what()};
  }
}

bool TUpdateCheck::Download(const std::string& Path, std::string& Refusal, const TDownloadProgress& Progress) const {
  Refusal.clear();
  if (!IsSafeArchivePath(Path)) {
    Refusal = ShellTr::tr("chemin non sûr").toStdString();
    return false;
  }
  const std::string Archive = Folder() + std::string(UpdateArchiveName);
  try {
    const std::string URL = FEnv.Maker + "/" + Path;
    std::string Bytes, Signature;
    TProgressHTTPClient Client(Progress);
    Vantrel::THTTPClient SigClient;
    if (!Fetch(Client, URL, MaxArchiveSize, Bytes)) {
      Refusal = ShellTr::tr("archive non reçue (%1)").arg(QString::fromStdString(Client.Response())).toStdString();
    } else if (!Fetch(SigClient, URL + ".sig", MaxSignatureSize, Signature)) {
      Refusal = ShellTr::tr("signature absente (%1)").arg(QString::fromStdString(SigClient.Response())).toStdString();
    } else {
      std::string_view Rest = Bytes;
      const Vantrel::TByteSource Source = [&Rest](char* Buffer, size_t Size) {
        const size_t N = std::min(Size, Rest.size());
        std::copy_n(Rest.data(), N, Buffer);
        Rest.remove_prefix(N);
        return N;
      };
      if (Vantrel::VerifyECDSASHA256(FEnv.PublicKeyPEM, Source, Signature) != Vantrel::STATUS_SUCCESS)
        Refusal = ShellTr::tr("signature invalide").toStdString();
      else if (!WriteNewFile(Archive, Bytes) || !UnpackFirstEntry(Archive, NewExe()))
        Refusal = ShellTr::tr("archive illisible ou impossible à écrire").toStdString();
    }
  } catch (const std::exception& E) {
    Refusal = E.what();
  }
  std::error_code Ignored;
  fs::remove(Archive, Ignored);
  return Refusal.empty();
}

void ReportRefusedUpdate(std::string_view Path, std::string_view Refusal) {
  // The path is the service's text: only its start, on one line.
  std::string Shown(Path.substr(0, 200));
  std::replace_if(Shown.begin(), Shown.end(), [](char C) { return C == '\r' || C == '\n'; }, ' ');
  const std::string Line = ShellTr::tr("Mise à jour refusée : %1 (%2)")
                               .arg(QString::fromStdString(Shown), QString::fromUtf8(Refusal.data(), qsizetype(Refusal.size())))
                               .toStdString();
  AddLogLine(Line);
  Vantrel::WriteProgramLog(UpdateLogExtension, Line + "\n");
}

bool TUpdateCheck::Install() const {
  if (rename(NewExe().c_str(), FEnv.Exe.c_str()) != 0) return false;
  return FEnv.Start(FEnv.Exe, Folder());
}

std::optional<int> FinishSelfUpdate(const std::string& Exe, const TStartProgram& Start,
                                    const std::function<void()>& Wait) {
  const fs::path Path(Exe);
  const std::string Folder = Path.parent_path().string() + "/";
  if (Path.filename() != NewExeName) {
    std::error_code Ignored;
    fs::remove(Folder + std::string(NewExeName), Ignored);
    return std::nullopt;
  }
  const std::string Target = Folder + std::string(ProductExeName);
  for (int Failures = 0;;) {
    if (rename(Exe.c_str(), Target.c_str()) == 0) {
      if (!Start(Target, Folder))
        MessageDlg(nullptr, QMessageBox::Critical,
                   ShellTr::tr("Impossible de mettre à jour Carvelin, veuillez contacter le support."));
      return 0;
    }
    ++Failures;
    if (Failures == 1200) {
      MessageDlg(nullptr, QMessageBox::Critical, ShellTr::tr("Impossible de mettre à jour Carvelin, opération abandonnée."));
      return 100;
    }
    if (Wait)
      Wait();
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (Failures == 600)
      MessageDlg(nullptr, QMessageBox::Warning,
                 ShellTr::tr("Impossible de mettre à jour Carvelin, assurez-vous que le programme est arrêté."));
  }
}

// ---- The dialog ----

TFrmCheckVersion::TFrmCheckVersion(QWidget* Owner, const TUpdateEnvironment& Env) : QDialog(Owner) {
  setObjectName(QStringLiteral("FrmCheckVersion"));
  setWindowTitle(ShellTr::tr("Vérification de la version..."));
  setWindowFlag(Qt::WindowCloseButtonHint, false);
  auto* Layout = new QVBoxLayout(this);
  Label1 = new QLabel(ShellTr::tr("Vérification de la version en cours..."), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  PaintBox1 = new TPaintBox(this);
  PaintBox1->setObjectName(QStringLiteral("PaintBox1"));
  PaintBox1->setAccessibleName(ShellTr::tr("Activité en cours"));
  const int H = fontMetrics().height();
  PaintBox1->setFixedSize(H * 3, H);
  ProgressBar = new QProgressBar(this);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setAccessibleName(ShellTr::tr("Téléchargement"));
  ProgressBar->hide();
  Layout->addWidget(Label1);
  Layout->addWidget(PaintBox1, 0, Qt::AlignHCenter);
  Layout->addWidget(ProgressBar);
  setFixedWidth(fontMetrics().horizontalAdvance(Label1->text()) + 4 * H);
  SetBusyIndicator(PaintBox1, true);
  FThread = std::thread(&TFrmCheckVersion::CheckVersionThread, this, Env);
}

TFrmCheckVersion::~TFrmCheckVersion() {
  // The thread's last step is the end step, which closes this dialog.
  if (FThread.joinable()) FThread.join();
  SetBusyIndicator(PaintBox1, false);
}

void TFrmCheckVersion::CheckVersionThread(TUpdateEnvironment Env) {
  const TUpdateCheck Check(std::move(Env));
  bool FUpdate = false;
  std::string FError;
  try {
    const TUpdateAnswer Answer = Check.Ask();
    switch (Answer.Verdict) {
      case TUpdateVerdict::Failure: FError = Answer.Text; break;
      case TUpdateVerdict::Message: FMessage = Answer.Text; break;
      case TUpdateVerdict::Go: break;
      case TUpdateVerdict::Archive: {
        QMetaObject::invokeMethod(this, [this] { Label1->setText(ShellTr::tr("Téléchargement de la mise à jour...")); },
                                  Qt::QueuedConnection);
        // Position updates are posted at most once per percent.
        std::atomic<int64_t> Size = 0;
        int64_t Posted = -1;
        TDownloadProgress Progress;
        Progress.Started = [&](int64_t S) {
          Size = S;
          QMetaObject::invokeMethod(this, [this, S] {
            ProgressBar->setMaximum(int(std::min<int64_t>(S, INT32_MAX)));
            ProgressBar->show();
          }, Qt::QueuedConnection);
        };
        Progress.Received = [&](int64_t R) {
          const int64_t Step = std::max<int64_t>(Size / 100, 1);
          if (R / Step == Posted && R != Size) return;
          Posted = R / Step;
          QMetaObject::invokeMethod(this, [this, R] { ProgressBar->setValue(int(std::min<int64_t>(R, INT32_MAX))); },
                                    Qt::QueuedConnection);
        };
        std::string Refusal;
        FUpdate = Check.Download(Answer.Text, Refusal, Progress);
        if (!FUpdate) ReportRefusedUpdate(Answer.Text, Refusal);
        break;
      }
    }
  } catch (const std::exception& E) {
    FError = E.what();
  }
  QMetaObject::invokeMethod(this, [&] { EndStep(FUpdate, FError, Check); }, Qt::BlockingQueuedConnection);
}

void TFrmCheckVersion::EndStep(bool FUpdate, const std::string& FError, const TUpdateCheck& Check) {
  if (FUpdate) {
    FStarted = Check.Install();
    if (!FStarted) MessageDlg(this, QMessageBox::Warning, ShellTr::tr("Impossible de lancer la mise à jour..."));
  }
  if (!FError.empty()) MessageDlg(this, QMessageBox::Warning, QString::fromStdString(FError));
  accept();
}

bool TFrmCheckVersion::Execute(QWidget* Sender, const TUpdateEnvironment& Env) {
  if (!Vantrel::SameText(fs::path(Env.Exe).filename().string(), ProductExeName) || Env.Maker.empty()) return true;
  std::string Message;
  bool Started = false;
  {
    TFrmCheckVersion Frm(Sender, Env);
    Frm.exec();
    Message = Frm.FMessage;
    Started = Frm.FStarted;
  }
  if (!Message.empty()) MessageDlg(Sender, QMessageBox::Information, QString::fromStdString(Message));
  return Message.empty() && !Started;
}

bool TFrmCheckVersion::Execute(QWidget* Sender) { return Execute(Sender, DefaultUpdateEnvironment({})); }

}  // namespace Carvelin
