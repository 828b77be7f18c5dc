// Parsing speed and memory of the XML tree reader against pugixml on the same
// bytes, in the same run, for:
//  - markup-dense and Base64-heavy generated documents at 100 KB, 1.5 MB and 20 MB;
//  - the IPS-FR sample of the shared data, when present.
//
// pugixml parses in place (load_buffer_inplace on a copy made outside the
// timing) with parse_cdata | parse_declaration: the work our reader does.
// Our reader decodes no entity, normalises no line end and no attribute
// white space while parsing (values are decoded when they are asked for), so
// pugixml runs without parse_escapes, parse_eol and parse_wconv_attribute; it
// keeps CDATA sections and the declaration's attributes, as ours does.
//
// Counters (every ratio is ours / pugixml, below 1 is better for ours):
//  - ours_ms, pugixml_ms, ratio: the time of one parse (tree built and freed),
//    page faults included: the C library gives a freed pugixml tree's pages
//    back, so each parse of a large document touches fresh pages; ours keeps
//    a freed tree's chunks for the next parse, up to XMLTreeCacheLimit;
//  - ours_kept, pugixml_kept, kept_ratio: heap bytes the tree holds after
//    parsing (the source text is not counted for either), counted at the C
//    library's allocation entry points, which this program replaces; the
//    chunks ours took from its cache count as the tree's;
//  - ours_idle_cache: the bytes ours keeps for the next parse once its tree
//    is freed (XMLTreeCachedBytes, shared by all the benchmarks of the run);
//  - ours_faults, pugixml_faults: minor page faults per parse in a loop of
//    repeated parses of one reader (what a process reading many documents pays).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

#include <pugixml.hpp>

#include "BenchInputs.h"
#include "HeapCount.h"
#include "Vantrel.XML.Tree.h"

namespace {

constexpr unsigned PugiOptions = pugi::parse_cdata | pugi::parse_declaration;

long MinorFaults() {
  struct rusage U {};
  getrusage(RUSAGE_SELF, &U);
  return U.ru_minflt;
}

// One parse of each reader; Kept gets the heap bytes its tree holds.
struct TOurs {
  const std::string& Doc;
  void Refresh() const {}
  // The chunks the tree took from the reader's cache count as its own.
  void Parse(size_t* Kept = nullptr) const {
    size_t Before = HeapCount::HeldBytes() - Vantrel::XMLTreeCachedBytes();
    Vantrel::TXMLTree Tree;
    Tree.BuildFrom(Doc);
    benchmark::DoNotOptimize(Tree.Root().Length());
    if (Kept) *Kept = HeapCount::HeldBytes() - Vantrel::XMLTreeCachedBytes() - Before;
  }
};

struct TPugi {
  const std::string& Doc;
  std::vector<char>& Buffer;  // the in-place copy, refreshed outside the timing
  void Refresh() const { std::memcpy(Buffer.data(), Doc.data(), Doc.size()); }
  void Parse(size_t* Kept = nullptr) const {
    size_t Before = HeapCount::HeldBytes();
    pugi::xml_document Tree;
    pugi::xml_parse_result R = Tree.load_buffer_inplace(Buffer.data(), Doc.size(), PugiOptions);
    if (!R) throw std::runtime_error(R.description());
    benchmark::DoNotOptimize(Tree.first_child());
    if (Kept) *Kept = HeapCount::HeldBytes() - Before;
  }
};

template <typename TReader>
double Seconds(const TReader& Reader) {
  auto T0 = std::chrono::steady_clock::now();
  Reader.Parse();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
}

// Minor page faults per parse over a run of repeated parses, after one to warm up.
// The copy pugixml parses in place is refreshed outside the count: a page
// written by the copy is no fault of the parser.
template <typename TReader>
double FaultsPerParse(const TReader& Reader) {
  constexpr int Runs = 10;
  Reader.Refresh();
  Reader.Parse();
  long Faults = 0;
  for (int I = 0; I < Runs; ++I) {
    Reader.Refresh();
    long Before = MinorFaults();
    Reader.Parse();
    Faults += MinorFaults() - Before;
  }
  return double(Faults) / Runs;
}

void Compare(benchmark::State& State, const std::string& Doc) {
  std::vector<char> Buffer(Doc.size() + 1);
  const TOurs Ours{Doc};
  const TPugi Pugi{Doc, Buffer};
  double OursSeconds = 0, PugiSeconds = 0;
  for (auto _ : State) {
    OursSeconds += Seconds(Ours);
    Pugi.Refresh();
    PugiSeconds += Seconds(Pugi);
  }
  size_t OursKept = 0, PugiKept = 0;
  Ours.Parse(&OursKept);
  Pugi.Refresh();
  Pugi.Parse(&PugiKept);
  const double N = double(State.iterations());
  State.counters["ours_ms"] = OursSeconds / N * 1e3;
  State.counters["pugixml_ms"] = PugiSeconds / N * 1e3;
  State.counters["ratio"] = PugiSeconds > 0 ? OursSeconds / PugiSeconds : 0;
  State.counters["ours_kept"] = double(OursKept);
  State.counters["pugixml_kept"] = double(PugiKept);
  State.counters["kept_ratio"] = PugiKept ? double(OursKept) / double(PugiKept) : 0;
  State.counters["ours_idle_cache"] = double(Vantrel::XMLTreeCachedBytes());
  State.counters["ours_faults"] = FaultsPerParse(Ours);
  State.counters["pugixml_faults"] = FaultsPerParse(Pugi);
  State.SetBytesProcessed(int64_t(State.iterations()) * int64_t(Doc.size()));
}

// The generated documents, made once per size.
const std::string& Generated(std::string (*Make)(size_t), size_t Bytes) {
  static std::vector<std::pair<std::pair<std::string (*)(size_t), size_t>, std::string>> Made;
  for (const auto& [Key, Doc] : Made)
    if (Key.first == Make && Key.second == Bytes) return Doc;
  return Made.emplace_back(std::make_pair(Make, Bytes), Make(Bytes)).second;
}

void BM_XMLParse_MarkupDense(benchmark::State& State) {
  Compare(State, Generated(BenchInputs::MarkupDenseXML, size_t(State.range(0))));
}

void BM_XMLParse_Base64Heavy(benchmark::State& State) {
  Compare(State, Generated(BenchInputs::Base64HeavyXML, size_t(State.range(0))));
}

void BM_XMLParse_IPS(benchmark::State& State) {
  static const std::string Doc = BenchInputs::ReadAll(BenchInputs::SamplesDir() / "IPS-FR_2024.01.xml");
  if (Doc.empty()) {
    State.SkipWithError("IPS-FR_2024.01.xml not found in the shared samples");
    return;
  }
  Compare(State, Doc);
}

void Sizes(benchmark::internal::Benchmark* B) {
  for (size_t Size : BenchInputs::Sizes) B->Arg(int64_t(Size));
}

}  // namespace

BENCHMARK(BM_XMLParse_MarkupDense)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XMLParse_Base64Heavy)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XMLParse_IPS)->Unit(benchmark::kMillisecond);
