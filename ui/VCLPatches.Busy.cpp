// The busy indicator: eight grey dots turning in a paint box, one shared
// 40 ms timer for every animated box. Qt paints only inside a paint event,
// so a tick asks each visible box for a repaint and the box's paint event
// draws the frame.
#include <QApplication>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

#include "VCLPatches.h"

namespace Carvelin {

namespace {
TTimerList* TheTimerList = nullptr;
bool Painting = false;  // a frame is being drawn

qint64 SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
std::function<qint64()> BusyClock = SteadyMilliseconds;
}  // namespace

void SetBusyClock(std::function<qint64()> Clock) { BusyClock = Clock ? std::move(Clock) : SteadyMilliseconds; }

TPaintBox::TPaintBox(QWidget* Parent) : QWidget(Parent), Color(palette().color(QPalette::Window)) {}

void TPaintBox::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  if (IsBusyIndicator(this)) return PaintBusyIndicator(this, Painter);
  Painter.fillRect(rect(), Color);
  if (OnPaint) OnPaint(this, Painter);
}

TTimerList::TTimerList(QObject* Owner) : QTimer(Owner) {
  setInterval(40);
  connect(this, &QTimer::timeout, this, &TTimerList::Tick);
  start();
}

TTimerList::~TTimerList() {
  if (TheTimerList == this) TheTimerList = nullptr;
}

void TTimerList::Tick() {
  for (auto It = FItems.rbegin(); It != FItems.rend(); ++It)
    if ((*It)->isVisible()) (*It)->update();
}

TTimerList* BusyTimerList() { return TheTimerList; }

bool IsBusyIndicator(const TPaintBox* Box) {
  return TheTimerList && std::find(TheTimerList->Items().begin(), TheTimerList->Items().end(), Box) !=
                             TheTimerList->Items().end();
}

void SetBusyIndicator(TPaintBox* Box, bool Busy) {
  if (Busy == IsBusyIndicator(Box)) return;
  if (Busy) {
    if (!TheTimerList) TheTimerList = new TTimerList(QCoreApplication::instance());
    TheTimerList->FItems.push_back(Box);
    // A box destroyed while busy leaves the list; the timer stays.
    QObject::connect(Box, &QObject::destroyed, TheTimerList, [List = TheTimerList, Box] {
      std::erase(List->FItems, Box);
    });
    return;
  }
  std::erase(TheTimerList->FItems, Box);
  QObject::disconnect(Box, &QObject::destroyed, TheTimerList, nullptr);
  if (TheTimerList->FItems.empty()) {
    delete TheTimerList;
    TheTimerList = nullptr;
  }
  Box->update();
}

void PaintBusyIndicator(TPaintBox* Box, QPainter& Painter) {
  if (Painting || !Box->isVisible()) return;
  Painting = true;
  // One turn every 4 seconds.
  const qint64 T = BusyClock() % 4000;
  Painter.fillRect(Box->rect(), Box->Color);
  if (Box->OnPaint) {
    Painter.save();
    Box->OnPaint(Box, Painter);
    Painter.restore();
  }
  const int CX = Box->width() / 2, CY = Box->height() / 2, R = 3 * CX / 4;
  const double Pi = std::numbers::pi;
  for (int I = 0; I < 8; ++I) {
    const int G = 191 + int(std::lround(32 * std::cos(I * Pi / 4)));
    const double A = std::cos(T * Pi / 4000) * (1 + I / 4.0) * Pi;
    const int X = CX + int(std::lround(R * std::sin(A))) - 2;
    const int Y = CY + int(std::lround(R * std::cos(A))) - 2;
    Painter.fillRect(QRect(X, Y, 4, 4), QColor(G, G, G));
  }
  Painting = false;
}

}  // namespace Carvelin
