// The main window's creation order, command line, settings file, "dmp://"
// links and window placement.
#include <unistd.h>

#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QMimeData>
#include <QScreen>
#include <QStatusBar>

#include <charconv>
#include <chrono>
#include <filesystem>

#include "Carvelin.MessageDlg.h"
#include "Carvelin.Startup.h"
#include "DMP2Main.h"
#include "FLogMessage.h"
#include "ShellTr.h"
#include "UFrmCheckVersion.h"
#include "UStatistiques.h"
#include "Talven.Carvelin.Hosts.h"
#include "Vantrel.QRCodes.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.WMCopyData.h"

namespace Carvelin {

using namespace Talven;
namespace fs = std::filesystem;

std::string DomaineFormation;

namespace {

constexpr size_t MaxDmpUrlSize = 2048;
constexpr std::string_view DmpScheme = "dmp://";

std::string Utf8(const QString& S) { return S.toStdString(); }

// The section of a window's placement.
std::string FormSection(const QWidget* Form, const TVaspoPraticien& Praticien) {
  return Form == DMPMain ? "Forms.Main" : "Forms." + Praticien.IdNational;
}

std::string FormKey(const QWidget* Form, std::string_view Field) {
  const QString Class = QString::fromLatin1(Form->metaObject()->className());
  return Utf8(Class.mid(Class.lastIndexOf(QLatin1Char(':')) + 1)) + "." + std::string(Field);
}

}  // namespace

// ---- Settings file and command line ----

std::string SettingsFileName(const std::string& Exe) {
  if (const char* Ini = std::getenv("CARVELIN_INI"); Ini && *Ini) return Ini;
  const fs::path Path(Exe);
  if (access(Path.parent_path().c_str(), W_OK) == 0) return Exe + ".ini";
  const char* Config = std::getenv("XDG_CONFIG_HOME");
  const char* Home = std::getenv("HOME");
  const fs::path Folder = Config && *Config == '/' ? fs::path(Config) : fs::path(Home ? Home : "") / ".config";
  std::error_code Error;
  fs::create_directories(Folder / "Carvelin2", Error);
  return (Folder / "Carvelin2" / "carvelin2.ini").string();
}

TCommandLine ParseCommandLine(const QStringList& Args) {
  TCommandLine Result;
  qsizetype I = 0;
  auto At = [&](qsizetype N) { return Args.value(N); };
  bool InsGiven = false;
  if (At(I) == QLatin1String("/ins")) {
    PendingURL.INS = Utf8(At(I + 1));
    InsGiven = !PendingURL.INS.empty();
    I += 2;
  }
  const QString Card = At(I);
  if (Card == QLatin1String("/cps") || InsGiven || Card.startsWith(QLatin1String(DmpScheme.data()))) {
    if (Card != QLatin1String("/cps") && !InsGiven && !ParseDmpUrl(Utf8(Card)))
      AddLogLine(QStringLiteral("Lien refusé : ") + Card.left(int(MaxDmpUrlSize)));
    Result.ReadCard = true;
    ++I;
  }
  if (At(I) == QLatin1String("--port")) {
    bool Ok = false;
    const int Port = At(I + 1).toInt(&Ok);
    if (Ok && Port >= 1 && Port <= 65535) Result.Port = Port;
    I += 2;
  }
  if (At(I) == QLatin1String("/log")) Result.Log = true;
  return Result;
}

bool IsDmpServerAllowed(std::string_view Server) {
  const THostsConfig Hosts = HostsConfig();
  if (Vantrel::SameText(Server, Hosts.Formation.DMP_Server) || Vantrel::SameText(Server, Hosts.Production.DMP_Server))
    return true;
  if (DomaineFormation.empty()) return false;
  for (const char* N : {"1", "3", "4", "5"})
    if (Vantrel::SameText(Server, "formation" + std::string(N) + "." + DomaineFormation)) return true;
  return false;
}

bool ParseDmpUrl(std::string_view Text) {
  if (!Text.starts_with(DmpScheme) || Text.size() > MaxDmpUrlSize) return false;
  const std::string_view Rest = Text.substr(DmpScheme.size());
  const size_t P = Rest.find('/');
  if (P == std::string_view::npos) return false;  // no server part ends
  const std::string_view Server = Rest.substr(0, P);
  const size_t Q = Rest.find('/', P + 1);
  const std::string_view INS = Rest.substr(P + 1, Q == std::string_view::npos ? std::string_view::npos : Q - P - 1);
  const std::string_view Document = Q == std::string_view::npos ? std::string_view() : Rest.substr(Q + 1);
  if (INS.empty() || Q == std::string_view::npos) return false;
  if (!Server.empty() && !IsDmpServerAllowed(Server)) {
    AddLogLine("Serveur refusé : " + std::string(Server));
    return false;
  }
  PendingURL = {std::string(Server), std::string(INS), std::string(Document)};
  return true;
}

std::string DmpURL(std::string_view Server, std::string_view INS, std::string_view UniqueID) {
  return std::string(DmpScheme) + std::string(Server) + "/" + std::string(INS) + "/" + std::string(UniqueID);
}

void DeleteOldLetters(const std::string& Folder) {
  std::error_code Error;
  const auto Limit = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (fs::directory_iterator It(Folder, Error), End; !Error && It != End; It.increment(Error)) {
    const std::string Name = It->path().filename().string();
    if (!Name.starts_with("DMP_") || !Name.ends_with(".PDF") || Name.size() < 8) continue;
    if (Vantrel::UTF8ToUTF16(std::string_view(Name).substr(4, Name.size() - 8)).size() > 22) continue;
    std::error_code Ignored;
    if (It->is_regular_file(Ignored) && It->last_write_time(Ignored) < Limit) fs::remove(It->path(), Ignored);
  }
}

QRect PlacementOnScreens(const QRect& Bounds, const QList<QRect>& Screens, const QRect& Primary) {
  for (const QRect& S : Screens)
    if (S.intersects(Bounds)) return Bounds;
  QRect R(Primary.topLeft(), Bounds.size().boundedTo(Primary.size()));
  R.moveCenter(Primary.center());
  return R;
}

// ---- Creation ----

void TDMPMain::FormCreate() {
  CreateDossierControls();
  const QString Version = QString::fromStdString(GetProductVersion());
  setWindowTitle(QStringLiteral("Carvelin %1").arg(Version));
  statusBar()->showMessage(ShellTr::tr("Carvelin %1 - Prêt").arg(Version));
  try {
    ReadSettings();
  } catch (const Vantrel::ESQLite3Error& E) {
    // Without its store the program would lose what it files: the file is
    // left as it is for the user to look at.
    MessageDlg(nullptr, QMessageBox::Critical, QString::fromUtf8(E.what()));
    FStartStopped = true;
    FStartExitCode = 1;
    return;
  }
  LoadCertificats();
  DMP = FOptions.CreateRoot();
  DMP->SetLogger(this);
  if (const std::string Lib = INI->ReadString("Services", "CryptoLib", ""); !Lib.empty()) DMP->SetCryptoLib(Lib);
  if (const std::string Api = INI->ReadString("Services", "ApiLecture", ""); !Api.empty()) DMP->SetApiLecture(Api);
  // [Services] UpdateKey names a PEM public key in place of the compiled-in one.
  if (!TFrmCheckVersion::Execute(this, DefaultUpdateEnvironment(INI->ReadString("Services", "UpdateKey", "")))) {
    FStartStopped = true;
    return;
  }
  CommandLine = ParseCommandLine(FOptions.Arguments);
  if (CommandLine.Port) StartRESTServer(CommandLine.Port);
  if (CommandLine.ReadCard) ibCarteCPSClick();
  DeleteOldLetters(QDir::currentPath().toStdString());
  RegisterDmpScheme(QCoreApplication::applicationFilePath().toStdString());
  LoadFormState(this);
  if (CommandLine.Log) TLogMessage::Create();
  try {
    TSendPraticiens(Database.GetPratList(), HostsConfig().Maker);
  } catch (const std::exception&) {
    // The list is sent again at the next start.
  }
}

void TDMPMain::SendStatistics() {
  try {
    TVaspoStats Stats;
    Database.GetStats(FPraticien.rowid, Stats);
    PostStatistics(HostsConfig().Maker, StatisticsFields(FPraticien, Stats, LocalHostName()));
  } catch (const std::exception&) {
    // Statistics never stop the activity choice.
  }
}

void TDMPMain::ReadSettings() {
  const std::string Exe = QCoreApplication::applicationFilePath().toStdString();
  INI = std::make_unique<Vantrel::TIniFile>(FOptions.SettingsFile.empty() ? SettingsFileName(Exe)
                                                                           : FOptions.SettingsFile);
  for (const std::string& Warning : INI->Warnings()) AddLogLine(Warning);
  Database.Init(FOptions.DatabaseFile.empty() ? INI->ReadString("BASE", "CHEMIN", TVaspoDatabase::DefaultFileName())
                                              : FOptions.DatabaseFile);
  DocImport.Path = INI->ReadString("DocImport", "Path", "");
  DocImport.Icon = INI->ReadString("DocImport", "Icon", Exe + ",0");
  DocImport.Hint = INI->ReadString("DocImport", "Hint", "Exporter le document vers DocImport");
  Vantrel::EnsureTrailingBackslash(DocImport);
  DomaineFormation = INI->ReadString("Services", "DomaineFormation", "");
  if (const std::string Hosts = INI->ReadString("Services", "Hosts", ""); !Hosts.empty()) {
    try {
      SetHostsConfig(LoadHostsConfig(Hosts));
    } catch (const std::exception& E) {
      AddLogLine(std::string_view(E.what()));
    }
  }
}

// ---- Card reading (the login code completes it) ----


// ---- Links ----

std::string TDMPMain::GetURL() {
  if (!CNX || !List || DocumentIndex < 0 || DocumentIndex >= List->Count()) return {};
  const TDocumentInfo* Document = List->Info(DocumentIndex);
  return Document ? DmpURL(CNX->GetServer(), FPatient.INS(), Document->UniqueID) : std::string();
}

void TDMPMain::mnCopyDocLinkClick() { QGuiApplication::clipboard()->setText(QString::fromStdString(GetURL())); }

void TDMPMain::mnQRCodeLinkClick() {
  const std::string URL = GetURL();
  if (URL.empty()) return;
  const QByteArray PNG = Vantrel::QRCodePNG(QString::fromStdString(URL), 14, ImageList, 0);
  auto* Data = new QMimeData;
  Data->setImageData(QImage::fromData(PNG, "PNG"));
  Data->setData(QStringLiteral("image/png"), PNG);
  QGuiApplication::clipboard()->setMimeData(Data);
}

void TDMPMain::SwitchServer() {
  if (PendingURL.Server.empty()) return;
  if (PendingURL.Server != CNX->GetServer()) {
    OnCloseCSV();
    CNX->SetServer(PendingURL.Server);
  }
  PendingURL.Server.clear();
}

int TDMPMain::DeletePendingDocument() {
  const int Error = DOS ? DOS->SupprimerDocument(PendingURL.DocumentId) : ERR_SESSION;
  if (Error == ERR_OK) SendToAllWindows(Vantrel::DELETE, PendingDeleteURL);
  PendingURL.DocumentId.clear();
  PendingDeleteURL.clear();
  return Error;
}

void TDMPMain::LoadURL() {
  if (!CNX) return ibCarteCPSClick();
  SwitchServer();
  const std::string& INS = PendingURL.INS;
  if (!INS.empty() && !FPatient.HasINS(INS)) {
    const std::string Value = INS;
    PendingURL.INS.clear();
    return LoadINSC(Value, false);
  }
  PendingURL.INS.clear();
  if (!PendingDeleteURL.empty() && !PendingURL.DocumentId.empty() &&
      std::string_view(PendingDeleteURL).ends_with(PendingURL.DocumentId)) {
    DeletePendingDocument();
    return;
  }
  DOCID = PendingURL.DocumentId;
  PendingURL.DocumentId.clear();
  Submit([this] { OnDocument(); }, [this] { return OpenDocument(); });
}

int TDMPMain::DeleteURL() {
  if (!CNX) {
    ibCarteCPSClick();
    return int(Vantrel::SUBMIT);
  }
  SwitchServer();
  const std::string& INS = PendingURL.INS;
  if (!INS.empty() && !FPatient.HasINS(INS)) {
    const std::string Value = INS;
    PendingURL.INS.clear();
    LoadINSC(Value, true);
  }
  PendingURL.INS.clear();
  return DeletePendingDocument();
}

// ---- Placement ----

void TDMPMain::SaveFormState(QWidget* Form) {
  if (!INI || Form->isMinimized()) return;
  const std::string Section = FormSection(Form, FPraticien);
  const QRect R = Form->normalGeometry().isValid() ? Form->normalGeometry() : Form->geometry();
  const int State = Form->isMaximized() ? 2 : 0;
  INI->WriteInteger(Section, FormKey(Form, "State"), State);
  INI->WriteInteger(Section, FormKey(Form, "Top"), R.top());
  INI->WriteInteger(Section, FormKey(Form, "Left"), R.left());
  INI->WriteInteger(Section, FormKey(Form, "Width"), R.width());
  INI->WriteInteger(Section, FormKey(Form, "Height"), R.height());
  INI->UpdateFile();
}

void TDMPMain::LoadFormState(QWidget* Form) {
  if (!INI || (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier)) return;
  const std::string Section = FormSection(Form, FPraticien);
  const int State = INI->ReadInteger(Section, FormKey(Form, "State"), -1);
  if (State < 0) return;
  const QRect Current = Form->geometry();
  QRect R(INI->ReadInteger(Section, FormKey(Form, "Left"), Current.left()),
          INI->ReadInteger(Section, FormKey(Form, "Top"), Current.top()),
          INI->ReadInteger(Section, FormKey(Form, "Width"), Current.width()),
          INI->ReadInteger(Section, FormKey(Form, "Height"), Current.height()));
  QList<QRect> Screens;
  for (const QScreen* S : QGuiApplication::screens()) Screens << S->availableGeometry();
  if (const QScreen* Primary = QGuiApplication::primaryScreen())
    R = PlacementOnScreens(R, Screens, Primary->availableGeometry());
  Form->setGeometry(R);
  Form->setWindowState(State == 2 ? Qt::WindowMaximized : State == 1 ? Qt::WindowMinimized : Qt::WindowNoState);
}

}  // namespace Carvelin
