// A panel aligned to one edge with its own splitter strip along its inner
// edge: a QSplitter whose panes are the panel and its neighbour (the client
// area). Sizes are the panel's, strip included. Dragging the strip moves a
// line (the panes change on release) that stops at MinSize and at the
// neighbour's minimum size; dropping it at MinSize collapses the panel and
// remembers the size it had, which a double click on the strip restores.
#pragma once

#include <QSplitter>
#include <QVariantMap>

namespace Vantrel {

enum TAlign { alTop, alBottom, alLeft, alRight };

class TSplitPanel : public QSplitter {
  Q_OBJECT
 public:
  explicit TSplitPanel(TAlign Align, QWidget* Parent = nullptr);

  TAlign Align() const { return FAlign; }
  QWidget* Panel() const { return FPanel; }  // the panel's content goes here
  void SetNeighbour(QWidget* Neighbour);

  // Strip thickness in pixels; 0: no strip, nothing reacts to the mouse.
  int Splitter() const { return FSplitter; }
  void SetSplitter(int Value);
  int MinSize() const { return FMinSize; }
  void SetMinSize(int Value);
  bool Collapsed() const { return FSize > 0; }
  void SetCollapsed(bool Value);
  int Size() const;      // the current size
  int RealSize() const;  // the size to restore when collapsed, else the current one
  int ExpandedSize() const { return FSize; }
  // Above MinSize + Splitter the panel is expanded; otherwise it collapses
  // to that size and remembers its current one (nothing when collapsed).
  void SetSize(int S);

  // The layout state the windows save: "Size", and "ExpandedSize" only while collapsed.
  void WriteLayout(QVariantMap& State) const;
  void ReadLayout(const QVariantMap& State);

 protected:
  QSplitterHandle* createHandle() override;

 private:
  friend class TSplitHandle;
  int PanelIndex() const { return FAlign == alTop || FAlign == alLeft ? 0 : 1; }
  void Apply(int S);
  void Dropped();

  TAlign FAlign;
  QWidget* FPanel;
  int FSplitter = 0;
  int FMinSize = 0;
  int FSize = 0;
  int FDragStart = 0;
};

}  // namespace Vantrel
