// Splitting a multipart body with one large part (an MTOM reply carrying a
// big document) against a plain memmem scan of the same body for the same
// delimiter: the splitter should run at memory speed, a ratio near 1.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>

#include "Vantrel.Mime.Decoder.h"

namespace {

constexpr size_t BodySize = 200u << 20;
const std::string Boundary = "--=_carvelin_boundary_";

const std::string& Body() {
  static const std::string B = [] {
    std::string S = Boundary + "\r\nContent-Type: application/xop+xml\r\nContent-ID: <root>\r\n\r\n<soap:Envelope/>\r\n" +
                    Boundary + "\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: binary\r\n\r\n";
    std::mt19937_64 Rng(1);
    size_t Start = S.size();
    S.resize(BodySize);
    for (size_t I = Start; I + 8 <= S.size(); I += 8) {
      uint64_t V = Rng();
      std::memcpy(&S[I], &V, 8);
    }
    S.resize(BodySize - Boundary.size() - 6);
    S += "\r\n" + Boundary + "--\r\n";
    return S;
  }();
  return B;
}

void MimeSplitLargePart(benchmark::State& State) {
  const std::string& B = Body();
  const std::string Needle = "\r\n" + Boundary;
  double Ours = 0, Peer = 0;
  for (auto _ : State) {
    auto T0 = std::chrono::steady_clock::now();
    Vantrel::TMimeDecoder D;
    bool Ok = D.Decode(B);
    benchmark::DoNotOptimize(Ok);
    auto T1 = std::chrono::steady_clock::now();
    // The peer: every occurrence of the delimiter, found by memmem.
    size_t Found = 0;
    const char* At = B.data();
    const char* End = B.data() + B.size();
    while (const void* P = memmem(At, size_t(End - At), Needle.data(), Needle.size())) {
      ++Found;
      At = static_cast<const char*>(P) + 1;
    }
    benchmark::DoNotOptimize(Found);
    auto T2 = std::chrono::steady_clock::now();
    if (!Ok || D.Parts.size() != 2 || Found != 2) State.SkipWithError("body not split as built");
    Ours += std::chrono::duration<double>(T1 - T0).count();
    Peer += std::chrono::duration<double>(T2 - T1).count();
    State.SetIterationTime(std::chrono::duration<double>(T1 - T0).count());
  }
  State.SetBytesProcessed(int64_t(State.iterations()) * int64_t(B.size()));
  State.counters["memmem_bytes_per_second"] = double(State.iterations()) * double(B.size()) / Peer;
  State.counters["time_ratio_to_memmem"] = Ours / Peer;
}
BENCHMARK(MimeSplitLargePart)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
