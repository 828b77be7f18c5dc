#include "UFrmNoteVaccination.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "Carvelin.Resources.h"
#include "ScreensTr.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "Talven.Carvelin.Utils.h"
#include "VCLPatches.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.QtText.h"
#include "Vantrel.SOAP.h"
#include "Vantrel.SysUtils.h"

namespace Carvelin {

using Vantrel::Q;

namespace {

constexpr std::string_view DateFormat = "dd/mm/yyyy";
constexpr int DefaultSite = 1;   // "Deltoïde gauche"
constexpr int DefaultRoute = 2;  // "Prendre par la bouche"
constexpr int RangCount = 9;
constexpr double SecondsPerDay = 86400;

TFrmNoteVaccination* ShownForm = nullptr;

std::string Text(const QLineEdit* Edit) { return Edit->text().trimmed().toStdString(); }

template <size_t N>
int CodeIndex(const TCodeVaccin (&Table)[N], std::string_view Code) {
  for (size_t I = 0; I < N; ++I)
    if (Code == Table[I].Code) return int(I);
  return 0;
}

template <size_t N>
void FillCombo(QComboBox* Combo, const TCodeVaccin (&Table)[N], int Chosen) {
  for (const TCodeVaccin& Row : Table) Combo->addItem(ScreensTr::tr(Row.Shown));
  Combo->setCurrentIndex(Chosen);
}

Talven::TCodeLibelle CodeLibelle(const TCodeVaccin& Row) { return {Row.Code, Row.Label}; }

}  // namespace

const TCodeVaccin SitesVaccin[6] = {
    {"", "(non précisé)", QT_TRANSLATE_NOOP("Carvelin_screens", "(non précisé)")},
    {"LD", "Deltoïde gauche", QT_TRANSLATE_NOOP("Carvelin_screens", "Deltoïde gauche")},
    {"RD", "Deltoïde droit", QT_TRANSLATE_NOOP("Carvelin_screens", "Deltoïde droit")},
    {"LT", "Cuisse gauche", QT_TRANSLATE_NOOP("Carvelin_screens", "Cuisse gauche")},
    {"RT", "Cuisse droite", QT_TRANSLATE_NOOP("Carvelin_screens", "Cuisse droite")},
    {"BU", "Fesse", QT_TRANSLATE_NOOP("Carvelin_screens", "Fesse")},
};

// Row 0 is filed without its closing parenthesis, as the service has it.
const TCodeVaccin RoutesVaccin[6] = {
    {"", "(non précisé", QT_TRANSLATE_NOOP("Carvelin_screens", "(non précisé)")},
    {"NASINHLC", "Par inhalation", QT_TRANSLATE_NOOP("Carvelin_screens", "Par inhalation")},
    {"PO", "Prendre par la bouche", QT_TRANSLATE_NOOP("Carvelin_screens", "Prendre par la bouche")},
    {"INDINJ", "Injection intradermique", QT_TRANSLATE_NOOP("Carvelin_screens", "Injection intradermique")},
    {"IM", "Injection intramusculaire", QT_TRANSLATE_NOOP("Carvelin_screens", "Injection intramusculaire")},
    {"SQ", "Injection sous-cutanée", QT_TRANSLATE_NOOP("Carvelin_screens", "Injection sous-cutanée")},
};

// ---- Catalogue ----

bool TCodeATCReader::Read(Vantrel::TJSONParser& Parser, void* Field) {
  Parser.Blanks();
  if (Parser.NextChar() != '"') return false;
  auto& ATC = *static_cast<TCodeATC*>(Field);
  ATC.code = Parser.GetString();
  ATC.name.clear();
  return true;
}

bool TCodeATCReader::Write(Vantrel::TJSONBuilder&, const void*) { return false; }

bool ReadVaccins(std::string_view Text, std::vector<TVaccin>& Vaccins) {
  Vaccins.clear();
  try {
    Vantrel::JSON::parseJSON(Text, Vaccins);
  } catch (const std::exception&) {
    Vaccins.clear();
  }
  return !Vaccins.empty();
}

std::vector<TVaccin> LoadVaccins(std::string_view Embedded, const std::filesystem::path& Cache,
                                 std::string_view Downloaded) {
  std::vector<TVaccin> Vaccins;
  std::error_code Ignored;
  if (ReadVaccins(Downloaded, Vaccins)) {
    if (Downloaded == Embedded)
      std::filesystem::remove(Cache, Ignored);
    else
      Vantrel::UTF8ToFile(Cache.string(), Downloaded);
    return Vaccins;
  }
  if (std::filesystem::exists(Cache, Ignored)) {
    if (ReadVaccins(Vantrel::FileToUTF8(Cache.string()), Vaccins)) return Vaccins;
    std::filesystem::remove(Cache, Ignored);
  }
  ReadVaccins(Embedded, Vaccins);
  return Vaccins;
}

std::string FetchVaccins(std::string_view Maker) {
  if (Maker.empty()) return {};
  return Talven::DownloadText(std::string(Maker) + "/vaccins/vaccins.json", VaccinsTimeoutMs);
}

std::vector<int> FilterVaccins(const std::vector<TVaccin>& Vaccins, const QString& Search) {
  const QString Upper = Search.trimmed().toUpper();
  const std::string Prefix = Upper.toStdString();
  std::vector<int> Listed;
  for (size_t I = 0; I < Vaccins.size(); ++I) {
    const TVaccin& V = Vaccins[I];
    if (Upper.isEmpty() || Q(V.name).toUpper().contains(Upper) || V.cis.starts_with(Prefix) ||
        Q(V.company).toUpper().contains(Upper))
      Listed.push_back(int(I));
  }
  return Listed;
}

// ---- Form ----

TFrmNoteVaccination::TFrmNoteVaccination(QWidget* Parent, INoteVaccinationHost& Host)
    : QDialog(Parent), FHost(Host) {
  setObjectName(QStringLiteral("FrmNoteVaccination"));
  setWindowTitle(ScreensTr::tr("Note de Vaccination"));

  const std::filesystem::path Cache = std::filesystem::current_path() / VaccinsFileName;
  FVaccins = LoadVaccins(Resources::VACCINS(), Cache, FetchVaccins(Talven::HostsConfig().Maker));

  auto Named = [](auto* Widget, const char* Name, const QString& Spoken) {
    Widget->setObjectName(QLatin1String(Name));
    Widget->setAccessibleName(Spoken);
    return Widget;
  };
  edDate = Named(new QLineEdit(this), "edDate", ScreensTr::tr("Date"));
  edSearch = Named(new QLineEdit(this), "edSearch", ScreensTr::tr("Rechercher un vaccin"));
  edSearch->setToolTip(ScreensTr::tr("Rechercher un vaccin par nom, CIS ou labo"));
  edSearch->setPlaceholderText(edSearch->toolTip());
  lbVaccins = Named(new TVirtualListBox(this), "lbVaccins", ScreensTr::tr("Vaccin"));
  lbVaccins->SetItemHeight(fontMetrics().height() + 6);
  lbVaccins->OnDataFind = [this](const QString& Typed) { return lbVaccinsDataFind(Typed); };
  lbVaccins->OnDrawItem = [this](TVirtualListBox*, QPainter& Canvas, int Index, QRect Rect, bool Sel) {
    DrawVaccin(Canvas, Index, Rect, Sel);
  };
  cbVaccination = Named(new QComboBox(this), "cbVaccination", ScreensTr::tr("Type d'administration"));
  cbVaccination->addItems({ScreensTr::tr("Vaccination sans autre précision"), ScreensTr::tr("Première vaccination"),
                           ScreensTr::tr("Rappel de vaccin")});
  edLot = Named(new QLineEdit(this), "edLot", ScreensTr::tr("N° de lot"));
  edVaccinateur = Named(new QLineEdit(ScreensTr::tr("moi-même"), this), "edVaccinateur", ScreensTr::tr("Vaccinateur"));
  cbRang = Named(new QComboBox(this), "cbRang", ScreensTr::tr("Rang"));
  for (int R = 1; R <= RangCount; ++R) cbRang->addItem(QString::number(R));
  cbSite = Named(new QComboBox(this), "cbSite", ScreensTr::tr("Site d'administration"));
  FillCombo(cbSite, SitesVaccin, DefaultSite);
  cbRoute = Named(new QComboBox(this), "cbRoute", ScreensTr::tr("Voie d'administration"));
  FillCombo(cbRoute, RoutesVaccin, DefaultRoute);
  cbCadreExercice = Named(new QComboBox(this), "cbCadreExercice", ScreensTr::tr("Cadre d'Exercice"));
  for (const Talven::TCadreExercice& C : Talven::CadresExercice) cbCadreExercice->addItem(Q(C.Label));
  cbCadreExercice->setCurrentIndex(0);
  btOK = Named(new QPushButton(ScreensTr::tr("OK"), this), "btOK", ScreensTr::tr("OK"));
  btOK->setDefault(true);
  btCancel = Named(new QPushButton(ScreensTr::tr("Annuler"), this), "btCancel", ScreensTr::tr("Annuler"));

  auto* Form = new QFormLayout;
  Form->addRow(ScreensTr::tr("Date"), edDate);
  auto* Vaccin = new QVBoxLayout;
  Vaccin->addWidget(edSearch);
  Vaccin->addWidget(lbVaccins, 1);
  Form->addRow(ScreensTr::tr("Vaccin"), Vaccin);
  Form->addRow(QString(), cbVaccination);
  Form->addRow(ScreensTr::tr("N° de lot"), edLot);
  Form->addRow(ScreensTr::tr("Vaccinanteur"), edVaccinateur);
  Form->addRow(ScreensTr::tr("Rang"), cbRang);
  Form->addRow(ScreensTr::tr("Site"), cbSite);
  Form->addRow(ScreensTr::tr("Voie"), cbRoute);
  Form->addRow(ScreensTr::tr("Cadre d'Exercice"), cbCadreExercice);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch();
  Buttons->addWidget(btOK);
  Buttons->addWidget(btCancel);
  auto* Main = new QVBoxLayout(this);
  Main->addLayout(Form, 1);
  Main->addLayout(Buttons);
  // The catalogue's rows (name, CIS and laboratory) whole.
  lbVaccins->setMinimumSize(fontMetrics().averageCharWidth() * 110, lbVaccins->ItemHeight() * 10);

  connect(edSearch, &QLineEdit::textChanged, this, [this] { edSearchChange(); });
  connect(btOK, &QPushButton::clicked, this, [this] { btOKClick(); });
  connect(btCancel, &QPushButton::clicked, this, &TFrmNoteVaccination::reject);

  edSearchChange();
  FProps.Titre = "Note de vaccinations";
  FProps.TypeDocument = "87273-9";
  edDate->setText(Q(Vantrel::FormatDateTime(DateFormat, Vantrel::Now())));
}

TFrmNoteVaccination::~TFrmNoteVaccination() {
  if (ShownForm == this) ShownForm = nullptr;
}

TFrmNoteVaccination* TFrmNoteVaccination::Shown() { return ShownForm; }

bool TFrmNoteVaccination::Execute(QWidget* Sender, INoteVaccinationHost& Host, int64_t PatientId) {
  TFrmNoteVaccination Form(Sender, Host);
  Form.SetPatientID(PatientId);
  ShownForm = &Form;
  return Form.exec() == QDialog::Accepted;
}

bool TFrmNoteVaccination::Replace(QWidget* Sender, INoteVaccinationHost& Host, const std::string& UniqueID,
                                  int64_t PatientId, const TVaspoVaccin& Vaccin) {
  if (Vaccin.VaccinationId.empty()) {
    QMessageBox::warning(Sender, ScreensTr::tr("Note de Vaccination"),
                         ScreensTr::tr("Impossible de remplacer ce vaccin car son ID unique est inconnu"));
    return false;
  }
  TFrmNoteVaccination Form(Sender, Host);
  Form.SetPatientID(PatientId);
  Form.SetReplace(UniqueID);
  Form.SetVaccin(Vaccin);
  ShownForm = &Form;
  return Form.exec() == QDialog::Accepted;
}

void TFrmNoteVaccination::SetPatientID(int64_t ID) {
  FPatientID = std::to_string(ID);
  FProps.PatientId = FPatientID;
}

void TFrmNoteVaccination::SetReplace(const std::string& ID) {
  FReplaceID = ID;
  FProps.Remplacer.UniqueID = ID;
}

void TFrmNoteVaccination::SetVaccin(const TVaspoVaccin& Vaccin) {
  if (Vaccin.CIS.empty()) return;
  FVaccinID = Vaccin.VaccinationId;
  edDate->setText(Q(Vantrel::FormatDateTime(DateFormat, Vaccin.Date)));
  edLot->setText(Q(Vaccin.Lot));
  cbVaccination->setCurrentIndex(Vaccin.Vaccination >= 0 && Vaccin.Vaccination < cbVaccination->count()
                                     ? Vaccin.Vaccination
                                     : 0);
  SetSite(Vaccin.Site);
  SetRoute(Vaccin.Route);
  edVaccinateur->setText(Vaccin.Vaccinateur.empty() ? ScreensTr::tr("moi-même") : Q(Vaccin.Vaccinateur));
  cbRang->setCurrentIndex(Vaccin.Rang >= 1 && Vaccin.Rang <= RangCount ? Vaccin.Rang - 1 : 0);
  SelectVaccin(Vaccin.CIS);
}

void TFrmNoteVaccination::SetSite(std::string_view Code) { cbSite->setCurrentIndex(CodeIndex(SitesVaccin, Code)); }

void TFrmNoteVaccination::SetRoute(std::string_view Code) {
  cbRoute->setCurrentIndex(CodeIndex(RoutesVaccin, Code));
}

void TFrmNoteVaccination::SelectVaccin(std::string_view CIS) {
  edSearch->clear();
  edSearchChange();
  int Found = -1;
  for (size_t I = 0; I < FVaccinsList.size() && Found < 0; ++I)
    if (FVaccins[size_t(FVaccinsList[I])].cis == CIS) Found = int(I);
  lbVaccins->SetItemIndex(Found);
}

const TVaccin* TFrmNoteVaccination::Selected() const {
  const int Index = lbVaccins->ItemIndex();
  if (Index < 0 || size_t(Index) >= FVaccinsList.size()) return nullptr;
  return &FVaccins[size_t(FVaccinsList[size_t(Index)])];
}

void TFrmNoteVaccination::Refuse(const QString& Message, QWidget* Focus) {
  QMessageBox::warning(this, windowTitle(), Message);
  Focus->setFocus();
}

bool TFrmNoteVaccination::GetParams() {
  // The note builder reads "dd/mm/yyyy", whatever the workstation's format.
  if (!Vantrel::ParseDateLoose(Text(edDate), FDate)) {
    Refuse(ScreensTr::tr("Date invalide"), edDate);
    return false;
  }
  FSDate = Vantrel::FormatDateTime(DateFormat, FDate);
  if (edDate->text() != Q(FSDate)) edDate->setText(Q(FSDate));
  const TVaccin* Vaccin = Selected();
  if (!Vaccin) {
    Refuse(ScreensTr::tr("Veuillez choisir le vaccin"), edSearch);
    return false;
  }
  Lot = Text(edLot);
  if (Lot.empty()) {
    Refuse(ScreensTr::tr("Veuillez indiquer le n° de lot"), edLot);
    return false;
  }
  Vaccinateur = Text(edVaccinateur);
  if (Vaccinateur.empty()) {
    Refuse(ScreensTr::tr("Veuillez préciser le nom du vaccinateur"), edVaccinateur);
    return false;
  }
  FDateNow = Vantrel::FormatDateTime("dd/mm/yyyy hh:nn:ss", Vantrel::Now() - 20 / SecondsPerDay);
  FProps.DateDocument = FDateNow;
  FProps.DateDebut = FDateNow;
  FProps.DateFin.clear();
  FProps.CadreExercice = std::string(Talven::CadresExercice[size_t(std::max(0, cbCadreExercice->currentIndex()))].Code);
  FProps.Visibilite = {};
  if (FReplaceID.empty()) FVaccinID = Vantrel::NewOIDUUID();

  FNote = {};
  FNote.ID = FVaccinID;
  FNote.Date = FSDate;
  FNote.Vaccin = Vaccin->shortName;
  FNote.Lot = Lot;
  FNote.Rang = cbRang->currentIndex() + 1;
  FNote.CIS = {Vaccin->cis, Vaccin->name};
  FNote.ATC = {Vaccin->atc.code, Vaccin->atc.name};
  FNote.Vaccination = cbVaccination->currentIndex();
  FNote.Site = CodeLibelle(SitesVaccin[cbSite->currentIndex()]);
  FNote.Route = CodeLibelle(RoutesVaccin[cbRoute->currentIndex()]);
  FNote.Vaccinateur = Vaccinateur;
  return true;
}

int TFrmNoteVaccination::DoVaccin() { return FHost.AddNoteVaccination(FProps, FNote, FUniqueID); }

TVaspoVaccin TFrmNoteVaccination::LocalCopy() const {
  TVaspoVaccin V;
  V.CIS = FNote.CIS.Code;
  V.Nom = FNote.Vaccin;
  V.Date = FDate;
  V.Lot = FNote.Lot;
  V.Vaccination = FNote.Vaccination;
  V.Rang = FNote.Rang;
  V.Site = FNote.Site.Code;
  V.Route = FNote.Route.Code;
  V.Vaccinateur = FNote.Vaccinateur;
  V.VaccinationId = FNote.ID;
  return V;
}

void TFrmNoteVaccination::SaveDocument() {
  FProps.Titre = Vantrel::JSON::buildJSON(LocalCopy());
  FHost.SaveDocument(FUniqueID, FProps);
}

void TFrmNoteVaccination::btOKClick() {
  if (FFiling || !GetParams()) return;
  FFiling = true;
  const bool Started = FHost.Submit([this] { return DoVaccin(); },
                                    [this](int Error) {
                                      FFiling = false;
                                      if (Error != 0) return FHost.ShowError(Error);
                                      SaveDocument();
                                      accept();
                                      FHost.ReloadDocuments();
                                    });
  if (!Started) FFiling = false;
}

void TFrmNoteVaccination::reject() {
  if (!FFiling) QDialog::reject();
}

void TFrmNoteVaccination::edSearchChange() {
  FVaccinsList = FilterVaccins(FVaccins, edSearch->text());
  lbVaccins->SetItemIndex(-1);
  lbVaccins->SetCount(int(FVaccinsList.size()));
  lbVaccins->Invalidate();
}

int TFrmNoteVaccination::lbVaccinsDataFind(const QString& Name) const {
  const std::string Wanted = Name.toStdString();
  for (size_t I = 0; I < FVaccinsList.size(); ++I)
    if (FVaccins[size_t(FVaccinsList[I])].name == Wanted) return int(I);
  return -1;
}

void TFrmNoteVaccination::DrawVaccin(QPainter& Canvas, int Index, QRect Rect, bool Selected) {
  if (Index < 0 || size_t(Index) >= FVaccinsList.size()) return;
  const TVaccin& V = FVaccins[size_t(FVaccinsList[size_t(Index)])];
  const QPalette& P = palette();
  Canvas.fillRect(Rect, Selected ? P.highlight() : P.base());
  Canvas.setPen(Selected ? P.highlightedText().color() : P.text().color());
  Rect.adjust(2, 2, -2, -2);
  const QString Short = Q(V.shortName);
  const QString Name = Q(V.name);
  const QString Pieces[3] = {Short + QLatin1Char(' '),
                             Name.mid(Short.size()) + QStringLiteral(" (") + Q(V.cis) + QStringLiteral(") "),
                             Q(V.company)};
  for (int I = 0; I < 3; ++I) {
    QFont Font = font();
    Font.setBold(I == 0);
    Font.setItalic(I == 2);
    Canvas.setFont(Font);
    QRect Used;
    // A longer row ends with an ellipsis rather than a cut letter.
    const QString Piece = Canvas.fontMetrics().elidedText(Pieces[I], Qt::ElideRight, Rect.width());
    Canvas.drawText(Rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, Piece, &Used);
    Rect.setLeft(Used.right() + 1);
  }
}

}  // namespace Carvelin
