// The documents the practitioner filed from this workstation for the open
// patient, as the local database records them, shown when the record's own
// list may not be read: a category column, a header over an owner-drawn
// virtual list, and a pop-up menu to replace a document, delete it from
// the record, or check that one or all of them still exist there.
//
// The main window makes the one frame on first use and reloads it with
// Load at each display. The frame owns its rows; the database stays the
// window's. Verification and deletion run as the window's job on the open
// record; their completion marks the rows gone from the record deleted.
#pragma once

#include <QLabel>
#include <QMenu>
#include <QSplitter>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Carvelin.SQLIteDataBase.h"
#include "Talven.Carvelin.Types.h"
#include "UCategoriesFrame.h"

namespace Carvelin {

// What the local documents frame uses of the main window. User-interface thread.
class IDocumentsLocauxHost {
 public:
  virtual ~IDocumentsLocauxHost() = default;
  // Runs Proc as the window's job and Done with its result after it; while
  // another job runs the request is dropped.
  virtual void SubmitLocaux(std::function<int()> Proc, std::function<void(int Error)> Done) = 0;
  virtual void ShowLocauxError(int Error) = 0;
  virtual void ShowLocauxInfo(const QString& Text) = 0;
  // A Yes/No question; true for Yes.
  virtual bool AskLocaux(const QString& Text) = 0;
  // The open record, or nullptr.
  virtual std::shared_ptr<Talven::IDossierMedical> LocauxDossier() = 0;
  // The add-document form filing a new version of UniqueID, its type
  // preselected from TypeDoc; true when it filed.
  virtual bool ReplaceLocal(QWidget* Owner, const std::string& UniqueID, const std::string& TypeDoc) = 0;
  // The vaccination form filing a new version of the note UniqueID.
  virtual bool ReplaceVaccin(QWidget* Owner, const std::string& UniqueID, const TVaspoVaccin& Vaccin) = 0;
  // Reloads and shows this frame.
  virtual void ShowDocumentsLocaux() = 0;
  // Sender's favourites changed.
  virtual void OnFavoris(QWidget* Sender) = 0;
};

// One row: the display texts in Document, the stored ones beside them.
struct TDocumentLocalRow {
  std::unique_ptr<TDocumentLocal> Document;
  std::string TypeCode, Titre;
};

// One document being verified or deleted.
struct TDocIDs {
  int64_t rowid = 0;
  std::string typeDoc, uniqueId, UUID;
  int Error = 0;
};

class TDocumentsLocaux : public TCategoriesFrame {
  Q_OBJECT
 public:
  TDocumentsLocaux(QWidget* AOwner, IDocumentsLocauxHost& Host);
  ~TDocumentsLocaux() override;

  // ---- Designed controls ----
  QSplitter* Splitter1;
  THeaderControl* Headers;
  TVirtualListBox* ListBox;
  QLabel* lbInfo;
  QMenu* PopupMenu1;
  QAction *mnReplaceDoc, *mnDelDoc, *mnVerifyDoc, *mnVerifyDocs;

  // ---- State ----
  TVaspoDatabase* FDatabase = nullptr;
  std::vector<TDocumentLocalRow> FDocuments;
  std::vector<const TDocumentLocalRow*> List;  // the selected category's rows
  std::vector<TDocIDs> DocIDs;
  bool DelDocs = false;
  std::function<void(TDocumentsLocaux* Sender)> FOnFavoris;

  void Load(TVaspoDatabase& Database, int64_t Praticien, int64_t Patient);
  void Clear();
  // The selected entry's Tag: -1 for "all documents", 84..88 the further entries.
  int CurrentCategorie() const;
  // Selects the last row of List with UniqueID; its index or -1.
  int SelectDocID(const std::string& UniqueID);
  const TDocumentLocalRow* GetDocument(int Index) const;

  void ListBoxDblClick();
  void ListBoxDrawItem(QPainter& Canvas, int Index, QRect Rect, bool Selected);
  void mnReplaceDocClick();
  // Deletes (Delete) or verifies the selected row.
  void mnDelDocClick(bool Delete);
  void mnVerifyDocsClick();

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;
  void CategorieSelected(TCategorieOption* Entry) override;
  void FavorisChanged() override;

 private:
  const TDocumentLocalRow* Selected() const;
  // Verifies or deletes DocIDs as the window's job.
  void SubmitDocIDs();
  int CheckDocIDs(Talven::IDossierMedical* DOS);
  void OnDocIDs(int Error);
  // Runs a user action; an exception is shown, never raised into Qt.
  void Guarded(const std::function<void()>& F);

  IDocumentsLocauxHost& FHost;
};

}  // namespace Carvelin
