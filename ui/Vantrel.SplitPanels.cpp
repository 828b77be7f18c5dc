#include "Vantrel.SplitPanels.h"

#include <QMouseEvent>

#include <numeric>

namespace Vantrel {

class TSplitHandle : public QSplitterHandle {
 public:
  TSplitHandle(Qt::Orientation Orientation, TSplitPanel* Panel) : QSplitterHandle(Orientation, Panel), FPanel(Panel) {}

 protected:
  void mousePressEvent(QMouseEvent* Event) override {
    FPanel->FDragStart = FPanel->Size();
    QSplitterHandle::mousePressEvent(Event);
  }
  void mouseDoubleClickEvent(QMouseEvent*) override {
    if (FPanel->FSplitter > 0) FPanel->SetCollapsed(!FPanel->Collapsed());
  }

 private:
  TSplitPanel* FPanel;
};

TSplitPanel::TSplitPanel(TAlign Align, QWidget* Parent)
    : QSplitter(Align == alTop || Align == alBottom ? Qt::Vertical : Qt::Horizontal, Parent),
      FAlign(Align),
      FPanel(new QWidget) {
  setChildrenCollapsible(false);
  setOpaqueResize(false);  // a line follows the pointer; the panes change on release
  addWidget(FPanel);
  SetSplitter(0);
  connect(this, &QSplitter::splitterMoved, this, &TSplitPanel::Dropped);
}

QSplitterHandle* TSplitPanel::createHandle() { return new TSplitHandle(orientation(), this); }

void TSplitPanel::SetNeighbour(QWidget* Neighbour) {
  insertWidget(PanelIndex() == 0 ? 1 : 0, Neighbour);
  setStretchFactor(1 - PanelIndex(), 1);
  setStretchFactor(PanelIndex(), 0);
  SetSplitter(FSplitter);
}

void TSplitPanel::SetSplitter(int Value) {
  FSplitter = std::max(0, Value);
  setHandleWidth(FSplitter);
  if (count() > 1) handle(1)->setEnabled(FSplitter > 0);
}

void TSplitPanel::SetMinSize(int Value) {
  FMinSize = std::max(0, Value);
  if (orientation() == Qt::Horizontal)
    FPanel->setMinimumWidth(FMinSize);
  else
    FPanel->setMinimumHeight(FMinSize);
}

int TSplitPanel::Size() const {
  const QList<int> Sizes = sizes();
  return (Sizes.isEmpty() ? 0 : Sizes[PanelIndex() < Sizes.size() ? PanelIndex() : 0]) + FSplitter;
}

int TSplitPanel::RealSize() const { return Collapsed() ? FSize : Size(); }

void TSplitPanel::Apply(int S) {
  QList<int> Sizes = sizes();
  if (Sizes.size() < 2) return;
  const int Total = std::accumulate(Sizes.begin(), Sizes.end(), 0);
  const int Pane = std::max(0, S - FSplitter);
  Sizes[PanelIndex()] = Pane;
  Sizes[1 - PanelIndex()] = std::max(0, Total - Pane);
  setSizes(Sizes);
}

void TSplitPanel::SetSize(int S) {
  if (S > FMinSize + FSplitter) {
    FSize = 0;
  } else if (Collapsed()) {
    return;
  } else {
    FSize = Size();
  }
  Apply(S);
}

void TSplitPanel::SetCollapsed(bool Value) {
  if (Value && !Collapsed())
    SetSize(FMinSize + FSplitter);
  else if (!Value && Collapsed())
    SetSize(FSize);
}

void TSplitPanel::Dropped() {
  // The panes already have the dropped size; collapsing remembers the size
  // from before the drag.
  const int S = Size();
  if (S > FMinSize + FSplitter)
    FSize = 0;
  else if (!Collapsed())
    FSize = FDragStart;
}

void TSplitPanel::WriteLayout(QVariantMap& State) const {
  State.insert(QStringLiteral("Size"), Size());
  if (FSize != 0)
    State.insert(QStringLiteral("ExpandedSize"), FSize);
  else
    State.remove(QStringLiteral("ExpandedSize"));
}

void TSplitPanel::ReadLayout(const QVariantMap& State) {
  if (State.contains(QStringLiteral("Size"))) Apply(State.value(QStringLiteral("Size")).toInt());
  FSize = State.value(QStringLiteral("ExpandedSize"), 0).toInt();
}

}  // namespace Vantrel
