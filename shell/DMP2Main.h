// The main window and session controller. It holds the service root, the
// card session, the open record and its documents, the local database and
// the settings, and runs every service transaction of the screens as a
// background job, one at a time, while the window stays responsive.
//
// Job runner (DMP2Main.cpp):
//   Submit(Done, Proc) --busy--> dropped, no message
//        |  not busy
//        v
//   TTask created: current task, busy flag set, busy indicator on pbWait
//   job thread: repeat { Error := -1; Error := Proc() (an exception gives
//     ERR_EXCEPTION, its message kept as the job's detail); Done on the
//     user-interface thread (blocking), which may re-arm Proc and Done }
//   then EndTask on the user-interface thread: nothing when another task
//     became current; else indicator stopped, task and flag cleared,
//     WMApiIdle, "Prêt", and ERR_CHANGEMENT_CARTE closes the card session.
// The busy flag and the current task belong to the user-interface thread.
// Work methods read the window's session fields while that thread leaves
// them alone (the busy flag keeps the user from starting anything else).
// Closing during a job hides the window, aborts the service call under way
// (its socket is shut down), lets the running step end while the event loop
// serves its calls, ends the job with JobCancelled and no completion, and
// only then lets the window go.
#pragma once

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QRect>
#include <QStringList>
#include <QToolButton>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Carvelin.Database.h"
#include "Carvelin.SQLIteDataBase.h"
#include "Carvelin.Screens.h"
#include "Carvelin.WMApi.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.Carvelin.Types.h"
#include "UFrameListeDocuments.h"
#include "VCLPatches.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.ImageButtons.h"
#include "Vantrel.IniFiles.h"
#include "Vantrel.SysUtils.h"

class QLabel;
class QLineEdit;
namespace Vantrel {
class TImageButton;
}
namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace Carvelin {

class TDMPMain;
struct THTTPContext;
class TRESTServer;

// A recently read Vitale card in the card menu; a click reads it again.
class TCSVMenuItem : public QAction {
  Q_OBJECT
 public:
  TCSVMenuItem(const std::string& ANom, std::string AXML, uint16_t ACard, QObject* Parent);
  std::string Nom;
  std::string XML;  // the card's XML as the card gave it
  uint16_t Card = 0;
};

using TTaskProc = std::function<int()>;

// The result of a job ended by the window's closing: silent, as a cancel.
inline constexpr int JobCancelled = -1;

// A job thread; it frees itself once its EndTask has run.
class TTask {
 public:
  TTaskProc Proc;               // the work method (job thread); cleared after each run
  std::function<void()> Done;   // the completion (user-interface thread)
  std::atomic<int> Error = -1;  // the last result of Proc
  std::atomic<bool> Active = false;  // Proc is running
  std::string Detail;           // message of an exception raised by Proc

  // Makes the task current, sets the busy flag, starts the indicator and
  // the thread. User-interface thread only.
  static TTask* Start(TDMPMain& Main, std::function<void()> ADone, TTaskProc AProc);

 private:
  explicit TTask(TDMPMain& Main) : FMain(Main) {}
  void Execute();
  TDMPMain& FMain;
};

// The pieces the window is built from; tests give their own.
struct TDMPMainOptions {
  std::string SettingsFile;  // "" = SettingsFileName()
  QStringList Arguments;     // the command line, without the program
  std::string DatabaseFile;  // "" = TVaspoDatabase::DefaultFileName()
  std::function<std::shared_ptr<Talven::ICarvelin>()> CreateRoot;  // nullptr = the real root
  TScreens Screens = TScreens::Unavailable();
  std::function<Vantrel::TDateTime()> Clock;  // nullptr = Vantrel::Now
};

// What the command line asks for besides card reading and the pending link.
struct TCommandLine {
  bool ReadCard = false;  // "/cps", "/ins" + INS, or a "dmp://" link
  int Port = 0;           // "--port": the REST server's port, 1 to 65535; 0 none
  bool Log = false;       // "/log": the log window
};

// One window's placement in the settings, as integers; State -1 = none
// stored, else 0 normal, 1 minimised, 2 maximised.
struct TFormPlacement {
  int State = -1, Top = 0, Left = 0, Width = 0, Height = 0;
};

// The access mode chosen for a minor's record.
struct TInfoMineur {
  std::string INS;
  int Mode = 0;  // 0 not chosen, else the record's secret value after the choice (2 secret)
};

using Vantrel::TDocImport;

// Deferred actions posted to the window (PostAction).
enum TWMUserAction : int {
  WMU_ACCES_WEB = 2,
  WMU_NOTIFY_PATIENT = 3,
  WMU_DMP_FERME = 4,
  WMU_FORCER_ACCES = 5,
  WMU_LOAD_INSC = 7,
  WMU_CHOIX_AMO = 8,
};

class TDMPMain : public TWMApiForm, public Talven::IVaspoLOG, public ISearchINSHost, public IDocumentsLocauxHost {
  Q_OBJECT
 public:
  explicit TDMPMain(TDMPMainOptions Options = {});
  ~TDMPMain() override;

  // ---- Jobs ----
  // Starts a job unless one is running (then the request is dropped).
  void Submit(std::function<void()> ADone, TTaskProc AProc);

  // ---- Progress sink (any thread) ----
  void OnLog(Talven::ICarvelin& ADMP, std::string_view Msg) override;

  // ---- Deferred actions ----
  // Posts action N to the window; it runs from the event loop.
  void PostAction(int N);
  void WMUser(int N);

  // ---- Card session ----
  // Starts card reading unless a job runs.
  void ibCarteCPSClick();
  // Releases the professional session.
  void ibCloseCPXClick() override;

  // ---- Links, settings, placement (DMP2Main.Settings.cpp) ----
  // The link of the document selected in the list (DocumentIndex), or "".
  std::string GetURL();
  void mnCopyDocLinkClick();
  void mnQRCodeLinkClick();
  // Opens (or, for a pending host deletion, deletes) what PendingURL names.
  void LoadURL();
  // A host's deletion of the document PendingURL names: SUBMIT when card
  // reading had to start, else 0 or the client core's error code.
  int DeleteURL();
  void SaveFormState(QWidget* Form);
  void LoadFormState(QWidget* Form);

  // Tells the maker's service the practitioner's record counts (its own
  // thread; nothing without a maker).
  void SendStatistics();

  // ---- Record ----
  void LoadINSC(const std::string& Value, bool Direct);
  // The type letter of an INS typed or given without one (INS-C, CX text,
  // 16th character, else 'T' with a training card or 'R'); a 16-character
  // INS loses its letter.
  char TypedINSType(std::string& INS) const;
  // Closes the patient context.
  void OnCloseCSV();

  // Releases the session for host traffic inside a completion: the current
  // task and the busy flag are cleared, so a later Submit starts a new task
  // and this task's EndTask does nothing.
  void ReleaseSession();

  // ---- Local REST server (Carvelin.REST.cpp) ----
  // Listens on Port (loopback); a failure is written to the log window.
  void StartRESTServer(int Port);
  // Stops it without deadlock: waiting steps answer 503 (user-interface thread).
  void StopRESTServer();
  // A request's entry: the request read, Body its raw body.
  void OnRESTCommand(const httplib::Request& Request, httplib::Response& Response, TRESTServer& Server,
                     std::string Body);
  // A step of the request Context, or with nullptr the completion notice
  // Step; user-interface thread.
  int WMRestRequest(int Step, THTTPContext* Context);
  std::shared_ptr<TRESTServer> RESTServer;  // nullptr without "--port"
  // The local patient row of a record, stored from the record's
  // information when there is none yet.
  int64_t PatientRowOf(Talven::IDossierMedical& Dossier);

  // Job threads that have not run their EndTask yet.
  int LiveTasks() const { return FLiveTasks; }
  const TScreens& Screens() const { return FOptions.Screens; }
  // The update check stopped the start (a service message, or the new
  // program runs), or the local database cannot be used: the window is not
  // shown and the program ends with StartExitCode().
  bool StartStopped() const { return FStartStopped; }
  int StartExitCode() const { return FStartExitCode; }
  Vantrel::TDateTime Today() const { return FOptions.Clock(); }

  // ---- Window components ----
  TPaintBox* pbWait;
  TImageList* ImageList;

  // ---- Controls, card reading, login and Vitale card (DMP2Main.Login.cpp) ----
  Vantrel::TImageButton* ibCarteCPS;
  Vantrel::TImageButton* ibCSV;
  Vantrel::TImageButton* ibHelp;
  Vantrel::TImageButton* ibStats;
  Vantrel::TImageButton* ibAppVitale;
  QLineEdit* edINSC = nullptr;
  Vantrel::TImageButton* ibINSC;
  QWidget* pnCPX;
  Vantrel::TImageButton* ibCPX;
  QLabel* lbPraticien;
  QLabel* lbProfession;
  Vantrel::TImageButton* ibSearchPat;
  Vantrel::TImageButton* ibPortailDMP;
  Vantrel::TImageButton* ibCloseCPX;
  Vantrel::TImageButton* ibSearchDMP;
  Vantrel::TImageButton* ibSearchINS;
  TPopupMenu* ppCertificats;
  TPopupMenu* ppVitale;
  QLabel* imDMP;
  // Asks for a card file to read (a test gives its own).
  std::function<QString(QWidget* Parent)> AskVitaleFile;

  // Holder of the card session into the window: practitioner bar, card kind.
  void LoadPorteur();
  // For the REST interface: the stored structure's activity selected
  // without the checks of the login; its index or -1.
  int GetActivites();
  void ibCPXClick();
  void LoadCertificats();
  void Importeruncertificat1Click();
  void OnCertificat(int Index);
  void ShowCertificat();
  void OnCertificatSession();
  // Shift + left button saves the held card and swallows the next click.
  void ibCSVMouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Modifiers);
  // Ctrl reads a card file; otherwise the card reader.
  void ibCSVClick(Qt::KeyboardModifiers Modifiers = {});
  void ReloadCSV(TCSVMenuItem* Item);
  void AddCSVPopup(const std::string& Nom, const std::string& XML, uint16_t Card);
  // The local patient of INS (type letter appended unless 'R') into
  // Patient; true when found and qualified.
  bool IsQualified(const std::string& INSi, char INSType, TVaspoPatient& Patient);
  int ControlINSi(const Talven::TINSiResponse& Answer) override;
  int ControlAPCV(const Talven::TIdentiteAMO& Identite);
  void ibAppVitaleClick();
  void OnAppVitale(std::shared_ptr<Talven::IAppVitale> Answer);

  // ---- State, in the order the window keeps it ----
  std::string INSC;
  std::string DOCID;
  std::string DateDocBefore, DateDocAfter;
  std::string TypeDoc;
  bool QuerySubmission = false;
  std::vector<QString> Menus;
  Talven::TQueryFlags QueryFlags;
  std::span<const Talven::TPraticien> Praticiens;
  std::string MotifFermeture;
  std::string FCodeStructure;
  std::vector<TCertificat> FCerts;
  int FDeleteIndex = -1;
  TVaspoDatabase Database;
  TDocImport DocImport;
  QPointer<QWidget> DocumentsLocaux;
  QPointer<QWidget> FramePatients, FrameDossiers;  // the search frames, once made
  TVaspoPraticien FPraticien;
  TVaspoPatient FPatient;
  TInfoMineur FMineur;
  std::string FBrisDeGlace;
  std::string Code;  // the PIN typed for the card, emptied right after use; never logged
  std::shared_ptr<Talven::IVaspoCSV> CSV;
  std::shared_ptr<Talven::IAppVitale> APCV;
  int iAPCV = -1;
  const Talven::TDossierInfo* Info = nullptr;  // points into DOS
  std::shared_ptr<Talven::IDocumentList> List;
  int wAcces = 0;
  const Talven::TVoletAdministratif* Volet = nullptr;  // points into DOS
  const Talven::TINSiResponse* FINSi = nullptr;        // points into the session that answered
  int FINSiStatus = 0;  // the identity check confirmed for the last answer, kept with its record
  bool FRealCSV = false;
  std::string eMail, Phone;
  bool ModeAPI = false;
  std::shared_ptr<Talven::ICarvelin> DMP;
  std::shared_ptr<Talven::IVaspoCNX> CNX;
  std::shared_ptr<Talven::IVaspoCPS> CPx;
  std::shared_ptr<Talven::IVaspoCRT> CRT;
  std::shared_ptr<Talven::IDossierMedical> DOS;
  std::unique_ptr<Vantrel::TIniFile> INI;
  TCommandLine CommandLine;  // as read at creation
  int DocumentIndex = -1;    // the selected row of List

  // ---- Record opening, patient bar, documents, record actions (DMP2Main.Dossier.cpp) ----
  // Status images of ibStatus.
  static constexpr int imAccesAccorde = 14, imDossierFerme = 15, imSansAutorisation = 16, imAutreAutorisation = 17;
  QWidget* pnCSV = nullptr;
  QLabel *lbPatient = nullptr, *lbMedecin = nullptr;
  Vantrel::TImageButton *ibWeb = nullptr, *ibUpload = nullptr, *ibRefresh = nullptr, *ibCloseCSV = nullptr,
                        *ibMenu = nullptr, *ibStatus = nullptr, *ibSynthese = nullptr, *ibCovid = nullptr,
                        *ibVaccin = nullptr;
  QToolButton *btUpdates = nullptr, *btSecret = nullptr, *btUrgence = nullptr;
  TPopupMenu* ppDossier = nullptr;
  QAction *mnAdministratif = nullptr, *mnCreerAccesPatient = nullptr, *btPraticiens = nullptr, *mnArchives = nullptr,
          *mmObsolete = nullptr, *mnRetirerAutorisation = nullptr, *mnFermerDMP = nullptr;
  QMenu* ppDocuments = nullptr;
  QAction *mnCopyDocLink = nullptr, *mnQRCodeLink = nullptr, *mnReplaceDocument = nullptr, *mnDeleteDocument = nullptr;
  QMenu* ppINS = nullptr;
  QAction* mnCopyINS = nullptr;
  TDocuments* Documents = nullptr;

  // Adopts a record chosen in the INS search dialog, with its INSi answer.
  void LoadDossier(std::shared_ptr<Talven::IDossierMedical> ADOS, const Talven::TINSiResponse* INSi) override;
  // Adopts a record opened by a host program (no documents query).
  void OpenDossier(std::shared_ptr<Talven::IDossierMedical> ADOS);
  void ShowDossier();
  bool AccesMineur();
  void SetDocuments(std::shared_ptr<Talven::IDocumentList> AList);
  // Inside a job completion: re-arms the job with the documents query.
  void ReloadDocuments();
  void ShowDocumentsLocaux() override;
  void SaveDocument(const std::string& UniqueId, const Talven::TProprietesDocument& Prop);
  void SendFiles(const std::vector<std::string>& Names, bool DeleteSource, int ACategorie);
  void OnAddClick(QWidget* Form);
  void OnFavoris(QWidget* Sender) override;
  void ibINSCClick();
  void ibSearchINSClick();
  void ibSearchDMPClick();
  void ibSearchPatClick();
  void ibRefreshClick(bool Updates);
  // Sets the document frame's date filters (0: unchecked) and its box for
  // dates of submission.
  void ShowDocumentFilter(Vantrel::TDateTime After, Vantrel::TDateTime Before, bool Submission);
  void ibStatusClick(QWidget* Button);
  void ibUploadClick();
  void ibWebClick();
  void ibPortailDMPClick();
  void ibCloseCSVClick();
  void btSecretClick();
  void btUrgenceClick();
  void Toggle(Talven::TQueryFlag Flag);
  void ListBoxDblClick();
  void mnDeleteDocumentClick();
  void mnReplaceDocumentClick();
  void mnAdministratifClick();
  void mnCreerAccesPatientClick();
  void btPraticiensClick();
  void mnRetirerAutorisationClick();
  void mnFermerDMPClick();
  // The web-access offer after the administrative data changed.
  void CreerAccesWeb();
  // The same once no job runs.
  void CreerAccesWebDiffere();
  // Completion of the panel reading: the web-access form follows (WMU_ACCES_WEB).
  void DoAccesWeb();
  // The web-access form's submission: its creation step as a job.
  void OnAccesWeb(QWidget* Form);
  // Completion of a web-access step: an existing access asks the form's
  // variant, success makes the letter and closes the form.
  void OnAccesPatient(QPointer<QWidget> Form, std::function<int(int Step)> Steps);
  void SearchDossierV1(const Talven::TPatientInfo& Patient) override;
  int StatusImage() const;

  // ---- The search frames' services ----
  void SubmitSearch(std::function<int()> Proc, std::function<void(int Error)> Done) override;
  void ShowSearchError(int Error) override;
  void ShowSearchInfo(const QString& Text) override;
  std::shared_ptr<Talven::IVaspoCNX> SearchSession() override { return CNX; }
  void OpenSearchedDossier(std::function<int(std::shared_ptr<Talven::IDossierMedical>&)> Get,
                           std::function<void()> Opened) override;
  // ---- The local documents frame's services ----
  void SubmitLocaux(std::function<int()> Proc, std::function<void(int Error)> Done) override;
  void ShowLocauxError(int Error) override { ShowSearchError(Error); }
  void ShowLocauxInfo(const QString& Text) override { ShowSearchInfo(Text); }
  bool AskLocaux(const QString& Text) override { return AskSearchQuestion(Text); }
  std::shared_ptr<Talven::IDossierMedical> LocauxDossier() override { return DOS; }
  bool ReplaceLocal(QWidget* Owner, const std::string& UniqueID, const std::string& TypeCode) override;
  bool ReplaceVaccin(QWidget* Owner, const std::string& UniqueID, const TVaspoVaccin& Vaccin) override;
  // ---- The INS search's services ----
  // The busy flag held as a host request holds it: no job, no host request meanwhile.
  bool HoldBusy() override;
  void ReleaseBusy() override;
  bool AskSearchQuestion(const QString& Text) override;
  TImageList* SearchImages() override { return ImageList; }

  // The card kind shown on ibCPX once the activity is chosen: 2 a CPE card,
  // 33 a software certificate; 1, 37 or 44 may close records.
  int StructureImage() const;

 protected:
  void closeEvent(QCloseEvent* Event) override;

 private:
  friend class TTask;
  void EndTask(TTask* Task);
  // Runs F on the user-interface thread and waits for it (job thread).
  void Synchronize(const std::function<void()>& F);
  // Runs F; an exception is written to the ".log" file and shown.
  void Guarded(const std::function<void()>& F);
  void WaitForTasks();
  void FormCreate();
  void FormDestroy();
  void ReadSettings();
  void SwitchServer();
  int LectureCPS();
  void OnCPS();
  // ---- Login and Vitale card chain (DMP2Main.Login.cpp) ----
  void CreateControls();
  Vantrel::TImageButton* NewImageButton(QWidget* Parent, const char* Name, const QString& Hint, int Image);
  bool AskCode();
  int SetCode();
  void OnCode();
  int LireActivites();
  void OnActivites();
  int AutoSelectActivite();
  // The card's end of validity, nothing when the activity was refused.
  std::optional<Vantrel::TDateTime> SelectActivite(int Index);
  void SetActivite(int Index);
  void SetVitaleEnabled(bool Enabled);
  int LectureCSV();
  void OnCSV();
  int ControlCSV();
  void OnBeneficiaire();
  int DossierExiste();
  void ChoixAMO();
  int LoadAPCV();
  // Starts Proc with Done: re-arms the current job, or submits a new one.
  void Chain(std::function<void()> ADone, TTaskProc AProc);
  bool FSaveCode = false;        // the user asked to remember Code
  bool FRememberedCode = false;  // Code came from the settings
  std::string FJobDetail;        // detail of a job error the root does not hold
  bool FSkipCSVClick = false;    // the mouse-down saved the card: the click does nothing
  bool FAccesWebAuto = false;    // the accepted offer: the web-access form submits at once
  // ---- Record (DMP2Main.Dossier.cpp) ----
  void CreateDossierControls();
  void SetMedecin();
  bool CanReadDocuments() const;
  bool CpeRefused();
  int DossierExisteINSC();
  void OnDossier();
  // Reads the document frame's date filters for the next query; Updates
  // sets them to the documents since the patient's last one.
  void ReadDocumentFilter(bool Updates);
  // Makes a search frame on first use, closes the record and shows it.
  void ShowSearchFrame(QPointer<QWidget>& Frame, const std::function<QWidget*(QWidget*, ISearchHost&)>& Create);
  // Done of both search frames.
  void SearchFramesDone();
  int QueryDocuments();
  void OnDocuments();
  int OpenDocument();
  void OnDocument();
  void OnDocumentAjout();
  // The access dialog for the open record; false when cancelled or when
  // another record was opened meanwhile.
  bool AskForcerDMP(std::string& Motif);
  int ForcerDMP(const std::string& Motif);
  void DossierForce();
  // The administrative panel into Volet (job thread).
  int GetVoletAdministratif();
  // Every practitioner with access into Praticiens (job thread), then the list.
  int GetPraticiens();
  void OnPraticiens();
  int FermerDossier();
  void OnFermerDossier();
  int RetirerAutorisation();
  // The patient context closes whatever the service answered.
  void CloseDossier();
  // The forced-access offer after a record without authorisation opened in a job.
  void ForcerAccesDiffere();
  // Downloads the record-opening letter and opens it, else its address.
  void SendOpeningLetter();
  // Deletes PendingURL's document, broadcasts DELETE on success.
  int DeletePendingDocument();

  TDMPMainOptions FOptions;
  int FLiveTasks = 0;  // job threads that have not run their EndTask yet
  bool FClosing = false;
  bool FStartStopped = false;
  int FStartExitCode = 0;
  std::unique_ptr<QObject> FWheelFilter;
};

// ---- Unit-level state (user-interface thread) ----

// The one main window, nullptr before it is made and after it is gone.
extern TDMPMain* DMPMain;
bool Busy();
void SetBusy(bool Value);
TTask* CurrentTask();
// The three parts of a "dmp://" link waiting to be opened.
struct TPendingURL {
  std::string Server, INS, DocumentId;
};
extern TPendingURL PendingURL;
// The link of a host's deletion request waiting for the record.
extern std::string PendingDeleteURL;
// The training servers' domain suffix ([Services] DomaineFormation).
extern std::string DomaineFormation;

// ---- Command line, settings, links (DMP2Main.Settings.cpp) ----

// $CARVELIN_INI; else Exe + ".ini" when Exe's folder is writable; else
// $XDG_CONFIG_HOME/Carvelin2/carvelin2.ini.
std::string SettingsFileName(const std::string& Exe);
// Reads Args by position; "/ins" and a link fill PendingURL.
TCommandLine ParseCommandLine(const QStringList& Args);
// A server a link may name: a shared-record server of the hosts
// configuration, or "formation" + 1, 3, 4 or 5 + "." + DomaineFormation;
// any ASCII case.
bool IsDmpServerAllowed(std::string_view Server);
// Splits "dmp://" server "/" INS ["/" document] into PendingURL; false (and
// PendingURL unchanged) for another text, an empty INS, a server not
// allowed or a link over 2048 bytes.
bool ParseDmpUrl(std::string_view Text);
// "dmp://" + Server + "/" + INS + "/" + UniqueID.
std::string DmpURL(std::string_view Server, std::string_view INS, std::string_view UniqueID);
// Deletes Folder's "DMP_" + up to 22 characters + ".PDF" modified more than
// an hour ago; failures are silent.
void DeleteOldLetters(const std::string& Folder);
// Bounds moved onto Primary (and cut to its size) when they meet none of Screens.
QRect PlacementOnScreens(const QRect& Bounds, const QList<QRect>& Screens, const QRect& Primary);

// Shows a client-core error: nothing for 0; otherwise the shared error box
// (made on first use and kept) with the code's message and the detail of
// the last failure, run modally. For an exception of the current job, its
// message is the detail.
void ShowDmpError(Talven::ICarvelin* ADMP, int Error);
// The same with the detail given.
void ShowDmpError(Talven::ICarvelin* ADMP, int Error, const std::string& Detail);

// The crash log beside the executable (ExeName + ".log"), or in
// Vantrel::LogFolder() when the executable's folder is not writable.
std::string ExceptionLogFileName(const std::string& ExeName);
// Writes Message then one line per open top-level window's class name
// (UTF-8); a failed write ends the file. The file written, or "".
std::string WriteExceptionLog(const std::string& Message);

}  // namespace Carvelin
