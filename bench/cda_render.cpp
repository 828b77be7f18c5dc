// CDA rendering (XML reading included) against reading the same document with
// our XML reader alone, in the same run, on:
//  - the 1.5 MB IPS-FR sample of the shared data (1.2 MB of it three Base64
//    media; a generated structured document of the same size when the shared
//    data is absent);
//  - a generated document whose non-XML body is a 20 MiB PDF.
// The renderer shares the document text, as the retrieved document that owns
// it does, so media and body are decoded only when shown.
// Counters: "ratio" is the rendering time over the reading time (target: at
// most 3), "view_ratio" the same with every medium and the body decoded
// afterwards (what showing all of them costs), "render_MBps" and
// "parse_MBps" the document bytes per second, and "mem_ratio" the peak heap
// held while rendering over the document size (target: at most 3; the
// document text itself is not counted).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "BenchInputs.h"
#include "Talven.Carvelin.ClinicalDocuments.h"
#include "Vantrel.XML.Tree.h"

namespace {

std::atomic<int64_t> Live{0}, Peak{0};

void Counted(int64_t Delta) {
  const int64_t Now = Live.fetch_add(Delta) + Delta;
  int64_t P = Peak.load();
  while (Now > P && !Peak.compare_exchange_weak(P, Now)) {
  }
}

void* CountedAlloc(size_t Size) {
  void* P = std::malloc(Size ? Size : 1);
  if (!P) throw std::bad_alloc();
  Counted(int64_t(malloc_usable_size(P)));
  return P;
}

void CountedFree(void* P) {
  if (!P) return;
  Counted(-int64_t(malloc_usable_size(P)));
  std::free(P);
}

}  // namespace

void* operator new(size_t Size) { return CountedAlloc(Size); }
void* operator new[](size_t Size) { return CountedAlloc(Size); }
void operator delete(void* P) noexcept { CountedFree(P); }
void operator delete[](void* P) noexcept { CountedFree(P); }
void operator delete(void* P, size_t) noexcept { CountedFree(P); }
void operator delete[](void* P, size_t) noexcept { CountedFree(P); }

namespace {

using Clock = std::chrono::steady_clock;

std::string Header() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ClinicalDocument xmlns=\"urn:hl7-org:v3\">\n"
         "  <title>Document de mesure</title>\n  <versionNumber value=\"1\"/>\n"
         "  <recordTarget><patientRole><id root=\"1.2.250.1.213.1.4.8\" extension=\"279035121518989\"/>"
         "<patient><name><given>Jeanne</given><family qualifier=\"BR\">DURAND</family></name>"
         "<birthTime value=\"19790801\"/></patient></patientRole></recordTarget>\n";
}

// Sections of narrative tables, about 250 bytes per row.
std::string GeneratedStructured(size_t Rows) {
  std::string S = Header() + "  <component><structuredBody>\n";
  for (size_t I = 0; I < Rows; ++I) {
    if (I % 100 == 0) {
      if (I) S += "</tbody></table></text></section></component>\n";
      S += "<component><section><templateId root=\"1.2.250.1." + std::to_string(I) +
           "\"/><title>Section " + std::to_string(I / 100) + "</title><text><table><tbody>";
    }
    S += "<tr><td>2024-03-05</td><td><content styleCode=\"Bold\">Hémoglobine &amp; hématocrite</content></td>"
         "<td>13,5 g/dL</td><td>12 &lt; x &lt; 16</td><td ID=\"r" + std::to_string(I) +
         "\">Résultat dans les valeurs de référence</td></tr>\n";
  }
  return S + "</tbody></table></text></section></component>\n  </structuredBody></component>\n</ClinicalDocument>\n";
}

using PText = std::shared_ptr<const std::string>;

const PText& IPS() {
  static const PText Doc = [] {
    std::string Text = BenchInputs::ReadAll(BenchInputs::SamplesDir() / "IPS-FR_2024.01.xml");
    if (Text.empty()) Text = GeneratedStructured(6000);  // about 1.5 MB
    return std::make_shared<const std::string>(std::move(Text));
  }();
  return Doc;
}

// 20 MiB of PDF: four Base64 symbols for three bytes.
const PText& Pdf20() {
  static const PText Doc = std::make_shared<const std::string>(BenchInputs::Base64HeavyXML((20u << 20) / 3 * 4));
  return Doc;
}

Vantrel::TDateTime FixedTime() { return 45356.5; }

void Compare(benchmark::State& State, const PText& Doc) {
  double RenderSeconds = 0, ParseSeconds = 0, ViewSeconds = 0;
  int64_t RenderPeak = 0;
  for (auto _ : State) {
    {
      const auto T0 = Clock::now();
      Vantrel::TXMLTree Tree;
      Tree.BuildFrom(*Doc);
      benchmark::DoNotOptimize(Tree.Root().Length());
      ParseSeconds += std::chrono::duration<double>(Clock::now() - T0).count();
    }
    {
      const int64_t Base = Live.load();
      Peak.store(Base);
      const auto T0 = Clock::now();
      Talven::TClinicalDocument D(FixedTime);
      D.Parse(Doc);
      benchmark::DoNotOptimize(D.HtmlStream.data());
      const auto T1 = Clock::now();
      RenderPeak = std::max(RenderPeak, Peak.load() - Base);
      benchmark::DoNotOptimize(D.NonXMLBody.Bytes().data());
      for (const Talven::TMedia& M : D.MediaList.Items()) benchmark::DoNotOptimize(M.Data.Bytes().data());
      const double Seconds = std::chrono::duration<double>(T1 - T0).count();
      RenderSeconds += Seconds;
      ViewSeconds += std::chrono::duration<double>(Clock::now() - T0).count();
      State.SetIterationTime(Seconds);
    }
  }
  const double Bytes = double(State.iterations()) * double(Doc->size());
  State.SetBytesProcessed(int64_t(Bytes));
  State.counters["doc_MB"] = double(Doc->size()) / 1e6;
  State.counters["render_MBps"] = Bytes / RenderSeconds / 1e6;
  State.counters["parse_MBps"] = Bytes / ParseSeconds / 1e6;
  State.counters["ratio"] = RenderSeconds / ParseSeconds;
  State.counters["view_ratio"] = ViewSeconds / ParseSeconds;
  State.counters["mem_ratio"] = double(RenderPeak) / double(Doc->size());
}

void RenderIPS(benchmark::State& State) { Compare(State, IPS()); }
void RenderPdf20(benchmark::State& State) { Compare(State, Pdf20()); }

}  // namespace

BENCHMARK(RenderIPS)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RenderPdf20)->UseManualTime()->Unit(benchmark::kMillisecond);
