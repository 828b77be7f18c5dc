// A document retrieval against libcurl on the same local nginx over TLS:
// nginx answers the retrieval POST with a recorded MTOM answer, made when
// the benchmark starts, holding a CDA whose non-XML body is a PDF (about
// 50 MB in all; CARVELIN_RETRIEVAL_BENCH_MB changes it). Ours posts with
// THTTPClient on the own TLS engine and decodes the answer as a retrieval
// does (MIME parts, SOAP part, CDA rendering, the PDF's Base64); curl only
// reads the bytes. "curl/ours" at or above 0.5 meets the target of twice
// curl's time, and "peak/answer" (our extra heap at its highest over the
// answer's size) the target of 3.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdlib>
#include <memory>

#include "BenchServers.h"
#include "HeapCount.h"
#include "Talven.Carvelin.Objects.h"
#include "TestPKI.h"
#include "Vantrel.HTTPClient.h"
#include "Vantrel.UTF8.Utils.h"

namespace {

size_t AnswerSize() {
  const char* MB = std::getenv("CARVELIN_RETRIEVAL_BENCH_MB");
  const long Value = MB ? std::atol(MB) : 50;
  return size_t(Value > 0 ? Value : 50) << 20;
}

struct TAnswer {
  std::string Bytes;
  size_t Pdf = 0;  // the size of the PDF in it
};

// PDF-like bytes that do not compress, and the answer around them.
TAnswer MakeAnswer() {
  const size_t PdfSize = AnswerSize() / 4 * 3;
  std::string Pdf = "%PDF-1.4\n";
  uint64_t X = 0x9E3779B97F4A7C15u;
  while (Pdf.size() < PdfSize) {
    X ^= X << 13, X ^= X >> 7, X ^= X << 17;
    Pdf.append(reinterpret_cast<const char*>(&X), sizeof X);
  }
  Pdf.resize(PdfSize);
  const std::string CDA =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ClinicalDocument xmlns=\"urn:hl7-org:v3\"><id root=\"1.2.3\"/>"
      "<title>Compte rendu</title><versionNumber value=\"1\"/><component><nonXMLBody><text mediaType=\"application/pdf\" "
      "representation=\"B64\">" +
      Vantrel::Base64Encode(Pdf) + "</text></nonXMLBody></component></ClinicalDocument>";
  const std::string Soap =
      "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>"
      "<RetrieveDocumentSetResponse xmlns=\"urn:ihe:iti:xds-b:2007\"><rs:RegistryResponse "
      "xmlns:rs=\"urn:oasis:names:tc:ebxml-regrep:xsd:rs:3.0\" "
      "status=\"urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Success\"/><DocumentResponse>"
      "<RepositoryUniqueId>1.2.250.1.213.4.1.1.1.2</RepositoryUniqueId><DocumentUniqueId>1.2.3</DocumentUniqueId>"
      "<Document><xop:Include xmlns:xop=\"http://www.w3.org/2004/08/xop/include\" href=\"cid:doc@bench\"/>"
      "</Document></DocumentResponse></RetrieveDocumentSetResponse></soap:Body></soap:Envelope>";
  return {"--MIMEBoundary_bench\r\nContent-Type: application/xop+xml; charset=UTF-8; type=\"application/soap+xml\"\r\n"
          "Content-ID: <root@bench>\r\n\r\n" +
              Soap +
              "\r\n--MIMEBoundary_bench\r\nContent-Type: application/octet-stream\r\n"
              "Content-Transfer-Encoding: binary\r\nContent-ID: <doc@bench>\r\n\r\n" +
              CDA + "\r\n--MIMEBoundary_bench--\r\n",
          PdfSize};
}

// The server of the recorded answer, with the answer's size and the PDF's.
class TServer : public Bench::TAnswerServer {
 public:
  TServer() : TServer(MakeAnswer()) {}

  const size_t Size, Pdf;

 private:
  explicit TServer(const TAnswer& A) : TAnswerServer("/repository", A.Bytes), Size(A.Bytes.size()), Pdf(A.Pdf) {}
};

TServer& Server() {
  static TServer S;
  return S;
}

constexpr std::string_view Request = "<soap:Envelope/>";

void BM_Retrieve50MB(benchmark::State& State) {
  // The first root applies the hosts configuration, extra CA file included:
  // made before the server trusts the test PKI.
  auto Root = Talven::TCarvelin::Create();
  TServer& S = Server();
  if (!S.Ready) {
    State.SkipWithError("nginx did not start");
    return;
  }
  CURL* Curl = curl_easy_init();
  curl_easy_setopt(Curl, CURLOPT_URL, S.URL().c_str());
  curl_easy_setopt(Curl, CURLOPT_CAINFO, TestSupport::PKIFile("trust.pem").c_str());
  curl_easy_setopt(Curl, CURLOPT_POSTFIELDS, Request.data());
  curl_easy_setopt(Curl, CURLOPT_POSTFIELDSIZE, long(Request.size()));
  curl_easy_setopt(Curl, CURLOPT_WRITEFUNCTION, Bench::AppendToString);
  double Ours = 0, Theirs = 0, PeakRatio = 0;
  for (auto _ : State) {
    const size_t Before = HeapCount::HeldBytes();
    HeapCount::ResetPeak();
    auto Start = Bench::Clock::now();
    {
      Vantrel::THTTPClient Client;
      Client.SetContentType("application/soap+xml; charset=utf-8");
      std::string Answer;
      Client.Post(S.URL(), Request, Answer);
      std::shared_ptr<Talven::IDocument> Doc;
      std::string_view Pdf;
      if (Root->xopGetDocument(Answer, Doc) != 0 || Doc->GetDocument(Pdf) != 0 || Pdf.size() != S.Pdf)
        State.SkipWithError(("retrieval failed: " + Root->GetErrDetail()).c_str());
      benchmark::DoNotOptimize(Pdf.data());
    }
    Ours += Bench::Seconds(Start);
    PeakRatio = std::max(PeakRatio, double(HeapCount::Peak.load() - (long long)Before) / double(S.Size));
    Start = Bench::Clock::now();
    std::string Body;
    curl_easy_setopt(Curl, CURLOPT_WRITEDATA, &Body);
    if (curl_easy_perform(Curl) != CURLE_OK || Body.size() != S.Size) State.SkipWithError("curl failed");
    Theirs += Bench::Seconds(Start);
  }
  curl_easy_cleanup(Curl);
  const double N = double(State.iterations());
  State.counters["ours_ms"] = Ours / N * 1000;
  State.counters["curl_ms"] = Theirs / N * 1000;
  State.counters["curl/ours"] = Ours > 0 ? Theirs / Ours : 0;
  State.counters["peak/answer"] = PeakRatio;
  State.counters["answer_MB"] = double(S.Size) / (1 << 20);
}
BENCHMARK(BM_Retrieve50MB)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
