// The category column's pieces, shared by the document list and the local
// documents frame: one selectable entry (a label with a counter) and one
// collapsible group of entries with a favourite star per entry.
//
// Entries stack 25 pixels apart in their parent; a group is 25 pixels high
// when collapsed (its header band) and as high as its last entry when
// expanded.
#pragma once

#include <QLabel>
#include <QWidget>

#include <functional>
#include <string>

namespace Carvelin {

class TCategoriePanel;

class TCategorieOption : public QLabel {
  Q_OBJECT
 public:
  TCategorieOption(QWidget* AParent, const QString& ACaption, const std::string& ACode);

  int FCount = 0;
  std::string FCode;
  bool FFavorite = false;
  int Tag = 0;  // -1 "all documents", 0..83 the document-type rows, 84..88 the further entries

  // The category's label, without the counter.
  QString Hint() const { return toolTip(); }
  bool Selected() const { return FSelected; }
  void Select(bool Selected);
  // Bold " label (n)" for a non-zero count, else " label"; adds to the
  // parent group's count (the group's first entry resets it).
  void SetCount(int Value);

  std::function<void(TCategorieOption*)> OnClick, OnDblClick;

  // A long label never widens the column: it is cut with "…" and read
  // whole in the tooltip.
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void enterEvent(QEnterEvent* Event) override;
  void leaveEvent(QEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void mouseDoubleClickEvent(QMouseEvent* Event) override;

 private:
  void SetColor(const QColor& Back, const QColor& Text);
  bool FSelected = false;
};

class TCategoriePanel : public QWidget {
  Q_OBJECT
 public:
  using TFavoriteEvent = std::function<void(TCategoriePanel* Sender, TCategorieOption* Option)>;

  TCategoriePanel(QWidget* AParent, const QString& ACaption);

  int FCount = 0;
  QPoint Mouse;
  TFavoriteEvent FOnFavorite;  // none: no stars, star clicks ignored

  QString Caption() const { return FCaption; }
  // The entries, in stacking order.
  QList<TCategorieOption*> Options() const;
  bool Expanded() const { return height() > Collapsed; }
  void Expand();
  void Collapse();
  void Click();

  static constexpr int Collapsed = 25;

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;

 private:
  void SetHeight(int H);
  void Layout();
  QString FCaption;
};

}  // namespace Carvelin
