// SHA-1 and SHA-256 against OpenSSL's EVP digests on the same buffer, in the
// same run. Each iteration times both; the counter "ratio" is OpenSSL's time
// over ours (at least 0.8 is the aim: above 1 we are faster).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <string>

#include "Vantrel.SHA1.h"
#include "Vantrel.SHA256.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string& Input(size_t Size) {
  static std::string Data;
  if (Data.size() < Size) {
    Data.resize(Size);
    uint64_t X = 0x9E3779B97F4A7C15ull;
    for (auto& C : Data) {
      X ^= X << 13, X ^= X >> 7, X ^= X << 17;
      C = char(X);
    }
  }
  return Data;
}

template <typename Ours>
void Compare(benchmark::State& State, const EVP_MD* Md, Ours&& Digest) {
  const size_t Size = size_t(State.range(0));
  const std::string& Data = Input(Size);
  double OurSeconds = 0, PeerSeconds = 0;
  unsigned char Out[EVP_MAX_MD_SIZE];
  for (auto _ : State) {
    auto T0 = Clock::now();
    benchmark::DoNotOptimize(Digest(Data.data(), Size));
    auto T1 = Clock::now();
    unsigned Len = 0;
    EVP_Digest(Data.data(), Size, Out, &Len, Md, nullptr);
    benchmark::DoNotOptimize(Out);
    auto T2 = Clock::now();
    const double Ours_ = std::chrono::duration<double>(T1 - T0).count();
    OurSeconds += Ours_;
    PeerSeconds += std::chrono::duration<double>(T2 - T1).count();
    State.SetIterationTime(Ours_);
  }
  State.SetBytesProcessed(int64_t(State.iterations()) * int64_t(Size));
  State.counters["openssl_MBps"] = double(State.iterations()) * double(Size) / PeerSeconds / 1e6;
  State.counters["ratio"] = PeerSeconds / OurSeconds;
}

void SHA1(benchmark::State& State) {
  Compare(State, EVP_sha1(), [](const char* P, size_t N) {
    Vantrel::TSHA1Context C;
    Vantrel::SHA1Init(C);
    Vantrel::SHA1Update(C, P, N);
    uint8_t D[Vantrel::SHA1DigestSize];
    Vantrel::SHA1Final(C, D);
    return D[0];
  });
}

void SHA256(benchmark::State& State) {
  Compare(State, EVP_sha256(), [](const char* P, size_t N) {
    Vantrel::TSHA256Context C;
    Vantrel::SHA256Init(C);
    Vantrel::SHA256Update(C, P, N);
    uint8_t D[Vantrel::SHA256DigestSize];
    Vantrel::SHA256Final(C, D);
    return D[0];
  });
}

// The canonical writer feeds many bytes one at a time: that path must stay cheap.
void SHA256ByteByByte(benchmark::State& State) {
  Compare(State, EVP_sha256(), [](const char* P, size_t N) {
    Vantrel::TSHA256Context C;
    Vantrel::SHA256Init(C);
    for (size_t I = 0; I < N; ++I) Vantrel::SHA256UpdateByte(C, uint8_t(P[I]));
    uint8_t D[Vantrel::SHA256DigestSize];
    Vantrel::SHA256Final(C, D);
    return D[0];
  });
}

}  // namespace

BENCHMARK(SHA1)->Arg(1 << 20)->Arg(64 << 20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SHA256)->Arg(1 << 20)->Arg(64 << 20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SHA256ByteByByte)->Arg(1 << 20)->UseManualTime()->Unit(benchmark::kMillisecond);
