#include "Vantrel.XML.Tree.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "Vantrel.UTF8.Utils.h"

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>  // no-op poisoning unless built with AddressSanitizer
#else
#define ASAN_POISON_MEMORY_REGION(Addr, Size) ((void)(Addr), (void)(Size))
#define ASAN_UNPOISON_MEMORY_REGION(Addr, Size) ((void)(Addr), (void)(Size))
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Vantrel {

namespace {

// ---------------------------------------------------------------------------
// Character classes (XML 1.0 §2.3 white space, plus the bytes that end a tag
// name or an attribute name in this reader).

enum : uint8_t {
  CBlank = 1,     // TAB, LF, CR, space: a text made only of these is dropped
  CSkip = 2,      // blanks skipped inside tags: the above and NUL
  CTagEnd = 4,    // ends a tag name: blanks, '/' and '>'
  CAttrEnd = 8,   // ends an attribute name: blanks and '='
  CStepEnd = 16,  // ends a selector step's name: '/' and '['
  CColon = 32,    // splits a qualified name
  CMarkup = 64,   // after '<', opens a declaration, comment or section ('!') or an instruction ('?')
  CAttrsEnd = 128,  // ends the attributes of a tag: '/', '>' and '?'
};

constexpr std::array<uint8_t, 256> MakeClasses() {
  std::array<uint8_t, 256> T{};
  for (unsigned char C : {'\t', '\n', '\r', ' '}) T[C] = CBlank | CSkip | CTagEnd | CAttrEnd;
  T[0] = CSkip;
  T['/'] = CTagEnd | CStepEnd;
  T['>'] = CTagEnd;
  T['='] = CAttrEnd;
  T['['] = CStepEnd;
  T[':'] = CColon;
  T['!'] = T['?'] = CMarkup;
  T['/'] |= CAttrsEnd;
  T['>'] |= CAttrsEnd;
  T['?'] |= CAttrsEnd;
  return T;
}
constexpr std::array<uint8_t, 256> Classes = MakeClasses();

constexpr bool Is(char C, uint8_t Class) { return (Classes[uint8_t(C)] & Class) != 0; }

static_assert(Is(' ', CBlank) && Is('\t', CBlank) && Is('\n', CBlank) && Is('\r', CBlank));
static_assert(Is('\0', CSkip) && !Is('\0', CBlank) && Is(' ', CSkip) && !Is('\v', CSkip));
static_assert(Is('/', CTagEnd) && Is('>', CTagEnd) && Is(' ', CTagEnd) && !Is('=', CTagEnd));
static_assert(Is('=', CAttrEnd) && Is('\t', CAttrEnd) && !Is('>', CAttrEnd) && !Is('/', CAttrEnd));
static_assert(Is('/', CStepEnd) && Is('[', CStepEnd) && !Is(']', CStepEnd));
static_assert(Classes['a'] == 0 && Classes[':'] == CColon && Classes['<'] == 0 && Classes[0xC3] == 0);

// Digit values of numeric character references: '0'-'9', and in the
// hexadecimal form every letter counts as a digit (a = 10 ... z = 35).
constexpr uint8_t NotDigit = 0xFF;
constexpr std::array<uint8_t, 256> MakeDigits() {
  std::array<uint8_t, 256> T{};
  for (auto& V : T) V = NotDigit;
  for (int C = '0'; C <= '9'; ++C) T[size_t(C)] = uint8_t(C - '0');
  for (int C = 'a'; C <= 'z'; ++C) T[size_t(C)] = T[size_t(C - 'a' + 'A')] = uint8_t(C - 'a' + 10);
  return T;
}
constexpr std::array<uint8_t, 256> Digits = MakeDigits();
static_assert(Digits['0'] == 0 && Digits['9'] == 9 && Digits['a'] == 10 && Digits['F'] == 15);
static_assert(Digits['z'] == 35 && Digits['Z'] == 35 && Digits[';'] == NotDigit && Digits['#'] == NotDigit);

// Scanners over [P, End). A scan of one kind stops at a byte of a class (or
// at a byte out of it); before its guard, the end of the part of the text
// that still holds such a byte, the text itself is the sentinel and no
// length is tested.

// The first byte whose class is (In) or is not (!In) in Class; End when none.
template <uint8_t Class, bool In>
[[gnu::always_inline]] inline const char* Scan(const char* P, const char* End, const char* Guard) {
  if (P < Guard)
    for (;; P += 4) {
      if (Is(P[0], Class) == In) return P;
      if (Is(P[1], Class) == In) return P + 1;
      if (Is(P[2], Class) == In) return P + 2;
      if (Is(P[3], Class) == In) return P + 3;
    }
  for (; P < End; ++P)
    if (Is(*P, Class) == In) return P;
  return End;
}

template <uint8_t Class>
[[gnu::always_inline]] inline const char* FindClass(const char* P, const char* End, const char* Guard) {
  return Scan<Class, true>(P, End, Guard);
}
template <uint8_t Class>
[[gnu::always_inline]] inline const char* SkipClass(const char* P, const char* End, const char* Guard) {
  return Scan<Class, false>(P, End, Guard);
}

// The guard of Scan<Class, In> over [Text, End): just after the last byte that stops it.
template <uint8_t Class, bool In>
const char* GuardOf(const char* Text, const char* End) {
  while (End > Text && Is(End[-1], Class) != In) --End;
  return End;
}

// The first C in [P, End), End when none. Attribute values and texts between
// tags are mostly short: their first 64 bytes are searched here, 16 at a
// time, and only a longer run goes to the C library's memchr.
[[gnu::always_inline]] inline const char* FindByte(const char* P, const char* End, char C) {
#if defined(__SSE2__)
  const __m128i Needle = _mm_set1_epi8(C);
  for (int Block = 0; Block < 4 && End - P >= 16; ++Block, P += 16) {
    const __m128i Bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
    if (const int Mask = _mm_movemask_epi8(_mm_cmpeq_epi8(Bytes, Needle))) return P + __builtin_ctz(unsigned(Mask));
  }
#endif
  const void* Found = std::memchr(P, C, size_t(End - P));
  return Found ? static_cast<const char*>(Found) : End;
}

// ---------------------------------------------------------------------------
// Values

[[noreturn]] void InvalidDate(std::string_view Prefix, const std::string& S) {
  throw std::runtime_error(std::string(Prefix) + S);
}

// Reads Count decimal digits at Pos; "Invalid date " + S when one is not a digit.
int DatePart(const std::string& S, size_t Pos, size_t Count) {
  int V = 0;
  for (size_t I = Pos; I < Pos + Count; ++I) {
    if (I >= S.size() || S[I] < '0' || S[I] > '9') InvalidDate("Invalid date ", S);
    V = V * 10 + (S[I] - '0');
  }
  return V;
}

TDateTime EncodeDate(int Y, int M, int D) {
  TDateTime R = 0;
  if (!TryEncodeDate(Y, M, D, R)) throw std::runtime_error("Invalid argument to date encode");
  return R;
}

TDateTime EncodeTime(int H, int M, int S) {
  TDateTime R = 0;
  if (!TryEncodeTime(H, M, S, 0, R)) throw std::runtime_error("Invalid argument to time encode");
  return R;
}

bool AllDigits(std::string_view S) {
  return std::all_of(S.begin(), S.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// The compact HL7 v3 timestamp: yyyy[mm[dd[hh[mm[ss]]]]] of 8 to 14 digits,
// or 12 or 14 digits followed by a zone offset +hhmm / -hhmm. Answers false
// when the text is not of that form or a part is out of range.
bool ReadCompactDate(const std::string& S, TDateTime& Result) {
  size_t N = S.size(), DigitCount = 0;
  if (N >= 8 && N <= 14)
    DigitCount = N;
  else if (N == 17 && (S[12] == '+' || S[12] == '-'))
    DigitCount = 12;
  else if (N == 19 && (S[14] == '+' || S[14] == '-'))
    DigitCount = 14;
  else
    return false;
  std::string_view V(S);
  if (!AllDigits(V.substr(0, DigitCount)) || !AllDigits(V.substr(std::min(N, DigitCount + 1)))) return false;
  int Parts[6] = {};
  Parts[0] = DatePart(S, 0, 4);
  for (size_t I = 1, Pos = 4; I < 6 && Pos < DigitCount; ++I, Pos += 2)
    Parts[I] = DatePart(S, Pos, std::min<size_t>(2, DigitCount - Pos));
  if (Parts[0] <= 1900 || Parts[1] > 12 || Parts[2] > 31 || Parts[3] >= 24 || Parts[4] >= 60 || Parts[5] >= 60)
    return false;
  Result = ComposeDateTime(EncodeDate(Parts[0], Parts[1], Parts[2]), EncodeTime(Parts[3], Parts[4], Parts[5]));
  if (DigitCount < N) {
    // ISO 8601 offset from UTC: local = UTC + offset.
    int Minutes = DatePart(S, DigitCount + 1, 2) * 60 + DatePart(S, DigitCount + 3, 2);
    if (S[DigitCount] == '-') Minutes = -Minutes;
    Result = UTCToLocal(Result - Minutes / 1440.0);
  }
  return true;
}

TDateTime ReadDateTime(const std::string& S) {
  TDateTime R = 0;
  if (ReadCompactDate(S, R)) return R;
  size_t N = S.size();
  if (N == 8 && S[2] == ':' && S[5] == ':')
    return EncodeTime(DatePart(S, 0, 2), DatePart(S, 3, 2), DatePart(S, 6, 2));
  if (N < 10 || S[4] != '-' || S[7] != '-') InvalidDate("Invalid date ", S);
  int Y = DatePart(S, 0, 4), M = DatePart(S, 5, 2), D = DatePart(S, 8, 2);
  TDateTime Date = (Y == 0 && M == 0 && D == 0) ? 0 : EncodeDate(Y, M, D);
  if (N == 10) return Date;
  if (N < 19 || (S[10] != 'T' && S[10] != ' ') || S[13] != ':' || S[16] != ':')
    InvalidDate("Invalid date/time ", S);
  // Fractions of a second and a zone after position 19 are not read.
  return ComposeDateTime(Date, EncodeTime(DatePart(S, 11, 2), DatePart(S, 14, 2), DatePart(S, 17, 2)));
}

// A qualified name from P up to a byte of class Stop (or the end), split at
// its first ':' as TXMLString::GetPrefix does; Guard is the scan's for class
// Stop. Answers the end of the name.
template <uint8_t Stop>
[[gnu::always_inline]] inline const char* ReadName(const char* P, const char* End, const char* Guard, TXMLString& Prefix, TXMLString& Name) {
  const char* Start = P;
  P = FindClass<Stop | CColon>(P, End, Guard);
  if (P == End || *P != ':') {
    Prefix = {Start, 0};
    Name = {Start, int32_t(P - Start)};
    return P;
  }
  const char* Colon = P;
  P = FindClass<Stop>(Colon + 1, End, Guard);
  Prefix = {Start, int32_t(Colon - Start)};
  Name = {Colon + 1, int32_t(P - Colon - 1)};
  return P;
}

// ---------------------------------------------------------------------------
// Tree storage.
//
// A tree's nodes and attributes live in chunks of MinChunk to MaxChunk bytes,
// below the size from which the C library maps memory for each allocation,
// and in blocks of other sizes (a run larger than MaxChunk, a chunk cut to
// size). Most chunks are standard ones, of a power of two: the sizes of a
// level double up to MaxChunk.
//
// Freeing a large tree would let the C library give its pages back to the
// system (heap trimming), and the next build of a like document would take
// every page again with a fault: about half of a markup-dense parse. So the
// standard chunks of freed trees are kept for the next builds, on any thread,
// up to XMLTreeCacheLimit bytes in all, lowest addresses first, so that the
// heap above them can still be trimmed; those beyond the bound and the other
// blocks go back to the C library. Under AddressSanitizer a cached chunk is
// poisoned, so a use of a freed tree is still reported, but for its first
// word, which links it to the next (the leak checker skips poisoned words).

constexpr size_t MinChunk = 1024, MaxChunk = 64 * 1024;

constexpr bool IsStandardChunk(size_t Size) {
  return Size >= MinChunk && Size <= MaxChunk && (Size & (Size - 1)) == 0;
}

struct TBlock {
  void* Start;
  size_t Size;  // as asked for
};

class TChunkCache {
 public:
  // A cached chunk of the standard Size, nullptr when none.
  char* Take(size_t Size) {
    std::lock_guard Lock(FLock);
    void*& First = FFirst[ClassOf(Size)];
    void* Chunk = First;
    if (!Chunk) return nullptr;
    ASAN_UNPOISON_MEMORY_REGION(Chunk, Size);
    std::memcpy(&First, Chunk, sizeof(void*));
    FBytes -= Size;
    return static_cast<char*>(Chunk);
  }

  // Keeps the standard chunks it has room for, in order, and nulls them in
  // Blocks; the caller frees the others.
  void Keep(std::span<TBlock> Blocks) {
    std::lock_guard Lock(FLock);
    for (TBlock& B : Blocks) {
      if (!B.Start || !IsStandardChunk(B.Size) || FBytes + B.Size > XMLTreeCacheLimit) continue;
      void*& First = FFirst[ClassOf(B.Size)];
      std::memcpy(B.Start, &First, sizeof(void*));
      ASAN_POISON_MEMORY_REGION(static_cast<char*>(B.Start) + sizeof(void*), B.Size - sizeof(void*));
      First = std::exchange(B.Start, nullptr);
      FBytes += B.Size;
    }
  }

  size_t Bytes() {
    std::lock_guard Lock(FLock);
    return FBytes;
  }

 private:
  static size_t ClassOf(size_t Size) { return size_t(std::countr_zero(Size / MinChunk)); }

  std::mutex FLock;
  void* FFirst[std::countr_zero(MaxChunk / MinChunk) + 1] = {};  // one list per size, linked by each chunk's first word
  size_t FBytes = 0;
};

// Never destroyed, so that trees freed by other static destructors find it.
constinit TChunkCache ChunkCache;
static_assert(std::is_trivially_destructible_v<TChunkCache>);

// The blocks of one tree, given back with it.
class TArena {
 public:
  TArena() = default;
  TArena(const TArena&) = delete;
  TArena& operator=(const TArena&) = delete;
  ~TArena() {
    // Lowest addresses first (see above).
    std::sort(FBlocks.begin(), FBlocks.end(), [](const TBlock& A, const TBlock& B) {
      return std::less<void*>()(A.Start, B.Start);
    });
    ChunkCache.Keep(FBlocks);
    for (const TBlock& B : FBlocks) std::free(B.Start);
  }

  // A new block of Size bytes, and its index for Resize.
  char* Add(size_t Size, size_t& Index) {
    if (FBlocks.size() == FBlocks.capacity()) FBlocks.reserve(2 * FBlocks.size() + 8);  // no block lost on a throw
    void* Block = IsStandardChunk(Size) ? ChunkCache.Take(Size) : nullptr;
    Index = FBlocks.size();
    FBlocks.push_back({Block ? Block : Checked(std::malloc(Size)), Size});
    return static_cast<char*>(FBlocks.back().Start);
  }
  // The block Index with a new size and its bytes kept; it may move.
  char* Resize(size_t Index, size_t Size) {
    FBlocks[Index] = {Checked(std::realloc(FBlocks[Index].Start, Size)), Size};
    return static_cast<char*>(FBlocks[Index].Start);
  }
  // To the cache, or back to the C library.
  void Free(size_t Index) {
    ChunkCache.Keep(std::span(FBlocks).subspan(Index, 1));
    std::free(std::exchange(FBlocks[Index].Start, nullptr));
  }

 private:
  static void* Checked(void* Block) {
    if (!Block) throw std::bad_alloc();
    return Block;
  }
  std::vector<TBlock> FBlocks;
};

// The parser's stacks of trivially copyable items: pushing is inline,
// growing doubles the storage.
template <typename T>
class TStack {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  TStack() = default;
  TStack(const TStack&) = delete;
  TStack& operator=(const TStack&) = delete;
  ~TStack() { std::free(FItems); }

  T& Push() {
    if (FSize == FCapacity) Grow();
    return *::new (FItems + FSize++) T{};
  }
  T Pop() { return FItems[--FSize]; }
  T& Top() { return FItems[FSize - 1]; }
  const T& Top() const { return FItems[FSize - 1]; }
  T& operator[](size_t I) { return FItems[I]; }
  size_t Size() const { return FSize; }
  T* begin() { return FItems; }
  T* end() { return FItems + FSize; }

 private:
  void Grow() {
    const size_t Capacity = std::max<size_t>(16, FCapacity * 2);
    void* Items = std::realloc(FItems, Capacity * sizeof(T));
    if (!Items) throw std::bad_alloc();
    FItems = static_cast<T*>(Items);
    FCapacity = Capacity;
  }

  T* FItems = nullptr;
  size_t FSize = 0;
  size_t FCapacity = 0;
};

// Count bytes at A and B alike: names are short, compared a word at a time
// (the last word overlapping the one before) without a call.
inline bool SameBytes(const char* A, const char* B, size_t Count) {
  auto Word = [](const char* P) {
    uint64_t W;
    std::memcpy(&W, P, sizeof W);
    return W;
  };
  auto Half = [](const char* P) {
    uint32_t W;
    std::memcpy(&W, P, sizeof W);
    return W;
  };
  if (Count >= 8) {
    for (size_t I = 0; I + 8 < Count; I += 8)
      if (Word(A + I) != Word(B + I)) return false;
    return Word(A + Count - 8) == Word(B + Count - 8);
  }
  if (Count >= 4) return Half(A) == Half(B) && Half(A + Count - 4) == Half(B + Count - 4);
  for (size_t I = 0; I < Count; ++I)
    if (A[I] != B[I]) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Selector paths, parsed whole before they are matched.

struct TStep {
  std::string_view Name;   // empty: any node
  std::string_view Attr;   // with HasAttr
  std::string_view Value;  // with HasValue, compared with the raw attribute value
  bool HasAttr = false;
  bool HasValue = false;
  bool Descendant = false;  // preceded by an empty step ("//")
  int Counter = -1;         // [n]; -1 when absent
};

[[noreturn]] void PathError(const char* Message, std::string_view Path, size_t At) {
  throw EXPathError(Message, std::string(Path), int32_t(std::min<size_t>(At, INT32_MAX)));
}

std::vector<TStep> ParsePath(std::string_view Path) {
  std::vector<TStep> Steps;
  size_t N = Path.size(), I = 0;
  if (I < N && Path[I] == '/') ++I;  // one leading '/' is skipped
  while (I < N) {
    TStep Step;
    if (Path[I] == '/') {
      Step.Descendant = true;
      if (++I < N && Path[I] == '/') PathError("Invalid Path", Path, I + 1);
    }
    size_t NameStart = I;
    while (I < N && !Is(Path[I], CStepEnd)) ++I;
    Step.Name = Path.substr(NameStart, I - NameStart);
    if (I < N && Path[I] == '[') {
      size_t DigitStart = ++I;
      while (I < N && Path[I] >= '0' && Path[I] <= '9') ++I;
      if (I > DigitStart) {
        int64_t Counter = 0;
        for (size_t K = DigitStart; K < I; ++K) Counter = std::min<int64_t>(Counter * 10 + (Path[K] - '0'), INT32_MAX);
        Step.Counter = int(Counter);
      }
      if (I < N && Path[I] == '@') {
        size_t AttrStart = ++I;
        while (I < N && Path[I] != '=' && Path[I] != ']') ++I;
        Step.Attr = Path.substr(AttrStart, I - AttrStart);
        Step.HasAttr = true;
        if (I < N && Path[I] == '=') {
          size_t ValueStart = ++I;
          while (I < N && Path[I] != ']') ++I;
          Step.Value = Path.substr(ValueStart, I - ValueStart);
          Step.HasValue = true;
        }
      }
      if (I >= N) PathError("Unexpected end of path", Path, N + 1);
      if (Path[I] != ']') PathError("Unpexected character", Path, I + 1);
      ++I;
    }
    Steps.push_back(Step);
    if (I >= N) break;
    if (Path[I] == '/')
      ++I;
    else if (N - I >= 2)  // only after a predicate's ']'
      PathError("Unpexected character", Path, I + 1);
    // else the single character left is read as a further step
  }
  return Steps;
}

// The name and attribute tests of a step; the counter is the caller's.
bool NameAndAttributeFit(const TStep& Step, const TXMLNode& N) {
  if (!Step.Name.empty() && !N.Name.Compare(Step.Name)) return false;
  if (!Step.HasAttr) return true;
  const TXMLString* A = N.GetAttribute(Step.Attr);
  return A && (!Step.HasValue || A->View() == Step.Value);
}

// The next node after N in pre-order, staying inside Top's subtree.
PXMLNode NextInSubtree(PXMLNode N, PXMLNode Top) {
  if (N->Length() > 0) return N->Children().data();
  for (; N != Top; N = N->Parent)
    if (PXMLNode S = N->Sibling()) return S;
  return nullptr;
}

// The nodes that fit one step from a context node, one at a time. A normal
// step tries the context's children; a descendant step tries the children of
// every node of the context's subtree, the parents taken in pre-order.
class TCandidates {
 public:
  TCandidates(const TStep& AStep, PXMLNode AContext)
      : FStep(&AStep), FContext(AContext), FParent(AContext), FCounter(AStep.Counter) {}

  PXMLNode Next() {
    for (;;) {
      auto Children = FParent->Children();
      while (FChild < Children.size()) {
        PXMLNode C = &Children[FChild++];
        if (Fits(*C)) return C;
      }
      if (!FStep->Descendant) return nullptr;
      FParent = NextInSubtree(FParent, FContext);
      if (!FParent) return nullptr;
      FChild = 0;
      FCounter = FStep->Counter;  // counted afresh for each parent
    }
  }

 private:
  // [n] lets the n-th fitting child through, and every later one (for the
  // back-tracking); [0] lets none through.
  bool Fits(const TXMLNode& C) {
    if (!NameAndAttributeFit(*FStep, C)) return false;
    if (FCounter == -1 || FCounter == 1) return true;
    if (FCounter > 1) --FCounter;
    return false;
  }

  const TStep* FStep;
  PXMLNode FContext;
  PXMLNode FParent;
  size_t FChild = 0;
  int FCounter;
};

// Matches Steps[From...] from Context with back-tracking: when the rest of the
// path fails below a candidate, the next candidate of that step is tried.
PXMLNode MatchSteps(const std::vector<TStep>& Steps, size_t From, PXMLNode Context) {
  if (From >= Steps.size()) return Context;
  std::vector<TCandidates> Stack;
  Stack.emplace_back(Steps[From], Context);
  while (!Stack.empty()) {
    PXMLNode C = Stack.back().Next();
    if (!C) {
      Stack.pop_back();
      continue;
    }
    size_t Level = From + Stack.size();
    if (Level == Steps.size()) return C;
    Stack.emplace_back(Steps[Level], C);
  }
  return nullptr;
}

// The first step of a tree's path, tried on the root alone.
bool StepFitsNode(const TStep& Step, const TXMLNode& N) {
  return NameAndAttributeFit(Step, N) && (Step.Counter == -1 || Step.Counter == 1);
}

const TXMLNode EmptyNode{};

}  // namespace

// ---------------------------------------------------------------------------
// TXMLString

int TXMLString::Pos(char Ch) const {
  if (Len <= 0) return -1;
  const void* P = std::memchr(Start, Ch, size_t(Len));
  return P ? int(static_cast<const char*>(P) - Start) : -1;
}

void TXMLString::GetPrefix(TXMLString& Prefix) {
  int I = Pos(':');
  Prefix.Start = Start;
  if (I < 0) {
    Prefix.Len = 0;
    return;
  }
  Prefix.Len = I;
  Start += I + 1;
  Len -= I + 1;
}

bool TXMLString::StartWith(std::string_view AStr, int AOffset) const {
  if (IsNil() || AOffset < 0 || int64_t(Len) < int64_t(AOffset) + int64_t(AStr.size())) return false;
  return std::memcmp(Start + AOffset, AStr.data(), AStr.size()) == 0;
}

bool TXMLString::Compare(std::string_view AStr) const {
  return Start && size_t(Len) == AStr.size() && std::memcmp(Start, AStr.data(), AStr.size()) == 0;
}

bool TXMLString::iMatch(std::string_view AStr) const {
  return Start && SameText(std::string_view(Start, size_t(Len)), AStr);
}

std::string TXMLString::Value() const {
  std::string R;
  XMLDecodeEntities(View(), true, R);
  return R;
}

std::string TXMLString::AnsiValue() const {
  std::string R;
  XMLDecodeEntities(View(), false, R);
  return R;
}

int TXMLString::AsInteger() const {
  if (IsNil()) return 0;
  std::string S = Value();
  const char* First = S.data();
  const char* Last = First + S.size();
  if (Last - First >= 2 && First[0] == '+' && First[1] != '-') ++First;
  int V = 0;
  auto [End, Ec] = std::from_chars(First, Last, V);
  if (Ec != std::errc() || End != Last || First == Last)
    throw std::runtime_error("'" + S + "' is not a valid integer value");
  return V;
}

TDateTime TXMLString::AsDateTime() const {
  if (IsNil() || Len == 0) return 0;
  return ReadDateTime(Value());
}

namespace {

// What a malformed numeric reference does: fail the decoding, or stay as written.
enum class TMalformed : uint8_t { Fail, Keep };

// A well-formed character reference (XML 1.0 §4.1: "#" decimal digits ";" or
// "#x" hexadecimal digits ";", naming a character of §2.2) at the start of
// Rest, which follows the '&': its code point and its length, 0 when Rest
// holds none.
size_t WellFormedCharReference(std::string_view Rest, uint32_t& Code) {
  const bool Hex = Rest.starts_with("#x");
  size_t J = Hex ? 2 : 1;
  const size_t First = J;
  Code = 0;
  for (; J < Rest.size() && Rest[J] != ';'; ++J) {
    const uint8_t D = Digits[uint8_t(Rest[J])];
    if (D >= (Hex ? 16 : 10)) return 0;
    Code = std::min<uint32_t>(Code * (Hex ? 16 : 10) + D, 0x110000);
  }
  const bool Char = Code == 0x9 || Code == 0xA || Code == 0xD || (Code >= 0x20 && Code <= 0xD7FF) ||
                    (Code >= 0xE000 && Code <= 0xFFFD) || (Code >= 0x10000 && Code <= 0x10FFFF);
  if (J == First || J == Rest.size() || !Char) return 0;
  return J + 1;
}

// False at a numeric reference with a character that is no digit, unless
// Malformed keeps such references as written (with the stricter form above).
bool TryDecodeEntities(std::string_view S, bool UTF8, std::string& Result,
                       TMalformed Malformed = TMalformed::Fail) {
  size_t Amp = S.find('&');
  if (Amp == std::string_view::npos) {
    Result.assign(S);
    return true;
  }
  static constexpr std::pair<std::string_view, char> Named[] = {
      {"amp;", '&'}, {"apos;", '\''}, {"gt;", '>'}, {"lt;", '<'}, {"quot;", '"'}};
  auto AppendCode = [&](uint32_t Code) {
    if (UTF8)
      AppendUTF8(Result, Code == 0 ? 0xFFFD : Code);  // no NUL in a value
    else
      Result += (Code == 0 || Code > 255) ? '?' : char(Code);
  };
  Result.clear();
  Result.reserve(S.size());
  size_t I = 0, N = S.size();
  while (Amp != std::string_view::npos) {
    Result.append(S.substr(I, Amp - I));
    std::string_view Rest = S.substr(Amp + 1);
    I = Amp + 1;
    bool Done = false;
    for (const auto& [Name, Ch] : Named)
      if (Rest.starts_with(Name)) {
        Result += Ch;
        I += Name.size();
        Done = true;
        break;
      }
    if (!Done && Rest.starts_with('#') && Malformed == TMalformed::Keep) {
      uint32_t Code = 0;
      if (size_t Length = WellFormedCharReference(Rest, Code)) {
        AppendCode(Code);
        I += Length;
        Done = true;
      }
    } else if (!Done && Rest.starts_with('#')) {
      // Up to ';' or the end of the text; every letter counts as a hexadecimal digit.
      size_t J = I + 1;
      bool Hex = J < N && S[J] == 'x';
      if (Hex) ++J;
      uint32_t Code = 0;
      for (; J < N && S[J] != ';'; ++J) {
        uint8_t D = Digits[uint8_t(S[J])];
        if (D == NotDigit || (!Hex && D > 9)) return false;
        Code = std::min<uint32_t>(Code * (Hex ? 16 : 10) + D, 0x110000);
      }
      AppendCode(Code);
      I = J < N ? J + 1 : N;
      Done = true;
    }
    if (!Done) Result += '&';
    Amp = S.find('&', I);
  }
  Result.append(S.substr(std::min(I, N)));
  return true;
}

// A namespace URI for the lookups, which never raise: decoded, or as written
// when a reference in it is malformed.
std::string NamespaceValue(const TXMLString& S) {
  std::string R;
  return TryDecodeEntities(S.View(), true, R) ? R : S.RawValue();
}

}  // namespace

void XMLDecodeEntities(std::string_view S, bool UTF8, std::string& Result) {
  if (!TryDecodeEntities(S, UTF8, Result)) throw std::runtime_error("Invalid numeric character");
}

size_t XMLReferenceLength(std::string_view S) {
  static constexpr std::string_view Named[] = {"&amp;", "&apos;", "&gt;", "&lt;", "&quot;"};
  for (std::string_view Name : Named)
    if (S.starts_with(Name)) return Name.size();
  uint32_t Code = 0;
  const size_t Length = S.starts_with("&#") ? WellFormedCharReference(S.substr(1), Code) : 0;
  return Length ? Length + 1 : 0;
}

namespace {

// XML 1.0 (fifth edition) §2.3 NameStartChar and NameChar, without ':'.
bool IsNameStartChar(uint32_t C) {
  return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || C == '_' || (C >= 0xC0 && C <= 0xD6) ||
         (C >= 0xD8 && C <= 0xF6) || (C >= 0xF8 && C <= 0x2FF) || (C >= 0x370 && C <= 0x37D) ||
         (C >= 0x37F && C <= 0x1FFF) || (C >= 0x200C && C <= 0x200D) || (C >= 0x2070 && C <= 0x218F) ||
         (C >= 0x2C00 && C <= 0x2FEF) || (C >= 0x3001 && C <= 0xD7FF) || (C >= 0xF900 && C <= 0xFDCF) ||
         (C >= 0xFDF0 && C <= 0xFFFD) || (C >= 0x10000 && C <= 0xEFFFF);
}

bool IsNameChar(uint32_t C) {
  return IsNameStartChar(C) || C == '-' || C == '.' || (C >= '0' && C <= '9') || C == 0xB7 ||
         (C >= 0x300 && C <= 0x36F) || (C >= 0x203F && C <= 0x2040);
}

}  // namespace

bool IsNCName(std::string_view S) {
  if (S.empty()) return false;
  for (size_t I = 0; I < S.size();) {
    uint32_t C = 0;
    const size_t Length = ReadUTF8(S.substr(I), C);
    if (Length == 0 || !(I == 0 ? IsNameStartChar(C) : IsNameChar(C))) return false;
    I += Length;
  }
  return true;
}

std::string XMLDecodeEntitiesKeepingMalformed(std::string_view S) {
  std::string R;
  TryDecodeEntities(S, true, R, TMalformed::Keep);
  return R;
}

// ---------------------------------------------------------------------------
// TXMLAttribute

std::string TXMLAttribute::FullName() const {
  if (Prefix.Len > 0) return Prefix.RawValue() + ':' + Name.RawValue();
  return Name.RawValue();
}

bool TXMLAttribute::IsNamespace() const {
  return (Prefix.Len == 0 && Name.Compare("xmlns")) || Prefix.Compare("xmlns");
}

// ---------------------------------------------------------------------------
// TXMLNode

PXMLNode TXMLNode::LastChild() const { return FChildCount > 0 ? &FChildren[FChildCount - 1] : nullptr; }

PXMLNode TXMLNode::Sibling() const {
  if (!Parent) return nullptr;
  auto Siblings = Parent->Children();
  return this + 1 < Siblings.data() + Siblings.size() ? this + 1 : nullptr;
}

PXMLNode TXMLNode::GetChild(std::string_view AName) const { return GetNthChild(AName, 1); }

bool TXMLNode::HasChild(std::string_view AName, PXMLNode& AChild) const {
  AChild = GetChild(AName);
  return AChild != nullptr;
}

PXMLNode TXMLNode::GetNthChild(std::string_view AName, int ANth) const {
  for (const TXMLNode& C : Children())
    if (C.Name.Compare(AName) && --ANth <= 0) return &C;
  return nullptr;
}

bool TXMLNode::HasNthChild(std::string_view AName, int ANth, PXMLNode& AChild) const {
  AChild = GetNthChild(AName, ANth);
  return AChild != nullptr;
}

PXMLNode TXMLNode::GetChildNS(std::string_view AName, std::string_view ANamespace) const {
  return GetNthChildNS(AName, ANamespace, 1);
}

PXMLNode TXMLNode::GetNthChildNS(std::string_view AName, std::string_view ANamespace, int ANth) const {
  for (const TXMLNode& C : Children())
    if (C.Match(AName, ANamespace) && --ANth <= 0) return &C;
  return nullptr;
}

PXMLNode TXMLNode::GetChildAt(std::span<const std::string_view> APath) const {
  PXMLNode N = this;
  for (std::string_view Step : APath)
    if (!(N = N->GetChild(Step))) return nullptr;
  return N;
}

bool TXMLNode::HasChildAt(std::span<const std::string_view> APath, PXMLNode& AChild) const {
  AChild = GetChildAt(APath);
  return AChild != nullptr;
}

std::vector<PXMLNode> TXMLNode::GetChilds(std::string_view AName) const {
  std::vector<PXMLNode> R;
  for (const TXMLNode& C : Children())
    if (C.Name.Compare(AName)) R.push_back(&C);
  return R;
}

std::vector<PXMLNode> TXMLNode::GetChildsNS(std::string_view AName, std::string_view ANamespace) const {
  std::vector<PXMLNode> R;
  for (const TXMLNode& C : Children())
    if (C.Match(AName, ANamespace)) R.push_back(&C);
  return R;
}

PXMLNode TXMLNode::Search(std::string_view AName, int Nth) const {
  TXMLSearch S;
  for (bool Found = S.FindNode(this, AName); Found; Found = S.FindNext())
    if (--Nth <= 0) return S.Node;
  return nullptr;
}

const TXMLString* TXMLNode::GetAttribute(std::string_view AName) const {
  for (const TXMLAttribute& A : Attrs())
    if (A.Name.Compare(AName)) return &A.Value;
  return nullptr;
}

bool TXMLNode::HasAttribute(std::string_view AName, const TXMLString*& AAttr) const {
  AAttr = GetAttribute(AName);
  return AAttr != nullptr;
}

std::string TXMLNode::GetAttributeNS(std::string_view AName, std::string_view APrefix) const {
  for (const TXMLAttribute& A : Attrs())
    if (A.Name.Compare(AName) && A.Prefix.View() == APrefix) return A.Value.Value();
  return {};
}

std::string TXMLNode::Namespace() const {
  for (PXMLNode N = this; N; N = N->Parent) {
    if (N->Prefix.Len > 0) return N->ResolveNS(N->Prefix.View());
    for (const TXMLAttribute& A : N->Attrs())
      if (A.Prefix.Len == 0 && A.Name.Compare("xmlns")) return NamespaceValue(A.Value);
  }
  return {};
}

std::string TXMLNode::ResolveNS(std::string_view APrefix) const {
  for (PXMLNode N = this; N; N = N->Parent)
    for (const TXMLAttribute& A : N->Attrs())
      if (A.Prefix.Compare("xmlns") && A.Name.Compare(APrefix)) return NamespaceValue(A.Value);
  return {};
}

bool TXMLNode::Match(std::string_view AName, std::string_view ANamespace) const {
  return Name.Compare(AName) && Namespace() == ANamespace;
}

std::string TXMLNode::AttrNamespace(const TXMLAttribute& Attr) const {
  return Attr.Prefix.Len > 0 ? ResolveNS(Attr.Prefix.View()) : Namespace();
}

std::string TXMLNode::AttrFullName(const TXMLAttribute& Attr) const {
  return AttrNamespace(Attr) + ':' + Attr.Name.RawValue();
}

std::string TXMLNode::FullName() const {
  if (IsText()) return Value();
  if (Prefix.Len > 0) return Prefix.RawValue() + ':' + Name.RawValue();
  return Name.RawValue();
}

std::string TXMLNode::FullPath() const {
  std::vector<PXMLNode> Line;
  for (PXMLNode N = this; N && !(N->IsText() && !N->Parent && N != this); N = N->Parent)  // a fragment's root is no step
    Line.push_back(N);
  std::string R;
  for (auto It = Line.rbegin(); It != Line.rend(); ++It) {
    if (!R.empty() || It != Line.rbegin()) R += '/';
    R += (*It)->FullName();
  }
  return R;
}

std::string_view TXMLNode::FullTag() const {
  if (IsText() || !Text.Start) return {};
  const char* Lt = Prefix.Start - 1;  // the prefix (or the name) follows the '<'
  return std::string_view(Lt, size_t(Text.Start - Lt));
}

std::string TXMLNode::CloseTag() const { return "</" + FullName() + '>'; }

std::string TXMLNode::FullText() const {
  std::string_view Tag = FullTag();
  if (Tag.empty()) return {};
  if (Text.Len == 0 && Tag.ends_with("/>")) return std::string(Tag);
  return std::string(Tag.data(), size_t(Text.Start + Text.Len - Tag.data())) + CloseTag();
}

int TXMLNode::AsInteger() const {
  std::string S = Text.Value();
  const char* First = S.data();
  const char* Last = First + S.size();
  int V = 0;
  auto [End, Ec] = std::from_chars(First, Last, V);
  if (Ec != std::errc() || End != Last || S.empty()) return 0;
  return V;
}

PXMLNode TXMLNode::XPathNode(std::string_view APath) const {
  return MatchSteps(ParsePath(APath), 0, this);
}

PXMLNode TXMLNode::getElementById(std::string_view ID) const {
  // The same walk as the path "//[@ID=" + ID + "]", without putting ID into a
  // path where a ']' or '/' of its own would change the path's meaning.
  TStep Step;
  Step.Attr = "ID";
  Step.Value = ID;
  Step.HasAttr = Step.HasValue = Step.Descendant = true;
  return TCandidates(Step, this).Next();
}

void TXMLNode::ForEach(const TNodeProc& Proc) const {
  for (const TXMLNode& C : Children()) Proc(&C);
}

void TXMLNode::ForEachChild(std::string_view AName, const TNodeProc& Proc) const {
  for (const TXMLNode& C : Children())
    if (C.Name.Compare(AName)) Proc(&C);
}

void TXMLNode::ForEachChildPath(std::string_view AName, std::string_view APath, const TNodeProc& Proc) const {
  std::vector<TStep> Steps = ParsePath(APath);
  for (const TXMLNode& C : Children())
    if (C.Name.Compare(AName))
      if (PXMLNode N = MatchSteps(Steps, 0, &C)) Proc(N);
}

void TXMLNode::ForEachFilter(const TFilterNodeProc& AFilter, const TNodeProc& Proc) const {
  for (const TXMLNode& C : Children())
    if (PXMLNode N = AFilter(&C)) Proc(N);
}

std::vector<PXMLNode> TXMLNode::Filter(const TFilterNodeProc& Proc) const {
  std::vector<PXMLNode> R;
  for (const TXMLNode& C : Children())
    if (PXMLNode N = Proc(&C)) R.push_back(N);
  return R;
}

// ---------------------------------------------------------------------------
// TXMLTree

static_assert(sizeof(TXMLString) == 12 && sizeof(TXMLAttribute) == 36 && sizeof(TXMLNode) == 64);
static_assert(std::is_trivially_copyable_v<TXMLNode> && std::is_trivially_destructible_v<TXMLNode>);
static_assert(std::is_trivially_copyable_v<TXMLAttribute> && std::is_trivially_destructible_v<TXMLAttribute>);

struct TXMLTree::TState {
  std::string Text;  // the copy kept by Build
  std::string_view Source;
  TXMLNode Root;
  TXMLNode xml;
  bool StyleSheet = false;
  TArena Arena;
};

// Reads the text into a tree's state, writing every node and attribute once,
// at its final place. The attributes and children of an element make one run
// of bytes; while the element is open its run grows at the end of the chunk
// of its level (its depth), which nothing else writes to meanwhile: the runs
// of its descendants are in deeper levels. A run that outgrows its chunk
// moves to a new one, and the children of its nodes are told their parents'
// new place; at the end each level's last chunk gives back its free end. Only
// loops, so the input's depth never reaches the machine stack. The reading
// functions are inlined into one loop, and the read position is passed along
// in a local, which stays in a register.
class TXMLTree::TParser {
 public:
  explicit TParser(TState& S)
      : T(S.Source.data()),
        FEnd(T + S.Source.size()),
        FBlankGuard(GuardOf<CBlank, false>(T, FEnd)),
        FSkipGuard(GuardOf<CSkip, false>(T, FEnd)),
        FTagGuard(GuardOf<CTagEnd, true>(T, FEnd)),
        FAttrGuard(GuardOf<CAttrEnd, true>(T, FEnd)),
        State(S) {}

  void Parse(bool MultiRoot) {
    const char* P = T;
    // A UTF-8 byte-order mark is no part of the document (XML 1.0 §4.3.3).
    if (FEnd - T >= 3 && std::memcmp(T, "\xEF\xBB\xBF", 3) == 0) P += 3;
    Levels.Push();  // the root's
    if (MultiRoot) {
      State.Root.Text = Slice(P, FEnd);
      Open.Push() = {&State.Root, nullptr};
    } else {
      const TTag Tag = ReadTag(P);
      if (Tag == TTag::None) throw EXMLNotXMLError("Not an XML string", T, 0);
      if (Tag == TTag::End) {
        TXMLString EndPrefix, EndName;
        ReadTagName(P, EndPrefix, EndName);
        UnexpectedClosingTag(EndName);
      }
      P = StartElement(P, State.Root);
      // Text before the root element is its first child.
      if (Open.Size() > 0)
        for (const TXMLNode& Lead : LeadTexts) {
          TXMLNode* N = NewChild(P);
          *N = Lead;
          N->Parent = &State.Root;
        }
    }
    while (Open.Size() > 0) {
      const TTag Tag = ReadTag(P);
      if (Tag == TTag::Start)
        P = StartElement(P, *NewChild(P));
      else if (Tag == TTag::End)
        P = EndElement(P);
      else if (MultiRoot && Open.Size() == 1)
        CloseElement();
      else
        ExpectedClosingTag();
    }
    Compact();
  }

 private:
  enum class TTag : uint8_t { None, Start, End };
  // The chunk the runs of one level are written to.
  struct TLevel {
    char* Start;   // of the chunk
    char* Cur;     // the end of the run being written
    char* Limit;   // the end of the chunk
    size_t Used;   // bytes of the chunks taken so far, for sizing the next one
    size_t Block;  // the chunk's index in the arena
    bool Own;      // the chunk holds one run that outgrew MaxChunk
  };
  struct TOpen {
    TXMLNode* Node;
    char* Run;  // the start of its run
  };

  int32_t Offset(const char* At) const { return int32_t(At - T); }
  static TXMLString Slice(const char* From, const char* To) { return {From, int32_t(To - From)}; }

  [[noreturn, gnu::cold]] void EndOfXML() const { throw EXMLEndOfXMLError("Unexpected end of XML", T, Offset(FEnd)); }
  [[noreturn, gnu::cold]] void ExpectedString(const char* At, const char* Expected) const {
    throw EXMLExpectedStringNotFoundError("Expected string not found", T, Offset(At), Expected);
  }
  // The end tag just read, whose local name is Name, does not close the open element.
  [[noreturn, gnu::cold]] void UnexpectedClosingTag(const TXMLString& Name) const {
    throw EXMLUnexpectedClosingTagError("Unexpected closing tag \"/" + Name.RawValue() + "\"", T,
                                        Offset(TagStart + 1));
  }
  [[noreturn, gnu::cold]] void ExpectedClosingTag() const {
    const TXMLNode& E = *Open.Top().Node;
    throw EXMLExpectedClosingTagNotFoundError("Expected tag \"/" + E.Name.RawValue() + "\" not found", T,
                                              Offset(E.Name.Start));
  }

  const char* Expect(const char* P, const char* End, char C, const char* Expected) const {
    if (P == End) EndOfXML();
    if (*P != C) ExpectedString(P, Expected);
    return P + 1;
  }
  // Just after the next occurrence of Marker from From; end of XML when none.
  const char* After(std::string_view Marker, const char* From) const {
    const size_t At = std::string_view(From, size_t(FEnd - From)).find(Marker);
    if (At == std::string_view::npos) EndOfXML();
    return From + At + Marker.size();
  }
  bool At(const char* P, std::string_view S) const {
    return size_t(FEnd - P) >= S.size() && std::memcmp(P, S.data(), S.size()) == 0;
  }

  // Storage ----------------------------------------------------------------

  // Bytes at the end of the run that starts at Run in level Level. The run's
  // nodes, if any, start NodeOffset bytes into it.
  [[gnu::always_inline]] char* Reserve(size_t Level, char*& Run, size_t Bytes, size_t NodeOffset, const char* P) {
    TLevel& L = Levels[Level];
    if (size_t(L.Limit - L.Cur) < Bytes) [[unlikely]]
      Grow(Level, Run, Bytes, NodeOffset, P);
    return std::exchange(L.Cur, L.Cur + Bytes);
  }

  // Moves the run to a chunk with room for Bytes more. The usual chunk is
  // sized from what the level took for the part of the text read so far
  // (doubling at first), and stays below the size from which the C library
  // maps memory for each allocation, which would cost page faults on every
  // parse; a run larger than that gets a chunk of its own, grown as needed
  // and cut to size when its element closes. A chunk that holds nothing but
  // the run is resized rather than left behind.
  [[gnu::noinline]] void Grow(size_t Level, char*& Run, size_t Bytes, size_t NodeOffset, const char* P) {
    TLevel& L = Levels[Level];
    const size_t RunBytes = size_t(L.Cur - Run), Need = (RunBytes + Bytes + 7) & ~size_t(7);
    size_t Size = 2 * Need;
    if (Need <= MaxChunk) {
      const double Projected = double(L.Used) * double(FEnd - P) / double(std::max<ptrdiff_t>(P - T, 1));
      const double Wanted = std::min(double(std::max(L.Used, MinChunk)), Projected * 1.125 + MinChunk);
      Size = std::max(Need, size_t(std::clamp(Wanted, double(MinChunk), double(MaxChunk))) & ~size_t(7));
      L.Used += Size;
    }
    char* Moved;
    if (L.Start && Run == L.Start) {
      Moved = State.Arena.Resize(L.Block, Size);
    } else {
      Moved = State.Arena.Add(Size, L.Block);
      if (RunBytes) std::memcpy(Moved, Run, RunBytes);
    }
    L.Own = Need > MaxChunk;
    L.Start = Moved;
    L.Cur = Moved + RunBytes;
    L.Limit = Moved + Size;
    Rehome(Run, Moved, NodeOffset, RunBytes);
  }

  // The run at Run now lives at Moved: the children of its nodes get their
  // parents' new place.
  static void Rehome(char*& Run, char* Moved, size_t NodeOffset, size_t RunBytes) {
    if (reinterpret_cast<uintptr_t>(Moved) == reinterpret_cast<uintptr_t>(Run)) return;  // Run may be freed
    Run = Moved;
    for (size_t At = NodeOffset; At < RunBytes; At += sizeof(TXMLNode)) {
      auto* N = reinterpret_cast<TXMLNode*>(Moved + At);
      for (const TXMLNode& C : N->Children()) const_cast<TXMLNode&>(C).Parent = N;
    }
  }

  // A new last child of the innermost open element.
  [[gnu::always_inline]] TXMLNode* NewChild(const char* P) {
    TOpen& O = Open.Top();
    const size_t NodeOffset = TXMLNode::AttrBytes(O.Node->FAttrCount);
    // Its life in the arena begins with these stores, all its fields at once.
    auto* N = reinterpret_cast<TXMLNode*>(Reserve(Open.Size() - 1, O.Run, sizeof(TXMLNode), NodeOffset, P));
    N->Prefix = N->Name = N->Text = TXMLString{};
    N->Parent = O.Node;
    N->FChildren = nullptr;
    N->FAttrCount = N->FChildCount = 0;
    return N;
  }

  // Reading ----------------------------------------------------------------

  // A tag name, which must end before the text does.
  [[gnu::always_inline]] const char* ReadTagName(const char* P, TXMLString& Prefix, TXMLString& Name) const {
    P = ReadName<CTagEnd>(P, FEnd, FTagGuard, Prefix, Name);
    if (P == FEnd) EndOfXML();
    return P;
  }

  // A text node; before the root element it waits for the root to open.
  void AddText(TXMLString Text, const char* P, bool CDATA = false) {
    TXMLNode* N = Open.Size() > 0 ? NewChild(P) : &LeadTexts.Push();
    N->Text = Text;
    if (CDATA) N->Prefix = {Text.Start - 9, 0};  // at "<![CDATA["
  }

  // Adds the text before the next '<' (unless blank) to the open element,
  // skips processing instructions and comments, turns CDATA sections into
  // text, and reads the next tag up to its name: a start tag's name goes to
  // TagPrefix and TagName, an end tag is left at its name.
  [[gnu::always_inline]] TTag ReadTag(const char*& P) {
    for (;;) {
      const char* Text = P;
      const char* Lt = P != FEnd && *P == '<' ? P : SkipClass<CBlank>(P, FEnd, FBlankGuard);
      if (Lt != FEnd && *Lt != '<') {
        Lt = FindByte(Lt, FEnd, '<');
        AddText(Slice(Text, Lt), Lt);
      }
      if (Lt == FEnd) {
        P = FEnd;
        return TTag::None;
      }
      TagStart = Lt;
      P = Lt + 1;
      if (P == FEnd) EndOfXML();
      if (*P == '/') {
        if (++P == FEnd) EndOfXML();
        if (!Is(*P, CTagEnd)) return TTag::End;
        continue;  // "</>" or "</ ": not a tag
      }
      if (!Is(*P, CTagEnd | CMarkup)) {
        P = ReadTagName(P, TagPrefix, TagName);
        return TTag::Start;
      }
      if (*P == '?') {
        P = ReadProcessingInstruction(P);
      } else if (At(P, "!--")) {
        P = After("-->", P + 3);
      } else if (At(P, "![CDATA[")) {
        const char* ContentEnd = After("]]>", P + 8) - 3;
        AddText(Slice(P + 8, ContentEnd), P, true);
        P = ContentEnd + 3;
      } else if (*P == '!') {  // read as a tag named "!..."
        P = ReadTagName(P, TagPrefix, TagName);
        return TTag::Start;
      }
      // else "<>" or "< ": not a tag
    }
  }

  // From the '?' after '<' to the end of the instruction.
  const char* ReadProcessingInstruction(const char* P) {
    if (At(P, "?xml ")) {
      TXMLNode& Xml = State.xml = TXMLNode{};
      Xml.Name = Slice(P, P + 4);  // "?xml"
      Xml.Prefix = {P, 0};
      char* Run;
      P = ReadAttributes(P + 5, Xml, Run);
      Seal(Xml, Open.Size(), Run);
      P = After("?>", P);
      Xml.Text = Slice(P, P);
      return P;
    }
    if (At(P, "?xml-stylesheet ")) State.StyleSheet = true;
    return After("?>", P + 1);
  }

  // The attributes of E up to '/', '>' or '?', written to the start of E's
  // run (Run) in the level below the innermost open element; the end of the
  // text first is an error.
  [[gnu::always_inline]] const char* ReadAttributes(const char* P, TXMLNode& E, char*& Run) {
    // In registers: the stores below might alias the members.
    const char* const End = FEnd;
    const char* const SkipGuard = FSkipGuard;
    const char* const AttrGuard = FAttrGuard;
    const size_t Level = Open.Size();
    if (Levels.Size() == Level) Levels.Push();
    TLevel& L = Levels[Level];
    Run = L.Cur;
    char* Cur = L.Cur;
    const char* Limit = L.Limit;
    int32_t Count = 0;
    for (;; ++Count) {
      P = SkipClass<CSkip>(P, End, SkipGuard);
      if (P == End) EndOfXML();
      if (Is(*P, CAttrsEnd)) break;
      if (size_t(Limit - Cur) < sizeof(TXMLAttribute)) [[unlikely]] {
        L.Cur = Cur;
        Grow(Level, Run, sizeof(TXMLAttribute), SIZE_MAX, P);
        Cur = L.Cur;
        Limit = L.Limit;
      }
      auto* A = reinterpret_cast<TXMLAttribute*>(Cur);  // its life in the arena begins with these stores
      Cur += sizeof(TXMLAttribute);
      P = ReadName<CAttrEnd>(P, End, AttrGuard, A->Prefix, A->Name);
      if (P != End && *P != '=') P = SkipClass<CSkip>(P, End, SkipGuard);
      P = Expect(P, End, '=', "=");
      if (P != End && Is(*P, CSkip)) P = SkipClass<CSkip>(P, End, SkipGuard);
      if (P == End) EndOfXML();
      const char Quote = *P;
      if (Quote != '"' && Quote != '\'') ExpectedString(P, "\"");
      const char* Close = FindByte(P + 1, End, Quote);
      if (Close == End) EndOfXML();
      A->Value = Slice(P + 1, Close);
      P = Close + 1;
    }
    E.FAttrCount = Count;
    L.Cur = Run + TXMLNode::AttrBytes(Count);  // the chunk's end is aligned as well
    return P;
  }

  // The start tag just read into E; a non-empty element is opened.
  [[gnu::always_inline]] const char* StartElement(const char* P, TXMLNode& E) {
    if (Open.Size() >= size_t(XMLMaxDepth)) throw EXMLError("XML nesting too deep", T, Offset(TagStart));
    E.Prefix = TagPrefix;
    E.Name = TagName;
    char* Run;
    P = ReadAttributes(P, E, Run);
    if (*P == '/') {
      if (FEnd - P < 2) EndOfXML();
      if (P[1] == '>') {
        P += 2;
        E.Text = Slice(P, P);
        Seal(E, Open.Size(), Run);
        return P;
      }
    }
    P = Expect(P, FEnd, '>', ">");
    E.Text = Slice(P, P);
    Open.Push() = {&E, Run};
    return P;
  }

  // The end tag whose name starts at P closes the innermost open element.
  [[gnu::always_inline]] const char* EndElement(const char* P) {
    TXMLNode& E = *Open.Top().Node;
    // Mostly the end tag repeats the start tag's name as written: then its
    // local name is the element's.
    const char* QName = E.Prefix.Start;
    const size_t QLen = QName ? size_t(E.Name.Start + E.Name.Len - QName) : 0;
    if (QName && size_t(FEnd - P) > QLen && SameBytes(P, QName, QLen) && Is(P[QLen], CTagEnd)) {
      P += QLen;
    } else {
      TXMLString EndPrefix, EndName;
      P = ReadTagName(P, EndPrefix, EndName);
      if (!E.Name.Equals(EndName)) UnexpectedClosingTag(EndName);  // also any end tag at a fragment's top
    }
    E.Text.Len = int32_t(TagStart - E.Text.Start);
    if (*P != '>') P = SkipClass<CSkip>(P, FEnd, FSkipGuard);
    P = Expect(P, FEnd, '>', ">");
    CloseElement();
    return P;
  }

  [[gnu::always_inline]] void CloseElement() {
    const TOpen O = Open.Pop();
    Seal(*O.Node, Open.Size(), O.Run);
  }

  // E's run, at Run in level Level, is complete: E takes it.
  [[gnu::always_inline]] void Seal(TXMLNode& E, size_t Level, char* Run) {
    TLevel& L = Levels[Level];
    const size_t RunBytes = size_t(L.Cur - Run), NodeOffset = TXMLNode::AttrBytes(E.FAttrCount);
    if (L.Own) [[unlikely]]
      CutToSize(Level, Run, NodeOffset, RunBytes);
    E.FChildCount = int32_t((RunBytes - NodeOffset) / sizeof(TXMLNode));
    if (RunBytes) E.FChildren = reinterpret_cast<TXMLNode*>(Run + NodeOffset);
  }

  // A run in a chunk of its own gives back the chunk's free end; the level
  // starts a new chunk for its next run.
  [[gnu::noinline]] void CutToSize(size_t Level, char*& Run, size_t NodeOffset, size_t RunBytes) {
    TLevel& L = Levels[Level];
    Rehome(Run, State.Arena.Resize(L.Block, RunBytes), NodeOffset, RunBytes);
    L.Start = L.Cur = L.Limit = nullptr;
    L.Own = false;
  }

  // At the end, the last chunk of each level is left partly free: a chunk
  // with much room left gives it back. Should a block move in doing so (the
  // C library may move a block it shrinks), the links into it are mended.
  void Compact() {
    std::vector<TMove> Moves;
    for (const TLevel& L : Levels) {
      const size_t Used = size_t(L.Cur - L.Start);
      if (L.Own || size_t(L.Limit - L.Cur) <= Used / 16) continue;
      if (Used == 0) {
        State.Arena.Free(L.Block);
        continue;
      }
      const uintptr_t From = reinterpret_cast<uintptr_t>(L.Start);
      char* Moved = State.Arena.Resize(L.Block, Used);
      if (reinterpret_cast<uintptr_t>(Moved) != From) Moves.push_back({From, Used, Moved});
    }
    if (!Moves.empty()) Mend(Moves);
  }

  struct TMove {
    uintptr_t From;  // the block's old address
    size_t Size;     // its bytes in use, all moved
    char* To;
  };

  // One walk over the tree points the links into moved blocks at their new
  // places. A link may point just past the bytes in use of a block (to the
  // empty children of a run of attributes that ends it), never into another
  // block there: the block was larger than that before.
  void Mend(const std::vector<TMove>& Moves) {
    std::vector<TXMLNode*> Stack{&State.Root, &State.xml};
    while (!Stack.empty()) {
      TXMLNode* N = Stack.back();
      Stack.pop_back();
      const uintptr_t At = reinterpret_cast<uintptr_t>(N->FChildren);
      for (const TMove& M : Moves)
        if (At - M.From <= M.Size) {
          N->FChildren = reinterpret_cast<TXMLNode*>(M.To + (At - M.From));
          break;
        }
      for (const TXMLNode& C : N->Children()) {
        const_cast<TXMLNode&>(C).Parent = N;
        Stack.push_back(const_cast<TXMLNode*>(&C));
      }
    }
  }

  const char* const T;
  const char* const FEnd;
  // The guards of the scans for the end of a run of blanks (as text or inside
  // a tag), of a tag name and of an attribute name.
  const char* const FBlankGuard;
  const char* const FSkipGuard;
  const char* const FTagGuard;
  const char* const FAttrGuard;
  TState& State;

  const char* TagStart = nullptr;  // the '<' of the tag just read
  TXMLString TagPrefix, TagName;   // of the start tag just read
  TStack<TLevel> Levels;
  TStack<TOpen> Open;
  TStack<TXMLNode> LeadTexts;
};

size_t XMLTreeCachedBytes() { return ChunkCache.Bytes(); }

TXMLTree::TXMLTree() : FState(std::make_unique<TState>()) {}
TXMLTree::~TXMLTree() = default;
TXMLTree::TXMLTree(TXMLTree&&) noexcept = default;
TXMLTree& TXMLTree::operator=(TXMLTree&&) noexcept = default;

// The previous tree is dropped first, so that a failed build leaves an empty tree.
void TXMLTree::Load(std::unique_ptr<TState> AState, bool MultiRoot) {
  FState = std::make_unique<TState>();
  if (AState->Source.size() > size_t(INT32_MAX))
    throw EXMLError("XML text too large", AState->Source.data(), 0);
  if (!AState->Source.empty()) TParser(*AState).Parse(MultiRoot);
  FState = std::move(AState);
}

void TXMLTree::Build(std::string AText) {
  auto S = std::make_unique<TState>();
  S->Text = std::move(AText);
  S->Source = S->Text;
  Load(std::move(S), false);
}

void TXMLTree::BuildFrom(const char* AText, size_t ALen) {
  auto S = std::make_unique<TState>();
  S->Source = std::string_view(AText, ALen);
  Load(std::move(S), false);
}

void TXMLTree::BuildMultiRoot(const char* AText, size_t ALen) {
  auto S = std::make_unique<TState>();
  S->Source = std::string_view(AText, ALen);
  Load(std::move(S), true);
}

const TXMLNode& TXMLTree::Root() const { return FState ? FState->Root : EmptyNode; }
const TXMLNode& TXMLTree::xml() const { return FState ? FState->xml : EmptyNode; }
bool TXMLTree::StyleSheet() const { return FState && FState->StyleSheet; }
const std::string& TXMLTree::Text() const {
  static const std::string Empty;
  return FState ? FState->Text : Empty;
}
std::string_view TXMLTree::Source() const { return FState ? FState->Source : std::string_view(); }

PXMLNode TXMLTree::GetNodeAt(std::span<const std::string_view> APath) const {
  const TXMLNode& R = Root();
  if (APath.empty() || !R.Name.Compare(APath[0])) return nullptr;
  return R.GetChildAt(APath.subspan(1));
}

bool TXMLTree::HasNodeAt(std::span<const std::string_view> APath, PXMLNode& ANode) const {
  ANode = GetNodeAt(APath);
  return ANode != nullptr;
}

PXMLNode TXMLTree::XPathNode(std::string_view APath) const {
  std::vector<TStep> Steps = ParsePath(APath);
  const TXMLNode& R = Root();
  if (Steps.empty() || R.Name.IsNil()) return nullptr;
  if (Steps[0].Descendant) return MatchSteps(Steps, 0, &R);
  return StepFitsNode(Steps[0], R) ? MatchSteps(Steps, 1, &R) : nullptr;
}

const TXMLString* TXMLTree::XPathAttr(std::string_view APath) const {
  size_t At = APath.find('@');
  if (At == std::string_view::npos) return nullptr;
  PXMLNode N = nullptr;
  if (At == 0)
    N = Root().Name.IsNil() ? nullptr : &Root();
  else if (APath[At - 1] == '/')
    N = XPathNode(APath.substr(0, At - 1));
  return N ? N->GetAttribute(APath.substr(At + 1)) : nullptr;
}

namespace {

std::string StartTag(const TXMLNode& N) {
  std::string R = '<' + N.FullName();
  for (const TXMLAttribute& A : N.Attrs()) R += ' ' + A.FullName() + "=\"" + A.Value.Value() + '"';
  return R;
}

}  // namespace

void TXMLTree::Indent(std::vector<std::string>& Lines) const {
  Lines.clear();
  const TXMLNode& R = Root();
  if (R.Name.IsNil() && R.Length() == 0) return;
  struct TFrame {
    PXMLNode Node;
    size_t Next;
    size_t Level;
  };
  std::vector<TFrame> Stack;
  // Renders N; an element with content is left open on the stack.
  auto Visit = [&](PXMLNode N, size_t Level) {
    std::string Pad(Level, ' ');
    if (N->IsText()) {
      Lines.push_back(Pad + N->Value());
    } else if (N->Length() == 0) {
      Lines.push_back(Pad + StartTag(*N) + "/>");
    } else if (N->Length() == 1 && N->Children()[0].IsText()) {
      Lines.push_back(Pad + StartTag(*N) + '>' + N->Children()[0].Value() + N->CloseTag());
    } else {
      Lines.push_back(Pad + StartTag(*N) + '>');
      Stack.push_back({N, 0, Level});
    }
  };
  if (R.Name.IsNil())  // the children of a fragment's nameless root
    Stack.push_back({&R, 0, size_t(0) - 1});
  else
    Visit(&R, 0);
  while (!Stack.empty()) {
    TFrame& F = Stack.back();
    if (F.Next < size_t(F.Node->Length())) {
      PXMLNode C = &F.Node->Children()[F.Next++];
      Visit(C, F.Level + 1);
      continue;
    }
    if (!F.Node->Name.IsNil()) Lines.push_back(std::string(F.Level, ' ') + F.Node->CloseTag());
    Stack.pop_back();
  }
}

// ---------------------------------------------------------------------------
// TXMLSearch

bool TXMLSearch::FindFirst(const TXMLTree& ATree, std::string_view AName) {
  return FindNode(&ATree.Root(), AName);
}

bool TXMLSearch::FindNode(PXMLNode AStart, std::string_view AName) {
  FindClose();
  if (!AStart) return false;
  Name = AName;
  Stack.assign(2, {});
  Stack[0] = {AStart, 0};
  Depth = 0;
  if (AStart->Name.Compare(Name)) {
    Node = AStart;
    return true;
  }
  return FindNext();
}

bool TXMLSearch::FindNext() {
  while (Depth >= 0) {
    TSearchNode& Top = Stack[size_t(Depth)];
    if (Top.Child < Top.Node->Length()) {
      PXMLNode C = &Top.Node->Children()[size_t(Top.Child)];
      if (size_t(Depth + 1) >= Stack.size()) Stack.resize(Stack.size() * 2 + 2);
      Stack[size_t(++Depth)] = {C, 0};
      if (C->Name.Compare(Name)) {
        Node = C;
        return true;
      }
      continue;
    }
    if (--Depth >= 0) ++Stack[size_t(Depth)].Child;
  }
  FindClose();
  return false;
}

void TXMLSearch::FindClose() {
  Stack.clear();
  Stack.shrink_to_fit();
  Depth = -1;
  Node = nullptr;
}

}  // namespace Vantrel
