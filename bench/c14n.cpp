// Canonical XML digests against libxml2's canonicaliser writing into
// OpenSSL's SHA-256, on the same documents in the same run:
//  - the two largest shared CDA samples (skipped when the shared data is absent);
//  - a generated 20 MB structured CDA document.
// Both sides start from a parsed document (our tree, libxml2's xmlDoc), so
// the figures are those of canonicalisation plus hashing. Counters: ours_ms,
// libxml2_ms, ratio (libxml2 / ours: above 1 we are faster; the aim is 3),
// and alloc_bytes, the heap bytes our digest asks for (it must not grow
// with the document).
#include <benchmark/benchmark.h>
#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>

#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.c14n.h"

namespace {
std::atomic<size_t> AllocatedBytes{0};
}

// Counts what the process asks of the heap; libxml2 uses malloc directly
// and is not counted.
void* operator new(size_t N) {
  AllocatedBytes.fetch_add(N, std::memory_order_relaxed);
  if (void* P = std::malloc(N ? N : 1)) return P;
  throw std::bad_alloc();
}
void operator delete(void* P) noexcept { std::free(P); }
void operator delete(void* P, size_t) noexcept { std::free(P); }

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::string ReadAll(const fs::path& Path) {
  std::ifstream F(Path, std::ios::binary);
  std::ostringstream S;
  S << F.rdbuf();
  return S.str();
}

// Structured entries with namespaced attributes, references and comments,
// repeated up to about Size bytes.
std::string GeneratedCDA(size_t Size) {
  std::string S =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<?xml-stylesheet type=\"text/xsl\" href=\"cda.xsl\"?>\n"
      "<ClinicalDocument xmlns=\"urn:hl7-org:v3\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xmlns:lab=\"urn:oid:1.3.6.1.4.1.19376.1.3.2\">\n  <!-- generated -->\n  <component><structuredBody>\n";
  for (size_t I = 0; S.size() < Size; ++I) {
    const std::string N = std::to_string(I);
    S += "    <entry typeCode=\"DRIV\"><observation moodCode=\"EVN\" classCode=\"OBS\"><templateId "
         "root=\"1.3.6.1.4.1.19376.1.3.1.6\"/><code code=\"" + N +
         "\" codeSystem=\"2.16.840.1.113883.6.1\" displayName=\"Mesure &amp; r&#233;sultat &quot;" + N +
         "&quot;\"/>\r\n      <value xsi:type=\"PQ\" value=\"" + std::to_string(I % 97) +
         "\" unit=\"mg/L\"/><lab:statusCode code=\"completed\"/>\r\n      <text>R&#233;sultat &lt; 5\tdans les "
         "normes</text><!-- note " + N + " --></observation></entry>\n";
  }
  return S + "  </structuredBody></component>\n</ClinicalDocument>\n";
}

struct TInput {
  std::string Name, Text;
};

std::vector<TInput> Inputs() {
  std::vector<TInput> All;
  const fs::path Dir = fs::path(__FILE__).parent_path().parent_path() / "../shared/data/cda/samples";
  std::vector<std::pair<uintmax_t, fs::path>> Samples;
  std::error_code Ec;
  for (const auto& E : fs::directory_iterator(Dir, Ec))
    if (E.path().extension() == ".xml") Samples.push_back({E.file_size(), E.path()});
  std::sort(Samples.rbegin(), Samples.rend());
  for (size_t I = 0; I < Samples.size() && I < 2; ++I)
    All.push_back({Samples[I].second.filename().string(), ReadAll(Samples[I].second)});
  All.push_back({"generated-20MB", GeneratedCDA(20 << 20)});
  return All;
}

const std::vector<TInput>& Documents() {
  static const std::vector<TInput> All = Inputs();
  return All;
}

int WriteToDigest(void* Context, const char* Buffer, int Len) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(Context), Buffer, size_t(Len));
  return Len;
}

// libxml2's canonical form of the whole document into OpenSSL's SHA-256.
std::string LibxmlDigest(xmlDocPtr Doc, bool Exclusive, bool Comments) {
  EVP_MD_CTX* Md = EVP_MD_CTX_new();
  EVP_DigestInit_ex(Md, EVP_sha256(), nullptr);
  xmlOutputBufferPtr Out = xmlOutputBufferCreateIO(WriteToDigest, nullptr, Md, nullptr);
  xmlC14NDocSaveTo(Doc, nullptr, Exclusive ? XML_C14N_EXCLUSIVE_1_0 : XML_C14N_1_0, nullptr, Comments ? 1 : 0, Out);
  xmlOutputBufferClose(Out);
  unsigned char D[EVP_MAX_MD_SIZE];
  unsigned Len = 0;
  EVP_DigestFinal_ex(Md, D, &Len);
  EVP_MD_CTX_free(Md);
  return std::string(reinterpret_cast<const char*>(D), Len);
}

void Compare(benchmark::State& State, size_t Index, bool Exclusive, bool Comments) {
  const TInput& In = Documents()[Index];
  State.SetLabel(In.Name);
  Vantrel::TXMLTree Tree;
  Tree.BuildFrom(In.Text);
  xmlDocPtr Doc = xmlReadMemory(In.Text.data(), int(In.Text.size()), nullptr, nullptr, XML_PARSE_HUGE);
  Vantrel::TC14NOptions Options;
  Options.Exclusive = Exclusive;
  Options.WithComments = Comments;
  // The element digest leaves out what lies around the root: compare the documents' digests once.
  if (Vantrel::C14NDigestSHA256(In.Text, {}, Options) != LibxmlDigest(Doc, Exclusive, Comments)) {
    State.SkipWithError("digests differ");
    xmlFreeDoc(Doc);
    return;
  }
  double Ours = 0, Peer = 0;
  size_t Allocated = 0;
  for (auto _ : State) {
    const size_t Before = AllocatedBytes.load();
    auto T0 = Clock::now();
    benchmark::DoNotOptimize(Vantrel::C14NNodeDigestSHA256(&Tree.Root(), {}, Options));
    auto T1 = Clock::now();
    Allocated = AllocatedBytes.load() - Before;
    benchmark::DoNotOptimize(LibxmlDigest(Doc, Exclusive, Comments));
    auto T2 = Clock::now();
    const double O = std::chrono::duration<double>(T1 - T0).count();
    Ours += O;
    Peer += std::chrono::duration<double>(T2 - T1).count();
    State.SetIterationTime(O);
  }
  xmlFreeDoc(Doc);
  const double N = double(State.iterations());
  State.SetBytesProcessed(int64_t(State.iterations()) * int64_t(In.Text.size()));
  State.counters["ours_ms"] = Ours / N * 1e3;
  State.counters["libxml2_ms"] = Peer / N * 1e3;
  State.counters["ratio"] = Peer / Ours;
  State.counters["alloc_bytes"] = double(Allocated);
}

void Register() {
  for (size_t I = 0; I < Documents().size(); ++I)
    for (bool Exclusive : {false, true})
      benchmark::RegisterBenchmark(
          ("C14NDigestSHA256/" + Documents()[I].Name + (Exclusive ? "/exc-c14n" : "/c14n#WithComments")).c_str(),
          [=](benchmark::State& S) { Compare(S, I, Exclusive, !Exclusive); })
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
}

const int Registered = (Register(), 0);

}  // namespace
