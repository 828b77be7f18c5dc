// Record opening, the patient bar, the record's documents and the record
// actions of the main window.
//
// The status image of ibStatus is the window's record state: 14 access
// granted, 15 record closed, 16 no usable authorisation, 17 another
// authorisation value. Documents are read from the service only with image
// 14 and a session that may read them (neither a CPE card nor a software
// certificate); otherwise the documents filed from this workstation show.
#include <QApplication>
#include <QClipboard>
#include <QDate>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QIcon>
#include <QMouseEvent>
#include <QPixmap>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "Carvelin.MessageDlg.h"
#include "Carvelin.Letters.h"
#include "DMP2Main.h"
#include "FLogMessage.h"
#include "ShellTr.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Utils.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using namespace Talven;

namespace {

using Vantrel::Q;

// Menu captions read "&" as a mnemonic; service texts keep theirs.
QString MenuText(QString Text) { return Text.replace(QLatin1Char('&'), QStringLiteral("&&")); }

// Calls a handler when the watched widget is clicked with the left button.
class TClickFilter : public QObject {
 public:
  TClickFilter(QWidget* Target, std::function<void()> OnClick) : QObject(Target), FOnClick(std::move(OnClick)) {
    Target->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() == QEvent::MouseButtonRelease && static_cast<QMouseEvent*>(Event)->button() == Qt::LeftButton)
      FOnClick();
    return false;
  }

 private:
  std::function<void()> FOnClick;
};

// The INS type letter of a typed identifier: 'C' for 22 characters, 'N' for
// a CX text, the 16th character of 16 (the INS being the first 15).
char INSTypeOf(std::string& INS, bool TrainingCard) {
  if (INS.size() == 22) return 'C';
  if (INS.find("&ISO^NH") != std::string::npos || INS.find("&amp;ISO^NH") != std::string::npos) return 'N';
  if (INS.size() == 16) {
    const char Type = INS.back();
    INS.resize(15);
    return Type;
  }
  return TrainingCard ? 'T' : 'R';
}

// The patient's status kept with the local patient.
int PatientStatus(const TDossierInfo& I) {
  if (I.Autorisation.empty()) return I.Fermeture ? -4 : 0;
  switch (I.Autorisation.front()) {
    case 'B':
    case 'V': return I.StatutMT ? 2 : 1;
    case 'E': return -3;
    case 'I': return -2;
    case 'N': return -1;
    default: return 0;
  }
}

struct TStatusLook {
  int Image;
  QString Hint;
};

TStatusLook StatusLook(const TDossierInfo& I) {
  if (I.Fermeture) return {TDMPMain::imDossierFerme, Q(I.Fermeture->Motif)};
  switch (I.Autorisation.empty() ? '\0' : I.Autorisation.front()) {
    case 'B': return {TDMPMain::imAccesAccorde, ShellTr::tr("Accès bris de glace")};
    case 'E': return {TDMPMain::imSansAutorisation, ShellTr::tr("Autorisation ayant pris fin")};
    case 'I': return {TDMPMain::imSansAutorisation, ShellTr::tr("Blocage d’accès")};
    case 'N': return {TDMPMain::imSansAutorisation, ShellTr::tr("Pas d’autorisation existante")};
    case 'V': return {TDMPMain::imAccesAccorde, ShellTr::tr("Autorisation valide")};
    default: return {TDMPMain::imAutreAutorisation, Q(I.Autorisation)};
  }
}

// The record's INS (INSi code with its type letter unless 'R'), else its INS-C.
std::string RecordINS(const TPatientInfo& P) {
  if (P.INSi.Code.empty()) return P.INSC.Code;
  return P.INSi.Type == 'R' || P.INSi.Type == 0 ? P.INSi.Code : P.INSi.Code + P.INSi.Type;
}

std::string DateHour(const TDateTimePicker* Date, const TDateTimePicker* Hour) {
  return Vantrel::FormatDateTime("dd/mm/yyyy hh:nn", Vantrel::ComposeDateTime(Vantrel::DateOf(Date->DateTime()),
                                                                              Vantrel::TimeOf(Hour->DateTime())));
}

constexpr std::string_view CpeStructuresAjout[] = {"SA07", "SA08", "SA09", "SA25", "SA29", "SA40", "SA52"};
constexpr int imCPE = 2, imCertificat = 33;

}  // namespace

// ---- Controls ----

void TDMPMain::CreateDossierControls() {
  auto* Client = centralWidget();
  if (!Client) {
    Client = new QWidget(this);
    Client->setObjectName(QStringLiteral("Client"));
    new QVBoxLayout(Client);
    setCentralWidget(Client);
  }
  auto* ClientLayout = qobject_cast<QBoxLayout*>(Client->layout());

  connect(edINSC, &QLineEdit::returnPressed, this, [this] { ibINSCClick(); });

  pnCSV = new QWidget(Client);
  pnCSV->setObjectName(QStringLiteral("pnCSV"));
  auto* Bar = new QHBoxLayout(pnCSV);
  auto* Texts = new QVBoxLayout;
  lbPatient = new TElidedLabel(pnCSV);
  lbPatient->setObjectName(QStringLiteral("lbPatient"));
  lbMedecin = new TElidedLabel(pnCSV);
  lbMedecin->setObjectName(QStringLiteral("lbMedecin"));
  for (QLabel* L : {lbPatient, lbMedecin}) {
    L->setTextFormat(Qt::PlainText);  // service texts are never markup
    L->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(L, &QWidget::customContextMenuRequested, this,
            [this, L](const QPoint& Pos) { ppINS->popup(L->mapToGlobal(Pos)); });
    Texts->addWidget(L);
  }
  lbPatient->setAccessibleName(ShellTr::tr("Patient"));
  lbMedecin->setAccessibleName(ShellTr::tr("Dossier du patient"));
  new TClickFilter(lbMedecin, [this] { edINSC->setText(lbMedecin->toolTip()); });
  Bar->addLayout(Texts, 1);

  const auto ImageButton = [&](Vantrel::TImageButton*& B, const char* Name, const QString& Hint, int Image,
                               std::function<void()> OnClick) {
    B = NewImageButton(pnCSV, Name, Hint, Image);
    connect(B, &QAbstractButton::clicked, this, [this, F = std::move(OnClick)] { Guarded(F); });
    Bar->addWidget(B);
  };
  const auto ToolButton = [&](QToolButton*& B, const char* Name, const QString& Hint, int Image,
                              std::function<void()> OnClick) {
    B = new QToolButton(pnCSV);
    B->setObjectName(QLatin1String(Name));
    B->setToolTip(Hint);
    B->setAccessibleName(Hint);
    B->setIcon(QIcon(QPixmap::fromImage(ImageList->Image(Image))));
    B->setIconSize(QSize(ImageList->Width(), ImageList->Height()));
    B->setAutoRaise(true);
    connect(B, &QAbstractButton::clicked, this, [this, F = std::move(OnClick)] { Guarded(F); });
    Bar->addWidget(B);
  };
  ToolButton(btSecret, "btSecret", ShellTr::tr("Vous utilisez une connexion secrète"), 29,
             [this] { btSecretClick(); });
  ToolButton(btUrgence, "btUrgence", ShellTr::tr("Vous utilisez une connexion d'urgence"), 32,
             [this] { btUrgenceClick(); });
  ToolButton(btUpdates, "btUpdates", QString(), 34, [this] { ibRefreshClick(true); });
  ImageButton(ibStatus, "ibStatus", QString(), -1, [this] { ibStatusClick(ibStatus); });
  ImageButton(ibSynthese, "ibSynthese", ShellTr::tr("Dossier de synthèse"), 18, [this] {
    Screens().SyntheseExecute(this, DOS, lbPatient->text(), FPatient.rowid);
  });
  ImageButton(ibCovid, "ibCovid", ShellTr::tr("Dossier Covid 19"), 19,
              [this] { Screens().Covid19Execute(this, DOS, lbPatient->text(), FPatient.rowid); });
  ImageButton(ibVaccin, "ibVaccin", ShellTr::tr("Vaccination"), 20,
              [this] { Screens().NoteVaccinationExecute(this, FPatient.rowid); });
  ImageButton(ibWeb, "ibWeb", ShellTr::tr("Ouvrir le DMP sur le Web (Maj pour ouvrir dans le navigateur)"), 21,
              [this] { ibWebClick(); });
  ImageButton(ibUpload, "ibUpload", ShellTr::tr("Ajouter un document"), 22, [this] { ibUploadClick(); });
  ImageButton(ibRefresh, "ibRefresh", ShellTr::tr("Actualiser les informations"), 23,
              [this] { ibRefreshClick(false); });
  ImageButton(ibMenu, "ibMenu", ShellTr::tr("Options"), 27, [this] { ibStatusClick(ibMenu); });
  ImageButton(ibCloseCSV, "ibCloseCSV", ShellTr::tr("Fermer le dossier"), 28, [this] { ibCloseCSVClick(); });
  if (ClientLayout) ClientLayout->addWidget(pnCSV);
  pnCSV->hide();

  // The record menu; its design captions are kept for "<PATIENT>".
  ppDossier = new TPopupMenu(this);
  ppDossier->setObjectName(QStringLiteral("ppDossier"));
  const auto Item = [this](QMenu* Menu, QAction*& A, const char* Name, const QString& Text,
                           std::function<void()> OnClick) {
    A = Menu->addAction(Text);
    A->setObjectName(QLatin1String(Name));
    connect(A, &QAction::triggered, this, [this, F = std::move(OnClick)] { Guarded(F); });
  };
  Item(ppDossier, mnAdministratif, "mnAdministratif",
       ShellTr::tr("Voir les données administratives du DMP de <PATIENT>"), [this] { mnAdministratifClick(); });
  ppDossier->addSeparator();
  Item(ppDossier, mnCreerAccesPatient, "mnCreerAccesPatient", ShellTr::tr("Créer un accès Internet"),
       [this] { mnCreerAccesPatientClick(); });
  Item(ppDossier, btPraticiens, "btPraticiens", ShellTr::tr("Qui a accès à ce dossier ?"),
       [this] { btPraticiensClick(); });
  Item(ppDossier, mnArchives, "mnArchives", ShellTr::tr("Afficher les documents archivés"),
       [this] { Toggle(TQueryFlag::Archive); });
  Item(ppDossier, mmObsolete, "mmObsolete", ShellTr::tr("Afficher les documents obsolètes"),
       [this] { Toggle(TQueryFlag::Obsolete); });
  ppDossier->addSeparator();
  Item(ppDossier, mnRetirerAutorisation, "mnRetirerAutorisation",
       ShellTr::tr("Mettre fin à mon autorisation d'accès au DMP de <PATIENT>"),
       [this] { mnRetirerAutorisationClick(); });
  Item(ppDossier, mnFermerDMP, "mnFermerDMP", ShellTr::tr("Fermer, à sa demande, le DMP de <PATIENT>"),
       [this] { mnFermerDMPClick(); });
  Menus.clear();
  for (const QAction* A : ppDossier->actions()) Menus.push_back(A->text());
  connect(ppDossier, &QMenu::aboutToShow, this, [this] {
    mnArchives->setText(QueryFlags.Contains(TQueryFlag::Archive) ? ShellTr::tr("Masquer les documents archivés")
                                                                 : ShellTr::tr("Afficher les documents archivés"));
    mmObsolete->setText(QueryFlags.Contains(TQueryFlag::Obsolete) ? ShellTr::tr("Masquer les documents obsolètes")
                                                                  : ShellTr::tr("Afficher les documents obsolètes"));
    const TDossierInfo* I = DOS ? DOS->GetInfo() : nullptr;
    mnFermerDMP->setVisible(I && (StructureImage() == 1 || StructureImage() == 37 || StructureImage() == 44) &&
                            I->Autorisation == "VALIDE" && !I->ENS);
  });

  ppDocuments = new QMenu(this);
  ppDocuments->setObjectName(QStringLiteral("ppDocuments"));
  Item(ppDocuments, mnCopyDocLink, "mnCopyDocLink", ShellTr::tr("Copier le lien"), [this] { mnCopyDocLinkClick(); });
  Item(ppDocuments, mnQRCodeLink, "mnQRCodeLink", ShellTr::tr("Copier le QRCode"), [this] { mnQRCodeLinkClick(); });
  Item(ppDocuments, mnReplaceDocument, "mnReplaceDocument", ShellTr::tr("Remplacer..."),
       [this] { mnReplaceDocumentClick(); });
  Item(ppDocuments, mnDeleteDocument, "mnDeleteDocument", ShellTr::tr("Supprimer..."),
       [this] { mnDeleteDocumentClick(); });
  connect(ppDocuments, &QMenu::aboutToShow, this, [this] {
    const bool Selected = Documents->ListBox->ItemIndex() >= 0;
    for (QAction* A : {mnCopyDocLink, mnReplaceDocument, mnDeleteDocument}) A->setEnabled(Selected);
  });

  ppINS = new QMenu(this);
  ppINS->setObjectName(QStringLiteral("ppINS"));
  Item(ppINS, mnCopyINS, "mnCopyINS", ShellTr::tr("Copier l'INS du patient"),
       [this] { QGuiApplication::clipboard()->setText(lbMedecin->toolTip()); });

  Documents = new TDocuments(Client);
  if (ClientLayout) ClientLayout->addWidget(Documents, 1);
  Documents->FOnFavoris = [this](TDocuments* Sender) { OnFavoris(Sender); };
  Documents->OnOpen = [this] { Guarded([this] { ListBoxDblClick(); }); };
  Documents->OnCategorie = [this](TCategorieOption* Entry) {
    Guarded([this, Entry] {
      const TCategorieChoice Choice{Entry->Tag, Entry->Hint().toStdString()};
      OnCategorie(&Choice);
    });
  };
  Documents->OnSendFiles = [this](const std::vector<std::string>& Names, bool DeleteSource, int ACategorie) {
    Guarded([&] { SendFiles(Names, DeleteSource, ACategorie); });
  };
  Documents->ListBox->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Documents->ListBox, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& Pos) { ppDocuments->popup(Documents->ListBox->mapToGlobal(Pos)); });
  connect(Documents->ListBox, &TVirtualListBox::OnChange, this,
          [this] { DocumentIndex = Documents->ListBox->ItemIndex(); });
  connect(Documents->cbMasquePS, &QCheckBox::clicked, this, [this] { Toggle(TQueryFlag::MasquePS); });
  connect(Documents->cbINVISIBLE_PATIENT, &QCheckBox::clicked, this,
          [this] { Toggle(TQueryFlag::InvisiblePatient); });
  connect(Documents->cbREPRESENTANT_LEGAL, &QCheckBox::clicked, this,
          [this] { Toggle(TQueryFlag::Invisible_RepresentantLegal); });

  // The documents of the last month, by default.
  const Vantrel::TDateTime Now = Today();
  const Vantrel::TDateParts P = Vantrel::DecodeDateTime(Now);
  const QDate MonthBack = QDate(P.Year, P.Month, P.Day).addMonths(-1);
  Vantrel::TDateTime After = Vantrel::DateOf(Now);
  Vantrel::TryEncodeDate(MonthBack.year(), MonthBack.month(), MonthBack.day(), After);
  Documents->dtDateDocAfter->SetDateTime(After);
  Documents->dtHourDocAfter->SetDateTime(Vantrel::TimeOf(Now));
  Documents->cbDateDocAfter->setChecked(true);
  Documents->dtDateDocBefore->SetDateTime(Vantrel::DateOf(Now));
  Documents->dtHourDocBefore->SetDateTime(Vantrel::TimeOf(Now));
  Documents->cbDateDocBefore->setChecked(false);
  DateDocAfter = DateHour(Documents->dtDateDocAfter, Documents->dtHourDocAfter);
}

int TDMPMain::StatusImage() const { return ibStatus->ImageIndex(); }

bool TDMPMain::CanReadDocuments() const {
  return StatusImage() == imAccesAccorde && StructureImage() != imCPE && StructureImage() != imCertificat;
}

// ---- Opening ----

void TDMPMain::LoadINSC(const std::string& Value, bool Direct) {
  INSC = Value;
  FINSi = nullptr;
  OnCloseCSV();
  wAcces = 0;
  if (!Direct) return Submit([this] { OnDossier(); }, [this] { return DossierExisteINSC(); });
  int Error = DossierExisteINSC();
  if (Error == ERR_OK) {
    ShowDossier();
    if (!CanReadDocuments()) return ShowDocumentsLocaux();
    Error = QueryDocuments();
    if (Error == ERR_OK) SetDocuments(List);
  }
  ShowDmpError(DMP.get(), Error);
}

char TDMPMain::TypedINSType(std::string& INS) const {
  const TCarte* Carte = CNX ? CNX->GetCarte() : nullptr;
  return INSTypeOf(INS, Carte && Carte->Categorie >= 128);
}

int TDMPMain::DossierExisteINSC() {
  if (!CNX) return ERR_SESSION;
  std::string INS = INSC;
  const char Type = TypedINSType(INS);
  DOS.reset();
  int Error = CNX->DossierExiste(INS, Type, DOS);
  if (Error == ERR_OK && !FBrisDeGlace.empty() && DOS) Error = DOS->Autorisation(true, FBrisDeGlace);
  return Error;
}

void TDMPMain::OnDossier() {
  const int Error = CurrentTask()->Error;
  if (Error == -1) return;  // an identity check was cancelled
  if (Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
  FINSi = nullptr;
  // With a granted access, ShowDossier re-arms this job with the documents
  // query (or shows the local ones) when a minor's secret mode allows it.
  ShowDossier();
  if (StatusImage() == imAccesAccorde) return;
  ShowDocumentsLocaux();
  if (StatusImage() == imDossierFerme) PostAction(WMU_DMP_FERME);
}

void TDMPMain::LoadDossier(std::shared_ptr<IDossierMedical> ADOS, const TINSiResponse* INSi) {
  DOS = std::move(ADOS);
  FINSi = INSi;
  ShowDossier();
  if (!CanReadDocuments()) {
    ShowDocumentsLocaux();
    if (StatusImage() == imDossierFerme) PostAction(WMU_DMP_FERME);
    return;
  }
  if (!CurrentTask()) Submit([this] { OnDocuments(); }, [this] { return QueryDocuments(); });
}

void TDMPMain::OpenDossier(std::shared_ptr<IDossierMedical> ADOS) {
  DOS = std::move(ADOS);
  FINSi = nullptr;
  ShowDossier();
  // The INS box names the record, as after a typed INS, so that the INS
  // button opens it again.
  edINSC->setText(lbMedecin->toolTip());
  if (!CanReadDocuments()) return ShowDocumentsLocaux();
  SetDocuments(nullptr);
}

void TDMPMain::ibINSCClick() {
  FBrisDeGlace.clear();
  const std::string Value = Vantrel::NIRWithKey(edINSC->text().toStdString(), true);
  if (Value.empty()) return ShowDmpError(DMP.get(), ERR_INS_INVALIDE);
  LoadINSC(Value, false);
}

void TDMPMain::ibSearchINSClick() { Screens().SearchINSExecute(this, *this, DMP, CNX); }

void TDMPMain::ibSearchDMPClick() { ShowSearchFrame(FrameDossiers, Screens().FrameDossiersCreate); }

void TDMPMain::ibSearchPatClick() { ShowSearchFrame(FramePatients, Screens().FramePatientsCreate); }

void TDMPMain::ShowSearchFrame(QPointer<QWidget>& Frame,
                               const std::function<QWidget*(QWidget*, ISearchHost&)>& Create) {
  OnCloseCSV();
  if (!Frame) {
    Frame = Create(this, *this);
    if (!Frame) return;
    if (auto* Column = qobject_cast<QBoxLayout*>(centralWidget()->layout())) Column->addWidget(Frame, 1);
  }
  imDMP->hide();  // the frame takes the logo's room
  Frame->show();
}

void TDMPMain::SearchFramesDone() {
  for (QWidget* Frame : {FramePatients.data(), FrameDossiers.data()})
    if (Frame) Screens().SearchFrameDone(Frame);
}

void TDMPMain::SubmitSearch(std::function<int()> Proc, std::function<void(int Error)> Done) {
  Submit([this, Done = std::move(Done)] { Done(CurrentTask()->Error); }, std::move(Proc));
}

void TDMPMain::ShowSearchError(int Error) { ShowDmpError(DMP.get(), Error); }

void TDMPMain::ShowSearchInfo(const QString& Text) { MessageDlg(this, QMessageBox::Information, Text); }

bool TDMPMain::HoldBusy() {
  if (Busy() || FClosing) return false;
  SetBusy(true);
  return true;
}

void TDMPMain::ReleaseBusy() {
  SetBusy(CurrentTask() != nullptr);
  // A call made on this thread leaves the core's last progress message.
  if (!CurrentTask()) statusBar()->showMessage(ShellTr::tr("Prêt"));
}

bool TDMPMain::AskSearchQuestion(const QString& Text) {
  return MessageDlg(this, QMessageBox::Question, Text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TDMPMain::OpenSearchedDossier(std::function<int(std::shared_ptr<IDossierMedical>&)> Get,
                                   std::function<void()> Opened) {
  // The lookup uses the client core, which takes no lock: it waits for no
  // other job and runs as one.
  if (Busy()) return;
  DOS.reset();
  FINSi = nullptr;
  const auto Shown = [this, Opened = std::move(Opened)] {
    if (const int Error = CurrentTask()->Error; Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
    Opened();
    ShowDossier();
    // The refresh button's job, which the button itself would not start
    // while this one runs: the record again with the date filters, then
    // its documents.
    ReadDocumentFilter(false);
    wAcces = 0;
    Chain([this] { OnDossier(); }, [this] { return DossierExisteINSC(); });
  };
  Submit(Shown, [this, Get = std::move(Get)] { return Get(DOS); });
}

// ---- Record display ----

void TDMPMain::ShowDossier() {
  if (!DOS) return;
  SearchFramesDone();
  Info = DOS->GetInfo();
  const TDossierInfo& I = *Info;
  const TIdentite& Id = I.Patient.Identite;
  const TBeneficiaire* Beneficiaire =
      INSC.empty() && CSV ? CSV->GetBeneficiaire(CSV->SelectedBeneficiaire()) : nullptr;
  INSC = RecordINS(I.Patient);

  FPatient.Clear();
  if (!Database.LoadPatient(INSC, FPatient)) Database.LoadPatient(I.Patient.INSC.Code, FPatient);
  FPatient.Nom = !Id.NomUsage.empty() ? Id.NomUsage : !Id.NomNaissance.empty() ? Id.NomNaissance : "NON RENSEIGNE";
  FPatient.Prenom = Id.Prenom;
  // Whatever the workstation's locale, the service writes day, month, year.
  Vantrel::TDateTime Naissance = 0;
  if (Vantrel::ParseDateLoose(Id.DateNaissance, Naissance, Today())) FPatient.Naissance = Naissance;
  FPatient.INSC = I.Patient.INSC.Code;
  if (!I.Patient.INSi.Code.empty()) FPatient.INSN = RecordINS(I.Patient);
  if (Beneficiaire) {
    FPatient.Nir = Beneficiaire->Nir;
    FPatient.Rang = Beneficiaire->RangDeNaissance;
    FPatient.Nir2 = Beneficiaire->NirCertifie;
  }
  FPatient.Status = PatientStatus(I);
  if (FINSi) {
    FPatient.INSi = FINSi->Balise;
    FPatient.INSiDate = Today();
    FPatient.INSiStatus = FINSiStatus;
    FINSi = nullptr;
  }
  Database.SavePatient(FPatient);

  btUpdates->setToolTip(ShellTr::tr("Voir les documents depuis le %1")
                            .arg(Q(Vantrel::FormatDateTime("dd/mm/yyyy", FPatient.LastDate))));
  btUpdates->setVisible(FPatient.LastDate > 1);

  const QString Nom = Q(!Id.NomUsage.empty() ? Id.NomUsage : Id.NomNaissance);
  const QString Patient = QStringLiteral("%1 %2 %3").arg(Q(CiviliteCourte(Id.Civilite)), Nom, Q(Id.Prenom));
  const QList<QAction*> Actions = ppDossier->actions();
  for (qsizetype K = 0; K < Actions.size() && size_t(K) < Menus.size(); ++K)
    Actions[K]->setText(QString(Menus[size_t(K)]).replace(QStringLiteral("<PATIENT>"), MenuText(Patient)));
  mnCreerAccesPatient->setText(I.AccesWeb ? ShellTr::tr("Modifier l'accès Internet")
                                          : ShellTr::tr("Créer un accès Internet"));
  lbPatient->setText(QStringLiteral("%1 né%2 le %3")
                         .arg(Patient, Id.Sexe == 'F' ? QStringLiteral("e") : QString(), Q(Id.DateNaissance)));
  SetMedecin();

  const TStatusLook Look = StatusLook(I);
  ibStatus->setToolTip(Look.Hint);
  // A screen reader names the button by the record's state.
  ibStatus->setAccessibleName(Look.Hint);
  ibStatus->SetImageIndex(Look.Image);

  pnCSV->show();
  imDMP->hide();  // the record takes the logo's room
  if (DocumentsLocaux) DocumentsLocaux->hide();

  if (Look.Image != imAccesAccorde) {
    SetDocuments(nullptr);
    Documents->hide();
    if (Look.Image == imSansAutorisation && CurrentTask()) PostAction(WMU_FORCER_ACCES);
    return;
  }
  if (!AccesMineur()) return;
  if (CurrentTask())
    ReloadDocuments();
  else
    NotifyPatient();
}

void TDMPMain::SetMedecin() {
  const TDossierInfo& I = *Info;
  const TPatientInfo& P = I.Patient;
  QString Line;
  if (!P.INSi.Code.empty()) {
    lbMedecin->setToolTip(Q(P.INSi.Code));
    Line = QStringLiteral("NIR-%1 : %2").arg(QChar::fromLatin1(P.INSi.Type), Q(P.INSi.Code));
  } else {
    lbMedecin->setToolTip(Q(P.INSC.Code));
    Line = QStringLiteral("INS-%1 : %2").arg(QChar::fromLatin1(P.INSC.Type), Q(P.INSC.Code));
  }
  if (I.Fermeture) {
    Line += ShellTr::tr(", FERMÉ le %1 (%2)").arg(Q(I.Fermeture->Date), Q(I.Fermeture->Motif));
  } else if (I.Autorisation != "INTERDIT") {
    Line += I.StatutMT ? ShellTr::tr(", Médecin traitant déclaré") : ShellTr::tr(", Médecin traitant non déclaré");
    if (I.AccesWeb) Line += ShellTr::tr(", Accès web ouvert");
  } else {
    Line += ShellTr::tr(", ACCES INTERDIT");
  }
  if (I.ENS) Line += QStringLiteral(" [ENS]");
  const bool BrisDeGlace = I.Autorisation == "BRIS_DE_GLACE";
  if (BrisDeGlace) Line += ShellTr::tr(" (BRIS DE GLACE)");
  btUrgence->setVisible(BrisDeGlace);
  lbMedecin->setText(Line);
}

bool TDMPMain::AccesMineur() {
  const TDossierInfo* I = DOS->GetInfo();
  if (I->Mineur && I->Secret == 0) {
    if (I->Patient.INSi.Code != FMineur.INS || FMineur.Mode == 0) {
      if (ModeAPI || !Screens().AccesMineurExecute(this, *DOS)) return false;
      I = DOS->GetInfo();
      FMineur.INS = I->Patient.INSi.Code;
      FMineur.Mode = I->Secret;
    } else {
      DOS->SetAccesSecret(FMineur.Mode == 2);
      I = DOS->GetInfo();
    }
  }
  btSecret->setVisible(I->Mineur && I->Secret == 2);
  return true;
}

void TDMPMain::btSecretClick() {
  if (!DOS || MessageDlg(this, QMessageBox::Question,
                         ShellTr::tr("Voulez-vous rendre la connexion visible par le représentant légal ?"),
                         QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  DOS->SetAccesSecret(false);
  FMineur.Mode = 1;
  btSecret->hide();
}

// ---- Documents ----

int TDMPMain::QueryDocuments() {
  TQueryDocuments Query{QueryFlags, TypeDoc, DateDocAfter, DateDocBefore};
  Query.Flags.Include(TQueryFlag::Aprouve);
  List.reset();
  return QuerySubmission ? DOS->QuerySubmissions(Query, List) : DOS->QueryDocuments(Query, List);
}

void TDMPMain::OnDocuments() {
  TTask* Task = CurrentTask();
  if (Task->Error != ERR_OK) return ShowDmpError(DMP.get(), Task->Error);
  SetDocuments(List);
  CreerAccesWeb();
  if (PendingURL.DocumentId.empty()) return PostAction(WMU_NOTIFY_PATIENT);
  DOCID = PendingURL.DocumentId;
  PendingURL.DocumentId.clear();
  Task->Proc = [this] { return OpenDocument(); };
  Task->Done = [this] { OnDocument(); };
}

void TDMPMain::SetDocuments(std::shared_ptr<IDocumentList> AList) {
  List = AList;
  Documents->List = std::move(AList);
  DocumentIndex = -1;
  Documents->Vaccins.Clear();
  Database.ListVaccins(Documents->Vaccins);
  Documents->Display();
  // After an opening the list has the keyboard, no row chosen yet.
  Documents->ListBox->SetItemIndex(-1);
  Documents->ListBox->setFocus();
}

void TDMPMain::ReloadDocuments() {
  TTask* Task = CurrentTask();
  if (!Task) return;
  if (!CanReadDocuments()) {
    CreerAccesWeb();
    return ShowDocumentsLocaux();
  }
  Task->Proc = [this] { return QueryDocuments(); };
  Task->Done = [this] { OnDocuments(); };
}

void TDMPMain::ShowDocumentsLocaux() {
  Documents->hide();
  if (!DocumentsLocaux) {
    DocumentsLocaux = Screens().DocumentsLocauxCreate(this, *this);
    // In the document list's place.
    if (auto* Column = DocumentsLocaux ? qobject_cast<QBoxLayout*>(Documents->parentWidget()->layout()) : nullptr)
      Column->insertWidget(Column->indexOf(Documents) + 1, DocumentsLocaux, 1);
  }
  if (!DocumentsLocaux) return;
  Screens().DocumentsLocauxLoad(DocumentsLocaux, Database, FPraticien.rowid, FPatient.rowid, FPraticien.Favoris);
  DocumentsLocaux->show();
  PostAction(WMU_NOTIFY_PATIENT);
}

void TDMPMain::SubmitLocaux(std::function<int()> Proc, std::function<void(int Error)> Done) {
  SubmitSearch(std::move(Proc), std::move(Done));
}

bool TDMPMain::ReplaceLocal(QWidget* Owner, const std::string& UniqueID, const std::string& TypeCode) {
  return Screens().ReplaceID(Owner, [this](QWidget* Form) { OnAddClick(Form); }, lbPatient->text(), DOS, UniqueID,
                             {}, TypeCode, FPatient.rowid);
}

bool TDMPMain::ReplaceVaccin(QWidget* Owner, const std::string& UniqueID, const TVaspoVaccin& Vaccin) {
  return Screens().NoteVaccinationReplace(Owner, UniqueID, FPatient.rowid, Vaccin);
}

void TDMPMain::ibRefreshClick(bool Updates) {
  if (Busy()) return;
  ReadDocumentFilter(Updates);
  wAcces = 0;
  Submit([this] { OnDossier(); }, [this] { return DossierExisteINSC(); });
}

void TDMPMain::ReadDocumentFilter(bool Updates) {
  TDocuments& F = *Documents;
  if (F.isVisible()) {
    if (Updates) {
      F.cbDateDocAfter->setChecked(true);
      F.dtDateDocAfter->SetDateTime(Vantrel::DateOf(FPatient.LastDate));
      F.dtHourDocAfter->SetDateTime(Vantrel::TimeOf(FPatient.LastDate));
      F.cbDateDocBefore->setChecked(false);
      F.cbSubmitDate->setChecked(true);
    }
    DateDocBefore = F.cbDateDocBefore->isChecked() ? DateHour(F.dtDateDocBefore, F.dtHourDocBefore) : std::string();
    DateDocAfter = F.cbDateDocAfter->isChecked() ? DateHour(F.dtDateDocAfter, F.dtHourDocAfter) : std::string();
    TypeDoc.clear();
    QuerySubmission = F.cbSubmitDate->isChecked();
  }
}

void TDMPMain::ShowDocumentFilter(Vantrel::TDateTime After, Vantrel::TDateTime Before, bool Submission) {
  // The frame shows the filter a host chose, so that the user's next
  // refresh keeps it instead of the frame's older dates.
  const auto Show = [](QCheckBox* Box, TDateTimePicker* Date, TDateTimePicker* Hour, Vantrel::TDateTime Value) {
    Box->setChecked(Value > 1);
    if (Value <= 1) return;
    Date->SetDateTime(Vantrel::DateOf(Value));
    Hour->SetDateTime(Vantrel::TimeOf(Value));
  };
  TDocuments& F = *Documents;
  Show(F.cbDateDocAfter, F.dtDateDocAfter, F.dtHourDocAfter, After);
  Show(F.cbDateDocBefore, F.dtDateDocBefore, F.dtHourDocBefore, Before);
  F.cbSubmitDate->setChecked(Submission);
}

void TDMPMain::Toggle(TQueryFlag Flag) {
  if (QueryFlags.Contains(Flag))
    QueryFlags.Exclude(Flag);
  else
    QueryFlags.Include(Flag);
  ibRefreshClick(false);
}

void TDMPMain::ListBoxDblClick() {
  const int Index = Documents->ListBox->ItemIndex();
  const TDocumentInfo* Document = List ? List->Info(Index) : nullptr;
  if (!Document || Busy()) return;
  Documents->ListIndex = Index;
  const auto Refused = [this](const QString& Text) {
    return MessageDlg(this, QMessageBox::Question, Text, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes;
  };
  if ((Document->Visibilite & 2) &&
      Refused(ShellTr::tr("Attention, ce document n'est pas visible du patient.\rVoulez-vous le visualiser ?")))
    return;
  if ((Document->Visibilite & 4) &&
      Refused(ShellTr::tr("Attention, ce document n'est pas visible des représentants légaux pour préserver le "
                          "secret du mineur titulaire du DMP.\rVoulez-vous le visualiser ?")))
    return;
  Submit([this] { OnDocument(); }, [this] { return Documents->GetDocument(); });
}

int TDMPMain::OpenDocument() {
  Documents->DOC.reset();
  return DOS ? DOS->GetDocument(DOCID, Documents->DOC) : ERR_SESSION;
}

void TDMPMain::OnDocument() {
  const int Error = CurrentTask()->Error;
  std::shared_ptr<IDocument> Document = std::move(Documents->DOC);
  if (Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
  if (Document) Screens().DocumentShow(this, Document, lbPatient->text(), FPatient.rowid, FPatient.INS());
}

void TDMPMain::mnDeleteDocumentClick() {
  const int Index = Documents->ListBox->ItemIndex();
  if (!List || Index < 0 || Busy()) return;
  if (MessageDlg(this, QMessageBox::Warning,
                 ShellTr::tr("Voulez-vous supprimer ce document du DMP ?\rAttention cette opération est irréversible !"),
                 QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  FDeleteIndex = Index;
  Submit(
      [this] {
        if (const int Error = CurrentTask()->Error; Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
        ReloadDocuments();
      },
      [this] { return List->DeleteDocument(FDeleteIndex); });
}

void TDMPMain::mnReplaceDocumentClick() {
  const int Index = Documents->ListBox->ItemIndex();
  const TDocumentInfo* Document = List ? List->Info(Index) : nullptr;
  if (!Document || Busy()) return;
  if (MessageDlg(this, QMessageBox::Warning, ShellTr::tr("Voulez-vous remplacer ce document par une nouvelle version ?"),
                 QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  // Either form's filing job queries the documents again itself: a second
  // query here would share the connection with it.
  if (Document->Categorie == "Note de vaccination") {
    const std::string UniqueID = Document->UniqueID;
    TVaspoVaccin Vaccin;
    Database.LoadVaccin(UniqueID, Vaccin);
    Screens().NoteVaccinationReplace(this, UniqueID, FPatient.rowid, Vaccin);
    return;
  }
  const TScreenCallback OnClick = [this](QWidget* Form) { OnAddClick(Form); };
  std::shared_ptr<IDocument> Doc;
  if (const int Error = List->GetDocument(Index, Doc); Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
  Screens().Replace(this, OnClick, lbPatient->text(), Doc, DOS, FPatient.rowid);
}

bool TDMPMain::CpeRefused() {
  if (StructureImage() != imCPE ||
      std::ranges::find(CpeStructuresAjout, std::string_view(FCodeStructure)) != std::end(CpeStructuresAjout))
    return false;
  MessageDlg(this, QMessageBox::Warning,
             ShellTr::tr("Votre carte CPE ne vous permet pas d'ajouter des documents sur le DMP"));
  return true;
}

void TDMPMain::ibUploadClick() {
  if (!DOS || CpeRefused()) return;
  int Categorie = -1;
  if (Documents->isVisible())
    Categorie = Documents->CurrentCategorie();
  else if (DocumentsLocaux && DocumentsLocaux->isVisible())
    Categorie = Screens().DocumentsLocauxCategorie(DocumentsLocaux);
  Screens().AjoutDocumentExecute(this, [this](QWidget* Form) { OnAddClick(Form); }, lbPatient->text(), DOS,
                                 FPatient.rowid, Categorie, {}, false);
}

void TDMPMain::SendFiles(const std::vector<std::string>& Names, bool DeleteSource, int ACategorie) {
  if (StatusImage() != imAccesAccorde) return ibStatusClick(ibStatus);
  if (CpeRefused()) return;
  Screens().AjoutDocumentExecute(this, [this](QWidget* Form) { OnAddClick(Form); }, lbPatient->text(), DOS,
                                 FPatient.rowid, ACategorie, Names, DeleteSource);
}

void TDMPMain::OnAddClick(QWidget*) {
  Submit([this] { OnDocumentAjout(); }, [this] { return Screens().Process(); });
}

void TDMPMain::OnDocumentAjout() {
  TTask* Task = CurrentTask();
  // The replaced document is gone from the record: offered as a new one.
  if (Task->Error == ERR_DOCUMENT_INTROUVABLE) {
    if (MessageDlg(this, QMessageBox::Question,
                   ShellTr::tr("Le document que vous voulez remplacer n'a pas été trouvé sur le DMP, voulez-vous "
                               "déposer le document sur le DMP malgré tout ?"),
                   QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
      return;
    Screens().AjoutDocumentDeposer();
    Task->Proc = [this] { return Screens().Process(); };
    return;
  }
  if (Task->Error != ERR_OK) return ShowDmpError(DMP.get(), Task->Error);
  std::string UniqueID;
  if (const TProprietesDocument* Filed = Screens().AjoutDocumentFiled(UniqueID)) SaveDocument(UniqueID, *Filed);
  if (Screens().NextDocument()) {
    Task->Proc = [this] { return Screens().Process(); };
    return;
  }
  Screens().AjoutDocumentClose();
  ReloadDocuments();
}

void TDMPMain::SaveDocument(const std::string& UniqueId, const TProprietesDocument& Prop) {
  TVaspoDocument Row;
  Row.Patient = int32_t(FPatient.rowid);
  Row.Praticien = int32_t(FPraticien.rowid);
  Row.uniqueId = UniqueId;
  Row.titre = Prop.Titre;
  Row.TypeDoc = Prop.TypeDocument;
  Row.date = Today();
  Row.etat = 0;
  Database.SaveDocument(Row);
  if (!Prop.Remplacer.UniqueID.empty()) Database.DeleteDocumentByUniqueID(Prop.Remplacer.UniqueID);
}

void TDMPMain::OnFavoris(QWidget* Sender) {
  if (FPraticien.rowid == 0 || !Sender) return;
  auto* Frame = qobject_cast<TDocuments*>(Sender);
  const std::string Favoris = Frame ? Frame->GetFavoris() : Screens().DocumentsLocauxFavoris(Sender);
  if (Favoris == FPraticien.Favoris) return;
  FPraticien.Favoris = Favoris;
  Database.SavePraticien(FPraticien);
  // The hosts are told the record list's favourites: it follows the other frame.
  if (!Frame) Documents->SetFavoris(Favoris);
  NotifyFavoris();
}

// ---- Record actions ----

void TDMPMain::mnAdministratifClick() {
  bool ContactChanged = false;
  if (!Screens().VoletAdministratifExecute(this, DMP, DOS, ContactChanged)) return;
  // A new mobile or e-mail is the moment to offer the patient a web access.
  if (ContactChanged && DOS && !DOS->GetInfo()->AccesWeb) wAcces = 2;
  FINSi = nullptr;
  ShowDossier();
  CreerAccesWebDiffere();
}

void TDMPMain::CreerAccesWebDiffere() {
  // The update's job ends after its form closed: the offer, which may start
  // a job, waits for it.
  if (Busy()) return QTimer::singleShot(50, this, [this] { CreerAccesWebDiffere(); });
  CreerAccesWeb();
}

void TDMPMain::CreerAccesWeb() {
  if (wAcces == 0) return;
  wAcces = 0;
  // Accepting runs "Créer un accès Internet"; otherwise the patient gets
  // the record-opening letter.
  if (MessageDlg(this, QMessageBox::Question, ShellTr::tr("Voulez-vous créer un accès Web pour ce patient ?"),
                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes)
  {
    FAccesWebAuto = true;
    mnCreerAccesPatientClick();
  } else {
    SendOpeningLetter();
  }
}

void TDMPMain::SendOpeningLetter() {
  if (!DOS) return;
  const TPatientInfo& P = DOS->GetInfo()->Patient;
  const QString Name = QStringLiteral("%1 %2 %3")
                           .arg(Q(CiviliteLongue(P.Identite.Civilite)), Q(P.Identite.Prenom), Q(P.Identite.NomUsage))
                           .trimmed();
  const std::string URL = OpeningLetterURL(HostsConfig().Maker, Name.toStdString(), P.INSi.Code);
  if (URL.empty()) return AddLogLine(std::string_view("Courrier d'ouverture : aucun service HTTPS du fabricant"));
  const std::string FileName = LetterFileName(P.INSi.Code);
  const std::string Folder = LetterFolder();
  const std::string Path = FileName.empty() || Folder.empty() ? std::string() : Folder + "/" + FileName;
  Chain(
      [URL, Path] {
        const QUrl Target = CurrentTask()->Error == ERR_OK ? QUrl::fromLocalFile(Q(Path)) : QUrl(Q(URL));
        QDesktopServices::openUrl(Target);
      },
      [URL, Path] { return DownloadLetter(URL, Path) ? ERR_OK : ERR_EXCEPTION; });
}

void TDMPMain::mnCreerAccesPatientClick() {
  Chain([this] { DoAccesWeb(); }, [this] { return GetVoletAdministratif(); });
}

void TDMPMain::DoAccesWeb() {
  if (const int Error = CurrentTask()->Error; Error != ERR_OK) {
    FAccesWebAuto = false;
    return ShowDmpError(DMP.get(), Error);
  }
  PostAction(WMU_ACCES_WEB);
}

void TDMPMain::OnAccesWeb(QWidget* Form) {
  auto Steps = Screens().AccesWebSteps(Form);
  Submit([this, Form = QPointer<QWidget>(Form), Steps] { OnAccesPatient(Form, Steps); },
         [Steps] { return Steps(0); });  // 0: the creation
}

void TDMPMain::OnAccesPatient(QPointer<QWidget> Form, std::function<int(int Step)> Steps) {
  const int Error = CurrentTask()->Error;
  if (Error == ERR_ACCES_PATIENT_EXISTE) {
    const int Choice = Form ? Screens().AccesWebTaskDialog(Form) : mrCancel;
    if (Choice == mrCancel) return ShowDmpError(DMP.get(), Error);
    if (Choice < 100 || Choice > 102) return;
    return Chain([this, Form, Steps] { OnAccesPatient(Form, Steps); }, [Steps, Choice] { return Steps(Choice); });
  }
  if (Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
  if (!Form) return;
  if (!Screens().AccesWebBuildPDF(Form))
    MessageDlg(this, QMessageBox::Information, ShellTr::tr("Le dossier à été mis à jour"));
  if (auto* Dialog = qobject_cast<QDialog*>(Form.data())) Dialog->accept();
}

int TDMPMain::GetVoletAdministratif() { return DOS->GetVoletAdministratif(Volet); }

void TDMPMain::btPraticiensClick() {
  Submit([this] { OnPraticiens(); }, [this] { return GetPraticiens(); });
}

int TDMPMain::GetPraticiens() { return DOS->GetPraticiens(TModePraticien::Toute, Praticiens); }

void TDMPMain::OnPraticiens() {
  if (const int Error = CurrentTask()->Error; Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
  Screens().ListePraticiensExecute(this, Praticiens);
}

void TDMPMain::mnRetirerAutorisationClick() {
  if (DOS) Submit([this] { CloseDossier(); }, [this] { return RetirerAutorisation(); });
}

int TDMPMain::RetirerAutorisation() { return DOS ? DOS->Autorisation(false, "") : ERR_SESSION; }

void TDMPMain::CloseDossier() { OnCloseCSV(); }

void TDMPMain::mnFermerDMPClick() {
  // As for the access dialog, the motive only holds for the record it was
  // given for.
  const std::shared_ptr<IDossierMedical> Dossier = DOS;
  if (!Dossier || !Screens().FermerDMPExecute(this, *Dossier, MotifFermeture) || DOS != Dossier) return;
  Submit([this] { OnFermerDossier(); }, [this] { return FermerDossier(); });
}

int TDMPMain::FermerDossier() {
  return DOS ? DOS->FermerDossier("FERMETURE_DEMANDE_PATIENT", MotifFermeture) : ERR_SESSION;
}

void TDMPMain::OnFermerDossier() {
  if (const int Error = CurrentTask()->Error; Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
  OnCloseCSV();
}

void TDMPMain::ibStatusClick(QWidget* Button) {
  if (Busy() || !DOS) return;
  if (StatusImage() == imAccesAccorde) return ppDossier->popup(Button->mapToGlobal(QPoint(0, 33)));
  if (StatusImage() == imDossierFerme || !AccesMineur()) return;
  std::string Motif;
  if (!AskForcerDMP(Motif)) return;
  Submit([this] { DossierForce(); }, [this, Motif] { return ForcerDMP(Motif); });
}

bool TDMPMain::AskForcerDMP(std::string& Motif) {
  // A host program may open another record while the dialog runs: the
  // answer only holds for the record it was asked about.
  const std::shared_ptr<IDossierMedical> Dossier = DOS;
  return Screens().ForcerDMPExecute(this, Dossier->GetInfo()->Patient, Motif) && DOS == Dossier;
}

int TDMPMain::ForcerDMP(const std::string& Motif) {
  const int Error = DOS->Autorisation(true, Motif);
  if (Error == ERR_OK)
    FBrisDeGlace = Motif;
  else
    FBrisDeGlace.clear();
  return Error;
}

void TDMPMain::DossierForce() {
  if (const int Error = CurrentTask()->Error; Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
  FINSi = nullptr;
  ShowDossier();
}

void TDMPMain::ForcerAccesDiffere() {
  if (!DOS) return;
  // Posted by the job that opened the record: the offer waits for its end.
  if (Busy()) return QTimer::singleShot(50, this, [this] { WMUser(WMU_FORCER_ACCES); });
  if (!AccesMineur()) return;
  std::string Motif;
  if (!AskForcerDMP(Motif)) return;
  FINSi = nullptr;
  Submit([this] { DossierForce(); }, [this, Motif] { return ForcerDMP(Motif); });
}

void TDMPMain::btUrgenceClick() {
  if (Busy() || !DOS) return;
  std::string Motif;
  if (!AskForcerDMP(Motif)) return;
  FBrisDeGlace.clear();
  Submit([this] { DossierForce(); }, [this, Motif] { return ForcerDMP(Motif); });
}

void TDMPMain::ibWebClick() {
  if (!DOS) return;
  const TPatientInfo& P = DOS->GetInfo()->Patient;
  std::string URL;
  if (DMP->GetDMPUrl(TDMPUrl::DossierPatient, !P.INSi.Code.empty() ? P.INSi.Code : P.INSC.Code, URL) == ERR_OK)
    QDesktopServices::openUrl(QUrl(Q(URL)));
}

void TDMPMain::ibPortailDMPClick() {
  std::string URL;
  if (DMP->GetDMPUrl(TDMPUrl::TableauDeBord, "", URL) == ERR_OK) QDesktopServices::openUrl(QUrl(Q(URL)));
}

void TDMPMain::SearchDossierV1(const TPatientInfo& Patient) {
  if (MessageDlg(this, QMessageBox::Question,
                 ShellTr::tr("Ce dossier a été créé avec le DMP V1 et n'est pas accessible en DMP V2.\r\n"
                             "Voulez-vous y accéder par le Web DMP ?"),
                 QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  std::string URL;
  if (DMP->GetDMPUrl(TDMPUrl::DossierPatient, Patient.INSC.Code, URL) == ERR_OK)
    QDesktopServices::openUrl(QUrl(Q(URL)));
}

void TDMPMain::ibCloseCSVClick() {
  FBrisDeGlace.clear();
  CSV.reset();
  APCV.reset();
  OnCloseCSV();
}

void TDMPMain::OnCloseCSV() {
  APCV.reset();
  DOS.reset();
  Info = nullptr;
  Volet = nullptr;
  List.reset();
  DocumentIndex = -1;
  if (Documents) Documents->Clear();
  if (DocumentsLocaux) DocumentsLocaux->hide();
  SearchFramesDone();
  FPatient.Clear();
  if (pnCSV) pnCSV->hide();
  if (imDMP) imDMP->show();
  FMineur = {};
}

}  // namespace Carvelin
