#include "Vantrel.SHA256.h"

#include <atomic>
#include <cstring>

#include "Vantrel.SHA1.h"  // the processor check (one feature bit covers both hashes) and the block framing

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VANTREL_SHA_X86 1
#endif

namespace Vantrel {
namespace {

using TCompress = void (*)(uint32_t* State, const uint8_t* Data, size_t Blocks);

alignas(16) constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t Ror(uint32_t X, int N) { return (X >> N) | (X << (32 - N)); }

uint32_t LoadBE32(const uint8_t* P) {
  return uint32_t(P[0]) << 24 | uint32_t(P[1]) << 16 | uint32_t(P[2]) << 8 | uint32_t(P[3]);
}

// FIPS 180-4 §6.2.2, with the 16-word rolling schedule.
void CompressPortable(uint32_t* State, const uint8_t* Data, size_t Blocks) {
  for (; Blocks > 0; --Blocks, Data += 64) {
    uint32_t W[16];
    for (int T = 0; T < 16; ++T) W[T] = LoadBE32(Data + 4 * T);
    uint32_t A = State[0], B = State[1], C = State[2], D = State[3];
    uint32_t E = State[4], F = State[5], G = State[6], H = State[7];
    for (int T = 0; T < 64; ++T) {
      if (T >= 16) {
        const uint32_t W15 = W[(T - 15) & 15], W2 = W[(T - 2) & 15];
        const uint32_t S0 = Ror(W15, 7) ^ Ror(W15, 18) ^ (W15 >> 3);
        const uint32_t S1 = Ror(W2, 17) ^ Ror(W2, 19) ^ (W2 >> 10);
        W[T & 15] += S0 + W[(T - 7) & 15] + S1;
      }
      const uint32_t T1 = H + (Ror(E, 6) ^ Ror(E, 11) ^ Ror(E, 25)) + ((E & F) ^ (~E & G)) + K[T] + W[T & 15];
      const uint32_t T2 = (Ror(A, 2) ^ Ror(A, 13) ^ Ror(A, 22)) + ((A & B) ^ (A & C) ^ (B & C));
      H = G;
      G = F;
      F = E;
      E = D + T1;
      D = C;
      C = B;
      B = A;
      A = T1 + T2;
    }
    State[0] += A;
    State[1] += B;
    State[2] += C;
    State[3] += D;
    State[4] += E;
    State[5] += F;
    State[6] += G;
    State[7] += H;
  }
}

#ifdef VANTREL_SHA_X86
// The SHA extensions keep the state as the two quads ABEF and CDGH; each
// sha256rnds2 does two rounds, so a quad of W+K takes two of them. W holds
// four message quads and is refilled as it is consumed (W[g+4] from W[g..g+3]).
__attribute__((target("sha,sse4.1,ssse3")))
void CompressHardware(uint32_t* State, const uint8_t* Data, size_t Blocks) {
  const __m128i ByteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i Tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(State)), 0xB1);
  __m128i CDGH = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(State + 4)), 0x1B);
  __m128i ABEF = _mm_alignr_epi8(Tmp, CDGH, 8);
  CDGH = _mm_blend_epi16(CDGH, Tmp, 0xF0);
  for (; Blocks > 0; --Blocks, Data += 64) {
    const __m128i SavedABEF = ABEF, SavedCDGH = CDGH;
    __m128i W[4];
#pragma GCC unroll 4
    for (int I = 0; I < 4; ++I)
      W[I] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Data + 16 * I)), ByteSwap);
#pragma GCC unroll 20
    for (int G = 0; G < 16; ++G) {
      __m128i Msg = _mm_add_epi32(W[G & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(K + 4 * G)));
      CDGH = _mm_sha256rnds2_epu32(CDGH, ABEF, Msg);
      ABEF = _mm_sha256rnds2_epu32(ABEF, CDGH, _mm_shuffle_epi32(Msg, 0x0E));
      if (G + 4 < 16)
        W[G & 3] = _mm_sha256msg2_epu32(
            _mm_add_epi32(_mm_sha256msg1_epu32(W[G & 3], W[(G + 1) & 3]),
                          _mm_alignr_epi8(W[(G + 3) & 3], W[(G + 2) & 3], 4)),
            W[(G + 3) & 3]);
    }
    ABEF = _mm_add_epi32(ABEF, SavedABEF);
    CDGH = _mm_add_epi32(CDGH, SavedCDGH);
  }
  Tmp = _mm_shuffle_epi32(ABEF, 0x1B);
  CDGH = _mm_shuffle_epi32(CDGH, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(State), _mm_blend_epi16(Tmp, CDGH, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(State + 4), _mm_alignr_epi8(CDGH, Tmp, 8));
}
#endif

std::atomic<TCompress>& Compressor() {
  static std::atomic<TCompress> Chosen{
#ifdef VANTREL_SHA_X86
      detail::SHA1HardwareAvailable() ? CompressHardware : CompressPortable
#else
      CompressPortable
#endif
  };
  return Chosen;
}

void Compress(uint32_t* State, const uint8_t* Data, size_t Blocks) {
  Compressor().load(std::memory_order_relaxed)(State, Data, Blocks);
}

}  // namespace

namespace detail {
void SHA256Compress(TSHA256Context& Context) { Compress(Context.State, Context.Buffer, 1); }

bool SHA256HardwareAvailable() { return SHA1HardwareAvailable(); }

bool SHA256UseHardware(bool Enable) {
#ifdef VANTREL_SHA_X86
  if (Enable && !SHA256HardwareAvailable()) return false;
  Compressor().store(Enable ? CompressHardware : CompressPortable);
  return true;
#else
  if (Enable) return false;
  Compressor().store(CompressPortable);
  return true;
#endif
}
}  // namespace detail

void SHA256Init(TSHA256Context& Context) {
  Context = TSHA256Context{};
  static constexpr uint32_t Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(Context.State, Initial, sizeof Initial);
}

void SHA256Update(TSHA256Context& Context, const void* Data, size_t Size) {
  detail::SHABlocksUpdate(Compress, Context.State, Context.Buffer, Context.Count, Data, Size);
}

void SHA256Final(TSHA256Context& Context, uint8_t (&Digest)[SHA256DigestSize]) {
  detail::SHABlocksFinal(Compress, Context.State, Context.Buffer, Context.Count, Digest, 8);
  Context = TSHA256Context{};
}

std::string SHA256Final(TSHA256Context& Context) {
  uint8_t Digest[SHA256DigestSize];
  SHA256Final(Context, Digest);
  return std::string(reinterpret_cast<const char*>(Digest), sizeof Digest);
}

}  // namespace Vantrel
