// Parsing speed and memory of the XML tree reader against pugixml
// (load_buffer_inplace) on the same bytes, in the same run:
//  - the 1.5 MB IPS-FR sample of the shared data (or the largest sample, or a
//    generated document of the same size when the shared data is absent);
//  - a generated 20 MB CDA document whose body is one large Base64 text.
// Counters: ours_ms, pugixml_ms, ratio (ours / pugixml, below 1 is faster),
// and the heap bytes each tree holds after parsing (the source text itself
// is not counted for either).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <sstream>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "Vantrel.XML.Tree.h"

namespace {

// Bytes held through malloc (small blocks and mapped ones): both trees
// allocate from it.
size_t HeapBytes() {
  struct mallinfo2 M = mallinfo2();
  return M.uordblks + M.hblkhd;
}

}  // namespace

namespace {

std::string ReadAll(const std::filesystem::path& Path) {
  std::ifstream F(Path, std::ios::binary);
  std::ostringstream S;
  S << F.rdbuf();
  return S.str();
}

// A CDA-shaped document: a header, many coded entries, and an optional
// non-XML body of Base64 text.
std::string GeneratedCDA(size_t Entries, size_t Base64Bytes) {
  std::string S =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ClinicalDocument xmlns=\"urn:hl7-org:v3\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
      "  <typeId root=\"2.16.840.1.113883.1.3\" extension=\"POCD_HD000040\"/>\n"
      "  <effectiveTime value=\"20240131235959+0100\"/>\n  <component><structuredBody>\n";
  for (size_t I = 0; I < Entries; ++I) {
    S += "    <entry><observation classCode=\"OBS\" moodCode=\"EVN\"><code code=\"" + std::to_string(I) +
         "\" codeSystem=\"2.16.840.1.113883.6.1\" displayName=\"Mesure &amp; r&#233;sultat\"/>"
         "<value xsi:type=\"PQ\" value=\"" + std::to_string(I % 97) + "\" unit=\"mg/L\"/>"
         "<text>R&#233;sultat dans les normes</text></observation></entry>\n";
  }
  S += "  </structuredBody></component>\n";
  if (Base64Bytes) {
    S += "  <component><nonXMLBody><text mediaType=\"application/pdf\" representation=\"B64\">";
    static const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t I = 0; I < Base64Bytes; ++I) {
      S += Alphabet[(I * 7 + I / 64) % 64];
      if (I % 76 == 75) S += '\n';
    }
    S += "</text></nonXMLBody></component>\n";
  }
  return S + "</ClinicalDocument>\n";
}

std::string IPSSample() {
  // The shared data sits beside the project folder.
  const std::filesystem::path Dir =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "../shared/data/cda/samples";
  std::error_code Ec;
  if (std::filesystem::exists(Dir / "IPS-FR_2024.01.xml", Ec)) return ReadAll(Dir / "IPS-FR_2024.01.xml");
  std::filesystem::path Largest;
  uintmax_t Size = 0;
  for (const auto& E : std::filesystem::directory_iterator(Dir, Ec))
    if (E.is_regular_file() && E.file_size() > Size) Largest = E.path(), Size = E.file_size();
  return Largest.empty() ? GeneratedCDA(6000, 0) : ReadAll(Largest);  // about 1.5 MB when generated
}

void Compare(benchmark::State& State, const std::string& Doc) {
  std::vector<char> Buffer(Doc.size() + 1);
  double OursSeconds = 0, PugiSeconds = 0;
  size_t OursKept = 0, PugiKept = 0;
  for (auto _ : State) {
    {
      size_t Before = HeapBytes();
      auto T0 = std::chrono::steady_clock::now();
      Vantrel::TXMLTree Tree;
      Tree.BuildFrom(Doc);
      auto T1 = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(Tree.Root().Length());
      OursSeconds += std::chrono::duration<double>(T1 - T0).count();
      OursKept = HeapBytes() - Before;
    }
    {
      std::memcpy(Buffer.data(), Doc.data(), Doc.size());
      size_t Before = HeapBytes();
      auto T0 = std::chrono::steady_clock::now();
      pugi::xml_document Pugi;
      pugi::xml_parse_result R = Pugi.load_buffer_inplace(Buffer.data(), Doc.size());
      auto T1 = std::chrono::steady_clock::now();
      if (!R) State.SkipWithError(R.description());
      benchmark::DoNotOptimize(Pugi.first_child());
      PugiSeconds += std::chrono::duration<double>(T1 - T0).count();
      PugiKept = HeapBytes() - Before;
    }
  }
  const double N = double(State.iterations());
  State.counters["ours_ms"] = OursSeconds / N * 1e3;
  State.counters["pugixml_ms"] = PugiSeconds / N * 1e3;
  State.counters["ratio"] = PugiSeconds > 0 ? OursSeconds / PugiSeconds : 0;
  State.counters["ours_kept_bytes"] = double(OursKept);
  State.counters["pugixml_kept_bytes"] = double(PugiKept);
  State.SetBytesProcessed(int64_t(State.iterations()) * int64_t(Doc.size()));
}

void BM_XMLParse_IPS(benchmark::State& State) {
  static const std::string Doc = IPSSample();
  Compare(State, Doc);
}

void BM_XMLParse_CDA20MB_Base64(benchmark::State& State) {
  static const std::string Doc = GeneratedCDA(2000, 20 * 1000 * 1000);
  Compare(State, Doc);
}

}  // namespace

BENCHMARK(BM_XMLParse_IPS)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XMLParse_CDA20MB_Base64)->Unit(benchmark::kMillisecond);
