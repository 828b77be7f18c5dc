// A combo box whose items may be grouped under headings: an item written
// "Heading|Caption" opens a new group. In the list such an item is two rows
// high, the heading in bold over the caption; the edit part shows the
// caption alone.
#pragma once

#include <QComboBox>
#include <QStyle>

#include <functional>

namespace Vantrel {

class TGroupedCombo : public QComboBox {
  Q_OBJECT
 public:
  using TMeasureItemEventEx = std::function<void(TGroupedCombo*, int Index, int& Width, int& Height)>;
  using TDrawItemEvent = std::function<void(TGroupedCombo*, QPainter&, int Index, QRect Rect, QStyle::State State)>;

  explicit TGroupedCombo(QWidget* Parent = nullptr);

  bool Grouped() const { return FGrouped; }
  void SetGrouped(bool Value);
  int ItemHeight() const;
  // The height of item Index in the list.
  int MeasureItem(int Index) const;
  // Draws item Index in Rect; InEdit for the edit part.
  void DrawItem(QPainter& Painter, int Index, QRect Rect, QStyle::State State, bool InEdit) const;

  TMeasureItemEventEx MeasureItemEx;
  TDrawItemEvent DrawItemEx;

 protected:
  void paintEvent(QPaintEvent* Event) override;

 private:
  bool FGrouped = false;
};

}  // namespace Vantrel
