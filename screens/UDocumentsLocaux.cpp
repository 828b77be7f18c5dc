#include "UDocumentsLocaux.h"

#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.Carvelin.Utils.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using namespace Talven;
using Vantrel::Q;

namespace {
// The panel of the further entries shows four of them: the last lies
// below its visible area.
constexpr int FurtherPanelHeight = 100;
}  // namespace

TDocumentsLocaux::TDocumentsLocaux(QWidget* AOwner, IDocumentsLocauxHost& Host)
    : TCategoriesFrame(AOwner, FurtherPanelHeight), FHost(Host) {
  setObjectName(QStringLiteral("DocumentsLocaux"));

  sbCategories->setMinimumWidth(200);

  auto* Panel2 = new QWidget(this);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  auto* Right = new QVBoxLayout(Panel2);
  Right->setContentsMargins(0, 0, 0, 0);
  Right->setSpacing(0);
  Headers = new THeaderControl(Panel2);
  Headers->setObjectName(QStringLiteral("Headers"));
  Headers->AddSection(ScreensTr::tr("Titre"), 400);
  Headers->AddSection(ScreensTr::tr("Date"), 200);
  Headers->AddSection(ScreensTr::tr("Catégorie"), 100);
  Headers->setStretchLastSection(true);
  ListBox = new TVirtualListBox(Panel2);
  ListBox->setObjectName(QStringLiteral("ListBox"));
  ListBox->setAccessibleName(ScreensTr::tr("Documents déposés depuis ce poste"));
  ListBox->SetHeaders(Headers);
  lbInfo = new QLabel(
      ScreensTr::tr("Liste des documents déposés sur le DMP (vous n'avez pas accès à la liste des documents du DMP)"),
      Panel2);
  lbInfo->setObjectName(QStringLiteral("lbInfo"));
  lbInfo->setTextFormat(Qt::PlainText);
  Right->addWidget(Headers);
  Right->addWidget(ListBox, 1);
  Right->addWidget(lbInfo);

  Splitter1 = new QSplitter(Qt::Horizontal, this);
  Splitter1->setObjectName(QStringLiteral("Splitter1"));
  Splitter1->addWidget(sbCategories);
  Splitter1->addWidget(Panel2);
  Splitter1->setChildrenCollapsible(false);
  Splitter1->setStretchFactor(1, 1);
  auto* Whole = new QVBoxLayout(this);
  Whole->setContentsMargins(0, 0, 0, 0);
  Whole->addWidget(Splitter1);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
  const auto Item = [this](const char* Name, const QString& Text, std::function<void()> Click) {
    QAction* A = PopupMenu1->addAction(Text);
    A->setObjectName(QLatin1String(Name));
    connect(A, &QAction::triggered, this, [this, Click = std::move(Click)] { Guarded(Click); });
    return A;
  };
  mnReplaceDoc = Item("mnReplaceDoc", ScreensTr::tr("Remplacer le document..."), [this] { mnReplaceDocClick(); });
  mnDelDoc = Item("mnDelDoc", ScreensTr::tr("Supprimer le document..."), [this] { mnDelDocClick(true); });
  mnVerifyDoc = Item("mnVerifyDoc", ScreensTr::tr("Vérifier l'existence de ce document sur le DMP"),
                     [this] { mnDelDocClick(false); });
  PopupMenu1->addSeparator();
  mnVerifyDocs = Item("mnVerifyDocs", ScreensTr::tr("Vérifier l'existence de tous les documents sur le DMP"),
                      [this] { mnVerifyDocsClick(); });
  connect(PopupMenu1, &QMenu::aboutToShow, this, [this] {
    const bool HasRow = Selected() != nullptr;
    for (QAction* A : {mnReplaceDoc, mnDelDoc, mnVerifyDoc}) A->setEnabled(HasRow);
  });
  ListBox->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ListBox, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& Pos) { PopupMenu1->popup(ListBox->mapToGlobal(Pos)); });

  ListBox->OnDrawItem = [this](TVirtualListBox*, QPainter& Canvas, int Index, QRect Rect, bool Selected) {
    ListBoxDrawItem(Canvas, Index, Rect, Selected);
  };
  connect(Headers, &QHeaderView::sectionResized, ListBox, [this] { ListBox->Invalidate(); });
  ListBox->viewport()->installEventFilter(this);
  hide();
}

TDocumentsLocaux::~TDocumentsLocaux() = default;

void TDocumentsLocaux::Guarded(const std::function<void()>& F) {
  try {
    F();
  } catch (const std::exception& E) {
    FHost.ShowLocauxInfo(QString::fromUtf8(E.what()));
  }
}

// ---- Categories ----

void TDocumentsLocaux::CategorieSelected(TCategorieOption* Entry) {
  if (FDocuments.empty()) return;
  List.clear();
  const std::string Hint = Entry->Hint().toStdString();
  for (const TDocumentLocalRow& Row : FDocuments)
    if (Entry->Tag == -1 || Row.Document->Data.TypeDoc == Hint) List.push_back(&Row);
  ListBox->SetCount(int(List.size()));
  ListBox->Invalidate();
}

void TDocumentsLocaux::FavorisChanged() {
  if (FOnFavoris) FOnFavoris(this);
}

int TDocumentsLocaux::CurrentCategorie() const { return Categorie->Tag; }

// ---- Rows ----

void TDocumentsLocaux::Load(TVaspoDatabase& Database, int64_t Praticien, int64_t Patient) {
  FDatabase = &Database;
  ListBox->SetCount(0);
  Clear();
  Select(Categories[0]);

  std::vector<std::unique_ptr<TDocumentLocal>> Rows;
  Database.GetDocumentsLocaux(Praticien, Patient, Rows);
  for (std::unique_ptr<TDocumentLocal>& Document : Rows) {
    TDocumentLocalData& D = Document->Data;
    TDocumentLocalRow Row{nullptr, D.TypeDoc, D.titre};
    // A note stores itself as JSON in its title; a title that reads as no
    // note is shown as written.
    TVaspoVaccin Vaccin;
    if (D.TypeDoc == TypeDocVaccination && D.titre != TitreNoteVaccinations && ReadVaccin(D.titre, Vaccin))
      D.titre = Vaccin.Caption();
    D.TypeDoc = TypeDocumentLabel(D.TypeDoc);
    Row.Document = std::move(Document);
    FDocuments.push_back(std::move(Row));
  }

  Categories[0]->SetCount(int(FDocuments.size()));
  for (size_t I = 1; I < Categories.size(); ++I) {
    const std::string Hint = Categories[I]->Hint().toStdString();
    Categories[I]->SetCount(int(std::ranges::count_if(
        FDocuments, [&](const TDocumentLocalRow& Row) { return Row.Document->Data.TypeDoc == Hint; })));
  }
  RefreshFavorisCounts();
  for (const TDocumentLocalRow& Row : FDocuments) List.push_back(&Row);
  ListBox->SetCount(int(List.size()));
  sbCategories->widget()->update();
  ListBox->Invalidate();
  show();
}

void TDocumentsLocaux::Clear() {
  List.clear();
  FDocuments.clear();
}

int TDocumentsLocaux::SelectDocID(const std::string& UniqueID) {
  for (int I = int(List.size()) - 1; I >= 0; --I)
    if (List[size_t(I)]->Document->Data.uniqueId == UniqueID) {
      ListBox->SetItemIndex(I);
      return I;
    }
  return -1;
}

const TDocumentLocalRow* TDocumentsLocaux::GetDocument(int Index) const {
  return Index >= 0 && size_t(Index) < List.size() ? List[size_t(Index)] : nullptr;
}

const TDocumentLocalRow* TDocumentsLocaux::Selected() const { return GetDocument(ListBox->ItemIndex()); }

void TDocumentsLocaux::ListBoxDblClick() {
  FHost.ShowLocauxInfo(ScreensTr::tr("Pour supprimer le document, utilisez le clic droit."));
}

bool TDocumentsLocaux::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == ListBox->viewport() && Event->type() == QEvent::MouseButtonDblClick) {
    Guarded([this] { ListBoxDblClick(); });
    return true;
  }
  return TFrame::eventFilter(Watched, Event);
}

void TDocumentsLocaux::ListBoxDrawItem(QPainter& Canvas, int Index, QRect Rect, bool IsSelected) {
  Canvas.fillRect(Rect, palette().color(IsSelected ? QPalette::Highlight : QPalette::Base));
  const TDocumentLocalRow* Row = GetDocument(Index);
  if (!Row) return;
  const TDocumentLocalData& D = Row->Document->Data;
  Canvas.setPen(palette().color(IsSelected ? QPalette::HighlightedText : QPalette::Text));
  const QString Cells[] = {Q(D.titre), Q(Vantrel::FormatDateTime("dd/mm/yyyy hh:nn:ss", D.date)), Q(D.TypeDoc)};
  const QFontMetrics FM(Canvas.font());
  int Left = Rect.left() + 1;
  for (int N = 0; N < 3; ++N) {
    const int Right = Left + Headers->SectionWidth(N) - 10;
    const QRect Cell(Left, Rect.top(), Right - Left, Rect.height());
    // drawText with a rectangle takes "&" literally unless Qt::TextShowMnemonic is given.
    Canvas.drawText(Cell, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                    FM.elidedText(Cells[N], Qt::ElideRight, Cell.width()));
    Left = Right + 11;
  }
}

// ---- Replacement, deletion, verification ----

void TDocumentsLocaux::mnReplaceDocClick() {
  const TDocumentLocalRow* Row = Selected();
  if (!Row) return;
  if (!FHost.AskLocaux(ScreensTr::tr("Voulez-vous remplacer le document \"%1\" par une nouvelle version ?")
                           .arg(Q(Row->Document->Data.titre))))
    return;
  // A vaccination note is replaced by a note: the add-document form would
  // file another type of document over it.
  TVaspoVaccin Vaccin;
  const std::string UniqueID = Row->Document->Data.uniqueId;
  const bool Filed = Row->TypeCode == TypeDocVaccination && ReadVaccin(Row->Titre, Vaccin)
                         ? FHost.ReplaceVaccin(this, UniqueID, Vaccin)
                         : FHost.ReplaceLocal(this, UniqueID, Row->TypeCode);
  if (Filed) FHost.ShowDocumentsLocaux();
}

void TDocumentsLocaux::mnDelDocClick(bool Delete) {
  const TDocumentLocalRow* Row = Selected();
  if (!Row) return;
  if (Delete && !FHost.AskLocaux(ScreensTr::tr("Voulez-vous supprimer ce document ?"))) return;
  const TDocumentLocalData& D = Row->Document->Data;
  DocIDs = {TDocIDs{D.rowid, Row->TypeCode, D.uniqueId, {}, 0}};
  DelDocs = Delete;
  SubmitDocIDs();
}

void TDocumentsLocaux::mnVerifyDocsClick() {
  if (List.empty()) return;
  DocIDs.clear();
  for (const TDocumentLocalRow* Row : List) {
    const TDocumentLocalData& D = Row->Document->Data;
    DocIDs.push_back(TDocIDs{D.rowid, Row->TypeCode, D.uniqueId, {}, 0});
  }
  DelDocs = false;
  SubmitDocIDs();
}

void TDocumentsLocaux::SubmitDocIDs() {
  std::shared_ptr<IDossierMedical> DOS = FHost.LocauxDossier();
  QPointer<TDocumentsLocaux> Self(this);
  FHost.SubmitLocaux([this, DOS] { return CheckDocIDs(DOS.get()); },
                     [Self](int Error) {
                       if (Self) Self->Guarded([&] { Self->OnDocIDs(Error); });
                     });
}

int TDocumentsLocaux::CheckDocIDs(IDossierMedical* DOS) {
  if (!DOS) return ERR_SESSION;
  int Result = ERR_OK;
  for (TDocIDs& Doc : DocIDs) {
    Doc.UUID.clear();
    Doc.Error = DOS->GetDocumentUUID(Doc.uniqueId, Doc.UUID);
    if (Doc.Error != ERR_OK) {
      Doc.UUID.clear();
      // Missing from the record is an answer, not a failure.
      if (Doc.Error != ERR_DOCUMENT_INTROUVABLE) Result = Doc.Error;
      continue;
    }
    if (DelDocs) Doc.Error = DOS->SupprimerDocumentUUID(Doc.UUID);
    if (Doc.Error != ERR_OK) Result = Doc.Error;
  }
  return Result;
}

void TDocumentsLocaux::OnDocIDs(int Error) {
  for (const TDocIDs& Doc : DocIDs)
    if ((DelDocs && Doc.Error == ERR_OK) || Doc.Error == ERR_DOCUMENT_INTROUVABLE) FDatabase->DeleteDocument(Doc.rowid);
  DocIDs.clear();
  if (Error != ERR_OK) FHost.ShowLocauxError(Error);
  const int Previous = CurrentCategorie();
  FHost.ShowDocumentsLocaux();
  SetCategorie(Previous);
}

}  // namespace Carvelin
