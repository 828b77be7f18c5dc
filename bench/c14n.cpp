// Canonical XML digests against libxml2's canonicaliser writing through its
// output buffer into OpenSSL's SHA-256, on the same documents in the same
// run, in inclusive (c14n) and exclusive (exc-c14n) mode without comments:
//  - the IPS-FR sample of the shared data (skipped when it is absent);
//  - generated markup-dense and Base64-heavy documents of 100 KB, 1.5 MB
//    and 20 MB (BenchInputs.h).
// Both sides start from a parsed document (our tree, libxml2's xmlDoc), so
// the figures are those of canonicalisation plus hashing. Counters: ours_ms,
// libxml2_ms, ratio (libxml2 / ours: above 1 we are faster), and
// alloc_bytes, the heap bytes our digest asks for (it must not grow with the
// document). Run with --benchmark_repetitions=5 and read the medians: each
// iteration times both sides back to back, so a busy machine slows both.
#include <benchmark/benchmark.h>
#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "BenchInputs.h"
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

struct TInput {
  std::string Name, Text;
};

std::string SizeName(size_t Bytes) {
  if (Bytes < 1000 * 1000) return std::to_string(Bytes / 1000) + "KB";
  const size_t Tenths = Bytes / (100 * 1000);
  return std::to_string(Tenths / 10) + (Tenths % 10 ? "." + std::to_string(Tenths % 10) : "") + "MB";
}

std::vector<TInput> Inputs() {
  std::vector<TInput> All;
  const auto IPS = BenchInputs::SamplesDir() / "IPS-FR_2024.01.xml";
  std::error_code Ec;
  if (std::filesystem::exists(IPS, Ec)) All.push_back({"IPS-FR", BenchInputs::ReadAll(IPS)});
  for (size_t Bytes : BenchInputs::Sizes) {
    const std::string Size = SizeName(Bytes);
    All.push_back({"markup-dense-" + Size, BenchInputs::MarkupDenseXML(Bytes)});
    All.push_back({"base64-heavy-" + Size, BenchInputs::Base64HeavyXML(Bytes)});
  }
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
std::string LibxmlDigest(xmlDocPtr Doc, bool Exclusive) {
  EVP_MD_CTX* Md = EVP_MD_CTX_new();
  EVP_DigestInit_ex(Md, EVP_sha256(), nullptr);
  xmlOutputBufferPtr Out = xmlOutputBufferCreateIO(WriteToDigest, nullptr, Md, nullptr);
  xmlC14NDocSaveTo(Doc, nullptr, Exclusive ? XML_C14N_EXCLUSIVE_1_0 : XML_C14N_1_0, nullptr, 0, Out);
  xmlOutputBufferClose(Out);
  unsigned char D[EVP_MAX_MD_SIZE];
  unsigned Len = 0;
  EVP_DigestFinal_ex(Md, D, &Len);
  EVP_MD_CTX_free(Md);
  return std::string(reinterpret_cast<const char*>(D), Len);
}

void Compare(benchmark::State& State, const TInput& In, bool Exclusive) {
  Vantrel::TXMLTree Tree;
  Tree.BuildFrom(In.Text);
  xmlDocPtr Doc = xmlReadMemory(In.Text.data(), int(In.Text.size()), nullptr, nullptr, XML_PARSE_HUGE);
  Vantrel::TC14NOptions Options;
  Options.Exclusive = Exclusive;
  // The element digest leaves out what lies around the root: compare the documents' digests once.
  if (Vantrel::C14NDigestSHA256(In.Text, {}, Options) != LibxmlDigest(Doc, Exclusive)) {
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
    benchmark::DoNotOptimize(LibxmlDigest(Doc, Exclusive));
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
  for (const TInput& In : Documents())
    for (bool Exclusive : {false, true})
      benchmark::RegisterBenchmark(("C14NDigestSHA256/" + In.Name + (Exclusive ? "/exc-c14n" : "/c14n")).c_str(),
                                   [&In, Exclusive](benchmark::State& S) { Compare(S, In, Exclusive); })
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
}

const int Registered = (Register(), 0);

}  // namespace
