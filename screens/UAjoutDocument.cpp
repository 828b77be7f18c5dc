#include "UAjoutDocument.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>
#include <stdexcept>

#include "ScreensTr.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "Talven.Carvelin.Utils.h"
#include "VCLPatches.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.GroupedCombos.h"
#include "Vantrel.QtText.h"
#include "Vantrel.UTF8.Utils.h"

namespace Carvelin {

using Talven::TVisibiliteDocument;
using Vantrel::Q;
using Vantrel::TDateTime;

namespace {

constexpr int TitreMax = 128;  // UTF-8 bytes
constexpr int TexteMax = 750;
constexpr const char* DateFormat = "dd/mm/yyyy hh:nn:ss";

TDateTimePicker* Picker(QWidget* Parent, const char* Name) {
  auto* P = new TDateTimePicker(Parent);
  P->setObjectName(QLatin1String(Name));
  P->SetShowCheckbox(true);
  P->SetDateTime(Vantrel::Now());
  P->SetChecked(false);
  return P;
}

// A check box draws its caption on one line: a long caption is broken
// between words to Width, and spoken whole.
QCheckBox* Box(QWidget* Parent, const char* Name, const QString& Caption, int Width) {
  auto* B = new QCheckBox(Parent);
  B->setObjectName(QLatin1String(Name));
  const QFontMetrics Metrics = B->fontMetrics();
  QStringList Lines{QString()};
  for (const QString& Word : Caption.split(QLatin1Char(' '))) {
    const QString Longer = Lines.last().isEmpty() ? Word : Lines.last() + QLatin1Char(' ') + Word;
    if (!Lines.last().isEmpty() && Metrics.horizontalAdvance(Longer) > Width)
      Lines << Word;
    else
      Lines.last() = Longer;
  }
  B->setText(Lines.join(QLatin1Char('\n')));
  B->setAccessibleName(Caption);
  return B;
}

QLabel* Caption(QWidget* Parent, const QString& Text, QWidget* Buddy) {
  auto* L = new QLabel(Text, Parent);
  L->setBuddy(Buddy);
  Buddy->setAccessibleName(Text);
  return L;
}

std::string Utf8(const QString& S) { return S.toUtf8().toStdString(); }

// The form shown by a class-level entry, published while it is.
bool ShowModal(TAjoutDocument& Form) {
  AjoutDocument = &Form;
  const bool Ok = Form.exec() == QDialog::Accepted;
  AjoutDocument = nullptr;
  return Ok;
}

}  // namespace

TAjoutDocument::TAjoutDocument(QWidget* Parent) : QDialog(Parent) {
  setObjectName(QStringLiteral("AjoutDocument"));
  setWindowTitle(ScreensTr::tr("Ajouter un Document au DMP"));

  lbPatient = new QLabel(this);
  lbPatient->setObjectName(QStringLiteral("lbPatient"));
  lbPatient->setTextFormat(Qt::PlainText);
  QFont Bold = lbPatient->font();
  Bold.setBold(true);
  lbPatient->setFont(Bold);

  edTitle = new QLineEdit(this);
  edTitle->setObjectName(QStringLiteral("edTitle"));
  edTitle->setMaxLength(TitreMax);
  mmTexte = new QPlainTextEdit(this);
  mmTexte->setObjectName(QStringLiteral("mmTexte"));
  mmTexte->setTabChangesFocus(true);
  connect(mmTexte, &QPlainTextEdit::textChanged, this, [this] {
    if (const QString Text = mmTexte->toPlainText(); Text.size() > TexteMax) {
      mmTexte->setPlainText(Text.left(TexteMax));
      mmTexte->moveCursor(QTextCursor::End);
    }
  });

  // The medical rows of the document-type table; a "group|label" caption opens a group.
  cbTypeDocument = new Vantrel::TGroupedCombo(this);
  cbTypeDocument->setObjectName(QStringLiteral("cbTypeDocument"));
  cbTypeDocument->SetGrouped(true);
  cbTypeDocument->setMaxVisibleItems(25);
  for (int I = 0; I < Talven::TypeDocumentMedicalCount; ++I)
    cbTypeDocument->addItem(Q(Talven::TypesDocument[size_t(I)].Caption), I);
  cbTypeDocument->setCurrentIndex(0);
  dpDocument = Picker(this, "dpDocument");
  cbCadreExercice = new QComboBox(this);
  cbCadreExercice->setObjectName(QStringLiteral("cbCadreExercice"));
  for (const Talven::TCadreExercice& Cadre : Talven::CadresExercice) cbCadreExercice->addItem(Q(Cadre.Label));
  cbCadreExercice->setCurrentIndex(0);

  gbEvenement = new QGroupBox(ScreensTr::tr(" Evénement / acte associé au document"), this);
  dpDebut = Picker(gbEvenement, "dpDebut");
  dpFin = Picker(gbEvenement, "dpFin");
  auto* Evenement = new QGridLayout(gbEvenement);
  Evenement->addWidget(Caption(gbEvenement, ScreensTr::tr("Date de début"), dpDebut), 0, 0);
  Evenement->addWidget(dpDebut, 0, 1);
  Evenement->addWidget(Caption(gbEvenement, ScreensTr::tr("Date de fin"), dpFin), 0, 2);
  Evenement->addWidget(dpFin, 0, 3);
  Evenement->addWidget(new QLabel(ScreensTr::tr("Exemple: Dates d'hospitalisation"), gbEvenement), 1, 0, 1, 4);

  edDocument = new QLineEdit(this);
  edDocument->setObjectName(QStringLiteral("edDocument"));
  edDocument->setReadOnly(true);
  edDocument->setToolTip(ScreensTr::tr("Chemin d'accès au document"));
  edDocument->setAccessibleName(ScreensTr::tr("Chemin d'accès au document"));
  btBrowse = new QPushButton(QStringLiteral("..."), this);
  btBrowse->setObjectName(QStringLiteral("btBrowse"));
  connect(btBrowse, &QPushButton::clicked, this, [this] { btBrowseClick(); });

  gbConfidentialite = new QGroupBox(ScreensTr::tr(" Confidentialité du document"), this);
  const int CaptionWidth = fontMetrics().averageCharWidth() * 80;
  cbToutLeMonde = Box(gbConfidentialite, "cbToutLeMonde",
                      ScreensTr::tr("Visible par toute personne autorisée à accéder aux documents du dossier de "
                                    "votre patient"), CaptionWidth);
  cbToutLeMonde->setChecked(true);
  cbPraticiens = Box(gbConfidentialite, "cbPraticiens",
                     ScreensTr::tr("Non visible par le patient : vous souhaitez que ce document ne soit pas visible "
                                   "par le patient car il nécessite une information préalable par un professionnel "
                                   "de santé"), CaptionWidth);
  cbPatient = Box(gbConfidentialite, "cbPatient",
                  ScreensTr::tr("Masqué aux professionnels de santé: votre patient souhaite que ce document soit "
                                "visible uniquement par son auteur et par le médecin traitant DMP"), CaptionWidth);
  cbInvisibleRL = Box(gbConfidentialite, "cbInvisibleRL",
                      ScreensTr::tr("Invisible aux représentants légaux: en accord avec votre patient mineur, vous "
                                    "souhaitez rendre invisible un document au représentant légal pour préserver le "
                                    "secret de ces informations"), CaptionWidth);
  cbInvisibleRL->setEnabled(false);
  auto* Confidentialite = new QVBoxLayout(gbConfidentialite);
  for (QCheckBox* B : {cbToutLeMonde, cbPraticiens, cbPatient, cbInvisibleRL}) Confidentialite->addWidget(B);
  connect(cbPatient, &QCheckBox::clicked, this, [this] { VisibiliteClick(cbPatient, cbPraticiens); });
  connect(cbPraticiens, &QCheckBox::clicked, this, [this] { VisibiliteClick(cbPraticiens, cbPatient); });
  connect(cbToutLeMonde, &QCheckBox::clicked, this, [this] { ToutLeMondeClick(); });

  MakeOKCancel(this, btOK, btCancel, "btCancel", [this] { btOKClick(); });

  auto* Fields = new QGridLayout;
  int Row = 0;
  const auto AddRow = [&](const QString& Text, QWidget* Field) {
    Fields->addWidget(Caption(this, Text, Field), Row, 0);
    Fields->addWidget(Field, Row++, 1, 1, 3);
  };
  AddRow(ScreensTr::tr("Titre du document"), edTitle);
  AddRow(ScreensTr::tr("Texte libre / Commentaire"), mmTexte);
  AddRow(ScreensTr::tr("Type de document"), cbTypeDocument);
  Fields->addWidget(Caption(this, ScreensTr::tr("Date du document"), dpDocument), Row, 0);
  Fields->addWidget(dpDocument, Row, 1);
  Fields->addWidget(Caption(this, ScreensTr::tr("Cadre d'Exercice"), cbCadreExercice), Row, 2);
  Fields->addWidget(cbCadreExercice, Row++, 3);
  auto* File = new QHBoxLayout;
  File->addWidget(edDocument, 1);
  File->addWidget(btBrowse);
  Fields->addLayout(File, Row++, 0, 1, 4);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btOK);
  Buttons->addWidget(btCancel);
  auto* Column = new QVBoxLayout(this);
  Column->addWidget(lbPatient);
  Column->addLayout(Fields);
  Column->addWidget(gbEvenement);
  Column->addWidget(gbConfidentialite);
  Column->addLayout(Buttons);
  setMinimumWidth(fontMetrics().averageCharWidth() * 90);
}

TAjoutDocument::~TAjoutDocument() {
  if (!DeleteFiles) return;
  for (const std::string& Name : Files) QFile::remove(Q(Name));
}

bool TAjoutDocument::Execute(QWidget* Sender, TNotifyEvent AOnClick, const QString& Patient,
                             std::shared_ptr<Talven::IDossierMedical> DOS, int64_t PatientId, int CategorieIndex,
                             const std::vector<std::string>& Names, bool DeleteSource) {
  TAjoutDocument Form(Sender);
  Form.FOnClick = std::move(AOnClick);
  Form.lbPatient->setText(Patient);
  Form.PatientId = PatientId;
  Form.SetDossier(std::move(DOS));
  if (CategorieIndex > 0) Form.SetTypeDocumentIndex(CategorieIndex);
  if (Names.size() == 1) {
    Form.edDocument->setText(Q(Names[0]));
  } else if (Names.size() > 1) {
    Form.edDocument->setText(ScreensTr::tr("%1 documents.").arg(Names.size()));
    Form.btBrowse->setEnabled(false);
  }
  // One name is a batch of one: its file may have to be deleted too.
  Form.Files = Names;
  Form.DeleteFiles = DeleteSource;
  return ShowModal(Form);
}

bool TAjoutDocument::Replace(QWidget* Sender, TNotifyEvent AOnClick, const QString& Patient,
                             std::shared_ptr<Talven::IDocument> Document,
                             std::shared_ptr<Talven::IDossierMedical> DOS, int64_t PatientId) {
  TAjoutDocument Form(Sender);
  Form.FOnClick = std::move(AOnClick);
  Form.lbPatient->setText(Patient);
  Form.PatientId = PatientId;
  // Only for a deposit once the original is gone: the listed document's
  // visibility stands, without the minor settings.
  Form.Dossier = std::move(DOS);
  Form.SetDocument(std::move(Document));
  return ShowModal(Form);
}

bool TAjoutDocument::ReplaceID(QWidget* Sender, TNotifyEvent AOnClick, const QString& Patient,
                               std::shared_ptr<Talven::IDossierMedical> DOS, const std::string& DocID,
                               const std::string& UUID, const std::string& TypeDoc, int64_t PatientId) {
  TAjoutDocument Form(Sender);
  Form.FOnClick = std::move(AOnClick);
  Form.lbPatient->setText(Patient);
  Form.PatientId = PatientId;
  Form.SetDossier(std::move(DOS));
  Form.SetDocument(nullptr);
  Form.SetDocIDs(DocID, UUID, TypeDoc);
  return ShowModal(Form);
}

bool TAjoutDocument::SendFile2(QWidget* Sender, TNotifyEvent AOnClick, const QString& Patient,
                               std::shared_ptr<Talven::IDossierMedical> DOS, int64_t PatientId, const std::string&,
                               const TSendFileToDMP& Snd, TSendFileToDMPReply& Rpl) {
  TAjoutDocument Form(Sender);
  Form.FOnClick = std::move(AOnClick);
  Form.lbPatient->setText(Patient);
  Form.PatientId = PatientId;
  Form.Dossier = std::move(DOS);  // the host chose the record: no minor settings
  Form.edTitle->setText(Q(Snd.Title));
  if (const TDateTime Date = Snd.Date; Date > 1.0001 && std::floor(Date) != std::floor(Vantrel::Now()))
    Form.dpDocument->SetDateTime(Date);
  int Type = Talven::TypeDocumentIndexOfLabel(Snd.Category);
  if (Type < 0) Type = Talven::TypeDocumentIndex(Snd.Category);
  Form.SetTypeDocumentIndex(Type);
  Form.edDocument->setText(ScreensTr::tr("Importation d'un document"));
  Form.btBrowse->setEnabled(false);
  Form.Files = {Snd.FileName};
  Form.MimeType = Snd.MimeType;
  Rpl.LocalId = Snd.LocalId;
  if (!Snd.ReplaceId.empty()) {
    Form.SetDocument(nullptr);
    Form.SetDocIDs(Snd.ReplaceId, {}, {});
  }
  if (ShowModal(Form)) {
    Rpl.UniqueId = Form.FUniqueID;
    Rpl.ErrNo = 0;
    return true;
  }
  Rpl.Error = !Form.FError.empty() ? Form.FError : "Opération annulée par l'utilisateur";
  Rpl.ErrNo = -7;
  return false;
}

void TAjoutDocument::SetDossier(std::shared_ptr<Talven::IDossierMedical> ADossier) {
  Dossier = std::move(ADossier);
  const Talven::TDossierInfo* Info = Dossier ? Dossier->GetInfo() : nullptr;
  if (!Info) return;
  cbInvisibleRL->setEnabled(Info->Mineur && Info->Secret < 2);
  if (Info->Secret == 2) cbInvisibleRL->setChecked(true);
}

void TAjoutDocument::SetDocument(std::shared_ptr<Talven::IDocument> ADocument) {
  Document = std::move(ADocument);
  setWindowTitle(ScreensTr::tr("Remplacer un Document du DMP"));
  btOK->setText(ScreensTr::tr("Remplacer"));
  FSingleFile = true;
  dpDocument->setEnabled(false);
  dpDocument->SetChecked(false);
  const Talven::TDocumentInfo* Info = Document ? Document->GetInfo() : nullptr;
  if (!Info) return;
  edTitle->setText(Q(Info->Nom));
  SetTypeDocumentIndex(Talven::TypeDocumentIndexOfLabel(Info->Categorie));
  try {
    if (const TDateTime Date = Talven::ParseDateFR(Info->DateCreation); Date > 1) {
      dpDocument->SetDateTime(Date);
      dpDocument->SetChecked(true);
    }
  } catch (const std::exception&) {
    // An impossible creation date leaves the picker as it is.
  }
  cbCadreExercice->setCurrentIndex(Talven::CadreExerciceIndexOfLabel(Info->CadreExercice));
  const auto Bit = [Info](TVisibiliteDocument V) { return (Info->Visibilite & (1 << int(V))) != 0; };
  cbPatient->setChecked(Bit(TVisibiliteDocument::PatientUniquement));
  cbPraticiens->setChecked(Bit(TVisibiliteDocument::PraticiensUniquement));
  cbToutLeMonde->setChecked(!cbPatient->isChecked() && !cbPraticiens->isChecked());
  cbInvisibleRL->setChecked(Bit(TVisibiliteDocument::InvisibleRepresentantLegal));
  std::string_view Source;
  if (Info->Extension == "TXT" && Document->GetDocument(Source) == Talven::ERR_OK)
    mmTexte->setPlainText(Q(Document->IsUTF8() ? std::string(Source) : Vantrel::Windows1252ToUTF8(Source)));
  else
    mmTexte->setPlainText(Q(Info->Commentaire));
}

void TAjoutDocument::SetDocIDs(const std::string& DocID, const std::string& UUID, const std::string& DocType) {
  Prop.Remplacer = {DocID, UUID, 0};
  if (!DocType.empty()) SetTypeDocumentIndex(Talven::TypeDocumentIndex(DocType));
}

void TAjoutDocument::SetTypeDocumentIndex(int Value) {
  cbTypeDocument->setCurrentIndex(Value < 0 ? -1 : cbTypeDocument->findData(Value));
}

int TAjoutDocument::GetTypeDocumentIndex() const {
  const QVariant Index = cbTypeDocument->currentData();
  return Index.isValid() ? Index.toInt() : -1;
}

int TAjoutDocument::GetProps() {
  const int Type = GetTypeDocumentIndex();
  if (Type < 0) return TypeVide;
  if (PatientId == 0) return PatientIdVide;
  Talven::TProprietesDocument P;
  P.Remplacer = Prop.Remplacer;
  P.Titre = Utf8(edTitle->text());
  if (P.Titre.empty()) return TitreVide;
  if (P.Titre.size() > size_t(TitreMax)) return TitreTropLong;
  const std::string Texte = Utf8(mmTexte->toPlainText());
  P.TypeDocument = std::string(Talven::TypesDocument[size_t(Type)].Code);
  const std::string Defaut = Vantrel::FormatDateTime(DateFormat, Vantrel::Now() - 20.0 / 86400);
  P.DateDocument =
      dpDocument->Checked() ? Vantrel::FormatDateTime(DateFormat, std::floor(dpDocument->DateTime())) : Defaut;
  P.CadreExercice = std::string(Talven::CadresExercice[size_t(std::max(0, cbCadreExercice->currentIndex()))].Code);
  P.DateDebut = dpDebut->Checked() ? Vantrel::FormatDateTime(DateFormat, dpDebut->DateTime()) : Defaut;
  if (dpFin->Checked()) {
    if (!dpDebut->Checked() || std::floor(dpFin->DateTime()) < std::floor(dpDebut->DateTime()))
      return DatesIncoherentes;
    P.DateFin = Vantrel::FormatDateTime(DateFormat, dpFin->DateTime());
  }
  P.PatientId = std::to_string(PatientId);
  if (!edDocument->text().isEmpty()) {
    const std::string File =
        Iter >= 0 && size_t(Iter) < Files.size() ? Files[size_t(Iter)] : Utf8(edDocument->text());
    if (!LoadDoc(File)) return LoadDocFailed;
    P.Document = Prop.Document;
    P.Commentaire = Texte;
  } else {
    if (mmTexte->toPlainText().trimmed().isEmpty()) return ContenuVide;
    P.Document = {Texte, Talven::TTypeMime::TextPlain};
  }
  if (cbPatient->isChecked()) P.Visibilite.Include(TVisibiliteDocument::PatientUniquement);
  if (cbPraticiens->isChecked()) P.Visibilite.Include(TVisibiliteDocument::PraticiensUniquement);
  if (cbInvisibleRL->isChecked()) P.Visibilite.Include(TVisibiliteDocument::InvisibleRepresentantLegal);
  Prop = std::move(P);
  return 0;
}

QString TAjoutDocument::CheckMessage(int Code) const {
  switch (Code) {
    case TitreVide: return ScreensTr::tr("Le titre est obligatoire");
    case TitreTropLong: return ScreensTr::tr("Le titre est trop long (128 caractères UTF8 maximum)");
    case ContenuVide: return ScreensTr::tr("Vous devez indiquer un texte libre ou une pièce jointe");
    case PatientIdVide: return ScreensTr::tr("Une référence LPS du patient doit être fournie (patientId)");
    case DatesIncoherentes: return ScreensTr::tr("Les dates de début et fin ne sont pas cohérentes");
    case TypeVide: return ScreensTr::tr("Veuillez indiquer le type de document");
    default: return Q(FError);
  }
}

QWidget* TAjoutDocument::CheckFocus(int Code) const {
  switch (Code) {
    case TitreVide:
    case TitreTropLong: return edTitle;
    case ContenuVide: return mmTexte;
    case DatesIncoherentes: return dpFin;
    case TypeVide: return cbTypeDocument;
    case LoadDocFailed: return btBrowse->isEnabled() ? btBrowse : btCancel;
    default: return btCancel;  // PatientId comes from the window, not from a field
  }
}

bool TAjoutDocument::LoadDoc(const std::string& AFileName) {
  QFile File(Q(AFileName));
  if (!File.open(QIODevice::ReadOnly)) {
    FError = Utf8(ScreensTr::tr("Impossible de lire le fichier %1").arg(Q(AFileName)));
    return false;
  }
  Data = File.readAll().toStdString();
  Prop.Document.TypeMime = !MimeType.empty() ? Talven::TypeMimeFromMimeType(MimeType)
                                             : Talven::TypeMimeFromExtension(AFileName);
  Prop.Document.Contenu = Data;
  FError.clear();
  return true;
}

bool TAjoutDocument::NextDocument() {
  while (size_t(++Iter) < Files.size()) {
    if (LoadDoc(Files[size_t(Iter)])) return true;
    QMessageBox::warning(this, windowTitle(), Q(FError));
  }
  return false;
}

int TAjoutDocument::Process() {
  FWorking = true;
  FUniqueID.clear();
  std::string UniqueID;
  int Code;
  try {
    Code = Document ? Document->Remplacer(Prop, UniqueID)
           : Dossier ? Dossier->AddDocument(Prop, UniqueID)
                     : Talven::ERR_PARAMETRE;
  } catch (const std::exception& E) {
    Code = Talven::ERR_GENERAL;
    FError = E.what();
  }
  if (Code == Talven::ERR_OK) {
    FUniqueID = UniqueID;
    FError.clear();
  } else if (const auto DMP = Root()) {
    FError = std::string(DMP->GetErrMsg(Code));
  }
  FWorking = false;
  return Code;
}

void TAjoutDocument::Deposer() {
  Prop.Remplacer = {};
  if (Dossier) Document = nullptr;
}

std::shared_ptr<Talven::ICarvelin> TAjoutDocument::Root() const {
  if (Document) return Document->Carvelin();
  return Dossier ? Dossier->Carvelin() : nullptr;
}

void TAjoutDocument::btOKClick() {
  if (const int Code = GetProps(); Code != 0) {
    QMessageBox::warning(this, windowTitle(), CheckMessage(Code));
    CheckFocus(Code)->setFocus();
    return;
  }
  if (FOnClick) FOnClick(this);
}

void TAjoutDocument::btBrowseClick() {
  const QString Filter = ScreensTr::tr(
      "Fichiers DMP compatibles (*.pdf *.txt *.rtf *.jpg *.tif *.xml);;Fichier PDF (*.pdf);;Document texte (*.txt);;"
      "Document riche (*.rtf);;Image JPEG (*.jpg);;Image TIF (*.tif);;CDA R2 (*.xml)");
  QStringList Names;
  if (FSingleFile) {
    if (const QString Name = QFileDialog::getOpenFileName(this, {}, {}, Filter); !Name.isEmpty()) Names << Name;
  } else {
    Names = QFileDialog::getOpenFileNames(this, {}, {}, Filter);
  }
  if (Names.isEmpty()) return;
  Files.clear();
  if (Names.size() == 1) {
    edDocument->setText(Names[0]);
    edDocument->setToolTip({});
    return;
  }
  edDocument->setText(ScreensTr::tr("(%1 documents)").arg(Names.size()));
  edDocument->setToolTip(Names.join(QLatin1Char('\n')));
  for (const QString& Name : Names) Files.push_back(Utf8(Name));
}

void TAjoutDocument::done(int Result) {
  if (FWorking) return;  // the filing job reads the form
  QDialog::done(Result);
}

void TAjoutDocument::VisibiliteClick(QCheckBox* Box, QCheckBox* Other) {
  if (Box->isChecked()) {
    cbToutLeMonde->setChecked(false);
    const auto DMP = Root();
    const Talven::TParametres* Parametres = DMP ? DMP->GetParametres() : nullptr;
    if (!Parametres || !Parametres->CumulVisibilite) Other->setChecked(false);
  } else if (!Other->isChecked()) {
    cbToutLeMonde->setChecked(true);
  }
}

void TAjoutDocument::ToutLeMondeClick() {
  if (cbToutLeMonde->isChecked()) {
    cbPatient->setChecked(false);
    cbPraticiens->setChecked(false);
  } else if (!cbPatient->isChecked() && !cbPraticiens->isChecked()) {
    cbToutLeMonde->setChecked(true);
  }
}

}  // namespace Carvelin
