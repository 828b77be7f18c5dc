#include "Carvelin.WMApi.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QMessageBox>

#include <algorithm>

#include "Carvelin.MessageDlg.h"
#include "DMP2Main.h"
#include "FLogMessage.h"
#include "Talven.Messages.h"
#include "Vantrel.JSON.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using namespace Vantrel;
using Talven::ERR_OK;

namespace {

using Vantrel::Q;

template <class T>
QString JSONText(const T& Value) {
  return QString::fromStdU16String(UTF16::JSON::buildJSON(Value));
}

// Reads a host's JSON into Value (zeroed first): "" or the error, with its
// position for a syntax error.
template <class T>
std::string ReadPayload(const std::string& Text, T& Value) {
  Value = T();
  try {
    UTF16::JSON::parseJSON(UTF8ToUTF16(Text), Value);
    return {};
  } catch (const UTF16::EJSONError& E) {
    return std::string(E.what()) + " (position " + std::to_string(E.Offset()) + ")";
  } catch (const std::exception& E) {
    return E.what();
  }
}

std::string WithoutDashes(std::string INS) {
  std::erase(INS, '-');
  return INS;
}

// A host's INS designates the patient: the record's INS-C or INS, the latter
// also written without the type letter a test-environment INS carries.
// The bus daemon gives every connection a unique name ":" + digits and dots.
bool IsUniqueName(const QString& Name) {
  return Name.size() > 1 && Name.size() <= 255 && Name.startsWith(QLatin1Char(':'));
}

// The received-command log line, or "" for a code that has none.
QString ReceivedLine(uint32_t Code, const QString& From, const QString& Text) {
  switch (Code) {
    case QUERY_PATIENT: return QStringLiteral("RECV> QUERY_PATIENT: ") + Text;
    case OPEN_PATIENT: return QStringLiteral("RECV> OPEN_PATIENT: ") + Text;
    case SEND_FILE: return QStringLiteral("RECV> SEND_FILE:") + Text;
    case PING: return QStringLiteral("RECV> PING");
    case REGISTER: return QStringLiteral("RECV> REGISTER: ") + From;
    case MESSAGE: return QStringLiteral("RECV> MESSAGE: ") + Text;
    case URL: return QStringLiteral("RECV> URL: ") + Text;
    case DELETE: return QStringLiteral("RECV> DELETE: ") + Text;
    default: return {};
  }
}

void LogAnswer(int Answer) {
  switch (Answer) {
    case 0: return AddLogLine(QStringLiteral("RETURN 0"));
    case 1: return AddLogLine(QStringLiteral("RETURN 1"));
    case int(PING): return AddLogLine(QStringLiteral("RETURN PING"));
    case SUBMIT: return AddLogLine(QStringLiteral("RETURN SUBMIT"));
    case BUSY: return AddLogLine(QStringLiteral("RETURN BUSY"));
    default: return;
  }
}

}  // namespace

// ---- Bus object ----

int TWMApiBusObject::CopyData(uint Code, const QString& Text) {
  try {
    return FForm.WMCopyData(message().service(), Code, Text);
  } catch (const std::exception& E) {
    AddLogLine(std::string_view(E.what()));
    return 0;
  }
}

// ---- Form ----

TWMApiForm::TWMApiForm(QWidget* Parent) : QMainWindow(Parent) {}

TWMApiForm::~TWMApiForm() {
  if (!FBusObject) return;
  FHandler.Bus.disconnect(QString(), QString(), QLatin1String(Talven::WM_HOST_API),
                          QLatin1String(Talven::HostMessageSignal), this,
                          SLOT(AppEventsMessage(QString, uint, QDBusMessage)));
  FHandler.Bus.unregisterService(FServiceName);
  FHandler.Bus.unregisterObject(QLatin1String(WMCopyDataPath));
}

TDMPMain& TWMApiForm::Main() { return static_cast<TDMPMain&>(*this); }

void TWMApiForm::showEvent(QShowEvent* Event) {
  CreateHandle();
  QMainWindow::showEvent(Event);
}

void TWMApiForm::CreateHandle() {
  if (FBusObject) return;
  QDBusConnection Bus = QDBusConnection::sessionBus();
  if (!Bus.isConnected()) {
    AddLogLine(QStringLiteral("Pas de bus de session : l'interface des logiciels hôtes est désactivée"));
    return;
  }
  auto Object = std::make_unique<TWMApiBusObject>(*this);
  const QString Service =
      QLatin1String(WMCopyDataServicePrefix) + QString::number(QCoreApplication::applicationPid());
  if (!Bus.registerObject(QLatin1String(WMCopyDataPath), Object.get(), QDBusConnection::ExportAllSlots)) {
    AddLogLine(QStringLiteral("L'objet ") + QLatin1String(WMCopyDataPath) + QStringLiteral(" est déjà servi"));
    return;
  }
  if (!Bus.registerService(Service)) {
    Bus.unregisterObject(QLatin1String(WMCopyDataPath));
    AddLogLine(QStringLiteral("Le nom ") + Service + QStringLiteral(" est déjà pris"));
    return;
  }
  Bus.connect(QString(), QString(), QLatin1String(Talven::WM_HOST_API), QLatin1String(Talven::HostMessageSignal),
              this, SLOT(AppEventsMessage(QString, uint, QDBusMessage)));
  FHandler.Bus = Bus;
  FHandler.Sender = Bus.baseService();
  FServiceName = Service;
  FBusObject = std::move(Object);
  Talven::PostHostMessage(Bus, FHandler.Sender, Talven::HOSTMSG_ANNOUNCE);
}

void TWMApiForm::AppEventsMessage(const QString& Window, uint Code, const QDBusMessage&) {
  if (!Talven::IsHostQuery(Code & 0x7F) || !IsUniqueName(Window) || !FBusObject) return;
  Talven::PostHostMessage(FHandler.Bus, FHandler.Sender, Talven::HOSTMSG_ANNOUNCE, Window);
}

bool TWMApiForm::IsBusy() {
  const TScreens& S = Main().Screens();
  return Busy() || (S.AjoutDocumentShown && S.AjoutDocumentShown());
}

void TWMApiForm::BringToFront() {
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
}

// ---- Commands ----

int TWMApiForm::WMCopyData(const QString& From, uint32_t Code, const QString& Text) {
  if (Text.size() > MaxCopyDataText) return 0;
  const std::string Msg = CopyDataString(Text);
  if (Msg.size() > size_t(MaxCopyDataText)) return 0;
  if (Msg == "PING") {
    AddLogLine(QStringLiteral("RECV> PING"));
    return int(Code);
  }
  if (Msg == "Register") {
    AddLogLine(QStringLiteral("RECV> Register ") + From);
    return RegisterWindow(From) ? 1 : 0;
  }
  if (const QString Line = ReceivedLine(Code, From, Text); !Line.isEmpty()) AddLogLine(Line);

  TDMPMain& M = Main();
  int Answer = 0;
  switch (Code) {
    case QUERY_PATIENT:
    case OPEN_PATIENT:
    case MESSAGE:
      if (IsBusy()) {
        AddLogLine(QStringLiteral("!BUSY"));
        Answer = BUSY;
      } else if (M.CNX) {
        Submit(From, Code, Msg);
        Answer = SUBMIT;
      } else {
        // After the login the record of this INS opens.
        if (Code == OPEN_PATIENT) PendingURL.INS = Msg;
        M.ibCarteCPSClick();
        Answer = -1;
      }
      break;
    case SEND_FILE:
      if (IsBusy()) {
        AddLogLine(QStringLiteral("!BUSY"));
        Answer = BUSY;
      } else {
        if (!M.CNX) AddLogLine(QStringLiteral("LoadCPS"));
        Submit(From, Code, Msg);
        Answer = SUBMIT;
      }
      break;
    case PING:
      Answer = int(PING);
      break;
    case REGISTER:
      Answer = RegisterWindow(From) ? 1 : 0;
      break;
    case URL:
      if (!IsBusy() && ParseDmpUrl(Msg)) {
        M.LoadURL();
        Answer = SUBMIT;
      }
      break;
    case DELETE:
      // 0 is a done deletion here: a refusal answers BUSY or the core's
      // parameter error instead.
      if (IsBusy()) {
        AddLogLine(QStringLiteral("!BUSY"));
        Answer = BUSY;
      } else if (!ParseDmpUrl(Msg)) {
        Answer = Talven::ERR_PARAMETRE;
      } else {
        PendingDeleteURL = Msg;
        Answer = M.DeleteURL();
        if (Answer == SUBMIT) {
          // Card reading started: after the login the link opens its
          // document; nothing is deleted that the host was not answered for.
          PendingDeleteURL.clear();
        } else if (Answer != ERR_OK) {
          const std::string_view Error = M.DMP->GetErrMsg(Answer);
          SendToWindow(From, MESSAGE, QString::fromUtf8(Error.data(), qsizetype(Error.size())));
        }
      }
      break;
    default:
      break;
  }
  LogAnswer(Answer);
  return Answer;
}

void TWMApiForm::Submit(const QString& From, uint32_t Code, const std::string& Text) {
  TSubmitData::Create(
      [this, From](uintptr_t, uint32_t, std::unique_ptr<TSubmitData> Data) {
        // Shared so that the object is freed even when the call never runs.
        auto Held = std::make_shared<std::unique_ptr<TSubmitData>>(std::move(Data));
        QMetaObject::invokeMethod(this, [this, From, Held] { WMApiSubmit(From, std::move(*Held)); },
                                  Qt::QueuedConnection);
      },
      0, WM_API_SUBMIT, int32_t(Code), Text);
}

void TWMApiForm::WMApiSubmit(const QString& From, std::unique_ptr<TSubmitData> Data) {
  if (!Data) return;
  try {
    TDMPMain& M = Main();
    switch (uint32_t(Data->Tag)) {
      case QUERY_PATIENT:
        QueryPatient(From, Data->Msg);
        break;
      case OPEN_PATIENT:
        if (M.CNX)
          M.LoadINSC(Data->Msg, false);
        else
          M.ibCarteCPSClick();
        break;
      case SEND_FILE:
        if (!FFileToSend.From.isEmpty()) DropFileToSend(ERR_DEMANDE_REMPLACEE, "Demande remplacée par une autre demande");
        FFileToSend = {};
        SendFile(From, Data->Msg);
        break;
      case MESSAGE: {
        BringToFront();
        MessageDlg(this, QMessageBox::Information, Q(Data->Msg));
        break;
      }
      default:
        break;
    }
  } catch (const std::exception& E) {
    AddLogLine(std::string_view(E.what()));
  }
}

bool TWMApiForm::RegisterWindow(const QString& Window) {
  if (!IsUniqueName(Window)) return false;
  if (std::ranges::find(FWindows, Window) != FWindows.end()) {
    SendToWindow(Window, REGISTER, QStringLiteral("EXISTS"));
    return true;
  }
  if (FWindows.size() >= MaxHostWindows) return false;
  FWindows.push_back(Window);
  SendToWindow(Window, REGISTER, QStringLiteral("ADDED"));
  TDMPMain& M = Main();
  if (!M.pnCPX->isHidden() && M.FPraticien.rowid != 0) SendToWindow(Window, NOTIFY_PRATICIEN, JSONText(M.FPraticien));
  OnCategorie(nullptr);
  NotifyFavoris();
  if (M.FPatient.rowid != 0) SendToWindow(Window, NOTIFY_PATIENT, JSONText(M.FPatient));
  return true;
}

// ---- Patients ----

void TWMApiForm::QueryPatient(const QString& Client, const std::string& Text) {
  TQueryPatient Query;
  if (const std::string Error = ReadPayload(Text, Query); !Error.empty())
    return SendToWindow(Client, MESSAGE, Q(Error));
  Query.INS = WithoutDashes(Query.INS);
  TDMPMain& M = Main();
  if (!M.CNX) return M.ibCarteCPSClick();
  if (IsCurrentPatient(Query)) return SendToWindow(Client, NOTIFY_PATIENT, JSONText(M.FPatient));
  TVaspoPatient Patient;
  if (FindLocalPatient(Query, Patient) && !Query.Open) return SendToWindow(Client, NOTIFY_PATIENT, JSONText(Patient));
  if (!Query.Search && !Query.Open) return;
  if (Query.INS.size() == 15 || Query.INS.size() == 16)
    M.LoadINSC(Query.INS, false);
  else
    M.ibCSVClick();
}

bool TWMApiForm::IsCurrentPatient(const TQueryPatient& Query) {
  TDMPMain& M = Main();
  if (!M.DOS || Query.Open) return false;
  const TVaspoPatient& P = M.FPatient;
  if (!Query.INS.empty()) return P.HasINS(Query.INS);
  return int(Query.Naissance) == int(P.Naissance) && (SameNIR(Query.NIR, P.Nir2) || SameNIR(Query.NIR, P.Nir));
}

bool TWMApiForm::FindLocalPatient(TQueryPatient& Query, TVaspoPatient& Patient) {
  Patient.rowid = 0;
  if (Query.INS.empty() || !Main().Database.LoadPatient(Query.INS, Patient)) return false;
  // A later opening uses the INS the patient is known by.
  if (!Patient.INSN.empty() && Patient.INSN != Query.INS) Query.INS = Patient.INSN;
  return true;
}

void TWMApiForm::NotifyPatient() {
  const QString Patient = JSONText(Main().FPatient);
  if (Patient == FLastDossier) return;
  if (FWindows.empty()) {
    FLastDossier.clear();  // sent again once a host is there
    return;
  }
  FLastDossier = Patient;
  SendToAllWindows(NOTIFY_PATIENT, Patient);
}

void TWMApiForm::NotifyFavoris() {
  SendToAllWindows(NOTIFY_FAVORIS, JSONText(TVaspoFavoris{Main().Documents->GetFavorisNames()}));
}

void TWMApiForm::OnCategorie(const TCategorieChoice* Categorie) {
  TDMPMain& M = Main();
  if (FWindows.empty() || !M.DOS) return;
  TChangeCategory Change{M.FPatient.INS(), M.FPatient.Nom, M.FPatient.Prenom, {}};
  if (Categorie && Categorie->Tag >= 0 && Categorie->Tag <= 32) Change.Categorie = Categorie->Hint;
  SendToAllWindows(NOTIFY_CATEGORY, JSONText(Change));
}

// ---- Files ----

bool TWMApiForm::CheckMineur() {
  TDMPMain& M = Main();
  const Talven::TDossierInfo* Info = M.DOS ? M.DOS->GetInfo() : nullptr;
  if (!Info || !Info->Mineur || Info->Secret != 0) return true;
  if (FFileToSend.Mineur) return false;  // the request waited for its record: nobody is there to choose
  return M.AccesMineur();
}

void TWMApiForm::SendFile(const QString& Client, const std::string& Text) {
  // The status the request waited in, -1 for a new request.
  const int Waited = FFileToSend.From.isEmpty() ? -1 : FFileToSend.Status;
  FFileToSend.From.clear();
  FFileToSend.Data.clear();
  TSendFileToDMP Request;
  TSendFileToDMPReply Reply;
  if (const std::string Error = ReadPayload(Text, Request); !Error.empty()) {
    Reply.ErrNo = Talven::ERR_PARAMETRE;
    Reply.Error = Error;
    return SendFileReply(Client, Reply);
  }
  Request.INS = WithoutDashes(Request.INS);
  Reply.LocalId = Request.LocalId;
  TDMPMain& M = Main();
  const int Status = !M.CNX ? 0 : 1;
  const bool Current = M.CNX && M.DOS && M.FPatient.HasINS(Request.INS);
  if (Current) {
    if (!CheckMineur()) {
      Reply.ErrNo = -7;
      return SendFileReply(Client, Reply);
    }
    Reply.Server = M.CNX->GetServer();
    BringToFront();
    TSendFileToDMPReply Answer = Reply;
    const bool Filed = M.Screens().SendFile2(
        this, [&M](QWidget* Form) { M.OnAddClick(Form); },
        Q(M.FPatient.Nom + " " + M.FPatient.Prenom), M.DOS, M.FPatient.rowid, Client.toStdString(), Request, Answer);
    // A form that filed nothing and said nothing (or is not there) counts as cancelled.
    if (!Filed && Answer.ErrNo == ERR_OK) {
      Answer.ErrNo = -7;
      Answer.Error = "Opération annulée par l'utilisateur";
    }
    return SendFileReply(Client, Answer);
  }
  // The card or the record did not come: given up after a few tries.
  if (Waited == Status) {
    ++FFileToSend.Failures;
  } else {
    FFileToSend.Failures = 0;
    FFileToSend.LastError = ERR_OK;
  }
  if (FFileToSend.Failures >= MaxFileToSendFailures) {
    const int Error = FFileToSend.LastError != ERR_OK ? FFileToSend.LastError
                      : Status == 0                   ? Talven::ERR_SESSION
                                                      : Talven::ERR_GENERAL;
    FFileToSend = {};
    Reply.ErrNo = Error;
    Reply.Error = std::string(M.DMP->GetErrMsg(Error));
    return SendFileReply(Client, Reply);
  }
  BringToFront();
  FFileToSend.Mineur = true;
  if (Status == 1) {
    AddLogLine("<!> " + Request.INS + " <> " + M.FPatient.INS());
    M.LoadINSC(Request.INS, false);
    Reply.ErrNo = -2;
    Reply.Error = "Chargement du DMP";
    AddLogLine("Chargement du DMP " + Request.INS);
  } else {
    PendingURL.INS = Request.INS;
    M.ibCarteCPSClick();
    Reply.ErrNo = -1;
    Reply.Error = "Chargement de la CPS";
    AddLogLine(std::string_view("Chargement de la CPS"));
  }
  FFileToSend.From = Client;
  FFileToSend.Data = Text;
  FFileToSend.Status = Status;
  SendFileReply(Client, Reply);
}

void TWMApiForm::SendFileReply(const QString& Client, const TSendFileToDMPReply& Reply) {
  SendToWindow(Client, SEND_FILE_REPLY, JSONText(Reply));
}

void TWMApiForm::DropFileToSend(int ErrNo, const std::string& Error) {
  TSendFileToDMPReply Reply;
  Reply.ErrNo = ErrNo;
  Reply.Error = Error;
  TSendFileToDMP Request;
  if (ReadPayload(FFileToSend.Data, Request).empty()) Reply.LocalId = Request.LocalId;
  const QString From = FFileToSend.From;
  FFileToSend = {};
  SendFileReply(From, Reply);
}

void TWMApiForm::WMApiIdle(int LastError) {
  AddLogLine(QStringLiteral("WMApiIdle"));
  if (FFileToSend.From.isEmpty()) return;
  if (LastError != ERR_OK) FFileToSend.LastError = LastError;
  // Copies: SendFile clears the kept request first.
  const QString From = FFileToSend.From;
  const std::string Data = FFileToSend.Data;
  SendFile(From, Data);
}

// ---- Messages to hosts ----

void TWMApiForm::SendToWindow(const QString& Target, uint32_t Code, const QString& Text) {
  TWMCopyDataHandler To = FHandler;
  To.Target = Target;
  Vantrel::SendToWindow(To, Code, Text, this);
}

void TWMApiForm::SendToAllWindows(uint32_t Code, const QString& Text) {
  Vantrel::SendToAllWindows(FHandler, FWindows, Code, Text, this);
}

void TWMApiForm::SendToAllWindows(uint32_t Code, const std::string& Text) { SendToAllWindows(Code, Q(Text)); }

}  // namespace Carvelin
