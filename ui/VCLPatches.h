// The adjusted standard controls every window is built from, and their small
// helpers: image lists scaled to the screen density (with a disk cache), the
// scroll box that scrolls one line per wheel step, the pop-up menu with a
// caption band and columns, the date picker with blank dates and a tolerant
// typed input, the owner-drawn list box, the frame that deletes itself
// later; the busy indicator (VCLPatches.Busy.cpp) and the virtual list box
// with its in-place editors (VCLPatches.VirtualList.cpp).
//
// Everything here belongs to the user-interface thread. Widgets are owned by
// their Qt parent; lists, menus and editors given to a control are not owned
// by it unless said so.
#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPointer>
#include <QScrollArea>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <stdexcept>
#include <vector>

#include "Vantrel.DateTime.h"

class QCalendarWidget;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPainter;
class QPushButton;
class QStandardItemModel;
class QStringListModel;

namespace Carvelin {

using Vantrel::TDateTime;

// ---- Screen density ----

// Logical dots per inch of the primary screen, or the value a test set.
int ScreenDPI();
void SetScreenDPI(int Dpi);  // 0: the primary screen again
// N at 96 dots per inch, else N x density / 96 rounded to the nearest.
int ScaleToDPI(int N);

// ---- Image list ----

// Fixed-size 32-bit ARGB images, drawn by index. The object name is the
// list's name in the cache of Resize.
class TImageList : public QObject {
  Q_OBJECT
 public:
  TImageList(int Width, int Height, QObject* Owner = nullptr);

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  int Count() const { return int(FImages.size()); }
  // 1 keeps a disabled image in its own colours; any other value greys it.
  int Tag = 0;

  // Adds an image (scaled to the list's size when it differs); its index.
  int Add(const QImage& Image);
  QImage Image(int Index) const;  // null outside 0..Count-1
  void Clear();
  // Draws image Index at (X, Y); a disabled image is desaturated. Nothing
  // for an index outside the list.
  void Draw(QPainter& Painter, int X, int Y, int Index, bool Enabled = true) const;

  // All images side by side in one transparent row.
  QImage GetStrip() const;
  // Replaces the images by the cells of a strip one image high, or of the
  // older two-row strip: images over masks, a white mask pixel transparent.
  void SetStrip(const QImage& Strip);

  // Scales the list to the screen density through the cache folder; nothing
  // at 96 dots per inch.
  void Resize();
  // $XDG_CACHE_HOME/Carvelin2/ImageList (~/.cache when the variable is unset).
  static QString CacheFolder();

 signals:
  void Changed();

 private:
  int FWidth, FHeight;
  std::vector<QImage> FImages;
};

// ---- Scroll box: one wheel step scrolls one line ----

// A notch (120) scrolls one line; the finer steps of touchpads and smooth
// wheels add up until they make a line, or scroll by their pixels when the
// device gives them.
class TScrollBox : public QScrollArea {
  Q_OBJECT
 public:
  using QScrollArea::QScrollArea;

 protected:
  void wheelEvent(QWheelEvent* Event) override;

 private:
  int FWheelRest = 0;  // eighths of a degree not yet scrolled
};

// ---- Pop-up menu with a caption band and columns ----

// The first item of each column for Count items split into columns of at
// most MaxItems; empty when one column is enough.
std::vector<int> SplitColsBreaks(int Count, int MaxItems);

class TPopupMenu : public QMenu {
  Q_OBJECT
 public:
  using QMenu::QMenu;

  QString Caption() const { return FCaption; }
  void SetCaption(const QString& Value);
  // Lays the items out in columns of at most MaxItems.
  void SplitCols(int MaxItems);
  const std::vector<int>& ColumnBreaks() const { return FBreaks; }
  int BandWidth() const;  // 0 without a caption
  QRect ItemRect(const QAction* Action) const;

  bool FChanged = false;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void actionEvent(QActionEvent* Event) override;

 private:
  void Layout() const;
  QAction* ItemAt(const QPoint& Pos) const;
  QString FCaption;
  std::vector<int> FBreaks;
  mutable std::vector<QRect> FRects;  // one per action, in actions() order
  mutable QSize FSize;
};

// ---- Date picker ----

class EDateTimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A date below 2 (30/12/1899, 31/12/1899) is no date and shows nothing.
class TDateTimePicker : public QWidget {
  Q_OBJECT
 public:
  enum TKind { dtkDate, dtkTime };

  explicit TDateTimePicker(QWidget* Parent = nullptr);

  TKind Kind() const { return FKind; }
  void SetKind(TKind Value);
  TDateTime DateTime() const { return FDateTime; }
  // Throws EDateTimeError for a date outside MinDate..MaxDate.
  void SetDateTime(TDateTime Value);
  bool ShowCheckbox() const { return FShowCheckbox; }
  void SetShowCheckbox(bool Value);
  bool Checked() const;
  void SetChecked(bool Value);
  bool ParseInput() const { return FParseInput; }
  void SetParseInput(bool Value);
  TDateTime MinDate() const { return FMinDate; }
  TDateTime MaxDate() const { return FMaxDate; }
  void SetMinDate(TDateTime Value) { FMinDate = Value; }
  void SetMaxDate(TDateTime Value) { FMaxDate = Value; }
  // Range and value in one step: the value is brought inside the range.
  void SetDates(TDateTime ADate, TDateTime AMin, TDateTime AMax);

  bool FKeepEmptyOnFocus = false;

  QString Text() const;  // what the control shows
  QLineEdit* Edit() const { return FEdit; }
  // Opens the calendar under the control (made on first use).
  void DropDown();
  QCalendarWidget* Calendar() const { return FCalendar; }

 signals:
  void OnChange();  // only for the user's changes

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void CheckRange(TDateTime Value) const;
  void ShowValue();
  void UserSets(TDateTime Value);
  void InputDone();
  QString FormatValue(TDateTime Value) const;

  TKind FKind = dtkDate;
  TDateTime FDateTime = 0;
  TDateTime FMinDate = 0, FMaxDate = 0;
  bool FShowCheckbox = false, FParseInput = false;
  QCheckBox* FCheck = nullptr;
  QLineEdit* FEdit = nullptr;
  QPushButton* FButton = nullptr;
  QWidget* FPopup = nullptr;
  QCalendarWidget* FCalendar = nullptr;
  QPushButton* FToday = nullptr;
};

// ---- Owner-drawn list box ----

enum TListBoxStyle { lbStandard, lbOwnerDrawFixed, lbOwnerDrawVariable, lbVirtual };

class TListBox : public QListView {
  Q_OBJECT
 public:
  using TDrawItemEvent = std::function<void(TListBox*, QPainter&, int Index, QRect Rect, bool Selected)>;

  explicit TListBox(QWidget* Parent = nullptr);

  QStringListModel* Items() const { return FItems; }
  TListBoxStyle Style() const { return FStyle; }
  void SetStyle(TListBoxStyle Value);
  int Count() const;
  int ItemIndex() const;
  void SetItemIndex(int Value);
  int ItemHeight() const { return FItemHeight; }
  void SetItemHeight(int Value);

  TDrawItemEvent OnDrawItem;

 protected:
  void resizeEvent(QResizeEvent* Event) override;

 private:
  QStringListModel* FItems;
  TListBoxStyle FStyle = lbStandard;
  int FItemHeight;
};

// ---- Frame ----

class TFrame : public QWidget {
  Q_OBJECT
 public:
  using QWidget::QWidget;
  // Deletes the frame once control is back in the event loop, so that its
  // own handlers may call it.
  void Release() { deleteLater(); }
};

// ---- Label that gives way ----

// A one-line label that a narrow window shortens with an ellipsis rather
// than growing to its whole text; text() keeps the whole text.
class TElidedLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* Event) override;
};

// ---- Helpers ----

// A dialog's "OK" (its default button, named btOK, calling OnOK) and
// "Annuler" (named CancelName, rejecting the dialog).
void MakeOKCancel(QDialog* Dialog, QPushButton*& OK, QPushButton*& Cancel, const char* CancelName,
                  std::function<void()> OnOK);

void DrawExpandArrow(QPainter& Painter, int X, int Y, bool Expanded);
QPolygon FavoriteStarPoints(int CX, int CY, int Inner, int Outer);
void DrawFavoriteStar(QPainter& Painter, int CX, int CY, int Inner, int Outer);
// The tolerant day-month-year reading, then "dd/mm/yyyy[ hh:nn[:ss]]" and
// ISO 8601; never the user's locale.
bool TryStrToDateTimeLoose(const QString& Text, TDateTime& Value);
// Repaints the multi-document area of Form entirely, background included.
void InvalidateMDIClient(QWidget* Form);
void ShowFormInFront(QWidget* Form);

enum TCloseAction { caNone, caHide, caFree, caMinimize };
// A form that chooses what closing does implements this.
class TFormCloseHandler {
 public:
  virtual ~TFormCloseHandler() = default;
  virtual void FormClose(TCloseAction& Action) = 0;
};
// The main form: closing it ends the application.
void SetMainForm(QWidget* Form);
QWidget* MainForm();
// Closes Form as the window's close command does; false when it stays.
bool CloseFormQuery(QWidget* Form);

QByteArray BitmapToPNG(const QImage& Bitmap);

// ---- Busy indicator (VCLPatches.Busy.cpp) ----

class TPaintBox : public QWidget {
  Q_OBJECT
 public:
  explicit TPaintBox(QWidget* Parent = nullptr);
  QColor Color;
  std::function<void(TPaintBox*, QPainter&)> OnPaint;

 protected:
  void paintEvent(QPaintEvent* Event) override;
};

// The one animation timer, owned by the application, alive while at least
// one paint box is busy. Boxes are not owned; a destroyed box leaves the list.
class TTimerList : public QTimer {
  Q_OBJECT
 public:
  explicit TTimerList(QObject* Owner);
  ~TTimerList() override;
  const std::vector<TPaintBox*>& Items() const { return FItems; }

 private:
  friend void SetBusyIndicator(TPaintBox*, bool);
  void Tick();
  std::vector<TPaintBox*> FItems;
};

TTimerList* BusyTimerList();  // nullptr while nothing is busy
void SetBusyIndicator(TPaintBox* Box, bool Busy);
bool IsBusyIndicator(const TPaintBox* Box);
// One frame: the box's colour, its own painting, then the eight dots.
void PaintBusyIndicator(TPaintBox* Box, QPainter& Painter);
// The animation clock in milliseconds (a steady clock unless a test sets one).
void SetBusyClock(std::function<qint64()> Clock);

// ---- Virtual list box (VCLPatches.VirtualList.cpp) ----

// A header whose sections are the columns of a virtual list box.
class THeaderControl : public QHeaderView {
  Q_OBJECT
 public:
  explicit THeaderControl(QWidget* Parent = nullptr);
  int AddSection(const QString& Text, int Width);
  int SectionCount() const { return count(); }
  int SectionWidth(int Index) const { return sectionSize(Index); }
  void SetSectionWidth(int Index, int Width) { resizeSection(Index, Width); }
  QString SectionText(int Index) const;
  QStandardItemModel* Sections() const { return FSections; }
  // As high as its captions in a layout (the scroll area's minimum would
  // make it several lines high): the list under it takes the rest.
  QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }

 private:
  QStandardItemModel* FSections;
};

// An edit box with a "..." button 25 pixels wide at its right.
class TEditPanel : public QFrame {
  Q_OBJECT
 public:
  explicit TEditPanel(QWidget* Parent = nullptr);
  QLineEdit* FEdit;
  QPushButton* FButton;
};

class TVirtualListBox : public QAbstractScrollArea {
  Q_OBJECT
 public:
  using TDrawItemEvent =
      std::function<void(TVirtualListBox*, QPainter&, int Index, QRect Rect, bool Selected)>;

  explicit TVirtualListBox(QWidget* Parent = nullptr);

  int ItemHeight() const { return FItemHeight; }
  void SetItemHeight(int Value);
  int ItemIndex() const { return FItemIndex; }
  void SetItemIndex(int Value);
  int Count() const { return FCount; }
  void SetCount(int Value);
  int ScrollTop() const { return FScrollTop; }
  void SetScrollTop(int Value);
  // Columns wider than the box scroll sideways, their header with them.
  int ScrollLeft() const { return FScrollLeft; }
  void SetScrollLeft(int Value);
  TListBoxStyle Style() const { return FStyle; }
  void SetStyle(TListBoxStyle Value) { FStyle = Value; }
  THeaderControl* Headers() const { return FHeaders; }
  void SetHeaders(THeaderControl* Value);

  QRect ItemRect(int Index) const;
  int ColLeft(int Col) const;
  bool RowClick(int Index) const;
  int ClientHeight() const;

  void EditDate(int Row, int Col, TDateTime Value);
  void EditText(int Row, int Col, const QString& Value, int MaxLength = 0);
  QComboBox* GetCombo();
  QComboBox* EditCombo(int Row, int Col);
  void EditTextEx(int Row, int Col, const QString& Value, std::function<void()> OnClick, int MaxLength = 0);
  QString GetTextEx() const;
  void SetTextEx(const QString& Value);  // throws std::runtime_error without a panel
  void SetEditor(QWidget* Editor, int Row, int Col);
  void HideEditor();
  QWidget* Editor() const { return FEditor; }
  void ShowControl(QWidget* AControl);
  void Invalidate();

  TDateTimePicker* FPicker = nullptr;
  QLineEdit* FEdit = nullptr;
  QComboBox* FCombo = nullptr;
  TEditPanel* FEditPanel = nullptr;

  TDrawItemEvent OnDrawItem;
  // Keys typed in a row (less than a second apart) are searched for: the
  // answer, a row index or -1, becomes the selection.
  std::function<int(const QString& Typed)> OnDataFind;

 signals:
  void OnChange();  // the selection changed by the user
  void OnScroll();
  void OnClick();
  void OnCellClick(int Row, int Col);
  void OnCloseEditor(int Row, int Col);

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;
  void wheelEvent(QWheelEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void scrollContentsBy(int Dx, int Dy) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void UpdateScrollBar();
  int ContentWidth() const;
  void ScrollAction(int Action);
  void PlaceEditor();
  void CloseEditor();
  void Click(const QPoint& Pos);
  bool FindTyped(const QString& Text);
  void UserSelects(int Index);
  void Adopt(QWidget* Editor);
  void FocusChanged(QWidget* Old, QWidget* Now);

  int FItemHeight = 24;
  int FItemIndex = -1;
  int FCount = 0;
  int FPageHeight = 0;
  int FScrollTop = 0;
  int FScrollLeft = 0;
  QPoint FMouse{-1, -1};
  bool FPressed = false;
  QPointer<THeaderControl> FHeaders;
  QWidget* FEditor = nullptr;
  QPoint FEditing;  // x = column, y = row
  QString FTyped;
  QElapsedTimer FTypedAt;
  TListBoxStyle FStyle = lbVirtual;
};

// Draws one row's texts in the header's sections, as the lists lay them out:
// each cell from the previous cell's right + 11 to that + section width - 10
// (the first from Row's left + 1), one line, end ellipsis. Service texts are
// drawn as they are, never as markup or mnemonics.
void DrawHeaderCells(QPainter& Canvas, const THeaderControl& Headers, QRect Row, const QStringList& Texts);

}  // namespace Carvelin
