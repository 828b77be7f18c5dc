// The unstructured CDA document around a 20 MB PDF-like file, built and
// digested in canonical form (W3C C14N 1.0, SHA-1), against the shell
// pipeline `base64 -w0 | xmllint --huge --c14n | openssl dgst -sha1` on the same
// file and the same document shell, timed in the same iteration.
//
// Counters: "ratio" is the pipeline's time over ours (above 1: we are
// faster); "peak_over_doc" is the most heap memory held at once during our
// build and digest (a counting operator new) over the document's size
// (the target is at most 2.5). The two digests must agree. xmllint needs
// --huge for a text node above 10 MB (libxml2's XML_PARSE_HUGE).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>

#include "Talven.Carvelin.CDA.h"
#include "Vantrel.XML.c14n.h"

// ---- Counting allocator: live heap bytes and their peak ----

namespace {
std::atomic<int64_t> LiveBytes{0};
std::atomic<int64_t> PeakBytes{0};

void* CountedAlloc(size_t Size) {
  void* P = std::malloc(Size ? Size : 1);
  if (!P) throw std::bad_alloc();
  const int64_t Now = LiveBytes += int64_t(malloc_usable_size(P));
  int64_t Peak = PeakBytes.load();
  while (Now > Peak && !PeakBytes.compare_exchange_weak(Peak, Now)) {
  }
  return P;
}

void CountedFree(void* P) noexcept {
  if (!P) return;
  LiveBytes -= int64_t(malloc_usable_size(P));
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

using namespace Talven;
using Clock = std::chrono::steady_clock;

constexpr size_t FileSize = 20u << 20;

// A PDF header followed by pseudo-random bytes (incompressible, like images
// and fonts inside real PDFs).
const std::string& PDFLike() {
  static const std::string Data = [] {
    std::string D = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    D.resize(FileSize);
    uint64_t X = 0x9E3779B97F4A7C15ull;
    for (size_t I = 16; I < D.size(); ++I) {
      X ^= X << 13, X ^= X >> 7, X ^= X << 17;
      D[I] = char(X);
    }
    return D;
  }();
  return Data;
}

struct TRecords {
  TPatientInfo Patient;
  TPorteur Porteur;
  TActivite Activite;
  TOIDValue Format{"urn:ihe:iti:xds-sd:pdf:2008", "1.3.6.1.4.1.19376.1.2.3", "PDF"};
  TCDAInfo Info;
  TDOCInfo Doc;
  TRecords() {
    Patient.INSi = {"1840575123456", 'R', "1.2.250.1.213.1.4.8"};
    Patient.Identite = {2, "MARTIN", "DURAND", "Zoé", "07/05/1984", 'F'};
    Porteur.IdNational = "810001234567";
    Porteur.Nom = "DOC";
    Porteur.Prenom = "Jean";
    Activite.IdNational = "10B0123456";
    Activite.RaisonSociale = "Cabinet du Parc";
    Info.DocType = {"11488-4", "2.16.840.1.113883.6.1", "CR de consultation"};
    Info.DocTitle = "Compte rendu";
    Info.Patient = &Patient;
    Info.Porteur = &Porteur;
    Info.Activite = &Activite;
    Info.Practice = {"AMBULATOIRE", "1.2.250.1.213.1.1.4.9", "Ambulatoire"};
    Info.NowUTC = Info.CreateDate = Info.StartDate = 45700.5;
    Info.LPS_OID = "2.25.1234";
    Info.PatientId = "P-1";
    Doc.mediaType = "application/pdf";
    Doc.Format = &Format;
    Doc.DocID = "2.25.5678";
  }
};

std::string Hex(std::string_view Bytes) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string S;
  for (unsigned char C : Bytes) {
    S += Digits[C >> 4];
    S += Digits[C & 15];
  }
  return S;
}

// The pipeline's inputs: the PDF-like file and the document shell around its Base64.
struct TPipelineFiles {
  std::filesystem::path Dir;
  std::string Command;
  TPipelineFiles(const std::string& Document) {
    Dir = std::filesystem::temp_directory_path() / ("cda_build_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(Dir);
    const std::string Open = "representation=\"B64\">";
    const size_t Head = Document.find(Open) + Open.size();
    const size_t Tail = Document.rfind("</text>");
    Write(Dir / "file.pdf", PDFLike());
    Write(Dir / "head.xml", Document.substr(0, Head));
    Write(Dir / "tail.xml", Document.substr(Tail));
    const std::string D = Dir.string();
    Command = "{ cat '" + D + "/head.xml'; base64 -w0 '" + D + "/file.pdf'; cat '" + D +
              "/tail.xml'; } | xmllint --huge --c14n - | openssl dgst -sha1 -r > '" + D + "/digest'";
  }
  ~TPipelineFiles() { std::filesystem::remove_all(Dir); }
  static void Write(const std::filesystem::path& Path, std::string_view Data) {
    std::ofstream(Path, std::ios::binary).write(Data.data(), std::streamsize(Data.size()));
  }
  std::string Digest() const {
    std::ifstream In(Dir / "digest");
    std::string Line;
    std::getline(In, Line);
    return Line.substr(0, 40);
  }
};

void CDABuildAndDigest(benchmark::State& State) {
  const std::string& File = PDFLike();
  TRecords R;
  R.Doc.Content = File.data();
  R.Doc.ContentSize = File.size();
  TPipelineFiles Pipeline(BuildCDANonXMLBody(R.Doc, R.Info));

  double OurSeconds = 0, PeerSeconds = 0, PeakOverDoc = 0;
  std::string OurDigest;
  for (auto _ : State) {
    const int64_t Before = LiveBytes.load();
    PeakBytes = Before;
    const auto T0 = Clock::now();
    size_t DocSize = 0;
    {
      const std::string Document = BuildCDANonXMLBody(R.Doc, R.Info);
      DocSize = Document.size();
      OurDigest = Vantrel::C14NDigestSHA1(Document);
    }
    const auto T1 = Clock::now();
    PeakOverDoc = double(PeakBytes.load() - Before) / double(DocSize);
    if (std::system(Pipeline.Command.c_str()) != 0) {
      State.SkipWithError("the base64 | xmllint | openssl pipeline failed");
      break;
    }
    const auto T2 = Clock::now();
    const double Ours = std::chrono::duration<double>(T1 - T0).count();
    OurSeconds += Ours;
    PeerSeconds += std::chrono::duration<double>(T2 - T1).count();
    State.SetIterationTime(Ours);
  }
  if (Hex(OurDigest) != Pipeline.Digest()) {
    State.SkipWithError(("digests differ: ours " + Hex(OurDigest) + ", pipeline " +
                         Pipeline.Digest()).c_str());
    return;
  }
  State.SetBytesProcessed(int64_t(State.iterations()) * int64_t(File.size()));
  State.counters["ratio"] = PeerSeconds / OurSeconds;
  State.counters["peak_over_doc"] = PeakOverDoc;
  State.counters["pipeline_ms"] = PeerSeconds * 1000 / double(State.iterations());
}

}  // namespace

BENCHMARK(CDABuildAndDigest)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
