// A modal choice of one row in a virtual list under a header. The list has
// the keyboard focus when the dialog opens (Up and Down select, Enter is
// OK); OK closes with the result OK only when a row is selected.
#pragma once

#include <QDialog>

#include <initializer_list>
#include <utility>

#include "VCLPatches.h"

class QHBoxLayout;
class QLabel;
class QPushButton;

namespace Carvelin {

struct TListSection {
  QString Text;
  int Width;
};

class TFrmListChoice : public QDialog {
  Q_OBJECT
 public:
  TFrmListChoice(QWidget* Parent, const QString& Caption, const QString& Prompt,
                 std::initializer_list<TListSection> Sections);

  // The texts of a row, one per header section.
  virtual QStringList Cells(int Row) const = 0;
  // The cell rectangles of a row: the first cell spans section 0 from the
  // row's left, each next one starts a pixel after the previous one's right.
  static std::vector<QRect> CellRects(const QRect& Row, const std::vector<int>& Widths);

  // Shows the rows with Selected preselected; the chosen row or -1.
  int Choose(int Count, int Selected);

  QLabel* lbPrompt;
  THeaderControl* Headers;
  TVirtualListBox* List;
  QHBoxLayout* Buttons;
  QPushButton* btOK;
  QPushButton* btCancel;

 public slots:
  void accept() override;

 protected:
  void showEvent(QShowEvent* Event) override;

 private:
  void DrawRow(QPainter& Painter, int Row, const QRect& Rect) const;
};

}  // namespace Carvelin
