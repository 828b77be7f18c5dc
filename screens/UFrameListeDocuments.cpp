#include "UFrameListeDocuments.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Carvelin.SQLIteDataBase.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.Carvelin.Utils.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using namespace Talven;

namespace {

// The panel of the further entries shows all five.
constexpr int FurtherPanelHeight = 125;

using Vantrel::Q;

QLabel* NewLabel(QWidget* Parent, const QString& Text, const char* Name) {
  auto* L = new QLabel(Text, Parent);
  L->setObjectName(QLatin1String(Name));
  return L;
}

QCheckBox* NewCheck(QWidget* Parent, const char* Name, const QString& Spoken) {
  auto* C = new QCheckBox(Parent);
  C->setObjectName(QLatin1String(Name));
  C->setAccessibleName(Spoken);
  return C;
}

TDateTimePicker* NewPicker(QWidget* Parent, const char* Name, TDateTimePicker::TKind Kind) {
  auto* P = new TDateTimePicker(Parent);
  P->setObjectName(QLatin1String(Name));
  P->SetKind(Kind);
  return P;
}

// A label beside a box flips the box when clicked.
class TBoxLabelClick : public QObject {
 public:
  TBoxLabelClick(QLabel* Label, QCheckBox* Box) : QObject(Label), FBox(Box) { Label->installEventFilter(this); }

 protected:
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() == QEvent::MouseButtonRelease) FBox->click();
    return false;
  }

 private:
  QCheckBox* FBox;
};

}  // namespace

TDocuments::TDocuments(QWidget* AOwner) : TCategoriesFrame(AOwner, FurtherPanelHeight) {
  setObjectName(QStringLiteral("Documents"));
  setAcceptDrops(true);

  // Left: the date filters over the category column.
  auto* Panel1 = new QWidget(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setMinimumWidth(280);  // the date and time filters whole
  auto* Left = new QVBoxLayout(Panel1);
  Left->setContentsMargins(0, 0, 0, 0);
  auto* Dates = new QGridLayout;
  Label2 = NewLabel(Panel1, ScreensTr::tr("Après"), "Label2");
  Label3 = NewLabel(Panel1, ScreensTr::tr("Avant"), "Label3");
  cbDateDocAfter = NewCheck(Panel1, "cbDateDocAfter", ScreensTr::tr("Après"));
  cbDateDocBefore = NewCheck(Panel1, "cbDateDocBefore", ScreensTr::tr("Avant"));
  dtDateDocAfter = NewPicker(Panel1, "dtDateDocAfter", TDateTimePicker::dtkDate);
  dtHourDocAfter = NewPicker(Panel1, "dtHourDocAfter", TDateTimePicker::dtkTime);
  dtDateDocBefore = NewPicker(Panel1, "dtDateDocBefore", TDateTimePicker::dtkDate);
  dtHourDocBefore = NewPicker(Panel1, "dtHourDocBefore", TDateTimePicker::dtkTime);
  Dates->addWidget(cbDateDocAfter, 0, 0);
  Dates->addWidget(Label2, 0, 1);
  Dates->addWidget(dtDateDocAfter, 0, 2);
  Dates->addWidget(dtHourDocAfter, 0, 3);
  Dates->addWidget(cbDateDocBefore, 1, 0);
  Dates->addWidget(Label3, 1, 1);
  Dates->addWidget(dtDateDocBefore, 1, 2);
  Dates->addWidget(dtHourDocBefore, 1, 3);
  Label2->setBuddy(dtDateDocAfter);
  Label3->setBuddy(dtDateDocBefore);
  Left->addLayout(Dates);
  cbSubmitDate = new QCheckBox(ScreensTr::tr("Date de soumission"), Panel1);
  cbSubmitDate->setObjectName(QStringLiteral("cbSubmitDate"));
  Left->addWidget(cbSubmitDate);
  Left->addWidget(sbCategories, 1);

  // Right: the header over the list, the visibility boxes below.
  auto* Panel2 = new QWidget(this);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  auto* Right = new QVBoxLayout(Panel2);
  Right->setContentsMargins(0, 0, 0, 0);
  Right->setSpacing(0);
  ListBox = new TVirtualListBox(Panel2);
  ListBox->setObjectName(QStringLiteral("ListBox"));
  ListBox->setAccessibleName(ScreensTr::tr("Documents du dossier"));
  Headers = new THeaderControl(Panel2);
  Headers->setObjectName(QStringLiteral("Headers"));
  Headers->AddSection(QString(), 40);
  Headers->AddSection(ScreensTr::tr("Titre"), 250);
  Headers->AddSection(ScreensTr::tr("Auteur"), 150);
  Headers->AddSection(ScreensTr::tr("Date"), 120);
  Headers->AddSection(ScreensTr::tr("Catégorie"), 100);
  Headers->AddSection(ScreensTr::tr("Format"), 80);
  Headers->AddSection(ScreensTr::tr("Taille"), 80);
  Headers->setSectionsClickable(true);
  // The title takes the room the other columns leave, so that every column
  // stays in sight whatever the window's width.
  Headers->setSectionResizeMode(1, QHeaderView::Stretch);
  ListBox->SetHeaders(Headers);
  Right->addWidget(Headers);
  Right->addWidget(ListBox, 1);
  // Two rows, so that the list's side stays narrow enough for a small screen.
  auto* Panel3 = new QWidget(Panel2);
  Panel3->setObjectName(QStringLiteral("Panel3"));
  auto* Bar = new QGridLayout(Panel3);
  Label1 = NewLabel(Panel3, ScreensTr::tr("Documents visibles :"), "Label1");
  Bar->addWidget(Label1, 0, 0);
  const auto AddBox = [&](QCheckBox*& Box, QLabel*& Label, const char* BoxName, const char* LabelName,
                          const QString& Text, int Row, int At, int Span) {
    Box = NewCheck(Panel3, BoxName, Text);
    Label = NewLabel(Panel3, Text, LabelName);
    Label->setBuddy(Box);
    new TBoxLabelClick(Label, Box);
    Bar->addWidget(Box, Row, At);
    Bar->addWidget(Label, Row, At + 1, 1, Span);
  };
  AddBox(cbMasquePS, lbMasquePS, "cbMasquePS", "lbMasquePS", ScreensTr::tr("Masqué aux professionnels de santé"), 0,
         1, 3);
  AddBox(cbINVISIBLE_PATIENT, lbINVISIBLE_PATIENT, "cbINVISIBLE_PATIENT", "lbINVISIBLE_PATIENT",
         ScreensTr::tr("Non visible par le patient"), 1, 1, 1);
  AddBox(cbREPRESENTANT_LEGAL, lbREPRESENTANT_LEGAL, "cbREPRESENTANT_LEGAL", "lbREPRESENTANT_LEGAL",
         ScreensTr::tr("Non visible représentant légal"), 1, 3, 1);
  Bar->setColumnStretch(5, 1);
  Right->addWidget(Panel3);

  Splitter1 = new QSplitter(Qt::Horizontal, this);
  Splitter1->setObjectName(QStringLiteral("Splitter1"));
  Splitter1->addWidget(Panel1);
  Splitter1->addWidget(Panel2);
  Splitter1->setChildrenCollapsible(false);
  Splitter1->setStretchFactor(1, 1);
  // The categories start at their narrowest: the room goes to the list.
  Splitter1->setSizes({Panel1->minimumWidth(), QWIDGETSIZE_MAX});
  auto* Whole = new QVBoxLayout(this);
  Whole->setContentsMargins(0, 0, 0, 0);
  Whole->addWidget(Splitter1);

  ListBox->OnDrawItem = [this](TVirtualListBox*, QPainter& Canvas, int Index, QRect Rect, bool Selected) {
    ListBoxDrawItem(Canvas, Index, Rect, Selected);
  };
  connect(Headers, &QHeaderView::sectionClicked, this, &TDocuments::HeadersSectionClick);
  connect(Headers, &QHeaderView::sectionResized, ListBox, [this] { ListBox->Invalidate(); });
  ListBox->installEventFilter(this);
  ListBox->viewport()->installEventFilter(this);
  hide();
}

QList<TCategoriePanel*> TDocuments::Groups() const {
  return sbCategories->widget()->findChildren<TCategoriePanel*>(QString(), Qt::FindDirectChildrenOnly);
}

// ---- Categories ----

void TDocuments::CategorieSelected(TCategorieOption* Entry) {
  sbCategories->ensureWidgetVisible(Entry, 0, 0);
  if (!List) return;
  List->Filter(Entry->Tag != -1 ? std::string_view(Entry->FCode) : std::string_view());
  ListBox->SetCount(List->Count());
  ListBox->Invalidate();
}

void TDocuments::EntryClick(TCategorieOption* Entry) {
  Select(Entry);
  if (OnCategorie) OnCategorie(Entry);
}

void TDocuments::FavorisChanged() {
  if (FOnFavoris) FOnFavoris(this);
}

int TDocuments::CurrentCategorie() const {
  if (!Categorie || Categorie->Tag < 0) return -1;
  return std::min(Categorie->Tag, LastTypeTag);
}

std::string TDocuments::GetCategorie() const { return Categorie->Tag < 0 ? std::string() : Categorie->FCode; }

std::string TDocuments::GetDocumentID() const {
  if (!List || ListBox->ItemIndex() < 0) return {};
  const TDocumentInfo* Info = List->Info(ListBox->ItemIndex());
  return Info ? Info->UniqueID : std::string();
}

int TDocuments::GetDocument() {
  DOC.reset();
  if (!List) return ERR_INDEX;
  return List->GetDocument(ListIndex, DOC);
}

std::vector<std::string> TDocuments::GetFavorisNames() const {
  std::vector<std::string> Names;
  for (const TCategorieOption* Copy : Favoris->Options()) Names.push_back(Copy->Hint().toStdString());
  return Names;
}

// ---- List ----

void TDocuments::Display() {
  if (List) {
    if (SortList != 0) List->SetSortIndex(SortList);
    Categories[0]->SetCount(List->Count());
    for (size_t I = 1; I < Categories.size(); ++I) Categories[I]->SetCount(List->CategoryCount(Categories[I]->FCode));
    if (Categorie->Tag != -1) List->Filter(Categorie->FCode);
    ListBox->SetCount(List->Count());
  } else {
    for (TCategorieOption* Entry : Categories) Entry->SetCount(0);
    ListBox->SetCount(0);
  }
  if (isVisible())
    sbCategories->widget()->update();
  else
    show();
  if (Favoris->Options().isEmpty()) {
    for (TCategoriePanel* Group : Groups()) Group->Expand();
  } else {
    for (TCategoriePanel* Group : Groups())
      if (Group != Favoris) Group->Collapse();
    Favoris->Expand();
    RefreshFavorisCounts();
  }
  ListBox->Invalidate();
}

void TDocuments::Clear() {
  ListBox->SetCount(0);
  List.reset();
  SetCategorie(-1);
  hide();
}

void TDocuments::HeadersSectionClick(int Section) {
  if (!List) return;
  List->Sort(Section - 1);
  SortList = List->GetSortIndex();
  ListBox->Invalidate();
}

std::string TDocuments::VaccinCaption(const std::string& UniqueID) const {
  for (const std::string& Line : Vaccins.Strings)
    if (Line.size() > UniqueID.size() && Line.starts_with(UniqueID) && Line[UniqueID.size()] == '=')
      return Line.substr(UniqueID.size() + 1);
  return {};
}

void TDocuments::ListBoxDrawItem(QPainter& Canvas, int Index, QRect Rect, bool Selected) {
  const TDocumentInfo* Info = List ? List->Info(Index) : nullptr;
  Canvas.fillRect(Rect, palette().color(Selected ? QPalette::Highlight : QPalette::Base));
  if (!Info) return;
  const QFontMetrics FM(Canvas.font());
  const int TextTop = Rect.top() + (Rect.height() - FM.height()) / 2;

  // Status cell: who filed it, and whom it is hidden from.
  int Left = Rect.left() + 1;
  const int CellRight = Left + Headers->SectionWidth(0) - 5;
  Left += 5;
  const int W = CellRight - Left;
  Canvas.setPen(Qt::white);
  if (Info->DocumentPatient) {
    const QRect Cell(Left, Rect.top(), W, Rect.height());
    Canvas.fillRect(Cell, QColor(0x80, 0x00, 0x80));
    Canvas.drawText(Cell, Qt::AlignCenter | Qt::TextSingleLine, QStringLiteral("Web"));
  }
  const auto Mark = [&](int X, const QString& Letter, const QColor& Back) {
    const QRect Box(X, TextTop, FM.horizontalAdvance(Letter), FM.height());
    Canvas.fillRect(Box, Back);
    Canvas.drawText(Box, Qt::AlignLeft | Qt::AlignTop, Letter);
  };
  if (Info->Visibilite & 1) Mark(Left, QStringLiteral("S"), QColor(0x00, 0x00, 0xFF));
  if (Info->Visibilite & 2) Mark(Left + W / 3, QStringLiteral("P"), QColor(0xFF, 0x00, 0x00));
  if (Info->Visibilite & 4) Mark(Left + 2 * (W / 3), QStringLiteral("R"), QColor(0xFF, 0x00, 0xFF));

  // The row's text: the patient's documents in blue, obsolete ones grey,
  // archived ones in italics.
  QColor Text = Info->DocumentPatient ? QColor(0x00, 0x00, 0xFF) : QColor(Qt::black);
  if (Info->Statut == "Deprecated") Text = QColor(0x80, 0x80, 0x80);
  QFont F = Canvas.font();
  F.setItalic(Info->Statut == "Archived");
  Canvas.setFont(F);
  Canvas.setPen(Text);
  std::string Title = Info->Nom;
  if (Info->Nom == TitreNoteVaccinations)
    if (std::string Caption = VaccinCaption(Info->UniqueID); !Caption.empty()) Title = std::move(Caption);
  const QString Cells[] = {Q(Title), Q(Info->Auteur), Q(Info->DateCreation), Q(Info->Categorie),
                           Q(Info->Extension), Q(SizeTextKo(Info->Taille))};
  int Right = CellRight - 5;
  for (int N = 1; N <= 6; ++N) {
    const int L = Right + 11;
    Right = L + Headers->SectionWidth(N) - 10;
    const QRect Cell(L, Rect.top(), Right - L, Rect.height());
    const QString Elided = QFontMetrics(F).elidedText(Cells[N - 1], Qt::ElideRight, Cell.width());
    // drawText with a rectangle takes "&" literally unless Qt::TextShowMnemonic is given.
    Canvas.drawText(Cell, (N == 6 ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter | Qt::TextSingleLine, Elided);
  }
}

// ---- Opening and dropped files ----

bool TDocuments::eventFilter(QObject* Watched, QEvent* Event) {
  const bool Open =
      (Watched == ListBox->viewport() && Event->type() == QEvent::MouseButtonDblClick) ||
      (Watched == ListBox && Event->type() == QEvent::KeyPress &&
       (static_cast<QKeyEvent*>(Event)->key() == Qt::Key_Return || static_cast<QKeyEvent*>(Event)->key() == Qt::Key_Enter));
  if (Open && ListBox->ItemIndex() >= 0 && OnOpen) {
    OnOpen();
    return true;
  }
  return TFrame::eventFilter(Watched, Event);
}

int TDocuments::DropCategorie(const QPoint& Pos) const {
  int Result = CurrentCategorie();
  const QPoint InColumn = sbCategories->viewport()->mapFrom(this, Pos);
  if (!sbCategories->viewport()->rect().contains(InColumn)) return Result;
  QWidget* Column = sbCategories->widget();
  if (auto* Entry = qobject_cast<TCategorieOption*>(Column->childAt(Column->mapFrom(this, Pos))))
    Result = Entry->Tag < 0 ? -1 : std::min(Entry->Tag, LastTypeTag);
  return Result;
}

namespace {
// The dropped local files; links and folders are left out.
std::vector<std::string> DroppedFiles(const QMimeData* Data) {
  std::vector<std::string> Names;
  if (!Data || !Data->hasUrls()) return Names;
  for (const QUrl& Url : Data->urls())
    if (Url.isLocalFile() && QFileInfo(Url.toLocalFile()).isFile()) Names.push_back(Url.toLocalFile().toStdString());
  return Names;
}
}  // namespace

void TDocuments::dragEnterEvent(QDragEnterEvent* Event) {
  if (!DroppedFiles(Event->mimeData()).empty()) Event->acceptProposedAction();
}

void TDocuments::dropEvent(QDropEvent* Event) {
  const std::vector<std::string> Names = DroppedFiles(Event->mimeData());
  if (Names.empty()) return;
  Event->acceptProposedAction();
  if (OnSendFiles) OnSendFiles(Names, false, DropCategorie(Event->position().toPoint()));
}

}  // namespace Carvelin
