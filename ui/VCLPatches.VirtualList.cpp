// The virtual list box: it stores no rows. The owner gives a count and draws
// each row in OnDrawItem; the list scrolls by pixel, selects, finds the cell
// under a click from the header's sections and places one in-place editor
// over a cell at a time. Only the rows that meet the painted area are
// offered to OnDrawItem, so a long list costs what a short one does.
#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QStyleOptionFocusRect>

#include <cmath>

#include "UiTr.h"
#include "VCLPatches.h"

namespace Carvelin {

// ---- Header ----

THeaderControl::THeaderControl(QWidget* Parent)
    : QHeaderView(Qt::Horizontal, Parent), FSections(new QStandardItemModel(0, 0, this)) {
  setModel(FSections);
  setSectionsClickable(true);
  setStretchLastSection(false);
  setSectionResizeMode(QHeaderView::Interactive);
  setMinimumSectionSize(0);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

int THeaderControl::AddSection(const QString& Text, int Width) {
  const int Index = FSections->columnCount();
  FSections->insertColumn(Index);
  FSections->setHorizontalHeaderItem(Index, new QStandardItem(Text));
  resizeSection(Index, Width);
  return Index;
}

QString THeaderControl::SectionText(int Index) const {
  return FSections->headerData(Index, Qt::Horizontal).toString();
}

// ---- Edit panel ----

TEditPanel::TEditPanel(QWidget* Parent) : QFrame(Parent) {
  setFrameShape(QFrame::NoFrame);
  auto* Row = new QHBoxLayout(this);
  Row->setContentsMargins(0, 0, 0, 0);
  Row->setSpacing(0);
  FEdit = new QLineEdit(this);
  FButton = new QPushButton(QStringLiteral("..."), this);
  FButton->setFixedWidth(25);
  Row->addWidget(FEdit, 1);
  Row->addWidget(FButton);
  setFocusProxy(FEdit);
}

// ---- List ----

TVirtualListBox::TVirtualListBox(QWidget* Parent) : QAbstractScrollArea(Parent) {
  auto* Bar = new QScrollBar(Qt::Vertical, this);
  setVerticalScrollBar(Bar);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::Box);
  setFrameShadow(QFrame::Plain);
  setLineWidth(1);
  viewport()->setAutoFillBackground(false);
  connect(Bar, &QAbstractSlider::actionTriggered, this, &TVirtualListBox::ScrollAction);
  connect(qApp, &QApplication::focusChanged, this, &TVirtualListBox::FocusChanged);
}

void TVirtualListBox::SetItemHeight(int Value) {
  FItemHeight = std::max(1, Value);
  FPageHeight = FCount * FItemHeight;
  UpdateScrollBar();
  viewport()->update();
}

int TVirtualListBox::ClientHeight() const { return viewport()->height(); }

void TVirtualListBox::UpdateScrollBar() {
  QScrollBar* Bar = verticalScrollBar();
  const QSignalBlocker Quiet(Bar);
  // Qt's maximum is the last position, i.e. the page height less what shows.
  Bar->setRange(0, std::max(0, FPageHeight - ClientHeight()));
  Bar->setPageStep(std::max(1, height() - 2));
  Bar->setSingleStep(FItemHeight);
  Bar->setValue(FScrollTop);
  QScrollBar* Across = horizontalScrollBar();
  const QSignalBlocker QuietAcross(Across);
  Across->setRange(0, ContentWidth() - viewport()->width());
  Across->setPageStep(std::max(1, viewport()->width()));
  Across->setSingleStep(20);
  SetScrollLeft(FScrollLeft);
}

int TVirtualListBox::ContentWidth() const {
  return std::max(viewport()->width(), FHeaders ? FHeaders->length() : 0);
}

void TVirtualListBox::SetScrollLeft(int Value) {
  Value = std::clamp(Value, 0, ContentWidth() - viewport()->width());
  if (FHeaders) FHeaders->setOffset(Value);
  if (Value == FScrollLeft) return;
  FScrollLeft = Value;
  const QSignalBlocker Quiet(horizontalScrollBar());
  horizontalScrollBar()->setValue(FScrollLeft);
  viewport()->update();
  PlaceEditor();
}

void TVirtualListBox::SetCount(int Value) {
  FCount = std::max(0, Value);
  FPageHeight = FCount * FItemHeight;
  if (FItemIndex >= FCount) FItemIndex = FCount - 1;
  UpdateScrollBar();
  SetScrollTop(FScrollTop);
  viewport()->update();
}

void TVirtualListBox::SetItemIndex(int Value) {
  Value = std::clamp(Value, -1, FCount - 1);
  if (Value == FItemIndex) return;
  FItemIndex = Value;
  if (FItemIndex >= 0) {
    const int Top = FItemIndex * FItemHeight - FScrollTop;
    if (Top < 0 || Top >= ClientHeight()) SetScrollTop(FItemIndex * FItemHeight);
  }
  viewport()->update();
}

void TVirtualListBox::SetScrollTop(int Value) {
  if (Value < 0 || ClientHeight() >= FPageHeight)
    Value = 0;
  else
    Value = std::min(Value, FPageHeight - ClientHeight());
  if (Value != FScrollTop) {
    FScrollTop = Value;
    const QSignalBlocker Quiet(verticalScrollBar());
    verticalScrollBar()->setValue(FScrollTop);
    viewport()->update();
  }
  PlaceEditor();
  emit OnScroll();
}

void TVirtualListBox::ScrollAction(int Action) {
  int Target;
  switch (Action) {
    case QAbstractSlider::SliderSingleStepSub: Target = FScrollTop - FItemHeight; break;
    case QAbstractSlider::SliderSingleStepAdd: Target = FScrollTop + FItemHeight; break;
    case QAbstractSlider::SliderPageStepSub: Target = FScrollTop + 2 * FItemHeight - ClientHeight(); break;
    case QAbstractSlider::SliderPageStepAdd: Target = ClientHeight() + FScrollTop - 2 * FItemHeight; break;
    case QAbstractSlider::SliderMove: Target = verticalScrollBar()->sliderPosition(); break;
    default: return;
  }
  // The bar applies this position once the action is over.
  verticalScrollBar()->setSliderPosition(std::clamp(Target, 0, verticalScrollBar()->maximum()));
}

void TVirtualListBox::scrollContentsBy(int Dx, int) {
  if (Dx != 0) return SetScrollLeft(horizontalScrollBar()->value());
  SetScrollTop(verticalScrollBar()->value());
}

void TVirtualListBox::wheelEvent(QWheelEvent* Event) {
  QScrollBar* Bar = verticalScrollBar();
  {
    const QSignalBlocker Quiet(Bar);
    Bar->setValue(FScrollTop - int(std::lround(Event->angleDelta().y() / 120.0 * FItemHeight)));
  }
  SetScrollTop(Bar->value());
  Event->accept();
}

void TVirtualListBox::resizeEvent(QResizeEvent* Event) {
  QAbstractScrollArea::resizeEvent(Event);
  UpdateScrollBar();
  PlaceEditor();
}

QRect TVirtualListBox::ItemRect(int Index) const {
  return QRect(0, Index * FItemHeight - FScrollTop, ContentWidth(), FItemHeight);
}

int TVirtualListBox::ColLeft(int Col) const {
  int Left = 0;
  for (int I = 0; FHeaders && I < Col && I < FHeaders->SectionCount(); ++I) Left += FHeaders->SectionWidth(I);
  return Left;
}

bool TVirtualListBox::RowClick(int Index) const { return ItemRect(Index).contains(FMouse); }

void TVirtualListBox::SetHeaders(THeaderControl* Value) {
  if (FHeaders) disconnect(FHeaders, nullptr, this, nullptr);
  FHeaders = Value;
  if (FHeaders)
  {
    connect(FHeaders, &QHeaderView::sectionResized, this, [this] {
      UpdateScrollBar();
      PlaceEditor();
      viewport()->update();
    });
    connect(FHeaders, &QHeaderView::sectionCountChanged, this, &TVirtualListBox::UpdateScrollBar);
  }
  UpdateScrollBar();
}

void TVirtualListBox::paintEvent(QPaintEvent* Event) {
  if (!OnDrawItem) return;
  QPainter Painter(viewport());
  const QRect Area = Event->rect();
  Painter.fillRect(Area, Qt::white);
  if (FCount == 0) return;
  Painter.translate(-FScrollLeft, 0);
  const int First = std::max(0, (Area.top() + FScrollTop) / FItemHeight);
  const int Last = std::min(FCount - 1, (Area.bottom() + FScrollTop) / FItemHeight);
  for (int Row = First; Row <= Last; ++Row) {
    const QRect R = ItemRect(Row);
    const bool Selected = Row == FItemIndex;
    Painter.save();
    Painter.fillRect(R, Selected ? palette().highlight() : QBrush(Qt::white));
    Painter.setPen(Selected ? palette().color(QPalette::HighlightedText) : QColor(Qt::black));
    OnDrawItem(this, Painter, Row, R, Selected);
    Painter.restore();
    if (Selected) {
      QStyleOptionFocusRect Focus;
      Focus.initFrom(this);
      Focus.rect = R;
      Focus.backgroundColor = palette().color(QPalette::Highlight);
      style()->drawPrimitive(QStyle::PE_FrameFocusRect, &Focus, &Painter, this);
    }
  }
}

void TVirtualListBox::UserSelects(int Index) {
  if (Index == FItemIndex || Index < 0 || Index >= FCount) return;
  SetItemIndex(Index);
  emit OnChange();
}

void TVirtualListBox::mousePressEvent(QMouseEvent* Event) {
  setFocus(Qt::MouseFocusReason);
  FMouse = Event->position().toPoint();
  FPressed = Event->button() == Qt::LeftButton;
  const int Row = (FMouse.y() + FScrollTop) / FItemHeight;
  if (FMouse.y() >= 0) UserSelects(Row);
  QAbstractScrollArea::mousePressEvent(Event);
  Event->accept();
}

void TVirtualListBox::mouseReleaseEvent(QMouseEvent* Event) {
  const bool Clicked = FPressed && Event->button() == Qt::LeftButton &&
                       viewport()->rect().contains(Event->position().toPoint());
  FPressed = false;
  if (Clicked) Click(Event->position().toPoint());
  QAbstractScrollArea::mouseReleaseEvent(Event);
  Event->accept();
}

void TVirtualListBox::Click(const QPoint& Pos) {
  CloseEditor();
  if (FItemIndex >= 0 && FItemIndex < FCount && RowClick(FItemIndex)) {
    if (FHeaders) {
      // The column whose section holds x; none right of the last section.
      int Col = 0, X = Pos.x() + FScrollLeft;
      while (Col < FHeaders->SectionCount() && FHeaders->SectionWidth(Col) < X) X -= FHeaders->SectionWidth(Col++);
      if (Col < FHeaders->SectionCount()) {
        emit OnCellClick(FItemIndex, Col);
        viewport()->update();
      }
    }
  } else {
    HideEditor();
  }
  emit OnClick();
}

void TVirtualListBox::keyPressEvent(QKeyEvent* Event) {
  if (FEditor) return QAbstractScrollArea::keyPressEvent(Event);
  const int Page = std::max(1, ClientHeight() / FItemHeight);
  int Target;
  switch (Event->key()) {
    case Qt::Key_Up: Target = std::max(0, FItemIndex - 1); break;
    case Qt::Key_Down: Target = FItemIndex + 1; break;
    case Qt::Key_Home: Target = 0; break;
    case Qt::Key_End: Target = FCount - 1; break;
    case Qt::Key_PageUp: Target = std::max(0, FItemIndex - Page); break;
    case Qt::Key_PageDown: Target = std::min(FCount - 1, FItemIndex + Page); break;
    default:
      if (FindTyped(Event->text())) return Event->accept();
      // Enter and the rest go to the owner (a dialog's default button).
      Event->ignore();
      return;
  }
  UserSelects(Target);
  Event->accept();
}

bool TVirtualListBox::FindTyped(const QString& Text) {
  if (!OnDataFind || Text.isEmpty() || !Text.at(0).isPrint()) return false;
  constexpr qint64 PauseMs = 1000;
  if (!FTypedAt.isValid() || FTypedAt.elapsed() > PauseMs) FTyped.clear();
  FTyped += Text;
  FTypedAt.start();
  UserSelects(OnDataFind(FTyped));
  return true;
}

// ---- Editors ----

void TVirtualListBox::PlaceEditor() {
  if (!FEditor) return;
  const int Width = FHeaders && FEditing.x() < FHeaders->SectionCount() ? FHeaders->SectionWidth(FEditing.x())
                                                                        : viewport()->width();
  FEditor->setGeometry(ColLeft(FEditing.x()) - FScrollLeft, ItemRect(FEditing.y()).top(), Width, FItemHeight);
}

void TVirtualListBox::Adopt(QWidget* Editor) {
  Editor->hide();
  Editor->installEventFilter(this);
  for (QWidget* Child : Editor->findChildren<QWidget*>()) Child->installEventFilter(this);
}

void TVirtualListBox::SetEditor(QWidget* Editor, int Row, int Col) {
  CloseEditor();
  FEditor = Editor;
  if (!FEditor) return;
  FEditing = QPoint(Col, Row);
  PlaceEditor();
  FEditor->show();
  viewport()->update();
  FEditor->setFocus();
}

void TVirtualListBox::HideEditor() {
  if (!FEditor) return;
  QWidget* Editor = FEditor;
  FEditor = nullptr;
  Editor->hide();
}

void TVirtualListBox::CloseEditor() {
  if (!FEditor) return;
  // The "..." button's own click must not close the panel under it.
  if (FEditor == FEditPanel && FEditPanel->FButton->hasFocus()) return;
  const QPoint Cell = FEditing;
  // Forgotten first: hiding moves the focus, which must not close it twice.
  QWidget* Editor = FEditor;
  FEditor = nullptr;
  emit OnCloseEditor(Cell.y(), Cell.x());
  Editor->hide();
}

namespace {
bool Inside(const QWidget* Widget, const QWidget* Container) {
  for (; Widget; Widget = Widget->parentWidget())
    if (Widget == Container) return true;
  return false;
}
}  // namespace

void TVirtualListBox::FocusChanged(QWidget* Old, QWidget* Now) {
  // The editor's exit: the focus left it for a control outside it.
  if (FEditor && Inside(Old, FEditor) && !Inside(Now, FEditor)) CloseEditor();
}

bool TVirtualListBox::eventFilter(QObject* Watched, QEvent* Event) {
  auto* Widget = qobject_cast<QWidget*>(Watched);
  if (FEditor && Event->type() == QEvent::KeyPress && Inside(Widget, FEditor)) {
    ShowControl(FEditor);
    const int Key = static_cast<QKeyEvent*>(Event)->key();
    if (FEditor == FEdit && (Key == Qt::Key_Return || Key == Qt::Key_Enter)) {
      CloseEditor();
      return true;
    }
  }
  return QAbstractScrollArea::eventFilter(Watched, Event);
}

void TVirtualListBox::EditDate(int Row, int Col, TDateTime Value) {
  if (!FPicker) {
    FPicker = new TDateTimePicker(viewport());
    FPicker->SetDateTime(std::floor(Vantrel::Now()));
    FPicker->SetParseInput(true);
    Adopt(FPicker);
  }
  SetEditor(FPicker, Row, Col);
  if (Value > 1) FPicker->SetDateTime(Value);
}

void TVirtualListBox::EditText(int Row, int Col, const QString& Value, int MaxLength) {
  if (Row < 0) return;
  if (!FEdit) {
    FEdit = new QLineEdit(viewport());
    Adopt(FEdit);
  }
  SetEditor(FEdit, Row, Col);
  FEdit->setMaxLength(MaxLength > 0 ? MaxLength : 32767);
  FEdit->setText(Value);
}

QComboBox* TVirtualListBox::GetCombo() {
  if (!FCombo) {
    FCombo = new QComboBox(viewport());
    FCombo->setFrame(false);
    Adopt(FCombo);
  }
  return FCombo;
}

QComboBox* TVirtualListBox::EditCombo(int Row, int Col) {
  if (Row < 0) return nullptr;
  SetEditor(GetCombo(), Row, Col);
  return FCombo;
}

void TVirtualListBox::EditTextEx(int Row, int Col, const QString& Value, std::function<void()> OnClick,
                                 int MaxLength) {
  if (Row < 0) return;
  if (!FEditPanel) {
    FEditPanel = new TEditPanel(viewport());
    Adopt(FEditPanel);
  }
  SetEditor(FEditPanel, Row, Col);
  FEditPanel->FEdit->setMaxLength(MaxLength > 0 ? MaxLength : 32767);
  FEditPanel->FEdit->setText(Value);
  disconnect(FEditPanel->FButton, &QPushButton::clicked, nullptr, nullptr);
  if (OnClick) connect(FEditPanel->FButton, &QPushButton::clicked, this, std::move(OnClick));
  FEditPanel->FEdit->setFocus();
}

QString TVirtualListBox::GetTextEx() const { return FEditPanel ? FEditPanel->FEdit->text() : QString(); }

void TVirtualListBox::SetTextEx(const QString& Value) {
  if (!FEditPanel) throw std::runtime_error(Tr::tr("la liste n'est pas en mode édition").toStdString());
  FEditPanel->FEdit->setText(Value);
  FEditPanel->FEdit->setFocus();
}

void TVirtualListBox::ShowControl(QWidget* AControl) {
  QWidget* Child = AControl;
  while (Child && Child->parentWidget() != viewport()) Child = Child->parentWidget();
  if (!Child) return;
  const QRect R = Child->geometry();
  if (R.bottom() + 1 > ClientHeight())
    SetScrollTop(FScrollTop + R.bottom() + 1 - ClientHeight());
  else if (R.top() < 0)
    SetScrollTop(FScrollTop + R.top());
}

void TVirtualListBox::Invalidate() {
  viewport()->update();
  PlaceEditor();
}

void DrawHeaderCells(QPainter& Canvas, const THeaderControl& Headers, QRect Row, const QStringList& Texts) {
  const QFontMetrics FM(Canvas.font());
  int Right = Row.left() + 1 - 11;
  for (int N = 0; N < Texts.size() && N < Headers.SectionCount(); ++N) {
    const int Left = Right + 11;
    Right = Left + Headers.SectionWidth(N) - 10;
    const QRect Cell(Left, Row.top(), Right - Left, Row.height());
    Canvas.drawText(Cell, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                    FM.elidedText(Texts[N], Qt::ElideRight, Cell.width()));
  }
}

}  // namespace Carvelin
