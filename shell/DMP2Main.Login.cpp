// The main window's controls, and the flows that bring a professional
// session and a patient's card into it: CPS card and PIN, activity choice,
// software certificates, closing the session, the Vitale card (reader,
// saved file, recent-card menu, mobile application) and the identity check
// made before the record is looked up.
//
// Login chain, one job re-armed step by step:
//   LectureCPS -> OnCPS (PIN dialog) -> SetCode -> OnCode (a wrong PIN asks
//   again) -> LireActivites -> OnActivites (activity, then the pending link).
// Vitale chain: LectureCSV -> OnCSV (beneficiary) -> ControlCSV ->
//   OnBeneficiaire -> DossierExiste (identity check on the user-interface
//   thread) -> OnDossier.
// The PIN lives in Code only between the dialog and the card's answer, is
// wiped then, and is remembered only once the card accepted it.
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QStatusBar>
#include <QVBoxLayout>

#include "Carvelin.MessageDlg.h"
#include "DMP2Main.h"
#include "FLogMessage.h"
#include "ShellTr.h"
#include "UBeneficiaires.h"
#include "UCodePIN.h"
#include "Vantrel.ImageButtons.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.Winapi.BCrypt.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using namespace Talven;
using Vantrel::TImageButton;

namespace {

constexpr uint32_t NOTIFY_PRATICIEN = 0x1001;
constexpr uint32_t NOTIFY_PIN_CANCELLED = 0xA007;
constexpr uint16_t CardTypeFile = 4096;  // a card read from a file or the menu
constexpr int MaxRecentCards = 6;
// A card file larger than this is refused by the root; reading stops just past it.
constexpr qint64 MaxVitaleFileRead = (1 << 20) + 1;
constexpr int ImageAppVitaleOn = 42, ImageAppVitaleOff = 43;

// The card kind shown by ibCPX.
int CardKindImage(uint8_t TypeCarte) {
  switch (TypeCarte) {
    case 0: return 1;
    case 1: return 44;
    case 2: return 2;
    case 3: return 3;
    default: return 4;
  }
}

// Midnight of a "yyyymmdd" date; 0 when it is no date.
Vantrel::TDateTime CardDate(std::string_view Text) {
  int Y = 0, M = 0, D = 0;
  Vantrel::TDateTime Date = 0;
  if (Text.size() != 8 || std::sscanf(std::string(Text).c_str(), "%4d%2d%2d", &Y, &M, &D) != 3) return 0;
  return Vantrel::TryEncodeDate(Y, M, D, Date) ? Date : 0;
}

using Vantrel::Q;

// Runs Action on a left-button press on the watched widget.
class TPressFilter : public QObject {
 public:
  TPressFilter(QObject* Parent, std::function<void(QMouseEvent*)> AAction)
      : QObject(Parent), FAction(std::move(AAction)) {}

 protected:
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() == QEvent::MouseButtonPress) FAction(static_cast<QMouseEvent*>(Event));
    return false;
  }

 private:
  std::function<void(QMouseEvent*)> FAction;
};

void OnPress(QWidget* W, std::function<void(QMouseEvent*)> Action) {
  W->installEventFilter(new TPressFilter(W, std::move(Action)));
}

// The width of Edit showing the widest of Texts whole.
int LineEditWidth(const QLineEdit& Edit, const QStringList& Texts) {
  const QFontMetrics Metrics(Edit.font());
  int Text = 0;
  for (const QString& T : Texts) Text = std::max(Text, Metrics.horizontalAdvance(T));
  QStyleOptionFrame Option;
  Option.initFrom(&Edit);
  Option.lineWidth = Edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &Option, &Edit);
  const QMargins Margins = Edit.textMargins();
  // The edit keeps 2 pixels each side of its text, and one for the cursor.
  const QSize Contents(Text + 4 + 1 + Margins.left() + Margins.right(), Metrics.height());
  return Edit.style()->sizeFromContents(QStyle::CT_LineEdit, &Option, Contents, &Edit).width();
}

}  // namespace

TCSVMenuItem::TCSVMenuItem(const std::string& ANom, std::string AXML, uint16_t ACard, QObject* Parent)
    : QAction(Q(ANom), Parent), Nom(ANom), XML(std::move(AXML)), Card(ACard) {}

// ---- Controls ----

TImageButton* TDMPMain::NewImageButton(QWidget* Parent, const char* Name, const QString& Hint, int Image) {
  auto* B = new TImageButton(Parent);
  B->setObjectName(QLatin1String(Name));
  B->setToolTip(Hint);
  B->setAccessibleName(Hint);
  B->SetImages(ImageList);
  B->SetImageIndex(Image);
  // Room round the image for the hover frame.
  const int Size = std::max(fontMetrics().height() * 3, ImageList->Width() + 8);
  B->setFixedSize(Size, Size);
  return B;
}

void TDMPMain::CreateControls() {
  auto Button = [this](QWidget* Parent, const char* Name, const QString& Hint, int Image) {
    return NewImageButton(Parent, Name, Hint, Image);
  };
  auto* Top = new QWidget(this);
  Top->setObjectName(QStringLiteral("pnTop"));
  auto* Bar = new QHBoxLayout(Top);

  ppCertificats = new TPopupMenu(this);
  ppCertificats->setObjectName(QStringLiteral("ppCertificats"));
  ppCertificats->addAction(ShellTr::tr("Lire la carte CPS"), this, [this] { ibCarteCPSClick(); });
  ppCertificats->addAction(ShellTr::tr("Importer un certificat..."), this, [this] { Importeruncertificat1Click(); });
  ibCarteCPS = Button(Top, "ibCarteCPS", ShellTr::tr("Lire la carte CPS"), 5);
  ibCarteCPS->SetDropDown(ppCertificats);
  connect(ibCarteCPS, &QAbstractButton::clicked, this, [this] { Guarded([this] { ibCarteCPSClick(); }); });

  ppVitale = new TPopupMenu(this);
  ppVitale->setObjectName(QStringLiteral("ppVitale"));
  ppVitale->addAction(ShellTr::tr("Lire la carte Vitale"), this, [this] { ibCSVClick(); });
  ibCSV = Button(Top, "ibCSV", ShellTr::tr("Lire la carte Vitale"), 6);
  ibCSV->SetDropDown(ppVitale);
  ibCSV->setEnabled(false);
  connect(ibCSV, &QAbstractButton::clicked, this,
          [this] { Guarded([this] { ibCSVClick(QGuiApplication::keyboardModifiers()); }); });
  OnPress(ibCSV, [this](QMouseEvent* E) { ibCSVMouseDown(E->button(), E->modifiers()); });

  ibAppVitale = Button(Top, "ibAppVitale", ShellTr::tr("Lecture de l'Application Carte Vitale"), ImageAppVitaleOff);
  ibAppVitale->setEnabled(false);
  connect(ibAppVitale, &QAbstractButton::clicked, this, [this] { Guarded([this] { ibAppVitaleClick(); }); });

  pnCPX = new QWidget(Top);
  pnCPX->setObjectName(QStringLiteral("pnCPX"));
  auto* Cpx = new QHBoxLayout(pnCPX);
  Cpx->setContentsMargins(0, 0, 0, 0);
  ibCPX = Button(pnCPX, "ibCPX", ShellTr::tr("Choix de la structure"), 1);
  lbPraticien = new TElidedLabel(pnCPX);
  lbPraticien->setObjectName(QStringLiteral("lbPraticien"));
  lbProfession = new TElidedLabel(pnCPX);
  lbProfession->setObjectName(QStringLiteral("lbProfession"));
  lbPraticien->setAccessibleName(ShellTr::tr("Praticien"));
  lbProfession->setAccessibleName(ShellTr::tr("Structure"));
  auto* Names = new QVBoxLayout;
  for (QLabel* L : {lbPraticien, lbProfession}) {
    L->setTextFormat(Qt::PlainText);  // card texts are never markup
    OnPress(L, [this](QMouseEvent*) { Guarded([this] { ibCPXClick(); }); });
    Names->addWidget(L);
  }
  connect(ibCPX, &QAbstractButton::clicked, this, [this] { Guarded([this] { ibCPXClick(); }); });
  ibSearchPat = Button(pnCPX, "ibSearchPat", ShellTr::tr("Rechercher un patient"), 7);
  connect(ibSearchPat, &QAbstractButton::clicked, this, [this] { Guarded([this] { ibSearchPatClick(); }); });
  ibSearchDMP = Button(pnCPX, "ibSearchDMP", ShellTr::tr("Rechercher un dossier"), 9);
  connect(ibSearchDMP, &QAbstractButton::clicked, this, [this] { Guarded([this] { ibSearchDMPClick(); }); });
  ibSearchINS = Button(pnCPX, "ibSearchINS", ShellTr::tr("Rechercher sans carte vitale"), 40);
  connect(ibSearchINS, &QAbstractButton::clicked, this, [this] { Guarded([this] { ibSearchINSClick(); }); });
  ibPortailDMP = Button(pnCPX, "ibPortailDMP",
                        ShellTr::tr("Ouvrir le portail DMP sur le Web (Maj pour ouvrir dans le navigateur)"), 10);
  connect(ibPortailDMP, &QAbstractButton::clicked, this, [this] { Guarded([this] { ibPortailDMPClick(); }); });
  ibCloseCPX = Button(pnCPX, "ibCloseCPX", ShellTr::tr("Fermer la session"), 11);
  connect(ibCloseCPX, &QAbstractButton::clicked, this, [this] { Guarded([this] { ibCloseCPXClick(); }); });
  Cpx->addWidget(ibCPX);
  Cpx->addLayout(Names);
  for (TImageButton* B : {ibSearchPat, ibSearchDMP, ibSearchINS, ibPortailDMP, ibCloseCPX}) Cpx->addWidget(B);
  pnCPX->hide();

  edINSC = new QLineEdit(Top);
  edINSC->setObjectName(QStringLiteral("edINSC"));
  edINSC->setPlaceholderText(ShellTr::tr("Recherche par INS"));
  edINSC->setToolTip(ShellTr::tr("Recherche par INS"));
  edINSC->setAccessibleName(ShellTr::tr("Recherche par INS"));
  // A whole INS (15 digits and its type letter) and the hint stay readable
  // at every width: the bar's spacer gives way first.
  edINSC->setMinimumWidth(LineEditWidth(*edINSC, {QString(16, QLatin1Char('0')), edINSC->placeholderText()}));
  edINSC->hide();
  ibINSC = Button(Top, "ibINSC", ShellTr::tr("Rechercher un dossier par l'INS"), 8);
  ibINSC->hide();
  connect(ibINSC, &QAbstractButton::clicked, this, [this] { Guarded([this] { ibINSCClick(); }); });
  ibHelp = Button(Top, "ibHelp", ShellTr::tr("Informations sur le produit"), 12);
  connect(ibHelp, &QAbstractButton::clicked, this, [this] { Screens().AProposExecute(this); });
  ibStats = Button(Top, "ibStats", ShellTr::tr("Statistiques"), 13);
  connect(ibStats, &QAbstractButton::clicked, this, [this] { Screens().StatistiquesExecute(this, Database); });

  for (QWidget* W : std::initializer_list<QWidget*>{ibCarteCPS, ibCSV, ibAppVitale, pnCPX}) Bar->addWidget(W);
  Bar->addStretch(1);
  for (QWidget* W : std::initializer_list<QWidget*>{edINSC, ibINSC, ibHelp, ibStats}) Bar->addWidget(W);

  imDMP = new QLabel(this);
  imDMP->setObjectName(QStringLiteral("imDMP"));
  imDMP->setAlignment(Qt::AlignCenter);
  auto* Central = new QWidget(this);
  auto* Column = new QVBoxLayout(Central);
  Column->addWidget(Top);
  Column->addWidget(imDMP, 1);
  setCentralWidget(Central);

  AskVitaleFile = [](QWidget* Parent) {
    QFileDialog Dialog(Parent, ShellTr::tr("Lire une carte Vitale"), QString(), QStringLiteral("*.xml"));
    Dialog.setDefaultSuffix(QStringLiteral("xml"));
    Dialog.setFileMode(QFileDialog::ExistingFile);
    return Dialog.exec() == QDialog::Accepted ? Dialog.selectedFiles().value(0) : QString();
  };
}

int TDMPMain::StructureImage() const { return CNX ? ibCPX->ImageIndex() : 0; }

void TDMPMain::SetVitaleEnabled(bool Enabled) {
  ibCSV->setEnabled(Enabled);
  ibAppVitale->setEnabled(Enabled);
  ibAppVitale->SetImageIndex(Enabled ? ImageAppVitaleOn : ImageAppVitaleOff);
  edINSC->setVisible(Enabled);
  ibINSC->setVisible(Enabled);
  if (Enabled) edINSC->setFocus();
}

void TDMPMain::Chain(std::function<void()> ADone, TTaskProc AProc) {
  if (TTask* Task = CurrentTask()) {
    Task->Proc = std::move(AProc);
    Task->Done = std::move(ADone);
  } else {
    Submit(std::move(ADone), std::move(AProc));
  }
}

// ---- CPS card login ----

void TDMPMain::ibCarteCPSClick() {
  if (Busy()) return;
  if (!pnCPX->isHidden()) ibCloseCPXClick();
  Submit([this] { OnCPS(); }, [this] { return LectureCPS(); });
}

int TDMPMain::LectureCPS() {
  CPx.reset();
  std::shared_ptr<IVaspoCPS> CPS;
  const int Error = DMP->GetCPS(0, CPS);
  CPx = CPS;
  if (Error == ERR_OK) CNX = CPS;
  return Error;
}

void TDMPMain::OnCPS() {
  const int Error = CurrentTask()->Error;
  if (Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
  if (!AskCode()) {
    SendToAllWindows(NOTIFY_PIN_CANCELLED, ShellTr::tr("Code de la carte CPS non renseigné").toStdString());
    return ibCloseCPXClick();
  }
  LoadPorteur();
  Chain([this] { OnCode(); }, [this] { return SetCode(); });
}

bool TDMPMain::AskCode() {
  TCodePIN Pin;
  const bool Given = Screens().GetCodePIN(this, *CPx, *INI, Pin);
  Vantrel::WipeBytes(Code);
  Code.assign(Pin.Code);
  FSaveCode = Given && Pin.Save;
  FRememberedCode = Given && Pin.Remembered;
  return Given;
}

int TDMPMain::SetCode() {
  const int Error = CPx->SetCode(Code);
  // Kept only until the completion stores it as the user asked.
  if (Error != ERR_OK || !FSaveCode) Vantrel::WipeBytes(Code);
  return Error;
}

void TDMPMain::OnCode() {
  const int Error = CurrentTask()->Error;
  const TPorteur* Porteur = CPx->GetPorteur();
  const std::string IdNational = Porteur ? Porteur->IdNational : std::string();
  if (Error == ERR_OK && FSaveCode) {
    try {
      RememberPIN(*INI, IdNational, Code);
      INI->UpdateFile();
    } catch (const std::exception& E) {
      MessageDlg(this, QMessageBox::Warning, QString::fromLocal8Bit(E.what()));
    }
  }
  Vantrel::WipeBytes(Code);
  Code.clear();
  if (Error == ERR_OK) return Chain([this] { OnActivites(); }, [this] { return LireActivites(); });
  if (FRememberedCode && (Error == ERR_CODE_INVALIDE || Error == ERR_CARTE_BLOQUEE)) {
    ForgetPIN(*INI, IdNational);
    INI->UpdateFile();
  }
  ShowDmpError(DMP.get(), Error);
  if (Error == ERR_CODE_INVALIDE && AskCode()) Chain([this] { OnCode(); }, [this] { return SetCode(); });
}

void TDMPMain::LoadPorteur() {
  ibCloseCSVClick();
  const TPorteur* Porteur = CNX ? CNX->GetPorteur() : nullptr;
  if (!Porteur) return;
  ibCPX->SetImageIndex(CardKindImage(Porteur->TypeCarte));
  // Without a stored row the record keeps what it held.
  if (TVaspoPraticien Row; Database.LoadPraticien(Porteur->IdNational, Row)) FPraticien = Row;
  FPraticien.IdNational = Porteur->IdNational;
  FPraticien.Nom = Porteur->Nom;
  FPraticien.Prenom = Porteur->Prenom;
  FPraticien.Profession = Porteur->Profession.Code;
  FPraticien.Specialite = Porteur->Specialite.Code;
  std::string Name = Porteur->Nom;
  if (Porteur->Prenom != Porteur->IdNational) Name += " " + Porteur->Prenom;
  lbPraticien->setText(Q(Name + " (" + Porteur->IdNational + ")"));
  lbProfession->setText(Q(Porteur->Profession.Nom));
  pnCPX->show();
}

int TDMPMain::LireActivites() {
  int Count = 0;
  return CPx->GetActivites(Count);
}

void TDMPMain::OnActivites() {
  const int Error = CurrentTask()->Error;
  if (Error != ERR_OK) return ShowDmpError(DMP.get(), Error);
  int Index = AutoSelectActivite();
  if (Index < 0) Index = Screens().StructuresSelect(this, *CPx, *INI);
  if (Index < 0) return;
  // The frame holds the favourites before SetActivite pushes them to the hosts.
  Documents->SetFavoris(FPraticien.Favoris);
  SetActivite(Index);
  NotifyFavoris();
  if (!PendingURL.Server.empty()) {
    CNX->SetServer(PendingURL.Server);
    PendingURL.Server.clear();
  }
  if (!PendingURL.INS.empty()) {
    INSC = std::exchange(PendingURL.INS, {});
    Chain([this] { OnDossier(); }, [this] { return DossierExisteINSC(); });
  }
}

int TDMPMain::AutoSelectActivite() {
  int Count = 0;
  if (FPraticien.idStruct.empty() || !CPx || CPx->GetActivites(Count) != ERR_OK) return -1;
  for (int I = Count - 1; I >= 0; --I)
    if (const TActivite* A = CPx->GetActivite(I); A && A->IdNational == FPraticien.idStruct) return I;
  return -1;
}

std::optional<Vantrel::TDateTime> TDMPMain::SelectActivite(int Index) {
  if (const int Error = CPx->SelectActivite(Index)) {
    ShowDmpError(DMP.get(), Error);
    return std::nullopt;
  }
  const TActivite* A = CPx->GetActivite(Index);
  if (!A) return std::nullopt;
  FPraticien.idStruct = A->IdNational;
  FPraticien.codeStruct = A->Entite.Code;
  FPraticien.RaisonSociale = A->RaisonSociale;
  FPraticien.Pharmacien = A->Pharmacien.Code;
  FPraticien.numFacturation = A->NumFacturation;
  FCodeStructure = A->Entite.Code;
  Database.SavePraticien(FPraticien);
  if (FPraticien.rowid != 0) SendStatistics();
  lbProfession->setText(Q(FPraticien.RaisonSociale + " (" + FPraticien.idStruct + ")"));
  const TCarte* Carte = CNX->GetCarte();
  // Midnight of the last day: the card is already refused on that day, as
  // the card session refuses it.
  const Vantrel::TDateTime End = Carte ? CardDate(Carte->FinValidite) : 0;
  if (End > Today()) SetVitaleEnabled(true);
  return End;
}

void TDMPMain::SetActivite(int Index) {
  const std::optional<Vantrel::TDateTime> End = SelectActivite(Index);
  if (!End) return;
  if (Today() > *End) {
    MessageDlg(this, QMessageBox::Warning,
               ShellTr::tr("Cette carte n'est plus valide depuis le %1")
                   .arg(Q(Vantrel::FormatDateTime("dd/mm/yyyy", *End))));
    return;
  }
  if (!HasHostWindows()) return;
  ReleaseSession();
  SendToAllWindows(NOTIFY_PRATICIEN, Vantrel::JSON::buildJSON(FPraticien));
  NotifyFavoris();
}

int TDMPMain::GetActivites() {
  const int Index = AutoSelectActivite();
  if (Index >= 0) SelectActivite(Index);
  return Index;
}

void TDMPMain::ibCPXClick() {
  if (CRT && CNX == CRT) {
    const TActivite* Structure = CRT->GetStructure();
    if (!Structure) return void(MessageDlg(this, QMessageBox::Warning, ShellTr::tr("Structure non identifée")));
    if (Screens().ChoixPraticienExecute(this, *CRT, *Structure, FPraticien)) OnCertificatSession();
    return;
  }
  if (!CPx) return;
  const int Index = Screens().StructuresSelect(this, *CPx, *INI);
  if (Index >= 0) SetActivite(Index);
}

void TDMPMain::ibCloseCPXClick() {
  // The emergency reason and the Vitale card belong to the session: the
  // next professional must not open records in this one's name.
  ibCloseCSVClick();
  pnCPX->hide();
  lbPraticien->clear();
  lbProfession->clear();
  CNX.reset();
  CPx.reset();
  CRT.reset();
  SetVitaleEnabled(false);
  FPraticien.Clear();
}

// ---- Software certificates ----

void TDMPMain::LoadCertificats() {
  FCerts = Database.GetCertificats();
  const QList<QAction*> Items = ppCertificats->actions();
  for (qsizetype I = 2; I < Items.size(); ++I) {
    ppCertificats->removeAction(Items[I]);
    Items[I]->deleteLater();
  }
  if (FCerts.empty()) return;
  ppCertificats->addSeparator();
  for (size_t I = 0; I < FCerts.size(); ++I)
    ppCertificats->addAction(Q(FCerts[I].Nom), this, [this, I] { Guarded([this, I] { OnCertificat(int(I)); }); });
}

void TDMPMain::Importeruncertificat1Click() {
  if (Screens().CertificatsExecute(this, Database)) LoadCertificats();
}

void TDMPMain::OnCertificat(int Index) {
  if (Index < 0 || size_t(Index) >= FCerts.size()) return;
  ibCloseCPXClick();
  std::shared_ptr<IVaspoCRT> Session;
  if (!Screens().LoadCertificatExecute(this, *DMP, FCerts[size_t(Index)], Session) || !Session) return;
  CRT = Session;
  CNX = Session;
  lbPraticien->setText(Q(FCerts[size_t(Index)].Nom));
  ShowCertificat();
}

void TDMPMain::ShowCertificat() {
  const TActivite* Structure = CRT->GetStructure();
  if (!Structure) {
    const TPorteur* Porteur = CRT->GetPorteur();
    TVaspoPraticien Row;
    if (!Porteur || !Database.LoadPraticien(Porteur->IdNational, Row)) {
      MessageDlg(this, QMessageBox::Warning,
                 ShellTr::tr("Vous devez vous connecter au moins une fois avec une CPS de la structure pour pouvoir "
                             "utiliser un certificat logiciel"));
      return;
    }
    CRT->SetStructure(Row.codeStruct, Row.idStruct, Row.RaisonSociale, Row.numFacturation);
    Structure = CRT->GetStructure();
    if (!Structure) return;
  }
  if (!Screens().ChoixPraticienExecute(this, *CRT, *Structure, FPraticien)) {
    MessageDlg(this, QMessageBox::Warning,
               ShellTr::tr("Aucun praticien enregistré pour la structure \"%1\"").arg(Q(Structure->IdNational)));
    return;
  }
  OnCertificatSession();
}

void TDMPMain::OnCertificatSession() {
  ibINSC->show();
  edINSC->show();
  if (const TPorteur* Porteur = CRT->GetPorteur())
    lbProfession->setText(Q(Porteur->Nom + " " + Porteur->Prenom + " (" + Porteur->IdNational + ")"));
  const TActivite* Structure = CRT->GetStructure();
  ibCPX->SetImageIndex(Structure && Structure->Numero == 1 ? 37 : 33);
  pnCPX->show();
  ibCSV->setEnabled(true);
  Documents->SetFavoris(FPraticien.Favoris);
  NotifyFavoris();
}

// ---- Vitale card ----

void TDMPMain::ibCSVMouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Modifiers) {
  FRealCSV = false;
  if (Button != Qt::LeftButton || !(Modifiers & Qt::ShiftModifier) || !CSV) return;
  FSkipCSVClick = true;
  try {
    SaveVitaleXML(*CSV);
    MessageDlg(this, QMessageBox::Information, VitaleSavedMessage());
  } catch (const std::exception& E) {
    MessageDlg(this, QMessageBox::Critical, QString::fromLocal8Bit(E.what()));
  }
}

void TDMPMain::ibCSVClick(Qt::KeyboardModifiers Modifiers) {
  if (Busy()) return;
  if (Modifiers & Qt::ControlModifier) {
    const QString FileName = AskVitaleFile(this);
    if (FileName.isEmpty()) return;
    QFile File(FileName);
    if (!File.open(QIODevice::ReadOnly))
      return void(MessageDlg(this, QMessageBox::Critical, File.errorString() + QStringLiteral(" : ") + FileName));
    const QByteArray Bytes = File.read(MaxVitaleFileRead);
    std::shared_ptr<IVaspoCSV> Card;
    if (const int Error = DMP->SetCSV(std::string_view(Bytes.constData(), size_t(Bytes.size())), Card))
      return ShowDmpError(DMP.get(), Error);
    CSV = Card;
    CSV->SetCardType(CardTypeFile);
    FRealCSV = false;
    return OnCSV();
  }
  if (std::exchange(FSkipCSVClick, false)) return;
  const std::string Library = INI->ReadString("Services", "ApiLecture", "");
  Submit([this] { OnCSV(); }, [this, Library] {
    FJobDetail.clear();
    const int Error = LectureCSV();
    // Nothing is fetched: the configured library is the one to install.
    if (Error == ERR_VITALE || Error == ERR_API_LECTURE) {
      FJobDetail = Library;
      return ERR_API_LECTURE;
    }
    return Error;
  });
}

int TDMPMain::LectureCSV() {
  FRealCSV = true;
  std::shared_ptr<IVaspoCSV> Card;
  const int Error = DMP->GetCSV(Card);
  CSV = Card;
  return Error;
}

void TDMPMain::OnCSV() {
  FBrisDeGlace.clear();
  if (const TTask* Task = CurrentTask(); Task && Task->Error != ERR_OK) {
    if (Task->Error == ERR_API_LECTURE && !FJobDetail.empty()) return ShowDmpError(DMP.get(), Task->Error, FJobDetail);
    return ShowDmpError(DMP.get(), Task->Error);
  }
  if (!CSV) return;
  const int Index = Screens().BeneficiairesSelect(this, *CSV);
  if (Index < 0) return;
  if (const int Error = CSV->SelectionBeneficiaire(Index)) return ShowDmpError(DMP.get(), Error);
  if (const TBeneficiaire* B = CSV->GetBeneficiaire(Index)) {
    std::string_view XML;
    const int Size = CSV->GetXML(XML);
    AddCSVPopup(B->NomUsage + " " + B->Prenom, std::string(XML.substr(0, size_t(std::max(Size, 0)))),
                CSV->GetCardType());
  }
  if (FRealCSV)
    Chain([this] { OnBeneficiaire(); }, [this] { return ControlCSV(); });
  else
    OnBeneficiaire();
}

int TDMPMain::ControlCSV() { return CSV->Verify(); }

void TDMPMain::OnBeneficiaire() {
  if (const TTask* Task = CurrentTask(); Task && Task->Error != ERR_OK) return ShowDmpError(DMP.get(), Task->Error);
  INSC.clear();
  Chain([this] { OnDossier(); }, [this] { return DossierExiste(); });
}

int TDMPMain::DossierExiste() {
  const TINSiResponse* Answer = nullptr;
  if (const int Error = CSV->rechercherInsAvecCarteVitale(Answer)) return Error;
  if (!Answer) return ERR_INS_PATIENT;
  FINSi = Answer;
  // The qualification dialog and the local database belong to the
  // user-interface thread.
  int Status = 0;
  Synchronize([&] { Guarded([&] { Status = ControlINSi(*Answer); }); });
  if (Status < 3) return -1;
  DOS.reset();
  return CNX->DossierExiste(Answer->INS, Answer->INSType, DOS);
}

void TDMPMain::AddCSVPopup(const std::string& Nom, const std::string& XML, uint16_t Card) {
  QList<QAction*> Items = ppVitale->actions();
  for (qsizetype I = 1; I < Items.size(); ++I) {
    auto* Item = qobject_cast<TCSVMenuItem*>(Items[I]);
    if (!Item || Item->Nom != Nom || Item->XML != XML || Item->Card != Card) continue;
    if (I > 1) {
      ppVitale->removeAction(Item);
      ppVitale->insertAction(Items[1], Item);
    }
    return;
  }
  for (qsizetype I = Items.size() - 1; I >= MaxRecentCards; --I) {
    ppVitale->removeAction(Items[I]);
    Items[I]->deleteLater();
  }
  auto* Item = new TCSVMenuItem(Nom, XML, Card, ppVitale);
  connect(Item, &QAction::triggered, this, [this, Item] { Guarded([this, Item] { ReloadCSV(Item); }); });
  Items = ppVitale->actions();
  ppVitale->insertAction(Items.value(1, nullptr), Item);
}

void TDMPMain::ReloadCSV(TCSVMenuItem* Item) {
  if (Busy()) return;
  const std::string XML = Item->XML;
  const uint16_t Card = Item->Card;
  std::shared_ptr<IVaspoCSV> Reloaded;
  if (const int Error = DMP->SetCSV(XML, Reloaded)) return ShowDmpError(DMP.get(), Error);
  CSV = Reloaded;
  CSV->SetCardType(Card);
  FRealCSV = false;
  OnCSV();
}

// ---- Identity checks ----

bool TDMPMain::IsQualified(const std::string& INSi, char INSType, TVaspoPatient& Patient) {
  const std::string Key = INSType == 'R' ? INSi : INSi + INSType;
  return Database.LoadPatient(Key, Patient) && Patient.INSiQualified();
}

int TDMPMain::ControlINSi(const TINSiResponse& Answer) {
  if (IsQualified(Answer.INS, Answer.INSType, FPatient)) return FINSiStatus = FPatient.INSiStatus;
  const int Status = Screens().QualificationINSiExecute(this, Answer);
  if (Status < 0) return FINSiStatus = 0;
  // A patient not known here yet gets its row when the record opens: the
  // check goes there with the answer, or it would be asked again next time.
  FINSiStatus = Status;
  if (FPatient.rowid != 0) {
    FPatient.INSi = Answer.Balise;  // the identity block, as the record opening keeps it
    FPatient.INSiDate = Today();
    FPatient.INSiStatus = Status;
    Database.SavePatient(FPatient);
  }
  return Status;
}

int TDMPMain::ControlAPCV(const TIdentiteAMO& Identite) {
  const char Letter = APCV ? APCV->GetEnvType() : 'T';
  if (IsQualified(Identite.NIRCertifie, Letter, FPatient)) return FPatient.INSiStatus;
  return Screens().QualificationINSiExecuteAPCV(this, Identite);
}

// ---- Mobile Vitale application ----

void TDMPMain::ibAppVitaleClick() {
  const int Result = Screens().AppVitaleExecute(
      this, [this](std::shared_ptr<IAppVitale> Answer) { OnAppVitale(std::move(Answer)); });
  if (Result == 3) ibCloseCPXClick();
}

void TDMPMain::OnAppVitale(std::shared_ptr<IAppVitale> Answer) {
  APCV = std::move(Answer);
  PostAction(WMU_CHOIX_AMO);
}

void TDMPMain::ChoixAMO() {
  if (!APCV) return;
  iAPCV = Screens().BeneficiairesAMOSelect(this, *APCV);
  const TIdentiteAMO* Identite = APCV->GetItem(iAPCV);
  if (!Identite || ControlAPCV(*Identite) <= 2) return;
  Submit([this] { OnDossier(); }, [this] { return LoadAPCV(); });
}

int TDMPMain::LoadAPCV() {
  DOS.reset();
  return APCV->GetDossier(iAPCV, DOS);
}

}  // namespace Carvelin
