// A flat button showing one image of a list, optionally with a drop-down
// part: the 16 pixels at its right edge, present when a menu or an
// OnDropDown handler is set. The image list and the menu are not owned.
#pragma once

#include <QAbstractButton>
#include <QPointer>

#include <functional>

#include "VCLPatches.h"

namespace Vantrel {

class TImageButton : public QAbstractButton {
  Q_OBJECT
 public:
  explicit TImageButton(QWidget* Parent = nullptr);

  Carvelin::TImageList* Images() const { return FImages; }
  void SetImages(Carvelin::TImageList* Value);
  int ImageIndex() const { return FImageIndex; }
  void SetImageIndex(int Value);
  bool Transparent() const { return FTransparent; }
  void SetTransparent(bool Value);
  QMenu* DropDown() const { return FDropDown; }
  void SetDropDown(QMenu* Value);
  bool HasDropDown() const;
  bool MouseInside() const { return FMouseInside; }
  bool InDropDown() const { return FInDropDown; }

  std::function<void()> OnDropDown;
  std::function<void(TImageButton*, QPainter&)> OnPaint;

  QSize sizeHint() const override { return QSize(105, 105); }

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void enterEvent(QEnterEvent* Event) override;
  void leaveEvent(QEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;

 private:
  bool OnDropDownPart(int X) const { return HasDropDown() && X > width() - 16; }
  QPointer<Carvelin::TImageList> FImages;
  int FImageIndex = -1;
  bool FTransparent = false;
  bool FMouseInside = false;
  bool FInDropDown = false;
  QPointer<QMenu> FDropDown;
};

}  // namespace Vantrel
