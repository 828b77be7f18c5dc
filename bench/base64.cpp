// Base64 against OpenSSL on the same 1 MiB buffer, in the same run. Each
// iteration times both; the counter "ratio" is OpenSSL's time over ours
// (above 1 we are faster).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <string>

#include "Vantrel.UTF8.Utils.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t Size = 1 << 20;

const std::string& Bytes() {
  static const std::string Data = [] {
    std::string D(Size, '\0');
    uint64_t X = 0x9E3779B97F4A7C15ull;
    for (auto& C : D) {
      X ^= X << 13, X ^= X >> 7, X ^= X << 17;
      C = char(X);
    }
    return D;
  }();
  return Data;
}

const std::string& Text() {
  static const std::string T = Vantrel::Base64Encode(Bytes());
  return T;
}

// The same text in lines of 76 characters ended by CR LF, as mail and XML signatures carry it.
const std::string& WrappedText() {
  static const std::string T = [] {
    std::string W;
    for (size_t I = 0; I < Text().size(); I += 76) W += Text().substr(I, 76) + "\r\n";
    return W;
  }();
  return T;
}

template <typename Ours, typename Peer>
void Compare(benchmark::State& State, size_t Processed, Ours&& OurRun, Peer&& PeerRun) {
  if (OurRun() != PeerRun()) {
    State.SkipWithError("our result differs from OpenSSL's");
    return;
  }
  double OurSeconds = 0, PeerSeconds = 0;
  for (auto _ : State) {
    auto T0 = Clock::now();
    benchmark::DoNotOptimize(OurRun());
    auto T1 = Clock::now();
    benchmark::DoNotOptimize(PeerRun());
    auto T2 = Clock::now();
    const double Ours_ = std::chrono::duration<double>(T1 - T0).count();
    OurSeconds += Ours_;
    PeerSeconds += std::chrono::duration<double>(T2 - T1).count();
    State.SetIterationTime(Ours_);
  }
  State.SetBytesProcessed(int64_t(State.iterations()) * int64_t(Processed));
  State.counters["openssl_MBps"] = double(State.iterations()) * double(Processed) / PeerSeconds / 1e6;
  State.counters["ratio"] = PeerSeconds / OurSeconds;
}

void Encode(benchmark::State& State) {
  Compare(
      State, Size, [] { return Vantrel::Base64Encode(Bytes()); },
      [] {
        std::string Out(4 * ((Size + 2) / 3) + 1, '\0');
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(Out.data()),
                        reinterpret_cast<const unsigned char*>(Bytes().data()), int(Size));
        Out.pop_back();
        return Out;
      });
}

void Decode(benchmark::State& State) {
  Compare(
      State, Size, [] { return Vantrel::Base64Decode(Text()); },
      [] {
        std::string Out(Text().size() / 4 * 3, '\0');
        int N = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(Out.data()),
                                reinterpret_cast<const unsigned char*>(Text().data()),
                                int(Text().size()));
        Out.resize(N < 0 ? 0 : size_t(N) - (Text().end()[-1] == '=') - (Text().end()[-2] == '='));
        return Out;
      });
}

// Line breaks: our decoder skips them, OpenSSL's streaming decoder as well.
void DecodeWrapped(benchmark::State& State) {
  Compare(
      State, Size, [] { return Vantrel::Base64Decode(WrappedText()); },
      [] {
        std::string Out(WrappedText().size() / 4 * 3 + 80, '\0');
        EVP_ENCODE_CTX* Ctx = EVP_ENCODE_CTX_new();
        EVP_DecodeInit(Ctx);
        int N = 0, Last = 0;
        EVP_DecodeUpdate(Ctx, reinterpret_cast<unsigned char*>(Out.data()), &N,
                         reinterpret_cast<const unsigned char*>(WrappedText().data()),
                         int(WrappedText().size()));
        EVP_DecodeFinal(Ctx, reinterpret_cast<unsigned char*>(Out.data()) + N, &Last);
        EVP_ENCODE_CTX_free(Ctx);
        Out.resize(size_t(N + Last));
        return Out;
      });
}

}  // namespace

BENCHMARK(Encode)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(Decode)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(DecodeWrapped)->UseManualTime()->Unit(benchmark::kMicrosecond);
