#include "Vantrel.UTF8.Utils.h"

#include <array>
#include <charconv>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace Vantrel {

namespace {

constexpr std::string_view Base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view Base64UrlAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Decoding table: the 6-bit value of each alphabet character, 0 for every
// other byte ('=' included), and a flag on the four blanks the decoder skips.
constexpr uint8_t BlankFlag = 0x40;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> T{};
  for (size_t I = 0; I < Base64Alphabet.size(); ++I) T[uint8_t(Base64Alphabet[I])] = uint8_t(I);
  for (char C : {'\t', '\n', '\r', ' '}) T[uint8_t(C)] = BlankFlag;
  return T;
}
constexpr auto DecodeTable = MakeDecodeTable();

constexpr bool DecodeTableIsSound() {
  int Zeros = 0, Blanks = 0;
  for (size_t I = 0; I < 256; ++I) {
    uint8_t V = DecodeTable[I];
    if (V == BlankFlag) ++Blanks;
    else if (V == 0) ++Zeros;
    else if (V > 63 || Base64Alphabet[V] != char(I)) return false;
  }
  // 'A' and every byte outside the alphabet and the blanks decode as 0.
  return Blanks == 4 && Zeros == 256 - 63 - 4;
}
static_assert(DecodeTable.size() == 256 && DecodeTableIsSound());
static_assert(DecodeTable['A'] == 0 && DecodeTable['/'] == 63 && DecodeTable['='] == 0 &&
              DecodeTable['-'] == 0 && DecodeTable['\n'] == BlankFlag);

// The same table with each value already shifted to its place in a group of
// four symbols (18, 12, 6, 0 bits), blanks marked by the top bit, so that the
// decoder's fast path ORs four lookups into three bytes.
constexpr uint32_t BlankMark = 0x80000000u;

constexpr std::array<uint32_t, 256> MakeShiftedTable(int Shift) {
  std::array<uint32_t, 256> T{};
  for (size_t I = 0; I < 256; ++I)
    T[I] = DecodeTable[I] == BlankFlag ? BlankMark : uint32_t(DecodeTable[I]) << Shift;
  return T;
}
constexpr std::array<uint32_t, 256> Shifted[4] = {MakeShiftedTable(18), MakeShiftedTable(12),
                                                  MakeShiftedTable(6), MakeShiftedTable(0)};
static_assert(Shifted[0]['/'] == 63u << 18 && Shifted[3]['/'] == 63 && Shifted[2]['\r'] == BlankMark &&
              Shifted[1]['='] == 0);

template <class C>
uint8_t Lookup(C Ch) {
  if constexpr (sizeof(C) == 1) {
    return DecodeTable[uint8_t(Ch)];
  } else {
    return Ch > 0xFF ? 0 : DecodeTable[uint8_t(Ch)];
  }
}

template <class C>
bool IsBlank(C Ch) {
  return Ch == C('\t') || Ch == C('\n') || Ch == C('\r') || Ch == C(' ');
}

void EncodeInto(const uint8_t* In, size_t Count, char* Out, std::string_view Abc) {
  size_t I = 0;
  for (; Count - I >= 3; I += 3) {
    uint32_t V = uint32_t(In[I]) << 16 | uint32_t(In[I + 1]) << 8 | In[I + 2];
    *Out++ = Abc[V >> 18];
    *Out++ = Abc[(V >> 12) & 63];
    *Out++ = Abc[(V >> 6) & 63];
    *Out++ = Abc[V & 63];
  }
  if (Count - I == 1) {
    uint32_t V = uint32_t(In[I]) << 16;
    *Out++ = Abc[V >> 18];
    *Out++ = Abc[(V >> 12) & 63];
    *Out++ = '=';
    *Out++ = '=';
  } else if (Count - I == 2) {
    uint32_t V = uint32_t(In[I]) << 16 | uint32_t(In[I + 1]) << 8;
    *Out++ = Abc[V >> 18];
    *Out++ = Abc[(V >> 12) & 63];
    *Out++ = Abc[(V >> 6) & 63];
    *Out++ = '=';
  }
}

std::string Encode(const void* Data, size_t Count, std::string_view Abc) {
  std::string Out(4 * (Count / 3 + (Count % 3 != 0)), '\0');
  EncodeInto(static_cast<const uint8_t*>(Data), Count, Out.data(), Abc);
  return Out;
}

// Blanks among Count bytes at P, eight bytes at a time while none of them
// is below '!' (all blanks are): a word has a byte below n when
// (x - n*0x01..) & ~x & 0x80.. != 0.
size_t CountBlanksScalar(const char* P, size_t Count) {
  constexpr uint64_t Ones = 0x0101010101010101u, Highs = 0x8080808080808080u;
  size_t Total = 0, I = 0;
  for (uint64_t W; Count - I >= 8; I += 8) {
    std::memcpy(&W, P + I, 8);
    if ((W - Ones * '!') & ~W & Highs)
      for (size_t K = I; K < I + 8; ++K) Total += IsBlank(P[K]);
  }
  for (; I < Count; ++I) Total += IsBlank(P[I]);
  return Total;
}

// Vector paths for long texts (documents carry megabytes of Base64), chosen
// once from what the processor offers; the scalar code below stays the
// reference and handles everything they leave.
#if defined(__x86_64__)

// Blanks among Count bytes at P: a byte is a blank when the table entry of
// its low nibble equals it (bytes from 0x80 look up 0 and never match).
__attribute__((target("avx2"))) size_t CountBlanksAvx2(const char* P, size_t Count) {
  const __m256i Blanks = _mm256_setr_epi8(' ', -1, -1, -1, -1, -1, -1, -1, -1, '\t', '\n', -1, -1, '\r', -1, -1,
                                          ' ', -1, -1, -1, -1, -1, -1, -1, -1, '\t', '\n', -1, -1, '\r', -1, -1);
  size_t Total = 0, I = 0;
  while (Count - I >= 32) {
    // Per-byte counters, summed before any of them can wrap.
    __m256i Counters = _mm256_setzero_si256();
    for (int Round = 0; Round < 255 && Count - I >= 32; ++Round, I += 32) {
      const __m256i V = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P + I));
      Counters = _mm256_sub_epi8(Counters, _mm256_cmpeq_epi8(_mm256_shuffle_epi8(Blanks, V), V));
    }
    const __m256i Sums = _mm256_sad_epu8(Counters, _mm256_setzero_si256());
    Total += uint64_t(_mm256_extract_epi64(Sums, 0)) + uint64_t(_mm256_extract_epi64(Sums, 1)) +
             uint64_t(_mm256_extract_epi64(Sums, 2)) + uint64_t(_mm256_extract_epi64(Sums, 3));
  }
  for (; I < Count; ++I) Total += IsBlank(P[I]);
  return Total;
}

// Decodes 32 symbols into 24 bytes at a time while every symbol of the block
// is in the alphabet (blanks, padding and other bytes are left to the scalar
// code) and Room leaves space for a 32-byte store. Answers the symbols used.
// The classification and packing follow W. Muła and D. Lemire, "Faster Base64
// Encoding and Decoding Using AVX2 Instructions" (ACM TOW 2018).
__attribute__((target("avx2"))) size_t DecodeBlocksAvx2(const char* Src, size_t Count, uint8_t* Out, size_t Room) {
  // Bit sets by low and by high nibble: a byte is outside the alphabet when they share a bit.
  const __m256i ByLow = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                         0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                         0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i ByHigh = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                          0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                          0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  // What to add to a symbol to get its value, by high nibble ('/' moved to slot 1).
  const __m256i Shift = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                         0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i Nibble = _mm256_set1_epi8(0x0F), Slash = _mm256_set1_epi8('/');
  const __m256i Pairs = _mm256_set1_epi32(0x01400140), Quads = _mm256_set1_epi32(0x00011000);
  const __m256i Order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                         2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i Lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  size_t I = 0;
  for (; Count - I >= 32 && Room >= 32; I += 32, Out += 24, Room -= 24) {
    __m256i V = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Src + I));
    const __m256i High = _mm256_and_si256(_mm256_srli_epi32(V, 4), Nibble);
    const __m256i Low = _mm256_and_si256(V, Nibble);
    if (!_mm256_testz_si256(_mm256_shuffle_epi8(ByLow, Low), _mm256_shuffle_epi8(ByHigh, High))) break;
    V = _mm256_add_epi8(V, _mm256_shuffle_epi8(Shift, _mm256_add_epi8(High, _mm256_cmpeq_epi8(V, Slash))));
    // Four 6-bit values to one 24-bit value per 32-bit lane, then the bytes in order.
    V = _mm256_madd_epi16(_mm256_maddubs_epi16(V, Pairs), Quads);
    V = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(V, Order), Lanes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out), V);
  }
  return I;
}

#endif

struct TBase64Paths {
  size_t (*CountBlanks)(const char* P, size_t Count);
  // nullptr when there is no vector path: the scalar code decodes everything.
  size_t (*DecodeBlocks)(const char* Src, size_t Count, uint8_t* Out, size_t Room);
};

const TBase64Paths& Base64Paths() {
  static const TBase64Paths Paths = [] {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return TBase64Paths{CountBlanksAvx2, DecodeBlocksAvx2};
#endif
    return TBase64Paths{CountBlanksScalar, nullptr};
  }();
  return Paths;
}

template <class C>
size_t DecodedSize(std::basic_string_view<C> Text) {
  size_t End = Text.size();
  while (End > 0 && IsBlank(Text[End - 1])) --End;
  size_t N = End;
  if constexpr (sizeof(C) == 1) {
    N -= Base64Paths().CountBlanks(Text.data(), End);
  } else {
    for (size_t I = 0; I < End; ++I) N -= IsBlank(Text[I]);
  }
  size_t Size = N / 4 * 3 + N % 4 * 3 / 4;
  size_t Padding = 0;
  if (End > 0 && Text[End - 1] == C('=')) {
    Padding = 1;
    size_t P = End - 1;
    while (P > 0 && IsBlank(Text[P - 1])) --P;
    if (P > 0 && Text[P - 1] == C('=')) Padding = 2;
  }
  // "=" alone or "==" would give a negative size: there are no bytes.
  return Size > Padding ? Size - Padding : 0;
}

template <class C>
void DecodeInto(std::basic_string_view<C> Src, uint8_t* Out, size_t Len) {
  const size_t N = Src.size();
  size_t I = 0;
  // The next symbol after any blanks; past the end of Src, zero bits.
  auto Next = [&]() -> uint32_t {
    while (I < N) {
      uint8_t V = Lookup(Src[I++]);
      if (!(V & BlankFlag)) return V;
    }
    return 0;
  };
  uint8_t* const End = Out + Len;
  while (End - Out >= 3) {
    if constexpr (sizeof(C) == 1) {
      if (const auto Blocks = Base64Paths().DecodeBlocks) {
        const size_t Used = Blocks(Src.data() + I, N - I, Out, size_t(End - Out));
        I += Used;
        Out += Used / 4 * 3;
      }
      // Then up to a block's worth of four symbols without blanks (others
      // count as zero bits here too) before the vector path is tried again.
      int Quanta = 0;
      for (; Quanta < 8 && End - Out >= 3 && N - I >= 4; ++Quanta, Out += 3, I += 4) {
        uint32_t V = Shifted[0][uint8_t(Src[I])] | Shifted[1][uint8_t(Src[I + 1])] |
                     Shifted[2][uint8_t(Src[I + 2])] | Shifted[3][uint8_t(Src[I + 3])];
        if (V & BlankMark) break;
        Out[0] = uint8_t(V >> 16);
        Out[1] = uint8_t(V >> 8);
        Out[2] = uint8_t(V);
      }
      if (Quanta == 8 || End - Out < 3) continue;
    }
    // A group with blanks, or the end of the text.
    uint32_t V = Next() << 18;
    V |= Next() << 12;
    V |= Next() << 6;
    V |= Next();
    Out[0] = uint8_t(V >> 16);
    Out[1] = uint8_t(V >> 8);
    Out[2] = uint8_t(V);
    Out += 3;
  }
  if (Out == End) return;
  // One byte needs two symbols, two bytes three: padding is never read.
  uint32_t V = Next() << 18;
  V |= Next() << 12;
  Out[0] = uint8_t(V >> 16);
  if (End - Out == 2) {
    V |= Next() << 6;
    Out[1] = uint8_t(V >> 8);
  }
}

template <class C>
std::string Decode(std::basic_string_view<C> Text) {
  std::string Out(DecodedSize(Text), '\0');
  DecodeInto(Text, reinterpret_cast<uint8_t*>(Out.data()), Out.size());
  return Out;
}

}  // namespace

std::string Base64EncodeBuffer(const void* Data, size_t Count) {
  return Encode(Data, Count, Base64Alphabet);
}

std::string Base64Encode(std::string_view Bytes) {
  return Encode(Bytes.data(), Bytes.size(), Base64Alphabet);
}

size_t Base64DecodedSize(std::string_view Text) { return DecodedSize(Text); }
size_t Base64DecodedSizeWide(std::u16string_view Text) { return DecodedSize(Text); }

void Base64DecodeBuffer(std::string_view Src, void* Dst, size_t Len) {
  DecodeInto(Src, static_cast<uint8_t*>(Dst), Len);
}

void Base64DecodeWide(std::u16string_view Src, void* Dst, size_t Len) {
  DecodeInto(Src, static_cast<uint8_t*>(Dst), Len);
}

std::string Base64Decode(std::string_view Text) { return Decode(Text); }
std::string Base64Decode(std::u16string_view Text) { return Decode(Text); }

std::string Base64UrlEncode(std::string_view Bytes) {
  std::string Out = Encode(Bytes.data(), Bytes.size(), Base64UrlAlphabet);
  while (!Out.empty() && Out.back() == '=') Out.pop_back();
  return Out;
}

bool IsValidUTF8(std::string_view Buffer) {
  const auto* P = reinterpret_cast<const uint8_t*>(Buffer.data());
  const size_t N = Buffer.size();
  bool MultiByte = false;
  size_t I = 0;
  while (I < N) {
    // Runs of ASCII eight bytes at a time.
    uint64_t Word;
    while (N - I >= 8 && (std::memcpy(&Word, P + I, 8), (Word & 0x8080808080808080u) == 0)) I += 8;
    if (I == N) break;
    uint8_t Lead = P[I];
    if (Lead < 0x80) {
      ++I;
      continue;
    }
    // RFC 3629 §4: the range of the second byte rules out overlong forms,
    // surrogates (ED A0..BF) and code points above U+10FFFF (F4 90..BF).
    size_t Need;
    uint8_t Low = 0x80, High = 0xBF;
    if (Lead >= 0xC2 && Lead <= 0xDF) {
      Need = 1;
    } else if (Lead >= 0xE0 && Lead <= 0xEF) {
      Need = 2;
      if (Lead == 0xE0) Low = 0xA0;
      if (Lead == 0xED) High = 0x9F;
    } else if (Lead >= 0xF0 && Lead <= 0xF4) {
      Need = 3;
      if (Lead == 0xF0) Low = 0x90;
      if (Lead == 0xF4) High = 0x8F;
    } else {
      return false;
    }
    if (N - I - 1 < Need) return false;
    if (P[I + 1] < Low || P[I + 1] > High) return false;
    for (size_t K = 2; K <= Need; ++K)
      if ((P[I + K] & 0xC0) != 0x80) return false;
    I += Need + 1;
    MultiByte = true;
  }
  return MultiByte;
}

std::string UTF16ToUTF8(std::u16string_view Text) {
  std::string S;
  S.reserve(Text.size());
  for (size_t I = 0; I < Text.size(); ++I) {
    uint32_t C = Text[I];
    if (C >= 0xD800 && C <= 0xDBFF && I + 1 < Text.size() && Text[I + 1] >= 0xDC00 &&
        Text[I + 1] <= 0xDFFF) {
      C = 0x10000 + ((C - 0xD800) << 10) + (Text[I + 1] - 0xDC00u);
      ++I;
    }
    AppendUTF8(S, C);  // a lone surrogate becomes U+FFFD there
  }
  return S;
}

size_t ReadUTF8(std::string_view S, uint32_t& CodePoint) {
  if (S.empty()) return 0;
  const uint8_t B = uint8_t(S[0]);
  CodePoint = B;
  if (B < 0x80) return 1;
  const size_t Need = B >= 0xC2 && B <= 0xDF ? 1 : B >= 0xE0 && B <= 0xEF ? 2 : B >= 0xF0 && B <= 0xF4 ? 3 : 0;
  if (Need == 0 || Need >= S.size()) return 0;
  CodePoint = Need == 1 ? B & 0x1F : Need == 2 ? B & 0x0F : B & 0x07;
  for (size_t K = 1; K <= Need; ++K) {
    const uint8_t C = uint8_t(S[K]);
    if ((C & 0xC0) != 0x80) return 0;
    // RFC 3629: no overlong form, no surrogate, nothing above U+10FFFF.
    if (K == 1 && ((B == 0xE0 && C < 0xA0) || (B == 0xED && C > 0x9F) || (B == 0xF0 && C < 0x90) ||
                   (B == 0xF4 && C > 0x8F)))
      return 0;
    CodePoint = CodePoint << 6 | (C & 0x3F);
  }
  return Need + 1;
}

std::u16string UTF8ToUTF16(std::string_view Text) {
  std::u16string Out;
  Out.reserve(Text.size());
  size_t I = 0;
  while (I < Text.size()) {
    uint8_t B = uint8_t(Text[I]);
    if (B < 0x80) {
      Out += char16_t(B);
      ++I;
      continue;
    }
    uint32_t CP = 0;
    const size_t Length = ReadUTF8(Text.substr(I), CP);
    if (Length == 0) {
      Out += char16_t(0xFFFD);
      ++I;
      continue;
    }
    if (CP >= 0x10000) {
      Out += char16_t(0xD800 + ((CP - 0x10000) >> 10));
      Out += char16_t(0xDC00 + ((CP - 0x10000) & 0x3FF));
    } else {
      Out += char16_t(CP);
    }
    I += Length;
  }
  return Out;
}

namespace {

// Windows-1252 0x80-0x9F; the unassigned bytes map to the C1 control of the
// same value.
constexpr char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

std::string UTF8ToWindows1252(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  size_t I = 0;
  while (I < Text.size()) {
    uint32_t CP = 0;
    const size_t Length = ReadUTF8(Text.substr(I), CP);
    I += Length ? Length : 1;
    char Byte = '?';
    if (Length && (CP < 0x80 || (CP >= 0xA0 && CP <= 0xFF))) {
      Byte = char(CP);
    } else if (Length && CP >= 0x100) {  // the C1 controls have no byte of their own
      for (size_t K = 0; K < std::size(Cp1252High); ++K)
        if (Cp1252High[K] == CP) Byte = char(0x80 + K);
    }
    Out += Byte;
  }
  return Out;
}

std::string Windows1252ToUTF8(std::string_view Bytes) {
  std::string Out;
  Out.reserve(Bytes.size() * 2);
  for (char Ch : Bytes) {
    uint8_t B = uint8_t(Ch);
    AppendUTF8(Out, B >= 0x80 && B < 0xA0 ? Cp1252High[B - 0x80] : char16_t(B));
  }
  return Out;
}

std::string IntToUTF8(int32_t Value) {
  char Buf[16];
  auto R = std::to_chars(Buf, Buf + sizeof Buf, Value);
  return std::string(Buf, R.ptr);
}

int32_t UTF8ToIntDef(std::string_view S, int32_t Default) {
  int32_t Value = 0;
  const char* End = S.data() + S.size();
  auto R = std::from_chars(S.data(), End, Value);
  return R.ec == std::errc() && R.ptr == End ? Value : Default;
}

std::string FileSizeText(int64_t Size) {
  if (Size == 0) return "vide";
  if (Size < 1024) return std::to_string(Size) + " octets";
  const uint64_t Bytes = uint64_t(Size);  // unsigned: Size + 512 cannot overflow
  const uint64_t K = (Bytes + 512) / 1024;
  if (Bytes + 512 < 1048576) return std::to_string(K) + " Ko";
  const uint64_t M = (K + 512) / 1024;
  if (K + 512 < 1048576) return std::to_string(M) + " Mo";
  return std::to_string((M + 512) / 1024) + " Go";
}

size_t UTF8PosEx(std::string_view SubStr, std::string_view S, size_t Offset) {
  if (SubStr.empty()) return 0;
  size_t From = Offset < 2 ? 0 : Offset - 1;
  if (From > S.size()) return 0;
  size_t P = S.find(SubStr, From);
  return P == std::string_view::npos ? 0 : P + 1;
}

std::string UTF8CopyBefore(std::string_view S, char Ch) {
  size_t P = S.find(Ch);
  return P == std::string_view::npos ? std::string() : std::string(S.substr(0, P));
}

std::string UTF8CopyBetween(std::string_view S, char Open, char Close) {
  size_t From = S.find(Open);
  if (From == std::string_view::npos) return {};
  size_t To = S.find(Close, From + 1);
  if (To == std::string_view::npos) return {};
  return std::string(S.substr(From + 1, To - From - 1));
}

void AppendBackslashEscaped(std::string& Out, std::string_view Text) {
  for (char C : Text) {
    switch (C) {
      case '\\': Out += "\\\\"; break;
      case '\t': Out += "\\t"; break;
      case '\n': Out += "\\n"; break;
      case '\r': Out += "\\r"; break;
      default: Out += C;
    }
  }
}

std::string BackslashUnescaped(std::string_view Text) {
  std::string Out;
  for (size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] != '\\' || I + 1 == Text.size()) {
      Out += Text[I];
      continue;
    }
    char C = Text[++I];
    Out += C == 't' ? '\t' : C == 'n' ? '\n' : C == 'r' ? '\r' : C;
  }
  return Out;
}

std::string NormalizeGUIDText(std::string_view S) {
  if (S.size() == 38 && S.front() == '{' && S.back() == '}') S = S.substr(1, 36);
  std::string Out(S);
  for (char& Ch : Out)
    if (Ch >= 'A' && Ch <= 'F') Ch = char(Ch - 'A' + 'a');
  return Out;
}

std::string LowerCaseASCII(std::string_view S) {
  std::string Out(S);
  for (char& C : Out) C = LowerASCII(C);
  return Out;
}

bool SameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (LowerASCII(A[I]) != LowerASCII(B[I])) return false;
  return true;
}

bool StartsText(std::string_view Prefix, std::string_view Text) {
  return Text.size() >= Prefix.size() && SameText(Prefix, Text.substr(0, Prefix.size()));
}

}  // namespace Vantrel
