#include "DMP2Main.h"

#include <unistd.h>

#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QGuiApplication>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QWheelEvent>

#include <cassert>
#include <filesystem>
#include <thread>

#include "Carvelin.MessageDlg.h"
#include "FLogMessage.h"
#include "ShellTr.h"
#include "Talven.Carvelin.Objects.h"
#include "Vantrel.ImageIcons.h"

static void InitShellResources() { Q_INIT_RESOURCE(CarvelinShell); }

namespace Carvelin {

using namespace Talven;

TDMPMain* DMPMain = nullptr;
TPendingURL PendingURL;
std::string PendingDeleteURL;

namespace {

bool GBusy = false;
TTask* GCurrentTask = nullptr;
QPointer<QMessageBox> GErrorBox;  // the shared error box, kept until the application ends

bool OnUIThread() { return QThread::currentThread() == qApp->thread(); }

void SetCurrentTask(TTask* Task) {
  assert(OnUIThread());
  GCurrentTask = Task;
}

void DeleteErrorBox() { delete GErrorBox.data(); }

void ShowErrorBox(const QString& Message, const QString& Detail) {
  if (!GErrorBox) {
    GErrorBox = new QMessageBox(QMessageBox::Critical, QStringLiteral("Carvelin"),
                                ShellTr::tr("Une erreur est survenue"), QMessageBox::Ok);
    GErrorBox->setObjectName(QStringLiteral("ErrorBox"));
    qAddPostRoutine(DeleteErrorBox);
  }
  GErrorBox->setInformativeText(Message);
  // The service's own text, shown as it is: the informative line would read markup.
  if (auto* Label = GErrorBox->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
    Label->setTextFormat(Qt::PlainText);
  GErrorBox->setDetailedText(Detail);
  ExecMessageBox(*GErrorBox);
}

// The class name without its namespace.
QString FormClassName(const QWidget* W) {
  const QString Name = QString::fromLatin1(W->metaObject()->className());
  return Name.mid(Name.lastIndexOf(QLatin1Char(':')) + 1);
}

// A wheel step over a child that does not scroll itself (label, button,
// category entry) scrolls the nearest scroll box, exactly once.
class TWheelRedirect : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() != QEvent::Wheel || !Watched->isWidgetType()) return false;
    auto* Target = static_cast<QWidget*>(Watched);
    TScrollBox* Box = nullptr;
    for (QWidget* W = Target; W && !Box; W = W->parentWidget()) {
      if (auto* B = qobject_cast<TScrollBox*>(W)) {
        Box = B;
      } else if (W != Target->window() && ScrollsItself(W)) {
        return false;
      }
    }
    if (!Box || Target == Box || Target == Box->viewport()) return false;
    auto* Wheel = static_cast<QWheelEvent*>(Event);
    QWheelEvent Copy(Box->viewport()->mapFromGlobal(Wheel->globalPosition()), Wheel->globalPosition(),
                     Wheel->pixelDelta(), Wheel->angleDelta(), Wheel->buttons(), Wheel->modifiers(), Wheel->phase(),
                     Wheel->inverted());
    QCoreApplication::sendEvent(Box->viewport(), &Copy);
    return true;
  }

 private:
  static bool ScrollsItself(const QWidget* W) {
    // A scroll box's viewport is part of the box.
    if (W->parentWidget() && qobject_cast<TScrollBox*>(W->parentWidget())) return false;
    return qobject_cast<const QAbstractScrollArea*>(W) || qobject_cast<const QAbstractSlider*>(W) ||
           qobject_cast<const QAbstractSpinBox*>(W) || qobject_cast<const QComboBox*>(W);
  }
};

}  // namespace

bool Busy() {
  assert(OnUIThread());
  return GBusy;
}

void SetBusy(bool Value) {
  assert(OnUIThread());
  GBusy = Value;
}

TTask* CurrentTask() {
  assert(OnUIThread());
  return GCurrentTask;
}

// ---- Error display ----

void ShowDmpError(ICarvelin* ADMP, int Error) {
  if (Error == ERR_OK) return;
  const TTask* Task = CurrentTask();
  const bool TaskException = Error == ERR_EXCEPTION && Task && !Task->Detail.empty();
  ShowDmpError(ADMP, Error, TaskException ? Task->Detail : ADMP ? ADMP->GetErrDetail() : std::string());
}

void ShowDmpError(ICarvelin* ADMP, int Error, const std::string& Detail) {
  if (Error == ERR_OK) return;
  const std::string_view Message = ADMP ? ADMP->GetErrMsg(Error) : ErrorMessage(Error);
  ShowErrorBox(QString::fromUtf8(Message.data(), qsizetype(Message.size())), QString::fromStdString(Detail));
}

// ---- Exception log ----

std::string ExceptionLogFileName(const std::string& ExeName) {
  namespace fs = std::filesystem;
  const fs::path Exe(ExeName);
  const fs::path Folder = Exe.has_parent_path() ? Exe.parent_path() : fs::path(".");
  const std::string Name = Exe.filename().string() + ".log";
  if (access(Folder.c_str(), W_OK) == 0) return (Folder / Name).string();
  const std::string Logs = Vantrel::LogFolder();
  return Logs.empty() ? std::string() : (fs::path(Logs) / Name).string();
}

std::string WriteExceptionLog(const std::string& Message) {
  const std::string FileName = ExceptionLogFileName(QCoreApplication::applicationFilePath().toStdString());
  if (FileName.empty()) return {};
  QFile File(QString::fromStdString(FileName));
  if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
  QStringList Lines{QString::fromStdString(Message)};
  for (const QWidget* W : QApplication::topLevelWidgets())
    if (W->windowType() == Qt::Window || W->windowType() == Qt::Dialog) Lines << FormClassName(W);
  for (const QString& Line : Lines)
    if (File.write((Line + QLatin1Char('\n')).toUtf8()) < 0) break;
  File.close();
  return FileName;
}

// ---- Main window ----

TDMPMain::TDMPMain(TDMPMainOptions Options) : FOptions(std::move(Options)) {
  assert(!DMPMain);
  DMPMain = this;
  InitShellResources();
  if (!FOptions.CreateRoot) FOptions.CreateRoot = [] { return std::shared_ptr<ICarvelin>(TCarvelin::Create()); };
  if (!FOptions.Clock) FOptions.Clock = [] { return Vantrel::Now(); };
  setObjectName(QStringLiteral("DMPMain"));

  ImageList = new TImageList(32, 32, this);
  ImageList->setObjectName(QStringLiteral("ImageList"));
  Vantrel::UseIconTheme();
  Vantrel::LoadImageList(*ImageList);

  pbWait = new TPaintBox(this);
  pbWait->setObjectName(QStringLiteral("pbWait"));
  pbWait->setAccessibleName(ShellTr::tr("Activité en cours"));
  const int H = statusBar()->fontMetrics().height();
  pbWait->setFixedSize(H * 3, H);
  statusBar()->addPermanentWidget(pbWait);
  statusBar()->showMessage(ShellTr::tr("Prêt"));

  FWheelFilter = std::make_unique<TWheelRedirect>();
  qApp->installEventFilter(FWheelFilter.get());
  CreateControls();
  // The designed size, centred on the screen, until a stored placement
  // replaces it (FormCreate).
  resize(1000, 700);
  if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
    QRect Frame = geometry();
    Frame.moveCenter(Screen->availableGeometry().center());
    move(Frame.topLeft());
  }
  FormCreate();
}

TDMPMain::~TDMPMain() {
  StopRESTServer();
  WaitForTasks();
  FormDestroy();
  if (DMP) DMP->SetLogger(nullptr);
  DMPMain = nullptr;
}

void TDMPMain::FormDestroy() {
  Database.Close();
  // The placement was taken when the window closed (closeEvent).
  if (INI) INI->UpdateFile();
  INI.reset();
}

void TDMPMain::closeEvent(QCloseEvent* Event) {
  SaveFormState(this);
  StopRESTServer();
  if (FLiveTasks > 0) {
    FClosing = true;
    hide();
    // The running call is cut short instead of waiting for its time-out.
    if (DMP) DMP->AbortCalls();
    WaitForTasks();
  }
  Event->accept();
}

void TDMPMain::WaitForTasks() {
  if (FLiveTasks == 0) return;
  FClosing = true;
  // The job thread's blocking calls are served by this loop; blocking here
  // instead would deadlock with a thread waiting for the user-interface thread.
  QEventLoop Loop;
  while (FLiveTasks > 0) Loop.processEvents(QEventLoop::WaitForMoreEvents);
}

// ---- Jobs ----

void TDMPMain::Submit(std::function<void()> ADone, TTaskProc AProc) {
  if (Busy() || FClosing) return;
  TTask::Start(*this, std::move(ADone), std::move(AProc));
}

TTask* TTask::Start(TDMPMain& Main, std::function<void()> ADone, TTaskProc AProc) {
  auto* Task = new TTask(Main);
  Task->Proc = std::move(AProc);
  Task->Done = std::move(ADone);
  SetCurrentTask(Task);
  SetBusy(true);
  ++Main.FLiveTasks;
  SetBusyIndicator(Main.pbWait, true);
  std::thread(&TTask::Execute, Task).detach();
  return Task;
}

void TTask::Execute() {
  while (Proc) {
    Active = true;
    Error = -1;
    Detail.clear();
    try {
      Error = Proc();
    } catch (const std::exception& E) {
      Error = ERR_EXCEPTION;
      Detail = E.what();
    } catch (...) {
      Error = ERR_EXCEPTION;
      Detail = "Exception inconnue";
    }
    Proc = nullptr;
    Active = false;
    FMain.Synchronize([this] {
      if (FMain.FClosing) {
        Error = JobCancelled;
        return;
      }
      // A copy: the completion may re-arm Done while it runs.
      const std::function<void()> Completion = Done;
      if (Completion) FMain.Guarded(Completion);
    });
  }
  FMain.Synchronize([this] { FMain.EndTask(this); });
  delete this;
}

void TDMPMain::Synchronize(const std::function<void()>& F) {
  QMetaObject::invokeMethod(this, F, Qt::BlockingQueuedConnection);
}

void TDMPMain::EndTask(TTask* Task) {
  // The work is released here, on this thread, not by the exiting job thread.
  Task->Proc = nullptr;
  Task->Done = nullptr;
  --FLiveTasks;
  if (CurrentTask() && CurrentTask() != Task) return;
  SetBusyIndicator(pbWait, false);
  SetCurrentTask(nullptr);
  SetBusy(false);
  WMApiIdle(Task->Error);
  pbWait->update();
  statusBar()->showMessage(ShellTr::tr("Prêt"));
  if (Task->Error == ERR_CHANGEMENT_CARTE) ibCloseCPXClick();
}

void TDMPMain::ReleaseSession() {
  SetCurrentTask(nullptr);
  SetBusy(false);
}

// ---- Progress ----

void TDMPMain::OnLog(ICarvelin&, std::string_view Msg) {
  const QString Text = QString::fromUtf8(Msg.data(), qsizetype(Msg.size()));
  // Both updates are queued in call order, ahead of the completion that the
  // job thread posts after them.
  auto Show = [this, Text] { statusBar()->showMessage(Text); };
  if (OnUIThread())
    Show();
  else
    QMetaObject::invokeMethod(this, Show, Qt::QueuedConnection);
  AddLogLine(QStringLiteral("DMP> ") + Text);
}

// ---- Deferred actions ----

void TDMPMain::PostAction(int N) {
  QMetaObject::invokeMethod(this, [this, N] { WMUser(N); }, Qt::QueuedConnection);
}

void TDMPMain::WMUser(int N) {
  Guarded([this, N] {
    switch (N) {
      case WMU_CHOIX_AMO:
        ChoixAMO();
        break;
      case WMU_ACCES_WEB:
        if (DOS && Volet)
          Screens().AccesWebExecute(
              this, DOS, [this](QWidget* Form) { OnAccesWeb(Form); }, Volet->Telecom.EMail, Volet->Telecom.Mobile,
              std::exchange(FAccesWebAuto, false));
        break;
      case WMU_FORCER_ACCES:
        ForcerAccesDiffere();
        break;
      case WMU_LOAD_INSC:
        LoadINSC(INSC, false);
        break;
      case WMU_NOTIFY_PATIENT:
        NotifyPatient();
        break;
      case WMU_DMP_FERME:
        MessageDlg(this, QMessageBox::Warning,
                   ShellTr::tr("Le DMP du patient est fermé, il peut le réactiver sur Mon Espace Santé"));
        break;
      default:  // 0, 1, 6 and unknown numbers do nothing
        break;
    }
  });
}

void TDMPMain::Guarded(const std::function<void()>& F) {
  std::string Message;
  try {
    F();
    return;
  } catch (const Vantrel::ESQLite3Error& E) {
    // The local database's own text says what to do (disk full, read-only).
    ShowErrorBox(QString::fromUtf8(E.what()), {});
    return;
  } catch (const std::exception& E) {
    Message = E.what();
  } catch (...) {
    Message = "Exception inconnue";
  }
  WriteExceptionLog(Message);
  const std::string_view Text = ErrorMessage(ERR_EXCEPTION);
  ShowErrorBox(QString::fromUtf8(Text.data(), qsizetype(Text.size())), QString::fromStdString(Message));
}

}  // namespace Carvelin
