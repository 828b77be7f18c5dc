// Painting one screen of the virtual list box: 100,000 rows against 100 rows
// in the same run. The list offers only the rows in the painted area, so the
// two should cost the same. Counter: ratio (long / short) of the mean times.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <chrono>
#include <cstdlib>

#include "VCLPatches.h"

namespace {

QApplication& App() {
  static int Argc = 1;
  static char Name[] = "bench_virtual_list";
  static char* Argv[] = {Name, nullptr};
  static QApplication* Instance = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new QApplication(Argc, Argv);
  }();
  return *Instance;
}

double PaintScreen(int Rows, int Repeats) {
  App();
  Carvelin::TVirtualListBox List;
  List.resize(400, 600);
  List.SetCount(Rows);
  List.OnDrawItem = [](Carvelin::TVirtualListBox*, QPainter& P, int Row, QRect R, bool) {
    P.drawText(R.adjusted(4, 0, 0, 0), Qt::AlignVCenter, QString("Ligne %1").arg(Row));
  };
  List.SetScrollTop(Rows * 24 / 2);
  QImage Target(List.size(), QImage::Format_ARGB32_Premultiplied);
  const auto Start = std::chrono::steady_clock::now();
  for (int I = 0; I < Repeats; ++I) List.render(&Target);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count() / Repeats;
}

void BM_VirtualListScreen(benchmark::State& State) {
  double Long = 0, Short = 0;
  for (auto _ : State) {
    Long = PaintScreen(100000, 20);
    Short = PaintScreen(100, 20);
  }
  State.counters["ms_100000_rows"] = Long;
  State.counters["ms_100_rows"] = Short;
  State.counters["ratio"] = Long / Short;
}
BENCHMARK(BM_VirtualListScreen)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
