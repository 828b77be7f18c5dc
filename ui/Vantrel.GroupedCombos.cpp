#include "Vantrel.GroupedCombos.h"

#include <QAbstractItemView>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStyledItemDelegate>
#include <QStylePainter>

namespace Vantrel {

namespace {
class TGroupedDelegate : public QStyledItemDelegate {
 public:
  explicit TGroupedDelegate(TGroupedCombo* Combo) : QStyledItemDelegate(Combo), FCombo(Combo) {}
  void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    if (!FCombo->Grouped() && !FCombo->DrawItemEx) return QStyledItemDelegate::paint(Painter, Option, Index);
    FCombo->DrawItem(*Painter, Index.row(), Option.rect, Option.state, false);
  }
  QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    QSize Size = QStyledItemDelegate::sizeHint(Option, Index);
    if (FCombo->Grouped()) Size.setHeight(FCombo->MeasureItem(Index.row()));
    return Size;
  }

 private:
  TGroupedCombo* FCombo;
};
}  // namespace

TGroupedCombo::TGroupedCombo(QWidget* Parent) : QComboBox(Parent) {
  setItemDelegate(new TGroupedDelegate(this));
}

void TGroupedCombo::SetGrouped(bool Value) {
  FGrouped = Value;
  // Heights are measured again.
  view()->doItemsLayout();
  update();
}

int TGroupedCombo::ItemHeight() const { return fontMetrics().height() + 4; }

int TGroupedCombo::MeasureItem(int Index) const {
  int Width = 0, Height = ItemHeight();
  if (Index < 0) return Height;
  if (MeasureItemEx)
    MeasureItemEx(const_cast<TGroupedCombo*>(this), Index, Width, Height);
  else if (FGrouped && itemText(Index).contains(u'|'))
    Height *= 2;
  return Height;
}

void TGroupedCombo::DrawItem(QPainter& Painter, int Index, QRect Rect, QStyle::State State, bool InEdit) const {
  if (DrawItemEx && Index >= 0) return DrawItemEx(const_cast<TGroupedCombo*>(this), Painter, Index, Rect, State);
  const bool Selected = State & QStyle::State_Selected;
  if (Index < 0) {
    Painter.fillRect(Rect, palette().base());
    return;
  }
  const QString Text = itemText(Index);
  const qsizetype Bar = FGrouped ? Text.indexOf(u'|') : -1;
  QString Caption = Bar >= 0 ? Text.mid(Bar + 1) : Text;
  const int OriginalLeft = Rect.left();
  Painter.save();
  if (Bar >= 0 && !InEdit) {
    // Upper half: the heading in bold on white.
    const QRect Heading(Rect.left(), Rect.top(), Rect.width(), Rect.height() / 2);
    Painter.fillRect(Heading, Qt::white);
    QFont Bold = font();
    Bold.setBold(true);
    Painter.setFont(Bold);
    Painter.setPen(Qt::black);
    Painter.drawText(Heading.adjusted(2, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                     QFontMetrics(Bold).elidedText(Text.left(Bar), Qt::ElideRight, Heading.width() - 2));
    Painter.setFont(font());
    Rect.setTop(Heading.bottom() + 1);
  }
  if (InEdit) Rect.setHeight(std::min(Rect.height(), ItemHeight()));
  Painter.fillRect(Rect, Selected ? palette().highlight() : palette().base());
  Painter.setPen(palette().color(Selected ? QPalette::HighlightedText : QPalette::Text));
  const int Indent = InEdit ? 2 : 10;
  const QRect TextRect = Rect.adjusted(Indent, 0, 0, 0);
  Painter.drawText(TextRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                   fontMetrics().elidedText(Caption, Qt::ElideRight, TextRect.width()));
  Painter.restore();
  if (State & QStyle::State_HasFocus) {
    QStyleOptionFocusRect Focus;
    Focus.initFrom(this);
    Focus.rect = QRect(OriginalLeft, Rect.top(), Rect.right() - OriginalLeft + 1, Rect.height());
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &Focus, &Painter, this);
  }
}

void TGroupedCombo::paintEvent(QPaintEvent* Event) {
  if (!FGrouped && !DrawItemEx) return QComboBox::paintEvent(Event);
  QStylePainter Painter(this);
  QStyleOptionComboBox Option;
  initStyleOption(&Option);
  Option.currentText.clear();
  Option.currentIcon = QIcon();
  Painter.drawComplexControl(QStyle::CC_ComboBox, Option);
  const QRect Field = style()->subControlRect(QStyle::CC_ComboBox, &Option, QStyle::SC_ComboBoxEditField, this);
  QStyle::State State = QStyle::State_Enabled;
  if (hasFocus()) State |= QStyle::State_Selected;
  DrawItem(Painter, currentIndex(), Field, State, true);
}

}  // namespace Vantrel
