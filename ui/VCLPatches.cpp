#include "VCLPatches.h"

#include <QApplication>
#include <QBuffer>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStringListModel>
#include <QStyleOptionMenuItem>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include <cmath>

#include "UiTr.h"
#include "Vantrel.SysUtils.h"

namespace Carvelin {

// ---- Screen density ----

namespace {
int TestDPI = 0;
}

int ScreenDPI() {
  if (TestDPI > 0) return TestDPI;
  const QScreen* Screen = QGuiApplication::primaryScreen();
  return Screen ? qRound(Screen->logicalDotsPerInch()) : 96;
}

void SetScreenDPI(int Dpi) { TestDPI = Dpi; }

int ScaleToDPI(int N) {
  const int Dpi = ScreenDPI();
  if (Dpi == 96) return N;
  // Rounded half away from zero, as the system's multiply-divide does.
  const qint64 P = qint64(N) * Dpi;
  return int(P >= 0 ? (P + 48) / 96 : -((-P + 48) / 96));
}

// ---- Image list ----

TImageList::TImageList(int Width, int Height, QObject* Owner) : QObject(Owner), FWidth(Width), FHeight(Height) {}

int TImageList::Add(const QImage& Image) {
  QImage Cell = Image.convertToFormat(QImage::Format_ARGB32);
  if (Cell.size() != QSize(FWidth, FHeight))
    Cell = Cell.scaled(FWidth, FHeight, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  FImages.push_back(std::move(Cell));
  emit Changed();
  return Count() - 1;
}

QImage TImageList::Image(int Index) const {
  return Index >= 0 && Index < Count() ? FImages[size_t(Index)] : QImage();
}

void TImageList::Clear() {
  FImages.clear();
  emit Changed();
}

namespace {
QImage Desaturated(const QImage& Source) {
  QImage Grey = Source.convertToFormat(QImage::Format_ARGB32);
  for (int Y = 0; Y < Grey.height(); ++Y) {
    auto* Line = reinterpret_cast<QRgb*>(Grey.scanLine(Y));
    for (int X = 0; X < Grey.width(); ++X) {
      const int G = qGray(Line[X]);
      Line[X] = qRgba(G, G, G, qAlpha(Line[X]));
    }
  }
  return Grey;
}
}  // namespace

void TImageList::Draw(QPainter& Painter, int X, int Y, int Index, bool Enabled) const {
  if (Index < 0 || Index >= Count()) return;
  const QImage& Cell = FImages[size_t(Index)];
  Painter.drawImage(X, Y, Enabled || Tag == 1 ? Cell : Desaturated(Cell));
}

QImage TImageList::GetStrip() const {
  QImage Strip(std::max(1, Count() * FWidth), FHeight, QImage::Format_ARGB32);
  Strip.fill(Qt::transparent);
  QPainter Painter(&Strip);
  Painter.setCompositionMode(QPainter::CompositionMode_Source);
  for (int I = 0; I < Count(); ++I) Painter.drawImage(I * FWidth, 0, FImages[size_t(I)]);
  return Strip;
}

void TImageList::SetStrip(const QImage& Strip) {
  FImages.clear();
  const QImage Source = Strip.convertToFormat(QImage::Format_ARGB32);
  const bool WithMasks = Source.height() >= 2 * FHeight;
  for (int I = 0; FWidth > 0 && (I + 1) * FWidth <= Source.width(); ++I) {
    QImage Cell = Source.copy(I * FWidth, 0, FWidth, FHeight);
    if (WithMasks) {
      const QImage Mask = Source.copy(I * FWidth, FHeight, FWidth, FHeight);
      for (int Y = 0; Y < FHeight; ++Y)
        for (int X = 0; X < FWidth; ++X)
          if ((Mask.pixel(X, Y) & 0xFFFFFF) == 0xFFFFFF) Cell.setPixel(X, Y, 0);
    }
    FImages.push_back(std::move(Cell));
  }
  emit Changed();
}

QString TImageList::CacheFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + "/Carvelin2/ImageList";
}

void TImageList::Resize() {
  const int Dpi = ScreenDPI();
  if (Dpi == 96 || Count() == 0) return;
  const QImage Strip = GetStrip();
  // The key names the source pixels, so a program with other images never
  // reads a stale file.
  QCryptographicHash Hash(QCryptographicHash::Sha256);
  Hash.addData(QByteArrayView(reinterpret_cast<const char*>(Strip.constBits()), Strip.sizeInBytes()));
  const QString Name = QString("%1/%2_%3_%4.png")
                           .arg(CacheFolder(), objectName())
                           .arg(Dpi)
                           .arg(QString::fromLatin1(Hash.result().toHex().left(16)));
  const int W = ScaleToDPI(FWidth), H = ScaleToDPI(FHeight);
  const QSize Wanted(Count() * W, H);
  QImage Scaled(Name);
  if (Scaled.size() != Wanted) {
    Scaled = Strip.scaled(Wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // Written aside then renamed: a cut write never leaves a file to read.
    QDir().mkpath(CacheFolder());
    QSaveFile File(Name);
    if (File.open(QIODevice::WriteOnly) && Scaled.save(&File, "PNG")) File.commit();
  }
  FWidth = W;
  FHeight = H;
  SetStrip(Scaled);
}

// ---- Scroll box ----

void TScrollBox::wheelEvent(QWheelEvent* Event) {
  QScrollBar* Bar = verticalScrollBar();
  if (const int Pixels = Event->pixelDelta().y(); Pixels != 0) {
    FWheelRest = 0;
    Bar->setValue(Bar->value() - Pixels);
  } else {
    const int Delta = Event->angleDelta().y();
    // A turn the other way starts afresh.
    if ((Delta > 0) != (FWheelRest > 0)) FWheelRest = 0;
    FWheelRest += Delta;
    const int Steps = FWheelRest / 120;
    FWheelRest -= Steps * 120;
    for (int I = 0; I < std::abs(Steps); ++I)
      Bar->triggerAction(Steps > 0 ? QAbstractSlider::SliderSingleStepSub : QAbstractSlider::SliderSingleStepAdd);
  }
  Event->accept();
}

// ---- Pop-up menu ----

std::vector<int> SplitColsBreaks(int Count, int MaxItems) {
  std::vector<int> Breaks;
  if (MaxItems <= 0) return Breaks;
  const int Columns = (Count + MaxItems - 1) / MaxItems;
  if (Columns < 2) return Breaks;
  const int Per = Count / Columns;
  for (int I = Per; I < Count; I += Per) Breaks.push_back(I);
  return Breaks;
}

void TPopupMenu::SetCaption(const QString& Value) {
  if (Value == FCaption) return;
  FCaption = Value;
  FChanged = true;
  updateGeometry();
  update();
}

void TPopupMenu::SplitCols(int MaxItems) {
  FBreaks = SplitColsBreaks(int(actions().size()), MaxItems);
  updateGeometry();
  update();
}

int TPopupMenu::BandWidth() const {
  return FCaption.isEmpty() ? 0 : 2 * fontMetrics().boundingRect(QStringLiteral("A")).height();
}

namespace {
bool OwnLayout(const QString& Caption, const std::vector<int>& Breaks) {
  return !Caption.isEmpty() || !Breaks.empty();
}
}  // namespace

// The standard layout gives each item's size and the margins; the items are
// then moved right of the band and into their columns.
void TPopupMenu::Layout() const {
  const QSize Base = QMenu::sizeHint();
  const auto Actions = actions();
  FRects.assign(size_t(Actions.size()), QRect());
  const int Shift = FCaption.isEmpty() ? 0 : BandWidth() + 1;
  int Left = -1, Top = 0, Width = 0, Bottom = 0;
  for (const QAction* Action : Actions) {
    const QRect R = actionGeometry(const_cast<QAction*>(Action));
    if (R.isEmpty()) continue;
    if (Left < 0) Left = R.left(), Top = R.top();
    Width = std::max(Width, R.width());
  }
  if (Left < 0) {
    FSize = Base;
    return;
  }
  int X = Left + Shift, Y = Top;
  size_t NextBreak = 0;
  for (int I = 0; I < int(Actions.size()); ++I) {
    const QRect R = actionGeometry(Actions[I]);
    if (NextBreak < FBreaks.size() && I == FBreaks[NextBreak]) {
      ++NextBreak;
      X += Width;
      Y = Top;
    }
    if (R.isEmpty()) continue;
    FRects[size_t(I)] = QRect(X, Y, Width, R.height());
    Y += R.height();
    Bottom = std::max(Bottom, Y);
  }
  FSize = QSize(X + Width + Left, Bottom + Top);
}

QSize TPopupMenu::sizeHint() const {
  if (!OwnLayout(FCaption, FBreaks)) return QMenu::sizeHint();
  Layout();
  return FSize;
}

QRect TPopupMenu::ItemRect(const QAction* Action) const {
  if (!OwnLayout(FCaption, FBreaks)) return actionGeometry(const_cast<QAction*>(Action));
  Layout();
  const int I = int(actions().indexOf(const_cast<QAction*>(Action)));
  return I < 0 ? QRect() : FRects[size_t(I)];
}

QAction* TPopupMenu::ItemAt(const QPoint& Pos) const {
  const auto Actions = actions();
  for (int I = 0; I < int(Actions.size()); ++I)
    if (FRects[size_t(I)].contains(Pos) && !Actions[I]->isSeparator()) return Actions[I];
  return nullptr;
}

void TPopupMenu::actionEvent(QActionEvent* Event) {
  QMenu::actionEvent(Event);
  FRects.clear();
}

void TPopupMenu::paintEvent(QPaintEvent* Event) {
  if (!OwnLayout(FCaption, FBreaks)) return QMenu::paintEvent(Event);
  Layout();
  QPainter Painter(this);
  Painter.fillRect(rect(), palette().window());
  const auto Actions = actions();
  int BandTop = height(), BandBottom = 0;
  for (int I = 0; I < int(Actions.size()); ++I) {
    const QRect& R = FRects[size_t(I)];
    if (R.isEmpty()) continue;
    QStyleOptionMenuItem Option;
    initStyleOption(&Option, Actions[I]);
    Option.rect = R;
    style()->drawControl(QStyle::CE_MenuItem, &Option, &Painter, this);
    BandTop = std::min(BandTop, R.top());
    BandBottom = std::max(BandBottom, R.bottom() + 1);
  }
  QStyleOptionFrame Frame;
  Frame.initFrom(this);
  Frame.lineWidth = style()->pixelMetric(QStyle::PM_MenuPanelWidth, nullptr, this);
  style()->drawPrimitive(QStyle::PE_FrameMenu, &Frame, &Painter, this);
  if (FCaption.isEmpty() || BandBottom <= BandTop) return;

  const int B = BandWidth();
  const int BandLeft = FRects.empty() ? 0 : std::max(0, Frame.lineWidth);
  Painter.fillRect(QRect(BandLeft, BandTop, B, BandBottom - BandTop), QColor(166, 202, 240));
  QFont Font(QStringLiteral("Arial"));
  Font.setPointSize(11);
  Font.setBold(true);
  Painter.setFont(Font);
  Painter.setPen(QColor(0, 0, 128));
  const QFontMetrics Metrics(Font);
  // Reading upwards, centred across the band, base 5 pixels above its bottom.
  Painter.translate(BandLeft + (B + Metrics.ascent() - Metrics.descent()) / 2, BandBottom - 5);
  Painter.rotate(-90);
  Painter.drawText(0, 0, FCaption);
}

void TPopupMenu::mouseMoveEvent(QMouseEvent* Event) {
  if (!OwnLayout(FCaption, FBreaks)) return QMenu::mouseMoveEvent(Event);
  Layout();
  QAction* Action = ItemAt(Event->position().toPoint());
  if (Action != activeAction()) {
    setActiveAction(Action);
    update();
  }
}

void TPopupMenu::mousePressEvent(QMouseEvent* Event) {
  if (!OwnLayout(FCaption, FBreaks) || !rect().contains(Event->position().toPoint()))
    return QMenu::mousePressEvent(Event);
}

void TPopupMenu::mouseReleaseEvent(QMouseEvent* Event) {
  if (!OwnLayout(FCaption, FBreaks)) return QMenu::mouseReleaseEvent(Event);
  Layout();
  QAction* Action = ItemAt(Event->position().toPoint());
  if (!Action || !Action->isEnabled()) return;
  if (Action->menu()) {
    Action->menu()->popup(mapToGlobal(ItemRect(Action).topRight()));
    return;
  }
  close();
  Action->activate(QAction::Trigger);
  emit triggered(Action);
}

void TPopupMenu::keyPressEvent(QKeyEvent* Event) {
  // Left and right move between columns.
  const bool Across = Event->key() == Qt::Key_Left || Event->key() == Qt::Key_Right;
  if (FBreaks.empty() || !Across) {
    QMenu::keyPressEvent(Event);
    update();
    return;
  }
  const auto Actions = actions();
  const int Per = FBreaks.front();
  const int Current = activeAction() ? int(Actions.indexOf(activeAction())) : 0;
  const int Next = Current + (Event->key() == Qt::Key_Right ? Per : -Per);
  if (Next >= 0 && Next < int(Actions.size())) setActiveAction(Actions[Next]);
  update();
}

// ---- Date picker ----

TDateTimePicker::TDateTimePicker(QWidget* Parent) : QWidget(Parent) {
  auto* Row = new QHBoxLayout(this);
  Row->setContentsMargins(0, 0, 0, 0);
  Row->setSpacing(2);
  FCheck = new QCheckBox(this);
  FCheck->setChecked(true);
  FCheck->hide();
  FEdit = new QLineEdit(this);
  FEdit->setReadOnly(true);
  FEdit->installEventFilter(this);
  FButton = new QPushButton(QStringLiteral("\u25BE"), this);
  FButton->setFocusPolicy(Qt::NoFocus);
  FButton->setFixedWidth(FEdit->sizeHint().height());
  Row->addWidget(FCheck);
  Row->addWidget(FEdit, 1);
  Row->addWidget(FButton);
  setFocusProxy(FEdit);
  connect(FButton, &QPushButton::clicked, this, &TDateTimePicker::DropDown);
  connect(FEdit, &QLineEdit::editingFinished, this, &TDateTimePicker::InputDone);
  connect(FCheck, &QCheckBox::toggled, this, [this](bool On) {
    FEdit->setEnabled(On);
    emit OnChange();
  });
  ShowValue();
}

QString TDateTimePicker::FormatValue(TDateTime Value) const {
  if (FKind == dtkTime) return QString::fromStdString(Vantrel::FormatDateTime("hh:nn:ss", Value));
  // Days 30/12/1899 and 31/12/1899 stand for no date.
  if (std::floor(Value) < 2) return QString();
  return QString::fromStdString(Vantrel::FormatDateTime("dd/mm/yyyy", Value));
}

QString TDateTimePicker::Text() const { return FormatValue(FDateTime); }

void TDateTimePicker::ShowValue() { FEdit->setText(Text()); }

void TDateTimePicker::SetKind(TKind Value) {
  FKind = Value;
  FButton->setVisible(FKind == dtkDate);
  ShowValue();
}

void TDateTimePicker::CheckRange(TDateTime Value) const {
  if (FKind != dtkDate || Value < 2) return;
  const double Day = std::floor(Value);
  if (FMaxDate > 0 && Day > std::floor(FMaxDate))
    throw EDateTimeError(Tr::tr("La date dépasse le maximum de %1")
                             .arg(QString::fromStdString(Vantrel::FormatDateTime("dd/mm/yyyy", FMaxDate)))
                             .toStdString());
  if (Day < std::floor(FMinDate))
    throw EDateTimeError(Tr::tr("La date est inférieure au minimum de %1")
                             .arg(QString::fromStdString(Vantrel::FormatDateTime("dd/mm/yyyy", FMinDate)))
                             .toStdString());
}

void TDateTimePicker::SetDateTime(TDateTime Value) {
  CheckRange(Value);
  FDateTime = Value;
  ShowValue();
}

void TDateTimePicker::SetShowCheckbox(bool Value) {
  FShowCheckbox = Value;
  FCheck->setVisible(Value);
}

bool TDateTimePicker::Checked() const { return FCheck->isChecked(); }

void TDateTimePicker::SetChecked(bool Value) {
  const QSignalBlocker Quiet(FCheck);
  FCheck->setChecked(Value);
  FEdit->setEnabled(Value);
}

void TDateTimePicker::SetParseInput(bool Value) {
  FParseInput = Value;
  FEdit->setReadOnly(!Value);
}

void TDateTimePicker::SetDates(TDateTime ADate, TDateTime AMin, TDateTime AMax) {
  if (ADate < AMin) ADate = AMin;
  if (AMax > 1 && ADate > AMax) ADate = AMax;
  FMinDate = 0;
  FMaxDate = std::floor(AMax);
  FMinDate = std::floor(AMin);
  SetDateTime(std::floor(ADate));
}

void TDateTimePicker::UserSets(TDateTime Value) {
  if (Value == FDateTime) return ShowValue();
  try {
    SetDateTime(Value);
  } catch (const EDateTimeError& E) {
    // The message is shown and the previous date kept; nothing leaves the handler.
    ShowValue();
    auto* Box = new QMessageBox(QMessageBox::Warning, QString(), QString::fromStdString(E.what()),
                                QMessageBox::Ok, this);
    Box->setTextFormat(Qt::PlainText);
    Box->setAttribute(Qt::WA_DeleteOnClose);
    Box->open();
    return;
  }
  emit OnChange();
}

void TDateTimePicker::InputDone() {
  if (!FParseInput) return;
  const QString Typed = FEdit->text().trimmed();
  if (Typed == Text()) return;
  if (Typed.isEmpty()) return UserSets(0);
  TDateTime Value = 0;
  bool Ok = false;
  if (FKind == dtkTime) {
    const QTime Time = QTime::fromString(Typed, Typed.count(':') == 2 ? "H:m:s" : "H:m");
    Ok = Time.isValid();
    Value = std::floor(FDateTime) + Time.msecsSinceStartOfDay() / 86400000.0;
  } else {
    Ok = TryStrToDateTimeLoose(Typed, Value);
  }
  if (!Ok) return ShowValue();  // garbage: the previous date stays
  UserSets(Value);
}

bool TDateTimePicker::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == FEdit && Event->type() == QEvent::FocusIn && FParseInput && !FKeepEmptyOnFocus &&
      FKind == dtkDate && FDateTime == 0) {
    FDateTime = std::floor(Vantrel::Now());
    ShowValue();
  }
  if (Watched == FEdit && Event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(Event)->modifiers() & Qt::AltModifier &&
      static_cast<QKeyEvent*>(Event)->key() == Qt::Key_Down && FKind == dtkDate) {
    DropDown();
    return true;
  }
  return QWidget::eventFilter(Watched, Event);
}

void TDateTimePicker::DropDown() {
  if (!FPopup) {
    FPopup = new QWidget(this, Qt::Popup);
    auto* Column = new QVBoxLayout(FPopup);
    Column->setContentsMargins(3, 3, 3, 3);
    FCalendar = new QCalendarWidget(FPopup);
    FCalendar->setVerticalHeaderFormat(QCalendarWidget::ISOWeekNumbers);
    FCalendar->setGridVisible(false);
    FToday = new QPushButton(FPopup);
    FToday->setFlat(true);
    Column->addWidget(FCalendar);
    Column->addWidget(FToday);
    connect(FCalendar, &QCalendarWidget::clicked, this, [this](QDate Day) {
      FPopup->hide();
      TDateTime Value = 0;
      if (Vantrel::TryEncodeDate(Day.year(), Day.month(), Day.day(), Value))
        UserSets(Value + (FDateTime - std::floor(FDateTime)));
    });
    connect(FToday, &QPushButton::clicked, this, [this] {
      FPopup->hide();
      UserSets(std::floor(Vantrel::Now()));
    });
  }
  FToday->setText(Tr::tr("Aujourd'hui : %1").arg(QString::fromStdString(Vantrel::FormatDateTime("dd/mm/yyyy", Vantrel::Now()))));
  const Vantrel::TDateParts Shown = Vantrel::DecodeDateTime(FDateTime >= 2 ? FDateTime : Vantrel::Now());
  FCalendar->setSelectedDate(QDate(Shown.Year, Shown.Month, Shown.Day));
  // Wide enough for the "today" line as well as the month.
  FCalendar->setMinimumWidth(std::max(FCalendar->minimumSizeHint().width(), FToday->sizeHint().width()));
  FPopup->adjustSize();
  FPopup->move(mapToGlobal(QPoint(0, height())));
  FPopup->show();
  FCalendar->setFocus();
}

// ---- Owner-drawn list box ----

namespace {
class TListBoxDelegate : public QStyledItemDelegate {
 public:
  explicit TListBoxDelegate(TListBox* List) : QStyledItemDelegate(List), FList(List) {}
  void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    if (FList->Style() == lbStandard || !FList->OnDrawItem) return QStyledItemDelegate::paint(Painter, Option, Index);
    const bool Selected = Option.state & QStyle::State_Selected;
    Painter->save();
    Painter->fillRect(Option.rect, Selected ? Option.palette.highlight() : Option.palette.base());
    Painter->setPen(Option.palette.color(Selected ? QPalette::HighlightedText : QPalette::Text));
    FList->OnDrawItem(FList, *Painter, Index.row(), Option.rect, Selected);
    Painter->restore();
  }
  QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    QSize Size = QStyledItemDelegate::sizeHint(Option, Index);
    if (FList->Style() != lbStandard) Size.setHeight(FList->ItemHeight());
    return Size;
  }

 private:
  TListBox* FList;
};
}  // namespace

TListBox::TListBox(QWidget* Parent)
    : QListView(Parent), FItems(new QStringListModel(this)), FItemHeight(fontMetrics().height() + 3) {
  setModel(FItems);
  setItemDelegate(new TListBoxDelegate(this));
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void TListBox::SetStyle(TListBoxStyle Value) {
  FStyle = Value;
  doItemsLayout();
}

int TListBox::Count() const { return FItems->rowCount(); }

int TListBox::ItemIndex() const { return currentIndex().isValid() ? currentIndex().row() : -1; }

void TListBox::SetItemIndex(int Value) {
  setCurrentIndex(Value >= 0 && Value < Count() ? FItems->index(Value) : QModelIndex());
}

void TListBox::SetItemHeight(int Value) {
  FItemHeight = Value;
  doItemsLayout();
}

void TListBox::resizeEvent(QResizeEvent* Event) {
  QListView::resizeEvent(Event);
  // An owner-drawn row may depend on the width: repaint them all.
  if (FStyle != lbStandard) viewport()->update();
}

// ---- Label that gives way ----

QSize TElidedLabel::minimumSizeHint() const {
  const QMargins M = contentsMargins();
  return {fontMetrics().horizontalAdvance(QStringLiteral("MMMMMMMMMM…")) + M.left() + M.right(),
          QLabel::minimumSizeHint().height()};
}

void TElidedLabel::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  const QRect Area = contentsRect();
  Painter.setPen(palette().color(foregroundRole()));
  Painter.drawText(Area, int(alignment()), fontMetrics().elidedText(text(), Qt::ElideRight, Area.width()));
}

// ---- Helpers ----

void MakeOKCancel(QDialog* Dialog, QPushButton*& OK, QPushButton*& Cancel, const char* CancelName,
                  std::function<void()> OnOK) {
  OK = new QPushButton(Tr::tr("OK"), Dialog);
  OK->setObjectName(QStringLiteral("btOK"));
  OK->setDefault(true);
  Cancel = new QPushButton(Tr::tr("Annuler"), Dialog);
  Cancel->setObjectName(QLatin1String(CancelName));
  QObject::connect(OK, &QPushButton::clicked, Dialog, std::move(OnOK));
  QObject::connect(Cancel, &QPushButton::clicked, Dialog, &QDialog::reject);
}

void DrawExpandArrow(QPainter& Painter, int X, int Y, bool Expanded) {
  const QPolygon Points = Expanded ? QPolygon({QPoint(X + 6, Y + 1), QPoint(X + 6, Y + 7), QPoint(X, Y + 7)})
                                   : QPolygon({QPoint(X + 2, Y), QPoint(X + 6, Y + 4), QPoint(X + 2, Y + 8)});
  Painter.drawPolygon(Points);
}

QPolygon FavoriteStarPoints(int CX, int CY, int Inner, int Outer) {
  const int r = Inner, R = Outer;
  return QPolygon({QPoint(CX, CY - R), QPoint(CX + r * 588 / 1000, CY - r * 809 / 1000),
                   QPoint(CX + R * 915 / 1000, CY - R * 309 / 1000), QPoint(CX + r * 915 / 1000, CY + r * 309 / 1000),
                   QPoint(CX + R * 588 / 1000, CY + R * 809 / 1000), QPoint(CX, CY + r),
                   QPoint(CX - R * 588 / 1000, CY + R * 809 / 1000), QPoint(CX - r * 915 / 1000, CY + r * 309 / 1000),
                   QPoint(CX - R * 915 / 1000, CY - R * 309 / 1000), QPoint(CX - r * 588 / 1000, CY - r * 809 / 1000)});
}

void DrawFavoriteStar(QPainter& Painter, int CX, int CY, int Inner, int Outer) {
  Painter.drawPolygon(FavoriteStarPoints(CX, CY, Inner, Outer));
}

namespace {
bool FromQDateTime(const QDateTime& When, TDateTime& Value) {
  if (!When.isValid()) return false;
  const QDate D = When.date();
  const QTime T = When.time();
  return Vantrel::TryEncodeDateTime({D.year(), D.month(), D.day(), T.hour(), T.minute(), T.second(), T.msec()}, Value);
}
}  // namespace

bool TryStrToDateTimeLoose(const QString& Text, TDateTime& Value) {
  if (Vantrel::ParseDateLoose(Text.toStdString(), Value)) return true;
  const QString Trimmed = Text.trimmed();
  // Fixed formats only: the user's locale must not change what a date means.
  for (const char* Format : {"dd/MM/yyyy HH:mm:ss", "dd/MM/yyyy HH:mm", "dd/MM/yyyy"})
    if (FromQDateTime(QDateTime::fromString(Trimmed, QString::fromLatin1(Format)), Value)) return true;
  QDateTime Iso = QDateTime::fromString(Trimmed, Qt::ISODateWithMs);
  if (Iso.isValid() && Iso.timeSpec() != Qt::LocalTime) Iso = Iso.toLocalTime();
  return FromQDateTime(Iso, Value);
}

void InvalidateMDIClient(QWidget* Form) {
  if (!Form) return;
  if (auto* Area = Form->findChild<QMdiArea*>()) Area->viewport()->update();
}

void ShowFormInFront(QWidget* Form) {
  if (Form->isMinimized()) Form->showNormal();
  if (!Form->isVisible()) Form->show();
  Form->raise();
  Form->activateWindow();
}

namespace {
QPointer<QWidget> TheMainForm;
}

void SetMainForm(QWidget* Form) { TheMainForm = Form; }
QWidget* MainForm() { return TheMainForm; }

bool CloseFormQuery(QWidget* Form) {
  if (auto* Dialog = qobject_cast<QDialog*>(Form); Dialog && Dialog->isModal() && Dialog->isVisible()) {
    Dialog->reject();
    return true;
  }
  QCloseEvent Query;
  QCoreApplication::sendEvent(Form, &Query);
  if (!Query.isAccepted()) return false;
  TCloseAction Action = caHide;
  if (auto* Child = qobject_cast<QMdiSubWindow*>(Form->parentWidget()))
    Action = Child->windowFlags() & Qt::WindowMinimizeButtonHint ? caMinimize : caNone;
  if (auto* Handler = dynamic_cast<TFormCloseHandler*>(Form)) Handler->FormClose(Action);
  if (Action == caNone) return false;
  if (Form == MainForm()) {
    QCoreApplication::quit();
    return true;
  }
  QWidget* Window = qobject_cast<QMdiSubWindow*>(Form->parentWidget()) ? Form->parentWidget() : Form;
  switch (Action) {
    case caHide: Window->hide(); break;
    case caMinimize: Window->showMinimized(); break;
    case caFree: Window->deleteLater(); break;
    case caNone: break;
  }
  return true;
}

QByteArray BitmapToPNG(const QImage& Bitmap) {
  QByteArray Bytes;
  QBuffer Buffer(&Bytes);
  Buffer.open(QIODevice::WriteOnly);
  Bitmap.save(&Buffer, "PNG");
  return Bytes;
}

}  // namespace Carvelin
