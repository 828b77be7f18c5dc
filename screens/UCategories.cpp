#include "UCategories.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

#include "VCLPatches.h"

namespace Carvelin {

namespace {

constexpr int EntryHeight = 25;
constexpr int GroupIndent = 14;
const QColor EntryColor(0xFA, 0xFA, 0xFA);
const QColor HoverColor(0xFE, 0xFE, 0xFE);
const QColor SelectedColor(0x33, 0x33, 0x33);

}  // namespace

// ---- Entry ----

TCategorieOption::TCategorieOption(QWidget* AParent, const QString& ACaption, const std::string& ACode)
    : QLabel(AParent), FCode(ACode) {
  setAutoFillBackground(true);
  setFixedHeight(EntryHeight);
  setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // Service and table texts are never read as markup.
  setTextFormat(Qt::PlainText);
  setToolTip(ACaption);
  setText(ACaption);
  setAccessibleName(ACaption);
  SetColor(EntryColor, Qt::black);
  if (auto* Group = qobject_cast<TCategoriePanel*>(AParent)) {
    const int Index = int(Group->Options().size()) - 1;
    setGeometry(GroupIndent, EntryHeight * (Index + 1), qMax(0, Group->width() - GroupIndent), EntryHeight);
  }
}

void TCategorieOption::SetColor(const QColor& Back, const QColor& Text) {
  QPalette P = palette();
  P.setColor(QPalette::Window, Back);
  P.setColor(QPalette::WindowText, Text);
  setPalette(P);
}

void TCategorieOption::Select(bool Selected) {
  FSelected = Selected;
  if (Selected) {
    if (auto* Group = qobject_cast<TCategoriePanel*>(parentWidget()); Group && !Group->Expanded()) Group->Expand();
    SetColor(SelectedColor, Qt::white);
  } else {
    SetColor(EntryColor, Qt::black);
  }
}

void TCategorieOption::SetCount(int Value) {
  FCount = Value;
  QFont F = font();
  F.setBold(Value != 0);
  setFont(F);
  setText(Value != 0 ? QStringLiteral(" %1 (%2)").arg(Hint()).arg(Value) : QStringLiteral(" ") + Hint());
  if (auto* Group = qobject_cast<TCategoriePanel*>(parentWidget())) {
    const QList<TCategorieOption*> Entries = Group->Options();
    Group->FCount = (!Entries.isEmpty() && Entries.first() == this) ? Value : Group->FCount + Value;
  }
}

QSize TCategorieOption::sizeHint() const { return {0, EntryHeight}; }

void TCategorieOption::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  const QRect Room = contentsRect();
  style()->drawItemText(&Painter, Room, int(QStyle::visualAlignment(layoutDirection(), alignment())), palette(),
                        isEnabled(), fontMetrics().elidedText(text(), Qt::ElideRight, Room.width()),
                        foregroundRole());
}

void TCategorieOption::enterEvent(QEnterEvent* Event) {
  if (!FSelected) SetColor(HoverColor, Qt::black);
  QLabel::enterEvent(Event);
}

void TCategorieOption::leaveEvent(QEvent* Event) {
  if (!FSelected) SetColor(EntryColor, Qt::black);
  QLabel::leaveEvent(Event);
}

// An entry's clicks are its own: passed on, they would reach its group as
// clicks in the star margin.
void TCategorieOption::mousePressEvent(QMouseEvent* Event) { Event->accept(); }

void TCategorieOption::mouseReleaseEvent(QMouseEvent* Event) {
  Event->accept();
  if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint()) && OnClick) OnClick(this);
}

void TCategorieOption::mouseDoubleClickEvent(QMouseEvent* Event) {
  Event->accept();
  if (Event->button() == Qt::LeftButton && OnDblClick) OnDblClick(this);
}

// ---- Group ----

TCategoriePanel::TCategoriePanel(QWidget* AParent, const QString& ACaption) : QWidget(AParent), FCaption(ACaption) {
  setAutoFillBackground(true);
  QPalette P = palette();
  P.setColor(QPalette::Window, EntryColor);
  setPalette(P);
  setAccessibleName(ACaption);
  SetHeight(Collapsed);
}

QList<TCategorieOption*> TCategoriePanel::Options() const {
  return findChildren<TCategorieOption*>(QString(), Qt::FindDirectChildrenOnly);
}

void TCategoriePanel::SetHeight(int H) {
  setFixedHeight(H);
  Layout();
  update();
}

void TCategoriePanel::resizeEvent(QResizeEvent* Event) {
  QWidget::resizeEvent(Event);
  Layout();
}

void TCategoriePanel::Layout() {
  // Entries span the width beyond the star margin, one under the other.
  int Top = EntryHeight;
  for (TCategorieOption* Entry : Options()) {
    Entry->setGeometry(GroupIndent, Top, qMax(0, width() - GroupIndent), EntryHeight);
    Top += EntryHeight;
  }
}

void TCategoriePanel::Expand() {
  const QList<TCategorieOption*> Entries = Options();
  SetHeight(Entries.isEmpty() ? Collapsed : Collapsed + EntryHeight * int(Entries.size()));
}

void TCategoriePanel::Collapse() { SetHeight(Collapsed); }

void TCategoriePanel::paintEvent(QPaintEvent* Event) {
  QWidget::paintEvent(Event);
  QPainter Painter(this);
  const QColor Band(0xE6, 0xE6, 0xFA);
  Painter.setPen(Band);
  Painter.setBrush(Band);
  Painter.drawRect(0, 0, width() - 1, EntryHeight - 1);
  const QColor Arrow(0x90, 0x90, 0x90);
  Painter.setPen(Arrow);
  Painter.setBrush(Arrow);
  DrawExpandArrow(Painter, 2, 4, Expanded());
  Painter.setPen(palette().color(QPalette::WindowText));
  Painter.setBrush(Qt::NoBrush);
  const QString Text = FCount > 0 ? QStringLiteral("%1 (%2)").arg(FCaption).arg(FCount) : FCaption;
  const QRect Room(GroupIndent, 3, width() - GroupIndent, EntryHeight - 3);
  Painter.drawText(Room, Qt::AlignLeft | Qt::AlignTop, fontMetrics().elidedText(Text, Qt::ElideRight, Room.width()));
  if (!Expanded() || !FOnFavorite) return;
  for (const TCategorieOption* Entry : Options()) {
    if (Entry->FFavorite) {
      Painter.setPen(QColor(0xFF, 0x7F, 0x27));
      Painter.setBrush(QColor(0xFF, 0xC9, 0x0E));
    } else {
      Painter.setPen(QColor(0x80, 0x80, 0x80));
      Painter.setBrush(Qt::NoBrush);
    }
    DrawFavoriteStar(Painter, 8, Entry->y() + 8, 3, 7);
  }
}

void TCategoriePanel::mousePressEvent(QMouseEvent* Event) {
  Mouse = Event->position().toPoint();
  QWidget::mousePressEvent(Event);
}

void TCategoriePanel::mouseReleaseEvent(QMouseEvent* Event) {
  QWidget::mouseReleaseEvent(Event);
  if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint())) Click();
}

void TCategoriePanel::Click() {
  if (!Expanded()) return Expand();
  if (Mouse.y() < EntryHeight) return Collapse();
  if (!FOnFavorite) return;
  const QList<TCategorieOption*> Entries = Options();
  const int Index = Mouse.y() / EntryHeight - 1;
  if (Index < 0 || Index >= Entries.size()) return;
  TCategorieOption* Entry = Entries[Index];
  Entry->FFavorite = !Entry->FFavorite;
  FOnFavorite(this, Entry);
  update();
}

}  // namespace Carvelin
