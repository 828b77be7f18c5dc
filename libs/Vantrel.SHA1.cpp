#include "Vantrel.SHA1.h"

#include <atomic>
#include <cstring>

#include "Vantrel.UTF8.Utils.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define VANTREL_SHA_X86 1
#endif

namespace Vantrel {
namespace {

using TCompress = void (*)(uint32_t* State, const uint8_t* Data, size_t Blocks);

constexpr uint32_t Rol(uint32_t X, int N) { return (X << N) | (X >> (32 - N)); }

uint32_t LoadBE32(const uint8_t* P) {
  return uint32_t(P[0]) << 24 | uint32_t(P[1]) << 16 | uint32_t(P[2]) << 8 | uint32_t(P[3]);
}

// FIPS 180-4 §6.1.2, with the 16-word rolling schedule.
void CompressPortable(uint32_t* State, const uint8_t* Data, size_t Blocks) {
  for (; Blocks > 0; --Blocks, Data += 64) {
    uint32_t W[16];
    for (int T = 0; T < 16; ++T) W[T] = LoadBE32(Data + 4 * T);
    uint32_t A = State[0], B = State[1], C = State[2], D = State[3], E = State[4];
    for (int T = 0; T < 80; ++T) {
      if (T >= 16)
        W[T & 15] = Rol(W[(T - 3) & 15] ^ W[(T - 8) & 15] ^ W[(T - 14) & 15] ^ W[T & 15], 1);
      uint32_t F, K;
      if (T < 20) {
        F = (B & C) | (~B & D);
        K = 0x5A827999;
      } else if (T < 40) {
        F = B ^ C ^ D;
        K = 0x6ED9EBA1;
      } else if (T < 60) {
        F = (B & C) | (B & D) | (C & D);
        K = 0x8F1BBCDC;
      } else {
        F = B ^ C ^ D;
        K = 0xCA62C1D6;
      }
      uint32_t Tmp = Rol(A, 5) + F + E + K + W[T & 15];
      E = D;
      D = C;
      C = Rol(B, 30);
      B = A;
      A = Tmp;
    }
    State[0] += A;
    State[1] += B;
    State[2] += C;
    State[3] += D;
    State[4] += E;
  }
}

#ifdef VANTREL_SHA_X86
#define VANTREL_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Four rounds; the round function is an immediate of the instruction.
VANTREL_SHA_TARGET inline __m128i Rounds4(__m128i ABCD, __m128i E, int Group) {
  switch (Group) {
    case 0: return _mm_sha1rnds4_epu32(ABCD, E, 0);
    case 1: return _mm_sha1rnds4_epu32(ABCD, E, 1);
    case 2: return _mm_sha1rnds4_epu32(ABCD, E, 2);
    default: return _mm_sha1rnds4_epu32(ABCD, E, 3);
  }
}

// The SHA extensions: twenty groups of four rounds; W holds four message
// quads and is refilled as it is consumed (W[g+4] from W[g..g+3]).
VANTREL_SHA_TARGET void CompressHardware(uint32_t* State, const uint8_t* Data, size_t Blocks) {
  const __m128i ByteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i ABCD = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(State)), 0x1B);
  __m128i E0 = _mm_set_epi32(int(State[4]), 0, 0, 0);
  for (; Blocks > 0; --Blocks, Data += 64) {
    const __m128i SavedABCD = ABCD, SavedE = E0;
    __m128i W[4];
#pragma GCC unroll 4
    for (int I = 0; I < 4; ++I)
      W[I] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Data + 16 * I)), ByteSwap);
    __m128i Previous = ABCD;
#pragma GCC unroll 20
    for (int G = 0; G < 20; ++G) {
      const __m128i Msg = W[G & 3];
      const __m128i E = G == 0 ? _mm_add_epi32(E0, Msg) : _mm_sha1nexte_epu32(Previous, Msg);
      Previous = ABCD;
      ABCD = Rounds4(ABCD, E, G / 5);
      if (G + 4 < 20)
        W[G & 3] = _mm_sha1msg2_epu32(
            _mm_xor_si128(_mm_sha1msg1_epu32(W[G & 3], W[(G + 1) & 3]), W[(G + 2) & 3]), W[(G + 3) & 3]);
    }
    E0 = _mm_sha1nexte_epu32(Previous, SavedE);
    ABCD = _mm_add_epi32(ABCD, SavedABCD);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(State), _mm_shuffle_epi32(ABCD, 0x1B));
  State[4] = uint32_t(_mm_extract_epi32(E0, 3));
}

bool CpuHasShaExtensions() {
  unsigned A, B, C, D;
  if (!__get_cpuid(1, &A, &B, &C, &D)) return false;
  const bool Sse41 = C & (1u << 19), Ssse3 = C & (1u << 9);
  if (!__get_cpuid_count(7, 0, &A, &B, &C, &D)) return false;
  return Sse41 && Ssse3 && (B & (1u << 29));
}
#else
bool CpuHasShaExtensions() { return false; }
#endif

bool HardwareAvailable() {
  static const bool Has = CpuHasShaExtensions();
  return Has;
}

std::atomic<TCompress>& Compressor() {
  static std::atomic<TCompress> Chosen{
#ifdef VANTREL_SHA_X86
      HardwareAvailable() ? CompressHardware : CompressPortable
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
void SHA1Compress(TSHA1Context& Context) { Compress(Context.State, Context.Buffer, 1); }

bool SHA1HardwareAvailable() { return HardwareAvailable(); }

bool SHA1UseHardware(bool Enable) {
#ifdef VANTREL_SHA_X86
  if (Enable && !HardwareAvailable()) return false;
  Compressor().store(Enable ? CompressHardware : CompressPortable);
  return true;
#else
  if (Enable) return false;
  Compressor().store(CompressPortable);
  return true;
#endif
}

void SHABlocksUpdate(TSHABlocks Compress, uint32_t* State, uint8_t (&Buffer)[64], uint64_t& Count,
                     const void* Data, size_t Size) {
  auto* P = static_cast<const uint8_t*>(Data);
  size_t Waiting = size_t(Count & 63);
  Count += Size;
  if (Waiting > 0) {
    const size_t Take = Size < 64 - Waiting ? Size : 64 - Waiting;
    std::memcpy(Buffer + Waiting, P, Take);
    P += Take;
    Size -= Take;
    if (Waiting + Take < 64) return;
    Compress(State, Buffer, 1);
  }
  if (Size >= 64) {
    Compress(State, P, Size / 64);
    P += Size & ~size_t(63);
    Size &= 63;
  }
  if (Size > 0) std::memcpy(Buffer, P, Size);
}

void SHABlocksFinal(TSHABlocks Compress, uint32_t* State, uint8_t (&Buffer)[64], uint64_t Count,
                    uint8_t* Digest, size_t Words) {
  const uint64_t Bits = Count * 8;
  size_t Waiting = size_t(Count & 63);
  Buffer[Waiting++] = 0x80;
  if (Waiting > 56) {
    std::memset(Buffer + Waiting, 0, 64 - Waiting);
    Compress(State, Buffer, 1);
    Waiting = 0;
  }
  std::memset(Buffer + Waiting, 0, 56 - Waiting);
  for (int I = 0; I < 8; ++I) Buffer[56 + I] = uint8_t(Bits >> (56 - 8 * I));
  Compress(State, Buffer, 1);
  for (size_t I = 0; I < Words; ++I)
    for (size_t J = 0; J < 4; ++J) Digest[4 * I + J] = uint8_t(State[I] >> (24 - 8 * J));
}
}  // namespace detail

void SHA1Init(TSHA1Context& Context) {
  Context = TSHA1Context{};
  Context.State[0] = 0x67452301;
  Context.State[1] = 0xEFCDAB89;
  Context.State[2] = 0x98BADCFE;
  Context.State[3] = 0x10325476;
  Context.State[4] = 0xC3D2E1F0;
}

void SHA1Update(TSHA1Context& Context, const void* Data, size_t Size) {
  detail::SHABlocksUpdate(Compress, Context.State, Context.Buffer, Context.Count, Data, Size);
}

void SHA1Final(TSHA1Context& Context, uint8_t (&Digest)[SHA1DigestSize]) {
  detail::SHABlocksFinal(Compress, Context.State, Context.Buffer, Context.Count, Digest, 5);
  Context = TSHA1Context{};
}

std::string SHA1Final(TSHA1Context& Context) {
  uint8_t Digest[SHA1DigestSize];
  SHA1Final(Context, Digest);
  return std::string(reinterpret_cast<const char*>(Digest), sizeof Digest);
}

std::string SHA1Base64Buffer(const void* Data, size_t Size) {
  TSHA1Context Context;
  SHA1Init(Context);
  SHA1Update(Context, Data, Size);
  uint8_t Digest[SHA1DigestSize];
  SHA1Final(Context, Digest);
  return Base64EncodeBuffer(Digest, sizeof Digest);
}

std::string SHA1Base64(std::string_view S) { return SHA1Base64Buffer(S.data(), S.size()); }

}  // namespace Vantrel
