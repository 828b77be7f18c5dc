#include "USearchFrame.h"

#include <QKeyEvent>
#include <QPainter>
#include <QVBoxLayout>

#include "Talven.Carvelin.ErrorCodes.h"

namespace Carvelin {

using namespace Talven;

TSearchFrame::TSearchFrame(QWidget* AOwner, ISearchHost& Host, QWidget* SearchPanel)
    : TFrame(AOwner), FHost(Host), FSearchPanel(SearchPanel) {
  FSearchPanel->setParent(this);
  Headers = new THeaderControl(this);
  Headers->setObjectName(QStringLiteral("Headers"));
  ListBox = new TVirtualListBox(this);
  ListBox->setObjectName(QStringLiteral("ListBox"));
  ListBox->SetHeaders(Headers);
  auto* Column = new QVBoxLayout(this);
  Column->setContentsMargins(0, 0, 0, 0);
  Column->addWidget(FSearchPanel);
  Column->addWidget(Headers);
  Column->addWidget(ListBox, 1);
  ListBox->OnDrawItem = [this](TVirtualListBox*, QPainter& Canvas, int Index, QRect Rect, bool Selected) {
    ListBoxDrawItem(Canvas, Index, Rect, Selected);
  };
  connect(Headers, &QHeaderView::sectionResized, this, [this] { HeadersSectionResize(); });
  ListBox->installEventFilter(this);
  ListBox->viewport()->installEventFilter(this);
}

void TSearchFrame::AddSection(const QString& Text, int Width) { Headers->AddSection(Text, Width); }

void TSearchFrame::ShowResult(int Error, int Count, const QString& Empty) {
  if (Error != ERR_OK) return FHost.ShowSearchError(Error);
  ListBox->SetCount(Count);
  ListBox->Invalidate();
  if (Count == 0) FHost.ShowSearchInfo(Empty);
}

void TSearchFrame::Done() {
  hide();
  ListBox->SetCount(0);
  ReleaseList();
}

void TSearchFrame::ListBoxDblClick() {
  const int Index = ListBox->ItemIndex();
  const TPatientInfo* Patient = Index >= 0 ? RowPatient(Index) : nullptr;
  if (!Patient) return;
  if (Patient->INSi.Code.empty()) return FHost.SearchDossierV1(*Patient);
  FHost.OpenSearchedDossier([this, Index](std::shared_ptr<IDossierMedical>& DOS) { return RowDossier(Index, DOS); },
                            [this] { hide(); });
}

void TSearchFrame::ListBoxDrawItem(QPainter& Canvas, int Index, QRect Rect, bool Selected) {
  Canvas.fillRect(Rect, palette().color(Selected ? QPalette::Highlight : QPalette::Base));
  Canvas.setPen(palette().color(Selected ? QPalette::HighlightedText : QPalette::Text));
  DrawHeaderCells(Canvas, *Headers, Rect, RowTexts(Index));
}

bool TSearchFrame::eventFilter(QObject* Watched, QEvent* Event) {
  const bool Open = (Watched == ListBox->viewport() && Event->type() == QEvent::MouseButtonDblClick) ||
                    (Watched == ListBox && Event->type() == QEvent::KeyPress &&
                     (static_cast<QKeyEvent*>(Event)->key() == Qt::Key_Return ||
                      static_cast<QKeyEvent*>(Event)->key() == Qt::Key_Enter));
  if (Open) {
    ListBoxDblClick();
    return true;
  }
  return TFrame::eventFilter(Watched, Event);
}

void TSearchFrame::keyPressEvent(QKeyEvent* Event) {
  switch (Event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (FSearchPanel->isAncestorOf(focusWidget())) return btSearchClick();
      break;
    case Qt::Key_Up:
      return ListBox->SetItemIndex(std::max(0, ListBox->ItemIndex() - 1));
    case Qt::Key_Down:
      return ListBox->SetItemIndex(ListBox->ItemIndex() + 1);
  }
  TFrame::keyPressEvent(Event);
}

void TSearchFrame::showEvent(QShowEvent* Event) {
  TFrame::showEvent(Event);
  if (FFirstFocus) FFirstFocus->setFocus();
}

}  // namespace Carvelin
