#include "UCategoriesFrame.h"

#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Talven.Carvelin.Utils.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using namespace Talven;
using Vantrel::Q;

namespace {

struct TFurtherEntry {
  const char* Caption;
  const char* Code;
};
// Categories the service fills itself; they follow the table's rows.
constexpr TFurtherEntry FurtherEntries[] = {
    {"Données de remboursement", "REMB"},
    {"Volontés et droits du patient", "EXPPAT_1"},
    {"Documents ajoutés par le patient", "EXPPAT_2"},
    {"Directives anticipées", "EXPPAT_3"},
    {"Historique de vaccinations", "11369-6"},
};

}  // namespace

TCategoriesFrame::TCategoriesFrame(QWidget* AOwner, int FurtherPanelHeight) : TFrame(AOwner) {
  sbCategories = new TScrollBox(this);
  sbCategories->setObjectName(QStringLiteral("sbCategories"));
  sbCategories->setWidgetResizable(true);
  auto* Column = new QWidget;
  Column->setObjectName(QStringLiteral("Column"));
  auto* Stack = new QVBoxLayout(Column);
  Stack->setContentsMargins(0, 0, 0, 0);
  Stack->setSpacing(0);
  sbCategories->setWidget(Column);

  Categorie = AddEntry(Column, ScreensTr::tr("Tous les documents"), {}, -1);
  Categories[0] = Categorie;
  Stack->addWidget(Categorie);
  Categorie->Select(true);
  Favoris = new TCategoriePanel(Column, ScreensTr::tr("Favoris"));
  Favoris->setObjectName(QStringLiteral("Favoris"));
  const auto OnFavorite = [this](TCategoriePanel* Panel, TCategorieOption* Option) {
    FavoriteChanged(Panel, Option, true);
  };
  Favoris->FOnFavorite = OnFavorite;
  Stack->addWidget(Favoris);
  TCategoriePanel* Group = nullptr;
  for (int I = 0; I < TypeDocumentCount; ++I) {
    const std::string_view Caption = TypesDocument[size_t(I)].Caption;
    if (!CaptionGroup(Caption).empty()) {
      Group = new TCategoriePanel(Column, Q(CaptionGroup(Caption)));
      Group->FOnFavorite = OnFavorite;
      Stack->addWidget(Group);
    }
    Categories[size_t(I) + 1] =
        AddEntry(Group, Q(CaptionLabel(Caption)), std::string(TypesDocument[size_t(I)].Code), I);
  }
  // A panel lower than its entries hides the last ones.
  auto* Further = new QWidget(Column);
  Further->setObjectName(QStringLiteral("Panel4"));
  Further->setFixedHeight(FurtherPanelHeight);
  auto* FurtherStack = new QVBoxLayout(Further);
  FurtherStack->setContentsMargins(0, 0, 0, 0);
  FurtherStack->setSpacing(0);
  FurtherStack->setSizeConstraint(QLayout::SetNoConstraint);
  int Tag = TypeDocumentCount;
  for (const TFurtherEntry& E : FurtherEntries) {
    TCategorieOption* Entry = AddEntry(Further, ScreensTr::tr(E.Caption), E.Code, Tag);
    FurtherStack->addWidget(Entry);
    Categories[size_t(++Tag)] = Entry;
  }
  Stack->addWidget(Further);
  Stack->addStretch(1);
}

TCategorieOption* TCategoriesFrame::AddEntry(QWidget* Parent, const QString& Caption, const std::string& Code,
                                             int Tag) {
  auto* Entry = new TCategorieOption(Parent, Caption, Code);
  Entry->Tag = Tag;
  Entry->OnClick = [this](TCategorieOption* E) { EntryClick(E); };
  Entry->OnDblClick = [this](TCategorieOption* E) { Toggle(E); };
  return Entry;
}

void TCategoriesFrame::Select(TCategorieOption* Entry) {
  Categorie->Select(false);
  Categorie = Entry;
  Entry->Select(true);
  CategorieSelected(Entry);
}

void TCategoriesFrame::Toggle(TCategorieOption* Entry) {
  if (Entry != Categorie) return;
  if (Entry->parentWidget() == Favoris) return Select(Categories[size_t(Entry->Tag) + 1]);
  if (Entry->Tag < 0 || Entry->Tag >= TypeDocumentCount) return;
  Entry->FFavorite = !Entry->FFavorite;
  FavoriteChanged(qobject_cast<TCategoriePanel*>(Entry->parentWidget()), Entry, true);
}

void TCategoriesFrame::FavoriteChanged(TCategoriePanel* Panel, TCategorieOption* Option, bool Notify) {
  if (Panel == Favoris) {
    TCategorieOption* Source = Categories[size_t(Option->Tag) + 1];
    Source->FFavorite = false;
    if (Option == Categorie) Select(Source);
    // The copy may be the one whose click runs now: it goes once that returns.
    Option->hide();
    Option->setParent(nullptr);
    Option->deleteLater();
  } else {
    RebuildFavoris();
  }
  RefreshFavorisCounts();
  if (Favoris->Expanded()) Favoris->Expand();
  if (Notify) FavorisChanged();
}

void TCategoriesFrame::RebuildFavoris() {
  QList<TCategorieOption*> Copies = Favoris->Options();
  int K = 0;
  for (int I = 1; I <= TypeDocumentCount; ++I) {
    const TCategorieOption* Source = Categories[size_t(I)];
    if (!Source->FFavorite) continue;
    TCategorieOption* Copy =
        K < Copies.size() ? Copies[K] : AddEntry(Favoris, Source->Hint(), Source->FCode, Source->Tag);
    Copy->setToolTip(Source->Hint());
    Copy->setAccessibleName(Source->Hint());
    Copy->FCode = Source->FCode;
    Copy->Tag = Source->Tag;
    Copy->FFavorite = true;
    Copy->setText(Source->text());
    Copy->show();
    ++K;
  }
  for (int I = K; I < Copies.size(); ++I) {
    if (Copies[I] == Categorie) Select(Categories[size_t(Copies[I]->Tag) + 1]);
    Copies[I]->hide();
    Copies[I]->setParent(nullptr);
    Copies[I]->deleteLater();
  }
  if (Favoris->Expanded()) Favoris->Expand();
}

void TCategoriesFrame::RefreshFavorisCounts() {
  Favoris->FCount = 0;
  for (TCategorieOption* Copy : Favoris->Options()) Copy->SetCount(Categories[size_t(Copy->Tag) + 1]->FCount);
  Favoris->update();
}

void TCategoriesFrame::SetCategorie(int Index) {
  if (Index + 1 >= 0 && Index + 1 < CategoryCount) Select(Categories[size_t(Index) + 1]);
}

std::string TCategoriesFrame::GetFavoris() const {
  std::string Text;
  for (const TCategorieOption* Copy : Favoris->Options()) Text += Copy->FCode + "|";
  return Text;
}

void TCategoriesFrame::SetFavoris(const std::string& Str) {
  for (int I = 1; I <= TypeDocumentCount; ++I)
    Categories[size_t(I)]->FFavorite = Str.find(Categories[size_t(I)]->FCode) != std::string::npos;
  FavoriteChanged(nullptr, nullptr, false);
}

}  // namespace Carvelin
