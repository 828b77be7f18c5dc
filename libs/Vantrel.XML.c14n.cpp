// The canonical writer walks the element's source text between the tree's
// child elements (which is where the tree drops blank text, comments and
// processing instructions) with an explicit stack of open elements, so that
// the deepest tree the parser accepts needs no recursion. References are
// decoded and the C14N escapes applied as bytes go out; runs of ordinary
// bytes go to the hash straight from the source.
//
// References: W3C Canonical XML 1.0 (§1.1, §2.3 processing model, §4 rules
// for namespace nodes), Exclusive XML Canonicalization 1.0 (§3), XML 1.0
// §2.11 (end-of-line handling), §3.3.3 (attribute-value normalisation),
// §4.1 and §4.6 (references).
#include "Vantrel.XML.c14n.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <forward_list>
#include <stdexcept>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "Vantrel.SHA1.h"
#include "Vantrel.SHA256.h"
#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {
namespace {

constexpr std::string_view XmlNamespace = "http://www.w3.org/XML/1998/namespace";

// A set of ASCII control and punctuation bytes (all below 64), as the bits
// of one word: membership costs a compare and a shift.
template <char... Cs>
struct TByteSet {
  static_assert(((uint8_t(Cs) < 64) && ...));
  static constexpr uint64_t Bits = ((uint64_t(1) << Cs) | ...);
  static bool Has(char C) { return uint8_t(C) < 64 && (Bits >> uint8_t(C)) & 1; }

  // The first byte of [P, End) in the set, or End. Sixteen bytes are tested
  // at once with SSE2 (every x86-64 processor has it); every load lies
  // inside the range, the last one overlapping bytes already found plain.
  static const char* Find(const char* P, const char* End) {
#ifdef __SSE2__
    if (End - P >= 16) {
      for (; End - P > 16; P += 16)
        if (const unsigned Hits = HitMask(P)) return P + __builtin_ctz(Hits);
      const unsigned Hits = HitMask(End - 16);
      return Hits ? End - 16 + __builtin_ctz(Hits) : End;
    }
#endif
    while (P < End && !Has(*P)) ++P;
    return P;
  }

#ifdef __SSE2__
  static unsigned HitMask(const char* At) {
    const __m128i V = _mm_loadu_si128(reinterpret_cast<const __m128i*>(At));
    __m128i Hit = _mm_setzero_si128();
    ((Hit = _mm_or_si128(Hit, _mm_cmpeq_epi8(V, _mm_set1_epi8(Cs)))), ...);
    return unsigned(_mm_movemask_epi8(Hit));
  }
#endif
};

// Bytes of the source that cannot go out as they stand.
using TTextSpecial = TByteSet<'&', '<', '>', '\r'>;             // character data as written
using TAttrSpecial = TByteSet<'&', '<', '"', '\t', '\n', '\r'>;  // attribute value as written
using TLineSpecial = TByteSet<'\r'>;                             // comments and processing instructions

// Equality with a literal, in a form the compiler reduces to a few compares.
template <size_t N>
bool Is(std::string_view S, const char (&Literal)[N]) {
  return S.size() == N - 1 && std::memcmp(S.data(), Literal, N - 1) == 0;
}

// Byte order, the order of C14N's sorts; names and prefixes are short, and
// mostly differ at their first byte, so a loop beats a library call.
int CompareBytes(std::string_view A, std::string_view B) {
  const size_t N = std::min(A.size(), B.size());
  for (size_t I = 0; I < N; ++I)
    if (A[I] != B[I]) return uint8_t(A[I]) < uint8_t(B[I]) ? -1 : 1;
  return A.size() < B.size() ? -1 : A.size() > B.size() ? 1 : 0;
}

bool IsXmlChar(uint32_t C) {  // XML 1.0 §2.2 Char
  return C == 0x9 || C == 0xA || C == 0xD || (C >= 0x20 && C <= 0xD7FF) || (C >= 0xE000 && C <= 0xFFFD) ||
         (C >= 0x10000 && C <= 0x10FFFF);
}

// Decodes the reference at P ('&'): one of the five predefined entities or a
// character reference. False, with P unchanged, for anything else.
bool DecodeReference(const char*& P, const char* End, uint32_t& Code) {
  const char* Limit = End - P > 32 ? P + 32 : End;
  const char* Semi = P + 1;
  while (Semi < Limit && *Semi != ';') ++Semi;
  if (Semi >= Limit) return false;
  const std::string_view Name(P + 1, size_t(Semi - P - 1));
  if (Name == "amp") Code = '&';
  else if (Name == "lt") Code = '<';
  else if (Name == "gt") Code = '>';
  else if (Name == "quot") Code = '"';
  else if (Name == "apos") Code = '\'';
  else if (Name.size() >= 2 && Name[0] == '#') {
    const bool Hex = Name[1] == 'x';
    const std::string_view Digits = Name.substr(Hex ? 2 : 1);
    if (Digits.empty()) return false;
    uint32_t V = 0;
    for (char C : Digits) {
      uint32_t D;
      if (C >= '0' && C <= '9') D = uint32_t(C - '0');
      else if (Hex && C >= 'a' && C <= 'f') D = uint32_t(C - 'a' + 10);
      else if (Hex && C >= 'A' && C <= 'F') D = uint32_t(C - 'A' + 10);
      else return false;
      V = V * (Hex ? 16 : 10) + D;
      if (V > 0x10FFFF) return false;
    }
    if (!IsXmlChar(V)) return false;
    Code = V;
  } else {
    return false;
  }
  P = Semi + 1;
  return true;
}

size_t EncodeUTF8(uint32_t C, char* Out) {
  if (C < 0x80) {
    Out[0] = char(C);
    return 1;
  }
  if (C < 0x800) {
    Out[0] = char(0xC0 | (C >> 6));
    Out[1] = char(0x80 | (C & 0x3F));
    return 2;
  }
  if (C < 0x10000) {
    Out[0] = char(0xE0 | (C >> 12));
    Out[1] = char(0x80 | ((C >> 6) & 0x3F));
    Out[2] = char(0x80 | (C & 0x3F));
    return 3;
  }
  Out[0] = char(0xF0 | (C >> 18));
  Out[1] = char(0x80 | ((C >> 12) & 0x3F));
  Out[2] = char(0x80 | ((C >> 6) & 0x3F));
  Out[3] = char(0x80 | (C & 0x3F));
  return 4;
}

// The escapes of the canonical form (C14N §2.3) for one decoded character;
// an empty view when it goes out as itself.
std::string_view TextEscape(uint32_t C) {
  switch (C) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '\r': return "&#xD;";
    default: return {};
  }
}

std::string_view AttrEscape(uint32_t C) {
  switch (C) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '"': return "&quot;";
    case '\t': return "&#x9;";
    case '\n': return "&#xA;";
    case '\r': return "&#xD;";
    default: return {};
  }
}

const char* Find(const char* From, const char* End, std::string_view What) {
  if (End - From < ptrdiff_t(What.size())) return nullptr;
  const std::string_view Hay(From, size_t(End - From));
  const size_t At = Hay.find(What);
  return At == std::string_view::npos ? nullptr : From + At;
}

bool StartsWith(const char* P, const char* End, std::string_view What) {
  return End - P >= ptrdiff_t(What.size()) && std::memcmp(P, What.data(), What.size()) == 0;
}

bool IsBlank(char C) { return C == ' ' || C == '\t' || C == '\n' || C == '\r'; }

// Where the element's start tag begins: the tree's Prefix starts at the
// qualified name, right after the '<'.
const char* TagStart(const TXMLNode& N) { return (N.Prefix.Len > 0 ? N.Prefix.Start : N.Name.Start) - 1; }

bool IsEmptyElementTag(const TXMLNode& N) {
  return N.Text.Len == 0 && N.Text.Start[-1] == '>' && N.Text.Start[-2] == '/';
}

// A text node holding a CDATA section: its slice follows the opening marker,
// which lies inside the parent's content.
bool IsCData(const TXMLNode& N) {
  constexpr std::string_view Marker = "<![CDATA[";
  return N.Parent && N.Text.Start - N.Parent->Text.Start >= ptrdiff_t(Marker.size()) &&
         std::memcmp(N.Text.Start - Marker.size(), Marker.data(), Marker.size()) == 0;
}

struct TNamespace {
  std::string_view Prefix;  // empty for the default namespace
  std::string_view Uri;     // normalised and decoded
};

// Most pieces of output are short (names, values, escapes): they are copied
// inline by two overlapping moves instead of a library call. Reads stay
// within [From, From + N).
__attribute__((always_inline)) inline void CopyShort(char* To, const char* From, size_t N) {
  if (N > 16) {
    std::memcpy(To, From, N);
  } else if (N >= 8) {
    uint64_t A, B;
    std::memcpy(&A, From, 8);
    std::memcpy(&B, From + N - 8, 8);
    std::memcpy(To, &A, 8);
    std::memcpy(To + N - 8, &B, 8);
  } else if (N >= 4) {
    uint32_t A, B;
    std::memcpy(&A, From, 4);
    std::memcpy(&B, From + N - 4, 4);
    std::memcpy(To, &A, 4);
    std::memcpy(To + N - 4, &B, 4);
  } else {
    for (size_t I = 0; I < N; ++I) To[I] = From[I];
  }
}

// Buffered output to a sink (a hash context or a string).
template <typename TSink>
class TOutput {
 public:
  explicit TOutput(TSink& Sink) : FSink(Sink) {}
  __attribute__((always_inline)) void Put(char C) {
    if (FUsed == sizeof FBuf) Flush();
    FBuf[FUsed++] = C;
  }
  __attribute__((always_inline)) void Put(std::string_view S) {
    if (S.size() <= sizeof FBuf - FUsed) {
      CopyShort(FBuf + FUsed, S.data(), S.size());
      FUsed += S.size();
    } else {
      PutLong(S);
    }
  }
  __attribute__((noinline)) void Flush() {
    if (FUsed) FSink.Write(FBuf, FUsed);
    FUsed = 0;
  }

 private:
  // Long runs go to the sink from where they lie.
  __attribute__((noinline)) void PutLong(std::string_view S) {
    Flush();
    if (S.size() >= sizeof FBuf / 4) {
      FSink.Write(S.data(), S.size());
      return;
    }
    std::memcpy(FBuf, S.data(), S.size());
    FUsed = S.size();
  }

  TSink& FSink;
  char FBuf[4096];
  size_t FUsed = 0;
};

template <typename TSink, bool Exclusive, bool WithComments>
class TWriter {
 public:
  TWriter(TSink& Sink, const std::vector<std::string>& Extra, const TC14NOptions& Options) : FOut(Sink) {
    for (const std::string& E : Extra) FExtra.push_back(ParseExtra(E));
    if constexpr (Exclusive)
      for (const std::string& P : Options.InclusivePrefixes)
        FInclusivePrefixes.push_back(P == "#default" ? std::string_view() : std::string_view(P));
  }

  // C14N §2.1: the document is its root element, preceded and followed by
  // the comments and processing instructions outside it, each separated from
  // the root by one LF; the XML declaration and the document type go.
  void WriteDocument(const TXMLTree& Tree) {
    const TXMLNode& Root = Tree.Root();
    if (Root.IsText()) return;  // empty text
    const std::string_view Src = Tree.Source();
    const char* RootStart = TagStart(Root);
    const char* P = Src.data();
    if (StartsWith(P, RootStart, "\xEF\xBB\xBF")) P += 3;
    while ((P = SkipBlanks(P, RootStart)) < RootStart) {
      const char* Next = OutsideNode(P, RootStart, false);
      if (Next == P) break;
      P = Next;
    }
    OpenApex(Root);
    Run();
    const char* End = Src.data() + Src.size();
    for (P = ElementEnd(Root, End); (P = SkipBlanks(P, End)) < End;) {
      const char* Next = OutsideNode(P, End, true);
      if (Next == P) break;
      P = Next;
    }
    FOut.Flush();
  }

  void Write(const TXMLNode& Apex) {
    if (Apex.IsText()) {
      WriteText(Apex.Text.Start, Apex.Text.Start + Apex.Text.Len, !IsCData(Apex));
    } else {
      OpenApex(Apex);
      Run();
    }
    FOut.Flush();
  }

 private:
  struct TFrame {
    PXMLNode Node;
    const char* Pos;  // next byte of the content to write
    const char* End;  // the '<' of the end tag
    size_t Child;     // next child of the tree to look at
    size_t ScopeMark, RenderedMark;
  };

  // --- namespace scopes -----------------------------------------------------

  TNamespace ParseExtra(std::string_view E) {
    auto Fail = [&]() -> TNamespace { throw std::invalid_argument("Invalid namespace declaration: " + std::string(E)); };
    while (!E.empty() && IsBlank(E.front())) E.remove_prefix(1);
    while (!E.empty() && IsBlank(E.back())) E.remove_suffix(1);
    const size_t Eq = E.find('=');
    if (Eq == std::string_view::npos || E.size() < Eq + 3) return Fail();
    std::string_view Name = E.substr(0, Eq);
    while (!Name.empty() && IsBlank(Name.back())) Name.remove_suffix(1);
    std::string_view Value = E.substr(Eq + 1);
    while (!Value.empty() && IsBlank(Value.front())) Value.remove_prefix(1);
    const char Quote = Value.empty() ? 0 : Value.front();
    if ((Quote != '"' && Quote != '\'') || Value.size() < 2 || Value.back() != Quote) return Fail();
    Value = Value.substr(1, Value.size() - 2);
    if (Value.find(Quote) != std::string_view::npos) return Fail();
    if (Name == "xmlns") return {{}, Normalized(Value)};
    if (Name.size() > 6 && Name.substr(0, 6) == "xmlns:") return {Name.substr(6), Normalized(Value)};
    return Fail();
  }

  // An attribute value after XML 1.0 §3.3.3 normalisation, as a view: the
  // raw slice when nothing changes, else a decoded copy kept for the call.
  std::string_view Normalized(std::string_view Raw) {
    if (TByteSet<'&', '\t', '\n', '\r'>::Find(Raw.data(), Raw.data() + Raw.size()) == Raw.data() + Raw.size())
      return Raw;
    std::string& S = FDecoded.emplace_front();
    const char* P = Raw.data();
    const char* End = P + Raw.size();
    while (P < End) {
      const char C = *P;
      uint32_t Code;
      if (C == '&' && DecodeReference(P, End, Code)) {
        char Buf[4];
        S.append(Buf, EncodeUTF8(Code, Buf));
        continue;
      }
      if (C == '\r' && P + 1 < End && P[1] == '\n') ++P;
      S += (C == '\t' || C == '\n' || C == '\r') ? ' ' : C;
      ++P;
    }
    return S;
  }

  // Prefixes and URIs in scope are mostly the same slices met again.
  static bool Same(std::string_view A, std::string_view B) {
    return A.size() == B.size() && (A.data() == B.data() || CompareBytes(A, B) == 0);
  }

  static const TNamespace* Lookup(const std::vector<TNamespace>& Stack, std::string_view Prefix) {
    for (size_t I = Stack.size(); I-- > 0;)
      if (Same(Stack[I].Prefix, Prefix)) return &Stack[I];
    return nullptr;
  }

  static bool IsNamespaceDecl(const TXMLAttribute& A) {
    return Is(A.Prefix.Len > 0 ? A.Prefix.View() : A.Name.View(), "xmlns");
  }

  void PushDeclaration(const TXMLAttribute& A) {
    FScope.push_back({A.Prefix.Len > 0 ? A.Name.View() : std::string_view(), Normalized(A.Value.View())});
  }

  void PopScopes(size_t ScopeMark, size_t RenderedMark) {
    if (FScope.size() > ScopeMark) FScope.resize(ScopeMark);
    if (FRendered.size() > RenderedMark) FRendered.resize(RenderedMark);
  }

  // C14N §4.7 / Exclusive C14N §3: a namespace is rendered when its value
  // differs from the one the nearest output ancestor rendered (none at the
  // apex); the xml namespace never is; an empty default is rendered as
  // xmlns="" only to undo a non-empty one rendered above.
  void ConsiderNamespace(std::string_view Prefix) {
    if (Is(Prefix, "xml")) return;
    for (const TNamespace& Done : FNsOut)
      if (Same(Done.Prefix, Prefix)) return;
    const TNamespace* InScope = Lookup(FScope, Prefix);
    const TNamespace* Above = Lookup(FRendered, Prefix);
    if (Prefix.empty()) {
      const std::string_view Uri = InScope ? InScope->Uri : std::string_view();
      if (Same(Uri, Above ? Above->Uri : std::string_view())) return;
      FNsOut.push_back({Prefix, Uri});
      return;
    }
    if (!InScope || InScope->Uri.empty()) return;  // undeclared prefix: not namespace-well-formed
    if (Above && Same(Above->Uri, InScope->Uri)) return;
    FNsOut.push_back(*InScope);
  }

  // --- start and end tags --------------------------------------------------------

  struct TAttrOut {
    const TXMLAttribute* Attr;
    std::string_view Uri;  // of its prefix; empty for none
  };

  void OpenApex(const TXMLNode& Apex) {
    for (const TNamespace& E : FExtra) FScope.push_back(E);
    std::vector<PXMLNode> Ancestors;
    for (PXMLNode A = Apex.Parent; A; A = A->Parent) Ancestors.push_back(A);
    for (size_t I = Ancestors.size(); I-- > 0;)
      for (const TXMLAttribute& A : Ancestors[I]->Attrs())
        if (IsNamespaceDecl(A)) PushDeclaration(A);
    Open(Apex, true);
  }

  // Writes the start tag (and the end tag of an empty element); pushes a
  // frame for an element with content.
  void Open(const TXMLNode& N, bool Apex) {
    const size_t ScopeMark = FScope.size(), RenderedMark = FRendered.size();
    // One pass parts declarations, which join the scope, from the attributes.
    FAttrOut.clear();
    for (const TXMLAttribute& A : N.Attrs()) {
      if (IsNamespaceDecl(A)) PushDeclaration(A);
      else FAttrOut.emplace_back().Attr = &A;
    }

    FNsOut.clear();
    if constexpr (Exclusive) {
      // Below the apex, an element that declares nothing and shares its
      // parent's prefix finds that prefix already rendered (or rightly not).
      if (Apex || FScope.size() > ScopeMark || !Same(N.Prefix.View(), N.Parent->Prefix.View()))
        ConsiderNamespace(N.Prefix.View());
      for (const TAttrOut& A : FAttrOut)
        if (A.Attr->Prefix.Len > 0) ConsiderNamespace(A.Attr->Prefix.View());
      for (std::string_view P : FInclusivePrefixes) ConsiderNamespace(P);
    } else {
      // The apex renders everything in scope, the others what they change.
      for (size_t I = FScope.size(); I-- > (Apex ? 0 : ScopeMark);) ConsiderNamespace(FScope[I].Prefix);
    }
    if (FNsOut.size() > 1)
      std::sort(FNsOut.begin(), FNsOut.end(),
                [](const TNamespace& A, const TNamespace& B) { return CompareBytes(A.Prefix, B.Prefix) < 0; });
    if (!FNsOut.empty()) FRendered.insert(FRendered.end(), FNsOut.begin(), FNsOut.end());

    for (TAttrOut& A : FAttrOut)
      if (A.Attr->Prefix.Len > 0) A.Uri = AttrNamespace(*A.Attr);
    if (!Exclusive && Apex) InheritXmlAttributes(N);
    if (FAttrOut.size() > 1)
      std::sort(FAttrOut.begin(), FAttrOut.end(), [](const TAttrOut& A, const TAttrOut& B) {
        const int ByUri = A.Uri.empty() && B.Uri.empty() ? 0 : CompareBytes(A.Uri, B.Uri);
        return ByUri != 0 ? ByUri < 0 : CompareBytes(A.Attr->Name.View(), B.Attr->Name.View()) < 0;
      });

    FOut.Put('<');
    PutQName(N.Prefix, N.Name);
    for (const TNamespace& Ns : FNsOut) {
      FOut.Put(Ns.Prefix.empty() ? std::string_view(" xmlns") : std::string_view(" xmlns:"));
      FOut.Put(Ns.Prefix);
      FOut.Put("=\"");
      WriteDecodedAttr(Ns.Uri);
      FOut.Put('"');
    }
    for (const TAttrOut& A : FAttrOut) {
      FOut.Put(' ');
      PutQName(A.Attr->Prefix, A.Attr->Name);
      FOut.Put("=\"");
      WriteRawAttr(A.Attr->Value.Start, A.Attr->Value.Start + A.Attr->Value.Len);
      FOut.Put('"');
    }
    FOut.Put('>');

    if (N.Text.Len <= 0) {
      Close(N);
      PopScopes(ScopeMark, RenderedMark);
      return;
    }
    FStack.push_back({&N, N.Text.Start, N.Text.Start + N.Text.Len, 0, ScopeMark, RenderedMark});
  }

  std::string_view AttrNamespace(const TXMLAttribute& A) const {
    if (A.Prefix.Len == 0) return {};
    if (Is(A.Prefix.View(), "xml")) return XmlNamespace;
    const TNamespace* Ns = Lookup(FScope, A.Prefix.View());
    return Ns ? Ns->Uri : std::string_view();
  }

  // C14N §2.4: the apex of a document subset also carries the xml:*
  // attributes it inherits from its ancestors, the nearest winning.
  void InheritXmlAttributes(const TXMLNode& Apex) {
    for (PXMLNode A = Apex.Parent; A; A = A->Parent)
      for (const TXMLAttribute& Attr : A->Attrs()) {
        if (!Is(Attr.Prefix.View(), "xml")) continue;
        const bool Present = std::any_of(FAttrOut.begin(), FAttrOut.end(), [&](const TAttrOut& O) {
          return O.Uri == XmlNamespace && O.Attr->Name.View() == Attr.Name.View();
        });
        if (!Present) FAttrOut.push_back({&Attr, XmlNamespace});
      }
  }

  void Close(const TXMLNode& N) {
    FOut.Put("</");
    PutQName(N.Prefix, N.Name);
    FOut.Put('>');
  }

  void PutQName(const TXMLString& Prefix, const TXMLString& Name) {
    if (Prefix.Len > 0) {
      FOut.Put(Prefix.View());
      FOut.Put(':');
    }
    FOut.Put(Name.View());
  }

  // --- content ------------------------------------------------------------------

  // The next element child of the frame's node at or after the cursor.
  PXMLNode NextChild(TFrame& F) {
    const auto Children = F.Node->Children();
    while (F.Child < Children.size()) {
      const TXMLNode& C = Children[F.Child];
      if (!C.IsText() && TagStart(C) >= F.Pos) return &C;
      ++F.Child;
    }
    return nullptr;
  }

  // Where the element that starts at its tag ends: after "/>" or after its end tag.
  static const char* ElementEnd(const TXMLNode& N, const char* Limit) {
    if (IsEmptyElementTag(N)) return N.Text.Start;
    const char* EndTag = N.Text.Start + N.Text.Len;
    const char* Gt = TByteSet<'>'>::Find(EndTag, Limit);
    return Gt < Limit ? Gt + 1 : Limit;
  }

  void Run() {
    while (!FStack.empty()) {
      TFrame& F = FStack.back();
      bool Descended = false;
      while (F.Pos < F.End && !Descended) {
        const char* Lt = WriteContentText(F.Pos, F.End);
        F.Pos = Lt;
        if (Lt == F.End) break;
        if (PXMLNode Child = NextChild(F); Child && TagStart(*Child) == Lt) {
          ++F.Child;
          F.Pos = std::max(ElementEnd(*Child, F.End), Lt + 1);
          const size_t Depth = FStack.size();
          Open(*Child, false);  // may grow the stack: F is not used after this
          Descended = FStack.size() > Depth;
          if (Descended) break;
          continue;
        }
        F.Pos = Markup(Lt, F.End);
      }
      if (Descended) continue;
      TFrame& Done = FStack.back();
      Close(*Done.Node);
      PopScopes(Done.ScopeMark, Done.RenderedMark);
      FStack.pop_back();
    }
  }

  // A comment, processing instruction or CDATA section at Lt; answers the
  // position after it. A stray '<' is written as character data.
  const char* Markup(const char* Lt, const char* End) {
    if (StartsWith(Lt, End, "<!--")) {
      const char* Close = Find(Lt + 4, End, "-->");
      if (!Close) return End;
      if constexpr (WithComments) WriteComment(Lt, Close);
      return Close + 3;
    }
    if (StartsWith(Lt, End, "<![CDATA[")) {
      const char* Close = Find(Lt + 9, End, "]]>");
      if (!Close) return End;
      WriteText(Lt + 9, Close, false);
      return Close + 3;
    }
    if (StartsWith(Lt, End, "<?")) {
      const char* Close = Find(Lt + 2, End, "?>");
      if (!Close) return End;
      WriteProcessingInstruction(Lt, Close);
      return Close + 2;
    }
    FOut.Put("&lt;");
    return Lt + 1;
  }

  // A node before (After false) or after the root element at P: written with
  // its LF separator when it is a comment or a processing instruction,
  // skipped when it is the XML declaration or the document type. Answers P
  // itself for anything else, which ends the walk.
  const char* OutsideNode(const char* P, const char* End, bool After) {
    if (StartsWith(P, End, "<!--")) {
      const char* Close = Find(P + 4, End, "-->");
      if (!Close) return P;
      if constexpr (WithComments) {
        if (After) FOut.Put('\n');
        WriteComment(P, Close);
        if (!After) FOut.Put('\n');
      }
      return Close + 3;
    }
    if (StartsWith(P, End, "<?")) {
      const char* Close = Find(P + 2, End, "?>");
      if (!Close) return P;
      if (!After && StartsWith(P, End, "<?xml") && (IsBlank(P[5]) || P + 5 == Close)) return Close + 2;
      if (After) FOut.Put('\n');
      WriteProcessingInstruction(P, Close);
      if (!After) FOut.Put('\n');
      return Close + 2;
    }
    if (!After && StartsWith(P, End, "<!DOCTYPE")) {
      // Skipped up to its '>', an internal subset in brackets included.
      int Brackets = 0;
      for (const char* Q = P + 9; Q < End; ++Q) {
        if (*Q == '[') ++Brackets;
        else if (*Q == ']') --Brackets;
        else if (*Q == '>' && Brackets <= 0) return Q + 1;
      }
    }
    return P;
  }

  static const char* SkipBlanks(const char* P, const char* End) {
    while (P < End && IsBlank(*P)) ++P;
    return P;
  }

  // C14N §2.3: comments as written but for their line ends.
  void WriteComment(const char* Lt, const char* Close) {
    FOut.Put("<!--");
    WriteLines(Lt + 4, Close);
    FOut.Put("-->");
  }

  // C14N §2.3: the target, then one space and the data when there is any.
  void WriteProcessingInstruction(const char* Lt, const char* Close) {
    const char* Target = Lt + 2;
    const char* P = Target;
    while (P < Close && !IsBlank(*P)) ++P;
    FOut.Put("<?");
    FOut.Put(std::string_view(Target, size_t(P - Target)));
    P = SkipBlanks(P, Close);
    if (P < Close) {
      FOut.Put(' ');
      WriteLines(P, Close);
    }
    FOut.Put("?>");
  }

  // --- character data and values -------------------------------------------------

  // Writes the bytes from P up to the first one of TSet (or End) and answers
  // where it stopped. A long run goes to the sink in pieces, each right after
  // it was scanned and while it is still in the cache, so that every byte is
  // read from memory once; the piece a few ahead is fetched meanwhile, which
  // the processor would not do on its own while it hashes.
  template <typename TSet>
  const char* PutPlain(const char* P, const char* End) {
    constexpr ptrdiff_t Piece = 1024, Ahead = 4 * Piece;
    for (;;) {
      const char* Stop = End - P > Piece ? P + Piece : End;
      const char* At = TSet::Find(P, Stop);
      if (At == Stop && End - P > Ahead)
        for (const char* Line = P + Ahead; Line < End && Line < P + Ahead + Piece; Line += 64)
          __builtin_prefetch(Line);
      FOut.Put(std::string_view(P, size_t(At - P)));
      if (At < Stop || Stop == End) return At;
      P = At;
    }
  }

  template <typename TSet, typename Fn>
  void Runs(const char* P, const char* End, Fn&& OnSpecial) {
    while ((P = PutPlain<TSet>(P, End)) < End) P = OnSpecial(P, End);
  }

  // A CR, alone or before LF, is one line end (XML 1.0 §2.11).
  static const char* SkipLineEnd(const char* P, const char* End) {
    return (P + 1 < End && P[1] == '\n') ? P + 2 : P + 1;
  }

  void PutDecoded(uint32_t Code, std::string_view Escape) {
    if (!Escape.empty()) {
      FOut.Put(Escape);
      return;
    }
    char Buf[4];
    FOut.Put(std::string_view(Buf, EncodeUTF8(Code, Buf)));
  }

  // One byte of TTextSpecial in character data; answers the position after
  // what it stood for. References is false inside CDATA sections.
  const char* PutTextSpecial(const char* At, const char* End, bool References) {
    uint32_t Code;
    switch (*At) {
      case '&':
        if (References && DecodeReference(At, End, Code)) {
          PutDecoded(Code, TextEscape(Code));
          return At;
        }
        FOut.Put("&amp;");
        return At + 1;
      case '<': FOut.Put("&lt;"); return At + 1;
      case '>': FOut.Put("&gt;"); return At + 1;
      default: FOut.Put('\n'); return SkipLineEnd(At, End);  // CR
    }
  }

  // Character data as written, '<' included.
  void WriteText(const char* P, const char* End, bool References) {
    Runs<TTextSpecial>(P, End, [&](const char* At, const char* Stop) { return PutTextSpecial(At, Stop, References); });
  }

  // The character data of an element's content from P up to the next markup;
  // answers the '<' that begins it, or End.
  const char* WriteContentText(const char* P, const char* End) {
    while ((P = PutPlain<TTextSpecial>(P, End)) < End && *P != '<') P = PutTextSpecial(P, End, true);
    return P;
  }

  // An attribute value as written: white space normalised, references decoded, escaped.
  void WriteRawAttr(const char* P, const char* End) {
    Runs<TAttrSpecial>(P, End, [&](const char* At, const char* Stop) -> const char* {
      uint32_t Code;
      switch (*At) {
        case '&':
          if (DecodeReference(At, Stop, Code)) {
            PutDecoded(Code, AttrEscape(Code));
            return At;
          }
          FOut.Put("&amp;");
          return At + 1;
        case '<': FOut.Put("&lt;"); return At + 1;
        case '"': FOut.Put("&quot;"); return At + 1;
        case '\r': FOut.Put(' '); return SkipLineEnd(At, Stop);
        default: FOut.Put(' '); return At + 1;  // TAB, LF
      }
    });
  }

  // A value already decoded (a namespace URI): only escaped.
  void WriteDecodedAttr(std::string_view V) {
    Runs<TAttrSpecial>(V.data(), V.data() + V.size(), [&](const char* At, const char*) -> const char* {
      FOut.Put(AttrEscape(uint8_t(*At)));
      return At + 1;
    });
  }

  // Comments and processing instructions: line ends only.
  void WriteLines(const char* P, const char* End) {
    Runs<TLineSpecial>(P, End, [&](const char* At, const char* Stop) -> const char* {
      FOut.Put('\n');
      return SkipLineEnd(At, Stop);
    });
  }

  TOutput<TSink> FOut;
  std::vector<TNamespace> FExtra, FScope, FRendered, FNsOut;
  std::vector<std::string_view> FInclusivePrefixes;
  std::vector<TAttrOut> FAttrOut;
  std::vector<TFrame> FStack;
  std::forward_list<std::string> FDecoded;  // normalised values that differ from their source
};

template <typename TSink, bool Exclusive, bool WithComments, typename TInput>
void WriteWith(const TInput& Input, const std::vector<std::string>& Extra, const TC14NOptions& Options,
               TSink& Sink) {
  TWriter<TSink, Exclusive, WithComments> Writer(Sink, Extra, Options);
  if constexpr (std::is_same_v<TInput, TXMLTree>) Writer.WriteDocument(Input);
  else Writer.Write(Input);
}

// The mode is chosen once here; the writer's loops are specialised for it.
// Input is an element (TXMLNode) or a whole document (TXMLTree).
template <typename TSink, typename TInput>
void Canonicalize(const TInput& Input, const std::vector<std::string>& Extra, const TC14NOptions& Options,
                  TSink& Sink) {
  if (Options.Exclusive) {
    if (Options.WithComments) WriteWith<TSink, true, true>(Input, Extra, Options, Sink);
    else WriteWith<TSink, true, false>(Input, Extra, Options, Sink);
  } else {
    if (Options.WithComments) WriteWith<TSink, false, true>(Input, Extra, Options, Sink);
    else WriteWith<TSink, false, false>(Input, Extra, Options, Sink);
  }
}

struct TSHA1Sink {
  TSHA1Context Context;
  TSHA1Sink() { SHA1Init(Context); }
  void Write(const char* P, size_t N) { SHA1Update(Context, P, N); }
};

struct TSHA256Sink {
  TSHA256Context Context;
  TSHA256Sink() { SHA256Init(Context); }
  void Write(const char* P, size_t N) { SHA256Update(Context, P, N); }
};

struct TStringSink {
  std::string Text;
  void Write(const char* P, size_t N) { Text.append(P, N); }
};

template <typename TSink, typename TInput>
TSink Digest(const TInput* Input, const std::vector<std::string>& Extra, const TC14NOptions& Options) {
  TSink Sink;
  if (Input) Canonicalize(*Input, Extra, Options, Sink);
  return Sink;
}

TXMLTree Parse(std::string_view XML) {
  TXMLTree Tree;
  Tree.BuildFrom(XML);
  return Tree;
}

}  // namespace

std::string C14NNodeDigestSHA1(PXMLNode Node, const std::vector<std::string>& Extra, const TC14NOptions& Options) {
  auto Sink = Digest<TSHA1Sink>(Node, Extra, Options);
  return SHA1Final(Sink.Context);
}

std::string C14NNodeDigestSHA256(PXMLNode Node, const std::vector<std::string>& Extra,
                                 const TC14NOptions& Options) {
  auto Sink = Digest<TSHA256Sink>(Node, Extra, Options);
  return SHA256Final(Sink.Context);
}

std::string C14NNodeDigestBase64(PXMLNode Node, const std::vector<std::string>& Extra,
                                 const TC14NOptions& Options) {
  return Base64Encode(C14NNodeDigestSHA1(Node, Extra, Options));
}

std::string C14NDigestSHA1(std::string_view XML, const std::vector<std::string>& Extra, const TC14NOptions& Options) {
  const TXMLTree Tree = Parse(XML);
  auto Sink = Digest<TSHA1Sink>(&Tree, Extra, Options);
  return SHA1Final(Sink.Context);
}

std::string C14NDigestSHA256(std::string_view XML, const std::vector<std::string>& Extra,
                             const TC14NOptions& Options) {
  const TXMLTree Tree = Parse(XML);
  auto Sink = Digest<TSHA256Sink>(&Tree, Extra, Options);
  return SHA256Final(Sink.Context);
}

std::string C14NDigestBase64(std::string_view XML, const std::vector<std::string>& Extra,
                             const TC14NOptions& Options) {
  return Base64Encode(C14NDigestSHA1(XML, Extra, Options));
}

namespace detail {
std::string C14NText(PXMLNode Node, const std::vector<std::string>& Extra, const TC14NOptions& Options) {
  return Digest<TStringSink>(Node, Extra, Options).Text;
}

std::string C14NDocumentText(std::string_view XML, const std::vector<std::string>& Extra,
                             const TC14NOptions& Options) {
  const TXMLTree Tree = Parse(XML);
  return Digest<TStringSink>(&Tree, Extra, Options).Text;
}
}  // namespace detail

}  // namespace Vantrel
