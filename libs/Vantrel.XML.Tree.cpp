#include "Vantrel.XML.Tree.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "Vantrel.UTF8.Utils.h"

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
};

constexpr std::array<uint8_t, 256> MakeClasses() {
  std::array<uint8_t, 256> T{};
  for (unsigned char C : {'\t', '\n', '\r', ' '}) T[C] = CBlank | CSkip | CTagEnd | CAttrEnd;
  T[0] = CSkip;
  T['/'] = CTagEnd | CStepEnd;
  T['>'] = CTagEnd;
  T['='] = CAttrEnd;
  T['['] = CStepEnd;
  return T;
}
constexpr std::array<uint8_t, 256> Classes = MakeClasses();

constexpr bool Is(char C, uint8_t Class) { return (Classes[uint8_t(C)] & Class) != 0; }

static_assert(Is(' ', CBlank) && Is('\t', CBlank) && Is('\n', CBlank) && Is('\r', CBlank));
static_assert(Is('\0', CSkip) && !Is('\0', CBlank) && Is(' ', CSkip) && !Is('\v', CSkip));
static_assert(Is('/', CTagEnd) && Is('>', CTagEnd) && Is(' ', CTagEnd) && !Is('=', CTagEnd));
static_assert(Is('=', CAttrEnd) && Is('\t', CAttrEnd) && !Is('>', CAttrEnd) && !Is('/', CAttrEnd));
static_assert(Is('/', CStepEnd) && Is('[', CStepEnd) && !Is(']', CStepEnd));
static_assert(Classes['a'] == 0 && Classes[':'] == 0 && Classes['<'] == 0 && Classes[0xC3] == 0);

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

bool IsBlankText(const char* P, const char* End) {
  for (; P < End; ++P)
    if (!Is(*P, CBlank)) return false;
  return true;
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

// ---------------------------------------------------------------------------
// Node storage: blocks that never move once handed out, so that the nodes of
// one parent's children stay contiguous and every pointer stays valid for the
// tree's life.

template <typename T>
class TArena {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  TArena() = default;
  TArena(const TArena&) = delete;
  TArena& operator=(const TArena&) = delete;
  ~TArena() {
    for (auto& [P, N] : FBlocks) std::allocator<T>().deallocate(P, N);
  }

  T* Store(const T* Items, size_t Count) {
    if (Count == 0) return nullptr;
    if (FFree < Count) {
      size_t N = std::max(Count, FNextSize);
      FNextSize = std::min<size_t>(FNextSize * 2, 4096);
      FBlocks.emplace_back(std::allocator<T>().allocate(N), N);
      FCur = FBlocks.back().first;
      FFree = N;
    }
    T* P = std::uninitialized_copy_n(Items, Count, FCur) - Count;
    FCur += Count;
    FFree -= Count;
    return P;
  }

 private:
  std::vector<std::pair<T*, size_t>> FBlocks;
  T* FCur = nullptr;
  size_t FFree = 0;
  size_t FNextSize = 256;
};

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

struct TXMLTree::TState {
  std::string Text;  // the copy kept by Build
  std::string_view Source;
  TXMLNode Root;
  TXMLNode xml;
  bool StyleSheet = false;
  TArena<TXMLNode> Nodes;
  TArena<TXMLAttribute> Attributes;
};

// Reads the text into a tree's state. Open elements are kept on a scratch stack: an
// element sits in Scratch, its children after it; when it closes, its
// children are copied into the arena as one block. Only loops, so the input's
// depth never reaches the machine stack.
class TXMLTree::TParser {
 public:
  explicit TParser(TState& S)
      : T(S.Source.data()), N(int32_t(S.Source.size())), Root(S.Root), Xml(S.xml), StyleSheet(S.StyleSheet),
        Nodes(S.Nodes), Attributes(S.Attributes) {
    // A UTF-8 byte-order mark is no part of the document (XML 1.0 §4.3.3).
    if (N >= 3 && std::memcmp(T, "\xEF\xBB\xBF", 3) == 0) Pos = 3;
  }

  void Parse(bool MultiRoot) {
    Scratch.emplace_back();  // the root, named when its tag is read
    Open.push_back(0);
    if (MultiRoot) {
      Scratch[0].Text = Slice(Pos, N);
    } else {
      if (!ReadTag()) throw EXMLNotXMLError("Not an XML string", T, 0);
      if (EndTag) UnexpectedClosingTag();
      Open.pop_back();
      StartElement(0);
    }
    while (!Open.empty()) {
      if (!ReadTag()) {
        if (MultiRoot && Open.size() == 1) {
          CloseElement();
          break;
        }
        const TXMLNode& E = Scratch[size_t(Open.back())];
        throw EXMLExpectedClosingTagNotFoundError("Expected tag \"/" + E.Name.RawValue() + "\" not found", T,
                                                  int32_t(E.Name.Start - T));
      }
      if (!EndTag) {
        Scratch.emplace_back();
        StartElement(Scratch.size() - 1);
        continue;
      }
      TXMLNode& E = Scratch[size_t(Open.back())];
      if (!E.Name.Equals(TagName)) UnexpectedClosingTag();  // also any end tag at a fragment's top
      E.Text.Len = int32_t(TagStart - (E.Text.Start - T));
      SkipBlanks();
      Expect('>');
      ++Pos;
      CloseElement();
    }
    Root = Scratch[0];
    for (const TXMLNode& C : Root.Children()) const_cast<TXMLNode&>(C).Parent = &Root;
  }

 private:
  TXMLString Slice(int32_t From, int32_t To) const { return {T + From, To - From}; }

  [[noreturn]] void EndOfXML() const { throw EXMLEndOfXMLError("Unexpected end of XML", T, N); }
  [[noreturn]] void UnexpectedClosingTag() const {
    throw EXMLUnexpectedClosingTagError("Unexpected closing tag \"/" + TagName.RawValue() + "\"", T, TagStart + 1);
  }
  void Expect(char C) const {
    if (Pos >= N) EndOfXML();
    if (T[Pos] != C)
      throw EXMLExpectedStringNotFoundError("Expected string not found", T, Pos, std::string(1, C));
  }
  void SkipBlanks() {
    while (Pos < N && Is(T[Pos], CSkip)) ++Pos;
  }
  // Position just after the next occurrence of Marker from From; end of XML when none.
  int32_t After(std::string_view Marker, int32_t From) const {
    size_t At = std::string_view(T, size_t(N)).find(Marker, size_t(From));
    if (At == std::string_view::npos) EndOfXML();
    return int32_t(At + Marker.size());
  }
  bool At(std::string_view S) const {
    return size_t(N - Pos) >= S.size() && std::memcmp(T + Pos, S.data(), S.size()) == 0;
  }

  void AddText(TXMLString Text, bool CDATA = false) {
    TXMLNode& Node = Scratch.emplace_back();
    Node.Text = Text;
    if (CDATA) Node.Prefix = {Text.Start - 9, 0};  // at "<![CDATA["
  }

  // Adds the text before the next '<' (unless blank) to the open element,
  // skips processing instructions and comments, turns CDATA sections into
  // text, and reads the next tag's name. False when no '<' is left.
  bool ReadTag() {
    for (;;) {
      const void* Lt = std::memchr(T + Pos, '<', size_t(N - Pos));
      int32_t End = Lt ? int32_t(static_cast<const char*>(Lt) - T) : N;
      if (!IsBlankText(T + Pos, T + End)) AddText(Slice(Pos, End));
      if (!Lt) {
        Pos = N;
        return false;
      }
      Pos = End + 1;
      if (At("?")) {
        ReadProcessingInstruction();
        continue;
      }
      if (At("!--")) {
        Pos = After("-->", Pos + 3);
        continue;
      }
      if (At("![CDATA[")) {
        int32_t ContentEnd = After("]]>", Pos + 8) - 3;
        AddText(Slice(Pos + 8, ContentEnd), true);
        Pos = ContentEnd + 3;
        continue;
      }
      TagStart = End;
      if (Pos >= N) EndOfXML();
      EndTag = T[Pos] == '/';
      if (EndTag) ++Pos;
      int32_t NameStart = Pos;
      while (Pos < N && !Is(T[Pos], CTagEnd)) ++Pos;
      if (Pos >= N) EndOfXML();
      if (Pos == NameStart) continue;  // "<>" or "< ": not a tag
      TagName = Slice(NameStart, Pos);
      TagName.GetPrefix(Prefix);
      return true;
    }
  }

  void ReadProcessingInstruction() {
    if (At("?xml ")) {
      Pos += 5;
      Xml = TXMLNode{};
      Xml.Name = Slice(Pos - 5, Pos - 1);  // "?xml"
      Xml.Prefix = {Xml.Name.Start, 0};
      ReadAttributes(Xml);
      Pos = After("?>", Pos);
      Xml.Text = Slice(Pos, Pos);
      return;
    }
    if (At("?xml-stylesheet ")) StyleSheet = true;
    Pos = After("?>", Pos + 1);
  }

  // Attributes up to '/', '>' or '?'; the end of the text first is an error.
  void ReadAttributes(TXMLNode& Node) {
    AttrScratch.clear();
    for (;;) {
      SkipBlanks();
      if (Pos >= N) EndOfXML();
      char C = T[Pos];
      if (C == '/' || C == '>' || C == '?') break;
      TXMLAttribute& A = AttrScratch.emplace_back();
      int32_t NameStart = Pos;
      while (Pos < N && !Is(T[Pos], CAttrEnd)) ++Pos;
      A.Name = Slice(NameStart, Pos);
      A.Name.GetPrefix(A.Prefix);
      SkipBlanks();
      Expect('=');
      ++Pos;
      SkipBlanks();
      if (Pos >= N) EndOfXML();
      char Quote = T[Pos];
      if (Quote != '"' && Quote != '\'')
        throw EXMLExpectedStringNotFoundError("Expected string not found", T, Pos, "\"");
      const void* Close = std::memchr(T + Pos + 1, Quote, size_t(N - Pos - 1));
      if (!Close) EndOfXML();
      int32_t ValueEnd = int32_t(static_cast<const char*>(Close) - T);
      A.Value = Slice(Pos + 1, ValueEnd);
      Pos = ValueEnd + 1;
    }
    Node.FAttrs = Attributes.Store(AttrScratch.data(), AttrScratch.size());
    Node.FAttrCount = int32_t(AttrScratch.size());
  }

  // The start tag just read becomes Scratch[Index]; a non-empty element is opened.
  void StartElement(size_t Index) {
    if (Open.size() >= size_t(XMLMaxDepth)) throw EXMLError("XML nesting too deep", T, TagStart);
    TXMLNode& E = Scratch[Index];
    E.Prefix = Prefix;
    E.Name = TagName;
    ReadAttributes(E);
    if (At("/>")) {
      Pos += 2;
      E.Text = Slice(Pos, Pos);
      return;
    }
    if (T[Pos] == '/' && Pos + 1 >= N) EndOfXML();
    Expect('>');
    ++Pos;
    E.Text = Slice(Pos, Pos);
    Open.push_back(int32_t(Index));
  }

  // Moves the children of the innermost open element into the arena.
  void CloseElement() {
    size_t Index = size_t(Open.back());
    Open.pop_back();
    size_t Count = Scratch.size() - Index - 1;
    TXMLNode* Block = Nodes.Store(Scratch.data() + Index + 1, Count);
    for (size_t I = 0; I < Count; ++I)
      for (const TXMLNode& G : Block[I].Children()) const_cast<TXMLNode&>(G).Parent = &Block[I];
    TXMLNode& E = Scratch[Index];
    E.FChildren = Block;
    E.FChildCount = int32_t(Count);
    Scratch.resize(Index + 1);
  }

  const char* T;
  int32_t N;
  TXMLNode& Root;
  TXMLNode& Xml;
  bool& StyleSheet;
  TArena<TXMLNode>& Nodes;
  TArena<TXMLAttribute>& Attributes;

  int32_t Pos = 0;
  int32_t TagStart = 0;  // the '<' of the tag just read
  TXMLString Prefix, TagName;
  bool EndTag = false;
  std::vector<TXMLNode> Scratch;
  std::vector<int32_t> Open;  // indexes in Scratch of the open elements
  std::vector<TXMLAttribute> AttrScratch;
};

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
