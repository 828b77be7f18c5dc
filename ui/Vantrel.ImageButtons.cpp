#include "Vantrel.ImageButtons.h"

#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

namespace Vantrel {

TImageButton::TImageButton(QWidget* Parent) : QAbstractButton(Parent) {
  resize(105, 105);
  setAttribute(Qt::WA_Hover);
}

void TImageButton::SetImages(Carvelin::TImageList* Value) {
  if (FImages) disconnect(FImages, nullptr, this, nullptr);
  FImages = Value;
  if (FImages) connect(FImages, &Carvelin::TImageList::Changed, this, qOverload<>(&QWidget::update));
  update();
}

void TImageButton::SetImageIndex(int Value) {
  FImageIndex = Value;
  update();
}

void TImageButton::SetTransparent(bool Value) {
  FTransparent = Value;
  update();
}

void TImageButton::SetDropDown(QMenu* Value) {
  FDropDown = Value;
  update();
}

bool TImageButton::HasDropDown() const { return FDropDown || OnDropDown; }

void TImageButton::enterEvent(QEnterEvent* Event) {
  if (isEnabled()) {
    FMouseInside = true;
    update();
  }
  QAbstractButton::enterEvent(Event);
}

void TImageButton::leaveEvent(QEvent* Event) {
  FMouseInside = false;
  update();
  QAbstractButton::leaveEvent(Event);
}

void TImageButton::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() == Qt::LeftButton) {
    FInDropDown = OnDropDownPart(Event->position().toPoint().x());
    update();
  }
  QAbstractButton::mousePressEvent(Event);
}

void TImageButton::mouseMoveEvent(QMouseEvent* Event) {
  if (isDown() || (Event->buttons() & Qt::LeftButton)) {
    const QPoint Pos = Event->position().toPoint();
    const bool Inside = rect().contains(Pos);
    const bool InDropDown = Inside && OnDropDownPart(Pos.x());
    if (Inside != FMouseInside || InDropDown != FInDropDown) {
      FMouseInside = Inside;
      FInDropDown = InDropDown;
      update();
    }
  }
  QAbstractButton::mouseMoveEvent(Event);
}

void TImageButton::mouseReleaseEvent(QMouseEvent* Event) {
  const bool Pressed = isDown() && Event->button() == Qt::LeftButton && hitButton(Event->position().toPoint());
  if (Pressed && FInDropDown) {
    // The drop-down part is not a click of the button.
    setDown(false);
    update();
    if (FDropDown)
      FDropDown->popup(mapToGlobal(QPoint(0, height())));
    else if (OnDropDown)
      OnDropDown();
    Event->accept();
    return;
  }
  QAbstractButton::mouseReleaseEvent(Event);
  update();
}

void TImageButton::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  const int W = width(), H = height();
  const bool WithDropDown = HasDropDown();
  if (FMouseInside || isDown()) {
    Painter.setPen(QColor(192, 192, 192));
    const QColor Face = palette().color(backgroundRole());
    // Rectangles as the system draws them: right and bottom edges excluded.
    auto Part = [&](int Left, int Right, bool Hot) {
      const QRect R(Left, 0, Right - Left - 1, H - 1);
      if (!FTransparent) Painter.fillRect(R.adjusted(0, 0, 1, 1), Hot ? QColor(192, 192, 192) : Face);
      Painter.drawRect(R);
    };
    const bool PressedInside = isDown() && FMouseInside;
    if (WithDropDown) {
      Part(0, W - 15, PressedInside && !FInDropDown);
      Part(W - 16, W, PressedInside && FInDropDown);
    } else {
      Part(0, W, PressedInside);
    }
  }
  if (WithDropDown) {
    const QColor Arrow = isEnabled() ? QColor(Qt::black) : QColor(128, 128, 128);
    const int Left = W - 16 + 4, Top = (H - 4) / 2;
    Painter.setPen(Arrow);
    Painter.setBrush(Arrow);
    Painter.drawPolygon(QPolygon({QPoint(Left, Top), QPoint(Left + 8, Top), QPoint(Left + 4, Top + 4)}));
    Painter.setBrush(Qt::NoBrush);
  }
  if (FImages && FImageIndex >= 0)
    FImages->Draw(Painter, (W - FImages->Width()) / 2, (H - FImages->Height()) / 2, FImageIndex, isEnabled());
  if (OnPaint) OnPaint(this, Painter);
}

}  // namespace Vantrel
