// The document list of the open record: a category column (all documents,
// favourites, one group per group of the document-type table, five further
// entries), a header over an owner-drawn virtual list, the visibility
// filter boxes and the date filters.
//
// The main window owns the one frame; it hands over the document list
// (List), fills Vaccins and calls Display, and handles the list's opening
// (OnOpen), its pop-up menu and the filter boxes. The frame only keeps the
// list's presentation: selected category, favourites and sort key.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QSplitter>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Talven.Carvelin.Types.h"
#include "UCategoriesFrame.h"
#include "Vantrel.RTTI.h"

namespace Carvelin {

class TDocuments : public TCategoriesFrame {
  Q_OBJECT
 public:
  explicit TDocuments(QWidget* AOwner = nullptr);

  // Tags above this (the further entries) count as the last row of the
  // table when a category is handed to a filing form.
  static constexpr int LastTypeTag = 83;

  // ---- Designed controls ----
  QSplitter* Splitter1;
  THeaderControl* Headers;
  TVirtualListBox* ListBox;
  QLabel *Label1, *Label2, *Label3;
  QCheckBox *cbMasquePS, *cbINVISIBLE_PATIENT, *cbREPRESENTANT_LEGAL;
  QLabel *lbMasquePS, *lbINVISIBLE_PATIENT, *lbREPRESENTANT_LEGAL;
  QCheckBox *cbDateDocAfter, *cbDateDocBefore;
  TDateTimePicker *dtDateDocAfter, *dtHourDocAfter, *dtDateDocBefore, *dtHourDocBefore;
  QCheckBox* cbSubmitDate;

  // ---- State ----
  int SortList = 0;
  std::function<void(TDocuments* Sender)> FOnFavoris;
  int ListIndex = -1;
  std::shared_ptr<Talven::IDocumentList> List;
  std::shared_ptr<Talven::IDocument> DOC;
  Vantrel::TStringList Vaccins;  // "uniqueId=caption" of the notes filed here

  // The main window's handlers: open the selected row (double-click, Enter),
  // and file dropped local files into a category (-1 = the current one).
  std::function<void()> OnOpen;
  std::function<void(const std::vector<std::string>& Names, bool DeleteSource, int Categorie)> OnSendFiles;
  // The user chose a category by a click on its entry.
  std::function<void(TCategorieOption* Entry)> OnCategorie;

  void Display();
  // -1 for "all documents"; the further entries read as LastTypeTag.
  int CurrentCategorie() const;
  std::string GetCategorie() const;
  std::string GetDocumentID() const;
  // Work step (job thread): the document at ListIndex into DOC.
  int GetDocument();
  std::vector<std::string> GetFavorisNames() const;
  void HeadersSectionClick(int Section);
  // Empties the list, selects "all documents" and hides the frame.
  void Clear();

  // The caption that Vaccins gives a note's unique identifier, or "".
  std::string VaccinCaption(const std::string& UniqueID) const;
  // Draws one row as the list shows it.
  void ListBoxDrawItem(QPainter& Canvas, int Index, QRect Rect, bool Selected);
  // The category a drop at Pos (frame coordinates) files into.
  int DropCategorie(const QPoint& Pos) const;

 protected:
  void dragEnterEvent(QDragEnterEvent* Event) override;
  void dropEvent(QDropEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;
  void CategorieSelected(TCategorieOption* Entry) override;
  void EntryClick(TCategorieOption* Entry) override;
  void FavorisChanged() override;

 private:
  QList<TCategoriePanel*> Groups() const;
};

}  // namespace Carvelin
