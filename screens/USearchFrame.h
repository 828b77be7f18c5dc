// The common part of the patient and record search frames: a search panel
// over a header and an owner-drawn virtual list, the main window's services
// they use (ISearchHost, which the window implements), and the opening of
// the chosen row.
#pragma once

#include <QStringList>

#include <functional>
#include <memory>

#include "Talven.Carvelin.Types.h"
#include "VCLPatches.h"

class QBoxLayout;

namespace Carvelin {

// What the search frames use of the main window. User-interface thread.
class ISearchHost {
 public:
  virtual ~ISearchHost() = default;
  // Runs Proc as the window's job and Done with its result after it; while
  // another job runs the request is dropped.
  virtual void SubmitSearch(std::function<int()> Proc, std::function<void(int Error)> Done) = 0;
  virtual void ShowSearchError(int Error) = 0;
  virtual void ShowSearchInfo(const QString& Text) = 0;
  // The professional's session, or nullptr.
  virtual std::shared_ptr<Talven::IVaspoCNX> SearchSession() = 0;
  // A record of the service's first generation.
  virtual void SearchDossierV1(const Talven::TPatientInfo& Patient) = 0;
  // Reads the record with Get as the window's job and shows it, Opened
  // running first; an error is shown instead. Nothing while a job runs.
  virtual void OpenSearchedDossier(std::function<int(std::shared_ptr<Talven::IDossierMedical>&)> Get,
                                   std::function<void()> Opened) = 0;
};

class TSearchFrame : public TFrame {
  Q_OBJECT
 public:
  THeaderControl* Headers;
  TVirtualListBox* ListBox;

  virtual void btSearchClick() = 0;

  // Hides the frame, empties the list box and releases the result.
  void Done();
  // Double-click or Enter on a row.
  void ListBoxDblClick();
  void ListBoxDrawItem(QPainter& Canvas, int Index, QRect Rect, bool Selected);
  void HeadersSectionResize() { ListBox->Invalidate(); }

 protected:
  TSearchFrame(QWidget* AOwner, ISearchHost& Host, QWidget* SearchPanel);
  void AddSection(const QString& Text, int Width);
  // Shows a finished search: the error, or the rows and Empty for none.
  void ShowResult(int Error, int Count, const QString& Empty);

  virtual void ReleaseList() = 0;
  virtual const Talven::TPatientInfo* RowPatient(int Index) = 0;
  virtual QStringList RowTexts(int Index) = 0;
  // Job thread: the row's record.
  virtual int RowDossier(int Index, std::shared_ptr<Talven::IDossierMedical>& DOS) = 0;

  bool eventFilter(QObject* Watched, QEvent* Event) override;
  // Enter in the search panel searches; Up and Down move in the list.
  void keyPressEvent(QKeyEvent* Event) override;
  void showEvent(QShowEvent* Event) override;

  ISearchHost& FHost;
  QWidget* FSearchPanel;
  QWidget* FFirstFocus = nullptr;
};

}  // namespace Carvelin
