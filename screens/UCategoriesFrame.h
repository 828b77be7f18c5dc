// A frame with the category column of the document lists: "all documents",
// the favourites group, one group per group of the document-type table and
// five further entries, with the selection and the favourites. What a
// selection shows and who hears of a favourites change is the frame's.
#pragma once

#include <array>
#include <string>

#include "UCategories.h"
#include "VCLPatches.h"

namespace Carvelin {

class TCategoriesFrame : public TFrame {
  Q_OBJECT
 public:
  // Index 0 "all documents", 1..84 the document-type rows, 85..89 the
  // further entries.
  static constexpr int CategoryCount = 90;

  TScrollBox* sbCategories;
  TCategoriePanel* Favoris;
  TCategorieOption* Categorie;  // never null
  std::array<TCategorieOption*, CategoryCount> Categories{};

  // Selects entry Index + 1 (-1 "all documents").
  void SetCategorie(int Index);
  // The favourites' codes in their order, each followed by "|".
  std::string GetFavoris() const;
  // The document types whose code Str holds become the favourites; no
  // change is announced.
  void SetFavoris(const std::string& Str);

 protected:
  // Makes sbCategories and its column; the further entries' panel is
  // FurtherPanelHeight high.
  TCategoriesFrame(QWidget* AOwner, int FurtherPanelHeight);

  void Select(TCategorieOption* Entry);
  // What the frame shows once Entry is selected.
  virtual void CategorieSelected(TCategorieOption* Entry) = 0;
  // A click on Entry; selects it.
  virtual void EntryClick(TCategorieOption* Entry) { Select(Entry); }
  // The user changed the favourites.
  virtual void FavorisChanged() = 0;
  void RefreshFavorisCounts();

 private:
  TCategorieOption* AddEntry(QWidget* Parent, const QString& Caption, const std::string& Code, int Tag);
  void Toggle(TCategorieOption* Entry);
  void FavoriteChanged(TCategoriePanel* Panel, TCategorieOption* Option, bool Notify);
  void RebuildFavoris();
};

}  // namespace Carvelin
