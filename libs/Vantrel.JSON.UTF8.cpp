#include "Vantrel.JSON.UTF8.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {

namespace {

using enum TTypeDetail;

template <class Ch>
constexpr bool IsWide = std::is_same_v<Ch, char16_t>;

template <class Ch>
using TBuildFieldHook = bool (*)(const void*, std::string_view, TJSONBuilderT<Ch>&);
template <class Ch>
using TBuildHook = void (*)(const void*, TJSONBuilderT<Ch>&);
template <class Ch>
using TParseFieldHook = bool (*)(void*, std::string_view, TJSONParserT<Ch>&);
using TStoredHook = bool (*)(const void*);

template <class Fn>
Fn MethodAs(TMethodCode Code) {
  return reinterpret_cast<Fn>(Code);
}

constexpr size_t MaxQuoted = 64;  // characters of input quoted in an error message
const std::string NestingError = "JSON nesting deeper than " + std::to_string(MaxJSONDepth) + " levels";
constexpr char HexDigits[] = "0123456789abcdef";
constexpr double MaxDate = 2958466;  // 10000-01-01
constexpr double MinDate = -693593;  // 0001-01-01

// What follows the backslash for each ASCII character that must be escaped
// (RFC 8259 §7): the five short forms, 'u' for the other control characters.
constexpr std::array<char, 128> EscapeTable = [] {
  std::array<char, 128> T{};
  for (int C = 0; C < 0x20; ++C) T[size_t(C)] = 'u';
  T['\b'] = 'b';
  T['\f'] = 'f';
  T['\n'] = 'n';
  T['\r'] = 'r';
  T['\t'] = 't';
  T['"'] = '"';
  T['\\'] = '\\';
  return T;
}();

bool IsBlank(char16_t C) { return C == ' ' || C == '\t' || C == '\n' || C == '\r'; }
bool IsDigit(char16_t C) { return C >= '0' && C <= '9'; }

void AppendUTF16(std::u16string& Out, uint32_t CP) {
  if (CP >= 0x10000) {
    Out += char16_t(0xD800 + ((CP - 0x10000) >> 10));
    Out += char16_t(0xDC00 + ((CP - 0x10000) & 0x3FF));
  } else {
    Out += char16_t(CP);
  }
}

template <class Out>
void AppendCodePoint(std::basic_string<Out>& S, uint32_t CP) {
  if constexpr (std::is_same_v<Out, char>)
    AppendUTF8(S, CP);
  else
    AppendUTF16(S, CP);
}

// Text of one character type into a string of another.
template <class Out, class In>
void AppendConverted(std::basic_string<Out>& S, std::basic_string_view<In> Text) {
  if constexpr (std::is_same_v<Out, In>)
    S.append(Text);
  else if constexpr (std::is_same_v<Out, char>)
    S += UTF16ToUTF8(Text);
  else
    S += UTF8ToUTF16(Text);
}

template <class Out, class In>
std::basic_string<Out> Converted(std::basic_string_view<In> Text) {
  std::basic_string<Out> S;
  AppendConverted(S, Text);
  return S;
}

template <class Ch>
std::string ToUTF8(std::basic_string_view<Ch> Text) {
  return Converted<char>(Text);
}

std::string Quoted(std::string_view Text) {
  return Text.size() > MaxQuoted ? std::string(Text.substr(0, MaxQuoted)) + "..." : std::string(Text);
}

// Integer parsing with an optional '+' (from_chars takes only '-').
template <class T>
bool ParseInteger(std::string_view S, T& V) {
  if (!S.empty() && S.front() == '+') S.remove_prefix(1);
  if (S.empty() || S.front() == '+') return false;
  auto [End, Err] = std::from_chars(S.data(), S.data() + S.size(), V);
  return Err == std::errc() && End == S.data() + S.size();
}

[[noreturn]] void NotAnInteger(std::string_view S) {
  throw EConvertError("'" + Quoted(S) + "' is not a valid integer value");
}

double ParseFloat(std::string_view S) {
  if (!S.empty() && S.front() == '+') S.remove_prefix(1);
  double V = 0;
  auto [End, Err] = std::from_chars(S.data(), S.data() + S.size(), V);
  if (S.empty() || S.front() == '+' || Err != std::errc() || End != S.data() + S.size() || !std::isfinite(V))
    throw EConvertError("'" + Quoted(S) + "' is not a valid floating point value");
  return V;
}

bool InOrdinalRange(TOrdType Ord, int64_t V) {
  switch (Ord) {
    case TOrdType::otSByte: return V >= INT8_MIN && V <= INT8_MAX;
    case TOrdType::otUByte: return V >= 0 && V <= UINT8_MAX;
    case TOrdType::otSWord: return V >= INT16_MIN && V <= INT16_MAX;
    case TOrdType::otUWord: return V >= 0 && V <= UINT16_MAX;
    case TOrdType::otSLong: return V >= INT32_MIN && V <= INT32_MAX;
    // Older writers gave 32-bit unsigned values as signed numbers.
    case TOrdType::otULong: return V >= INT32_MIN && V <= int64_t(UINT32_MAX);
    case TOrdType::otNone: break;
  }
  return false;
}

uint32_t UnsignedOrdinal(const TTypeInfo* Type, const void* Data) {
  uint32_t V = uint32_t(GetOrdinal(Type, Data));
  return Type->Size == 1 ? V & 0xFF : Type->Size == 2 ? V & 0xFFFF : V;
}

void Put2(char*& P, int V) {
  *P++ = char('0' + V / 10 % 10);
  *P++ = char('0' + V % 10);
}

// "yyyy-mm-dd", "hh:nn:ss" or both joined by 'T'; false for a value outside years 1..9999.
bool FormatDate(TDateTime V, bool Date, bool Time, char* Buf, size_t& Len) {
  if (!std::isfinite(V) || V <= MinDate || V >= MaxDate) return false;
  TDateParts P = DecodeDateTime(V);
  char* Out = Buf;
  if (Date) {
    Put2(Out, P.Year / 100);
    Put2(Out, P.Year);
    *Out++ = '-';
    Put2(Out, P.Month);
    *Out++ = '-';
    Put2(Out, P.Day);
  }
  if (Date && Time) *Out++ = 'T';
  if (Time) {
    Put2(Out, P.Hour);
    *Out++ = ':';
    Put2(Out, P.Minute);
    *Out++ = ':';
    Put2(Out, P.Second);
  }
  Len = size_t(Out - Buf);
  return true;
}

// A float in the invariant form; false for NaN and infinities.
template <class F>
bool FormatFloat(F V, char* Buf, size_t& Len) {
  if (!std::isfinite(V)) return false;
  std::to_chars_result R;
  if constexpr (std::is_same_v<F, float>)
    R = std::to_chars(Buf, Buf + 64, V);  // shortest form that reads back the same
  else
    R = std::to_chars(Buf, Buf + 64, V, std::chars_format::general, 15);
  Len = size_t(R.ptr - Buf);
  return true;
}

// Exact decimal text of a value in units of 1/10000.
std::string FormatCurrency(int64_t Units) {
  uint64_t A = Units < 0 ? 0 - uint64_t(Units) : uint64_t(Units);
  std::string S = (Units < 0 ? "-" : "") + std::to_string(A / 10000);
  if (uint64_t Frac = A % 10000) {
    char F[5] = {char('0' + Frac / 1000), char('0' + Frac / 100 % 10), char('0' + Frac / 10 % 10),
                 char('0' + Frac % 10), 0};
    size_t N = 4;
    while (F[N - 1] == '0') --N;
    S += '.';
    S.append(F, N);
  }
  return S;
}

}  // namespace

// ============================== Writer ==============================

template <class Ch>
struct TJSONBuilderT<Ch>::TBuildChain {
  TBuildFieldHook<Ch> Build;
  const void* Self;
  const TObject* Sender;  // the object being written; none for records
  std::string_view Name;  // the member being written
  TBuildChain* Next;
};

namespace {
// Pushes a chain entry for the time a record or object is written or read.
template <class Chain>
class TChainGuard {
 public:
  TChainGuard(Chain*& AHead, Chain& Entry, int& AHooks, int& ADepth, bool AHasHook)
      : Head(AHead), Hooks(AHooks), Depth(ADepth), HasHook(AHasHook) {
    Entry.Next = Head;
    Head = &Entry;
    Hooks += HasHook;
    ++Depth;
  }
  ~TChainGuard() {
    Head = Head->Next;
    Hooks -= HasHook;
    --Depth;
  }
  TChainGuard(const TChainGuard&) = delete;
  TChainGuard& operator=(const TChainGuard&) = delete;

 private:
  Chain*& Head;
  int& Hooks;
  int& Depth;
  bool HasHook;
};
}  // namespace

template <class Ch>
void TJSONBuilderT<Ch>::Fail(const std::string& Message) const {
  throw EJSONErrorT<Ch>(Message, FBuffer.size());
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendASCII(std::string_view S) {
  if constexpr (IsWide<Ch>)
    FBuffer.append(S.begin(), S.end());
  else
    FBuffer.append(S);
}

template <class Ch>
void TJSONBuilderT<Ch>::Append(int32_t Value) {
  char Buf[16];
  auto R = std::to_chars(Buf, Buf + sizeof Buf, Value);
  AppendASCII(std::string_view(Buf, size_t(R.ptr - Buf)));
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendEscaped(std::string_view Str) {
  if constexpr (IsWide<Ch>) {
    AppendEscaped(std::u16string_view(UTF8ToUTF16(Str)));
  } else {
    size_t Run = 0;  // start of the bytes not yet copied
    for (size_t I = 0; I < Str.size(); ++I) {
      unsigned char C = static_cast<unsigned char>(Str[I]);
      if (C >= 0x80 || !EscapeTable[C]) continue;
      FBuffer.append(Str, Run, I - Run);
      Run = I + 1;
      char E = EscapeTable[C];
      FBuffer += '\\';
      FBuffer += E;
      if (E == 'u') {
        FBuffer += "00";
        FBuffer += HexDigits[C >> 4];
        FBuffer += HexDigits[C & 15];
      }
    }
    FBuffer.append(Str, Run);
  }
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendEscaped(std::u16string_view Str) {
  auto Unicode = [&](char16_t U) {
    AppendASCII("\\u");
    for (int Shift = 12; Shift >= 0; Shift -= 4) FBuffer += Ch(HexDigits[(U >> Shift) & 15]);
  };
  for (size_t I = 0; I < Str.size(); ++I) {
    char16_t U = Str[I];
    if (U < 0x80) {
      char E = EscapeTable[U];
      if (!E) {
        FBuffer += Ch(U);
      } else if (E == 'u') {
        Unicode(U);
      } else {
        FBuffer += Ch('\\');
        FBuffer += Ch(E);
      }
      continue;
    }
    bool High = U >= 0xD800 && U <= 0xDBFF;
    bool Paired = High && I + 1 < Str.size() && Str[I + 1] >= 0xDC00 && Str[I + 1] <= 0xDFFF;
    if (U >= 0xD800 && U <= 0xDFFF && !Paired) {
      Unicode(U);  // a lone surrogate survives only as an escape
    } else if constexpr (IsWide<Ch>) {
      FBuffer += U;
      if (Paired) FBuffer += Str[++I];
    } else {
      uint32_t CP = Paired ? 0x10000 + ((uint32_t(U) - 0xD800) << 10) + (Str[++I] - 0xDC00) : U;
      AppendUTF8(FBuffer, CP);
    }
  }
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendString(std::u16string_view Str, bool Nullable) {
  if (Str.empty() && Nullable) return AppendASCII("null");
  AppendChar('"');
  AppendEscaped(Str);
  AppendChar('"');
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendString(std::string_view Str, bool Nullable)
  requires std::is_same_v<Ch, char>
{
  AppendText(Str, Nullable);
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendText(std::string_view Str, bool Nullable) {
  if (Str.empty() && Nullable) return AppendASCII("null");
  AppendChar('"');
  AppendEscaped(Str);
  AppendChar('"');
}

template <class Ch>
bool TJSONBuilderT<Ch>::BeginArray(int Count) {
  if (Count < 1) {
    AppendASCII("[]");
    return false;
  }
  AppendASCII("{\"count\":");
  Append(Count);
  AppendASCII(",\"items\":[");
  return true;
}

template <class Ch>
void TJSONBuilderT<Ch>::EndArray() {
  AppendASCII("]}");
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendStrings(const TStringList* List) {
  AppendChar('[');
  for (size_t I = 0; List && I < List->Count(); ++I) {
    if (I) AppendChar(',');
    if (const TObject* Obj = List->Object(I)) {
      AppendChar('{');
      AppendText(List->Strings[I], false);
      AppendChar(':');
      AppendObject(Obj);
      AppendChar('}');
    } else {
      AppendText(List->Strings[I], false);
    }
  }
  AppendChar(']');
}

template <class Ch>
std::string TJSONBuilderT<Ch>::ErrorPath() const {
  std::string Path;
  for (const TBuildChain* E = FBuild; E; E = E->Next) {
    Path = std::string(E->Name) + "." + Path;
    if (E->Sender) Path = std::string(E->Sender->ClassType()->Name) + "." + Path;
  }
  return Path;
}

template <class Ch>
bool TJSONBuilderT<Ch>::CallFieldHooks(std::string_view Name) {
  std::string Path(Name);
  for (const TBuildChain* E = FBuild; E; E = E->Next) {
    if (E != FBuild) Path = std::string(E->Name) + "." + Path;
    if (E->Build && E->Build(E->Self, Path, *this)) return true;
  }
  return false;
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendObject(const TObject* Obj) {
  if (!Obj) return AppendASCII("null");
  const TTypeInfo* Class = Obj->ClassType();
  if (TMethodCode Build = GetClassMethodAddress(Class, "JSONBuild", IsWide<Ch>)) {
    if (FDepth >= MaxJSONDepth) Fail(NestingError);
    ++FDepth;
    MethodAs<TBuildHook<Ch>>(Build)(Obj, *this);
    --FDepth;
    return;
  }
  if (Class == TypeInfo<TStringList>()) return AppendStrings(static_cast<const TStringList*>(Obj));
  for (const TBuildChain* E = FBuild; E; E = E->Next)
    if (E->Sender == Obj) Fail("Circular reference in " + ErrorPath());
  if (FDepth >= MaxJSONDepth) Fail(NestingError);
  auto Hook = MethodAs<TBuildFieldHook<Ch>>(GetClassMethodAddress(Class, "JSONBuildField", IsWide<Ch>));
  TBuildChain Entry{Hook, Obj, Obj, {}, nullptr};
  TChainGuard Guard(FBuild, Entry, FHooks, FDepth, Hook != nullptr);
  AppendClassFields(Obj);
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendClassFields(const TObject* Obj) {
  // Object members are all written: the omission rules are for records.
  AppendChar('{');
  bool First = true;
  for (const TClassFieldInfo& F : GetClassFields(Obj->ClassType())) {
    if (!First) AppendChar(',');
    First = false;
    AppendChar('"');
    AppendASCII(F.Name);
    AppendASCII("\":");
    FBuild->Name = F.Name;
    if (FHooks && CallFieldHooks(F.Name)) continue;
    AppendValue(F.TypeInfo(), F.Data(static_cast<const void*>(Obj)));
  }
  AppendChar('}');
}

template <class Ch>
bool TJSONBuilderT<Ch>::IsStored(const TTypeInfo* Type, const void* Data) const {
  if (HasJSONDontStore(Type)) return false;
  switch (Type->Detail) {
    case dtEnum8: case dtEnum16: case dtEnum32:
      return IsWide<Ch> || GetOrdinal(Type, Data) != 0;
    case dtSet8: case dtSet16: case dtSet32:
      return GetOrdinal(Type, Data) != 0;
    case dtDateTime:  // only the zero date means "no date": 1850 is a birth date
      return *static_cast<const TDateTime*>(Data) != 0;
    case dtClass: {
      const TObject* Obj = Type->ObjectOf(Data);
      if (!Obj) return false;
      auto Stored = MethodAs<TStoredHook>(GetClassMethodAddress(Type, "JSONStored"));
      return !Stored || Stored(Obj);
    }
    case dtRecord: {
      auto Stored = MethodAs<TStoredHook>(GetRecordMethodAddress(Type, "JSONStored"));
      return !Stored || Stored(Data);
    }
    default:
      return true;
  }
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendMember(const TRecordField& Field, const void* Instance, bool& First) {
  const TTypeInfo* Type = Field.TypeInfo();
  const void* Data = Field.Data(Instance);
  if (!IsStored(Type, Data)) return;
  if (!First) AppendChar(',');
  First = false;
  std::string_view Name = GetRecordFieldName(Field);
  AppendChar('"');
  AppendASCII(Name);
  AppendASCII("\":");
  FBuild->Name = Name;
  if constexpr (!IsWide<Ch>)
    if (Field.Serializer && Field.Serializer->Write(*this, Data)) return;
  if (FHooks && CallFieldHooks(Name)) return;
  AppendValue(Type, Data);
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendRecord(const TTypeInfo* Type, const void* Instance) {
  if (FDepth >= MaxJSONDepth) Fail(NestingError);
  auto Hook = MethodAs<TBuildFieldHook<Ch>>(GetRecordMethodAddress(Type, "JSONBuildField", IsWide<Ch>));
  TBuildChain Entry{Hook, Instance, nullptr, {}, nullptr};
  TChainGuard Guard(FBuild, Entry, FHooks, FDepth, Hook != nullptr);
  AppendChar('{');
  bool First = true;
  for (const TRecordField& F : Type->Fields) AppendMember(F, Instance, First);
  AppendChar('}');
}

template <class Ch>
void TJSONBuilderT<Ch>::AppendValue(const TTypeInfo* Type, const void* Data) {
  if (!Data) return AppendASCII("null");
  char Buf[64];
  size_t Len = 0;
  auto Number = [&](auto V) {
    auto R = std::to_chars(Buf, Buf + sizeof Buf, V);
    AppendASCII(std::string_view(Buf, size_t(R.ptr - Buf)));
  };
  auto Float = [&](auto V) {
    if (FormatFloat(V, Buf, Len))
      AppendASCII(std::string_view(Buf, Len));
    else
      AppendASCII("null");
  };
  auto Date = [&](bool D, bool T) {
    TDateTime V = *static_cast<const TDateTime*>(Data);
    if ((D && V == 0) || !FormatDate(V, D, T, Buf, Len)) return AppendASCII("null");
    AppendChar('"');
    AppendASCII(std::string_view(Buf, Len));
    AppendChar('"');
  };
  switch (ClassifyType(Type)) {
    case dtBoolean:
      return AppendASCII(GetOrdinal(Type, Data) ? "true" : "false");
    case dtEnum8: case dtEnum16: case dtEnum32: {
      uint32_t V = UnsignedOrdinal(Type, Data);
      if (V < Type->Names.size()) return AppendText(Type->Names[V], false);
      return Number(V);  // no name for it: the number, never an index past the table
    }
    case dtAnsiChar: {
      // An 8-bit character is taken as Latin-1; an unset one (0) is the
      // empty string, which reads back as 0.
      char16_t C = static_cast<unsigned char>(*static_cast<const char*>(Data));
      return AppendString(std::u16string_view(&C, C ? 1 : 0), false);
    }
    case dtWideChar: {
      char16_t C = *static_cast<const char16_t*>(Data);
      if (!C) return AppendASCII("null");
      return AppendString(std::u16string_view(&C, 1), false);
    }
    case dtUTF8String: {
      const std::string& S = *static_cast<const std::string*>(Data);
      if (!IsWide<Ch> && Type == TypeInfo<TJSONRawValue>() && !S.empty()) return AppendASCII(S);
      return AppendText(S, true);
    }
    case dtUnicodeString: {
      const std::u16string& S = *static_cast<const std::u16string*>(Data);
      if constexpr (IsWide<Ch>) {
        if (Type == TypeInfo<UTF16::TJSONRawValue>() && !S.empty()) {
          FBuffer.append(S);
          return;
        }
      }
      return AppendString(std::u16string_view(S), true);
    }
    case dtInt8: case dtInt16: case dtInt32:
      return Number(GetOrdinal(Type, Data));
    case dtUInt8: case dtUInt16: case dtUInt32:
      return Number(UnsignedOrdinal(Type, Data));
    case dtInt64: return Number(*static_cast<const int64_t*>(Data));
    case dtUInt64: return Number(*static_cast<const uint64_t*>(Data));
    case dtSingle: return Float(*static_cast<const float*>(Data));
    case dtDouble: return Float(*static_cast<const double*>(Data));
    case dtExtended: return Float(*static_cast<const long double*>(Data));
    case dtCurrency: return AppendASCII(FormatCurrency(static_cast<const TCurrency*>(Data)->Value));
    case dtDate: return Date(true, false);
    case dtTime: return Date(false, true);
    case dtDateTime: return Date(true, true);
    case dtClass: return AppendObject(Type->ObjectOf(Data));
    case dtRecord:
      if (Type == TypeInfo<TNullBoolean>()) {
        uint8_t V = static_cast<const TNullBoolean*>(Data)->Value;
        return AppendASCII(V == 2 ? "true" : V == 1 ? "false" : "null");
      }
      return AppendRecord(Type, Data);
    case dtSet8: case dtSet16: case dtSet32: {
      uint32_t Bits = UnsignedOrdinal(Type, Data);
      const TTypeInfo* E = Type->Element();
      AppendChar('[');
      bool First = true;
      for (uint32_t V = 0; V < 32; ++V) {
        if (!(Bits >> V & 1)) continue;
        if (!First) AppendChar(',');
        First = false;
        if (E && V < E->Names.size())
          AppendText(E->Names[V], false);
        else
          Number(V);
      }
      return AppendChar(']');
    }
    case dtStaticArray: case dtDynArray: {
      void* Items = const_cast<void*>(Data);
      size_t Count = Type->Length(Data);
      const TTypeInfo* E = Type->Element();
      if (FDepth >= MaxJSONDepth) Fail(NestingError);
      ++FDepth;
      AppendChar('[');
      for (size_t I = 0; I < Count; ++I) {
        if (I) AppendChar(',');
        AppendValue(E, Type->Item(Items, I));
      }
      AppendChar(']');
      --FDepth;
      return;
    }
    case dtBytes: {
      const std::string& B = *static_cast<const TBytes*>(Data);
      if (B.empty()) return AppendASCII("null");
      AppendChar('"');
      AppendASCII(Base64Encode(B));
      return AppendChar('"');
    }
    case dtGUID:
      AppendChar('"');
      AppendASCII(GUIDToString(*static_cast<const TGUID*>(Data)));
      return AppendChar('"');
    case dtPointer: {
      if (FDepth >= MaxJSONDepth) Fail(NestingError);
      ++FDepth;
      AppendValue(Type->Element(), Type->Target(Data));
      --FDepth;
      return;
    }
    case dtPAnsiChar: {
      auto P = static_cast<const char*>(Type->Target(Data));
      if (!P) return AppendASCII("null");
      return AppendText(P, false);
    }
    case dtPWideChar: {
      auto P = static_cast<const char16_t*>(Type->Target(Data));
      if (!P) return AppendASCII("null");
      return AppendString(std::u16string_view(P), false);
    }
    default:
      AppendChar('"');
      AppendEscaped(Type ? Type->Name : std::string_view("nil"));
      return AppendChar('"');
  }
}

// ============================== Reader ==============================

template <class Ch>
struct TJSONParserT<Ch>::TParseChain {
  TParseFieldHook<Ch> Parse;  // the JSONParseField hook
  void* Self;
  std::string Name;  // the member being read
  TParseChain* Next;
};

template <class Ch>
std::string TJSONParserT<Ch>::Excerpt() const {
  size_t End = std::min(FPos + 1, FText.size());
  size_t Start = End > MaxQuoted ? End - MaxQuoted : 0;
  // Start on a character boundary.
  if constexpr (IsWide<Ch>) {
    if (Start > 0 && FText[Start] >= 0xDC00 && FText[Start] <= 0xDFFF) ++Start;
  } else {
    while (Start > 0 && Start < End && (static_cast<unsigned char>(FText[Start]) & 0xC0) == 0x80) ++Start;
  }
  return (Start > 0 ? "..." : "") + ToUTF8(TView(FText).substr(Start, End - Start));
}

template <class Ch>
void TJSONParserT<Ch>::Fail(const std::string& Message) const {
  throw EJSONErrorT<Ch>(Message, FPos);
}

template <class Ch>
void TJSONParserT<Ch>::Enter() {
  if (FDepth >= MaxJSONDepth) Fail(NestingError);
  ++FDepth;
}

template <class Ch>
Ch TJSONParserT<Ch>::NextChar() {
  if (Eof()) Fail("End of JSON stream");
  return FText[FPos];
}

template <class Ch>
Ch TJSONParserT<Ch>::ReadChar() {
  Ch C = NextChar();
  ++FPos;
  return C;
}

template <class Ch>
bool TJSONParserT<Ch>::Skip(Ch C) {
  if (Eof() || FText[FPos] != C) return false;
  ++FPos;
  return true;
}

template <class Ch>
void TJSONParserT<Ch>::Drop(Ch C) {
  if (Skip(C)) return;
  std::string Expected;
  AppendCodePoint(Expected, uint32_t(C));
  Fail("Expected char \"" + Expected + "\" not found in \"" + Excerpt() + "\"");
}

template <class Ch>
bool TJSONParserT<Ch>::AtCountedArray() const {
  constexpr std::string_view Head = "{\"count\":";
  if (FText.size() - FPos < Head.size()) return false;
  for (size_t I = 0; I < Head.size(); ++I)
    if (FText[FPos + I] != Ch(Head[I])) return false;
  return true;
}

template <class Ch>
bool TJSONParserT<Ch>::SkipStr(std::string_view Str) {
  if (FText.size() - FPos < Str.size()) return false;
  for (size_t I = 0; I < Str.size(); ++I)
    if (FText[FPos + I] != Ch(Str[I])) return false;
  FPos += Str.size();
  return true;
}

template <class Ch>
void TJSONParserT<Ch>::Blanks() {
  while (FPos < FText.size() && IsBlank(FText[FPos])) ++FPos;
  if (Eof()) Fail("End of JSON stream");
}

// After the opening quote: the raw content up to the closing quote, which is
// consumed. A backslash always takes the next character with it.
template <class Ch>
bool TJSONParserT<Ch>::ReadQuoted(TView& Raw, bool& Escaped) {
  const size_t Start = FPos;
  const Ch* P = FText.data();
  const size_t N = FText.size();
  size_t I = FPos;
  Escaped = false;
  while (I < N) {
    Ch C = P[I];
    if (C == '"') {
      Raw = TView(P + Start, I - Start);
      FPos = I + 1;
      return true;
    }
    if (C == '\\') {
      Escaped = true;
      ++I;
    }
    ++I;
  }
  FPos = N;
  Fail("End of JSON stream");
}

template <class Ch>
template <class Out>
std::basic_string<Out> TJSONParserT<Ch>::DecodeString(TView Raw) {
  std::basic_string<Out> R;
  R.reserve(Raw.size());
  size_t I = 0;
  auto Hex4 = [&](size_t At, uint32_t& U) {
    if (At + 4 > Raw.size()) return false;
    U = 0;
    for (size_t K = At; K < At + 4; ++K) {
      Ch C = Raw[K];
      int V = C >= '0' && C <= '9' ? C - '0' : C >= 'a' && C <= 'f' ? C - 'a' + 10
            : C >= 'A' && C <= 'F' ? C - 'A' + 10 : -1;
      if (V < 0) return false;
      U = U << 4 | uint32_t(V);
    }
    return true;
  };
  while (I < Raw.size()) {
    size_t J = I;
    while (J < Raw.size() && Raw[J] != '\\') ++J;
    AppendConverted(R, Raw.substr(I, J - I));
    if (J >= Raw.size()) break;
    Ch E = Raw[J + 1];  // ReadQuoted guarantees a character after each backslash
    I = J + 2;
    switch (E) {
      case 'n': R += Out('\n'); break;
      case 'r': R += Out('\r'); break;
      case 't': R += Out('\t'); break;
      case 'b': R += Out('\b'); break;
      case 'f': R += Out('\f'); break;
      case '"': case '\\': case '/': R += Out(E); break;
      case 'u': {
        uint32_t U, Low;
        if (!Hex4(I, U)) Fail("Invalid \\u escape in string");
        I += 4;
        // RFC 8259 §7: a surrogate pair stands for one character.
        if (U >= 0xD800 && U <= 0xDBFF && I + 6 <= Raw.size() && Raw[I] == '\\' && Raw[I + 1] == 'u' &&
            Hex4(I + 2, Low) && Low >= 0xDC00 && Low <= 0xDFFF) {
          U = 0x10000 + ((U - 0xD800) << 10) + (Low - 0xDC00);
          I += 6;
        }
        if constexpr (std::is_same_v<Out, char16_t>)
          if (U < 0x10000) {  // a lone surrogate is kept as it is in UTF-16
            R += char16_t(U);
            break;
          }
        AppendCodePoint(R, U);
        break;
      }
      default:
        I = J + 1;  // any other character stands for itself
        break;
    }
  }
  return R;
}

template <class Ch>
template <class Out>
std::basic_string<Out> TJSONParserT<Ch>::ReadStringAs() {
  Blanks();
  if (SkipStr("null")) return {};
  Drop('"');
  TView Raw;
  bool Escaped;
  ReadQuoted(Raw, Escaped);
  if (!Escaped) return Converted<Out>(Raw);
  return DecodeString<Out>(Raw);
}

template <class Ch>
auto TJSONParserT<Ch>::GetString() -> TString {
  return ReadStringAs<Ch>();
}

// GetKey without a copy when the name holds no escape.
template <class Ch>
auto TJSONParserT<Ch>::ReadKeyView(TString& Scratch) -> TView {
  Blanks();
  TView Key;
  if (!SkipStr("null")) {
    Drop('"');
    bool Escaped;
    ReadQuoted(Key, Escaped);
    if (Escaped) {
      Scratch = DecodeString<Ch>(Key);
      Key = Scratch;
    }
  }
  Drop(':');
  return Key;
}

template <class Ch>
auto TJSONParserT<Ch>::GetKey() -> TString {
  TString Scratch;
  return TString(ReadKeyView(Scratch));
}

template <class Ch>
void TJSONParserT<Ch>::DropKey(std::string_view Str) {
  TString Key = GetString();
  if (ToUTF8(TView(Key)) != Str) Fail("expected key \"" + std::string(Str) + "\" not found");
}

template <class Ch>
char16_t TJSONParserT<Ch>::GetChar() {
  std::u16string S = ReadStringAs<char16_t>();
  return S.empty() ? 0 : S.front();
}

template <class Ch>
auto TJSONParserT<Ch>::GetNumber() -> TString {
  Blanks();
  if (FText[FPos] == '"') {
    TString S = GetString();
    return S.empty() ? TString(1, Ch('0')) : S;
  }
  const size_t Start = FPos;
  auto Digits = [&] {
    while (FPos < FText.size() && IsDigit(FText[FPos])) ++FPos;
  };
  auto Part = [&] {
    if (FPos < FText.size() && (FText[FPos] == '-' || FText[FPos] == '+')) ++FPos;
    Digits();
    if (FPos < FText.size() && FText[FPos] == '.') {
      ++FPos;
      Digits();
    }
  };
  Part();
  if (FPos < FText.size() && (FText[FPos] == 'e' || FText[FPos] == 'E')) {
    ++FPos;
    Part();
  }
  return FText.substr(Start, FPos - Start);
}

template <class Ch>
int32_t TJSONParserT<Ch>::GetInteger() {
  Blanks();
  if (SkipStr("null")) return 0;
  std::string S = ToUTF8(TView(GetNumber()));
  int32_t V;
  if (!ParseInteger(S, V)) NotAnInteger(S);
  return V;
}

template <class Ch>
int64_t TJSONParserT<Ch>::GetInt64() {
  std::string S = ToUTF8(TView(GetNumber()));
  int64_t V;
  if (!ParseInteger(S, V)) NotAnInteger(S);
  return V;
}

template <class Ch>
bool TJSONParserT<Ch>::GetBoolean() {
  Blanks();
  if (SkipStr("true") || SkipStr("\"true\"")) return true;
  if (SkipStr("false") || SkipStr("null") || SkipStr("\"false\"")) return false;
  return GetInteger() != 0;
}

template <class Ch>
double TJSONParserT<Ch>::GetFloat() {
  Blanks();
  // The writer gives NaN and infinities as null.
  if (SkipStr("null")) return std::numeric_limits<double>::quiet_NaN();
  return ParseFloat(ToUTF8(TView(GetNumber())));
}

template <class Ch>
TCurrency TJSONParserT<Ch>::GetCurrency() {
  double V = ParseFloat(ToUTF8(TView(GetNumber()))) * 10000.0;
  if (!(std::fabs(V) < 9.2e18)) throw EConvertError("Currency value out of range");
  return TCurrency{std::llround(V)};
}

template <class Ch>
TDateTime detail::ReadDateText(std::basic_string_view<Ch> Text, bool Strict, size_t Offset) {
  auto Fail = [&](const char* Message) -> EJSONErrorT<Ch> {
    return EJSONErrorT<Ch>(Message + Quoted(ToUTF8(Text)), Offset);
  };
  auto At = [&](size_t I) { return I < Text.size() ? Text[I] : Ch(0); };
  auto Num = [&](size_t From, size_t Count) {
    int V = 0;
    for (size_t I = From; I < From + Count; ++I) {
      if (!IsDigit(At(I))) throw Fail("Invalid date ");
      V = V * 10 + (At(I) - '0');
    }
    return V;
  };
  auto Time = [&](int H, int N, int S) {
    TDateTime T;
    if (!TryEncodeTime(H, N, S, 0, T)) throw EConvertError("Invalid argument to time encode");
    return T;
  };
  if (Text.size() == 4 && Text[0] == 'n' && Text[1] == 'u' && Text[2] == 'l' && Text[3] == 'l') return 0;
  if (Text.size() == 8 && Text[2] == ':' && Text[5] == ':') return Time(Num(0, 2), Num(3, 2), Num(6, 2));
  if (Text.size() < 10 || Text[4] != '-' || Text[7] != '-') throw Fail("Invalid date ");
  int Y = Num(0, 4), M = Num(5, 2), D = Num(8, 2);
  if (Y == 0 && M == 0 && D == 0) return 0;
  TDateTime Date;
  if (!TryEncodeDate(Y, M, D, Date)) throw EConvertError("Invalid argument to date encode");
  if (Text.size() == 10) return Date;
  bool Sep = At(10) == 'T' || At(10) == ' ';
  if (Strict) {
    if (Text.size() < 19 || !Sep || At(13) != ':' || At(16) != ':') throw Fail("Invalid date/time ");
    return ComposeDateTime(Date, Time(Num(11, 2), Num(14, 2), Num(17, 2)));
  }
  if (Text.size() < 16 || !Sep || At(13) != ':') throw Fail("Invalid date/time ");
  int S = Text.size() >= 19 && At(16) == ':' ? Num(17, 2) : 0;
  return ComposeDateTime(Date, Time(Num(11, 2), Num(14, 2), S));
}
template TDateTime detail::ReadDateText(std::string_view, bool, size_t);
template TDateTime detail::ReadDateText(std::u16string_view, bool, size_t);

namespace {

// Seconds since 1970 within the years 1 to 9999, as local time.
TDateTime UnixToLocal(double Seconds) {
  if (!(Seconds >= -62135596800.0 && Seconds < 253402300800.0))
    throw EConvertError("Invalid Unix time " + std::to_string(Seconds));
  return UTCToLocal(UnixToDateTime(Seconds));
}

}  // namespace

template <class Ch>
TDateTime TJSONParserT<Ch>::GetDateTime() {
  Blanks();
  if (SkipStr("null")) return 0;
  if (FText[FPos] != '"') return UnixToLocal(ParseFloat(ToUTF8(TView(GetNumber()))));
  const size_t At = FPos;
  TString S = GetString();
  if (S.empty()) return 0;
  int64_t Seconds;
  if (ParseInteger(ToUTF8(TView(S)), Seconds)) return Seconds > 0 ? UnixToLocal(double(Seconds)) : 0;
  return detail::ReadDateText<Ch>(S, IsWide<Ch>, At);
}

template <class Ch>
void TJSONParserT<Ch>::GetNullBoolean(TNullBoolean& Value) {
  Blanks();
  if (SkipStr("null"))
    Value.Clear();
  else
    Value = GetBoolean();
}

template <class Ch>
bool TJSONParserT<Ch>::BeginObject() {
  Blanks();
  if (SkipStr("null") || !Skip('{')) return false;
  return !Skip('}');
}

template <class Ch>
bool TJSONParserT<Ch>::EndObject() {
  Blanks();
  if (Skip(',')) return false;
  Drop('}');
  return true;
}

template <class Ch>
bool TJSONParserT<Ch>::BeginArray() {
  Blanks();
  if (!Skip('[')) return false;
  Blanks();
  return !Skip(']');
}

template <class Ch>
bool TJSONParserT<Ch>::EndArray() {
  Blanks();
  if (Skip(',')) return false;
  Drop(']');
  return true;
}

template <class Ch>
bool TJSONParserT<Ch>::OpenArray(int& Count) {
  Count = -1;
  Blanks();
  if (SkipStr("null") || SkipStr("false")) {
    Count = 0;
    return false;
  }
  if (Skip('[')) {
    Blanks();
    return !Skip(']');
  }
  if (!SkipStr("{\"count\":")) return false;
  const size_t At = FPos;
  Count = GetInteger();
  if (Count < 0) {
    FPos = At;
    Fail("Invalid array count " + std::to_string(Count));
  }
  Blanks();
  Drop(',');
  DropKey("items");
  Drop(':');
  Blanks();
  Drop('[');
  Blanks();
  if (Skip(']')) {
    Blanks();
    Drop('}');
    return false;
  }
  return true;
}

template <class Ch>
bool TJSONParserT<Ch>::CloseArray(int Count) {
  if (!EndArray()) return false;
  if (Count >= 0) {
    Blanks();
    Drop('}');
  }
  return true;
}

template <class Ch>
void TJSONParserT<Ch>::SkipValue() {
  Blanks();
  Ch C = FText[FPos];
  if (C == '"') {
    ++FPos;
    TView Raw;
    bool Escaped;
    ReadQuoted(Raw, Escaped);
  } else if (C == '[' || AtCountedArray()) {
    int Count;
    Enter();
    if (OpenArray(Count)) do SkipValue(); while (!CloseArray(Count));
    Leave();
  } else if (C == '{') {
    Enter();
    if (BeginObject()) do {
        TString Scratch;
        ReadKeyView(Scratch);
        SkipValue();
      } while (!EndObject());
    Leave();
  } else if (!SkipStr("null") && !SkipStr("true") && !SkipStr("false")) {
    GetNumber();
  }
}

template <class Ch>
void TJSONParserT<Ch>::GetValueInto(TString& Out) {
  Blanks();
  Ch C = FText[FPos];
  auto Append = [&](std::string_view S) { Out.append(S.begin(), S.end()); };
  if (C == '"') {
    Out += GetString();  // a quoted "true" stays the text true
  } else if (SkipStr("null")) {
  } else if (SkipStr("true")) {
    Append("1");
  } else if (SkipStr("false")) {
    Append("0");
  } else if (C == '[' || AtCountedArray()) {
    int Count;
    Enter();
    Append("[");
    if (OpenArray(Count)) {
      bool First = true;
      do {
        if (!First) Append(",");
        First = false;
        GetValueInto(Out);
      } while (!CloseArray(Count));
    }
    Append("]");
    Leave();
  } else if (C == '{') {
    Enter();
    Append("{");
    if (BeginObject()) {
      bool First = true;
      do {
        if (!First) Append(",");
        First = false;
        Out += GetKey();
        Append("=");
        GetValueInto(Out);
      } while (!EndObject());
    }
    Append("}");
    Leave();
  } else {
    Out += GetNumber();
  }
}

template <class Ch>
auto TJSONParserT<Ch>::GetValue() -> TString {
  TString Out;
  GetValueInto(Out);
  return Out;
}

template <class Ch>
auto TJSONParserT<Ch>::ReadValue() -> TString {
  const size_t Start = FPos;
  SkipValue();
  return FText.substr(Start, FPos - Start);
}

template <class Ch>
void TJSONParserT<Ch>::GetStrings(TStringList& List) {
  int Count;
  if (!OpenArray(Count)) return;
  Enter();
  do {
    Blanks();
    if (FText[FPos] == '{') {
      // An item with an attached object: its member name is the line.
      if (BeginObject()) {
        std::string Line = ToUTF8(TView(GetKey()));
        SkipValue();
        while (!EndObject()) {
          GetKey();
          SkipValue();
        }
        List.Add(std::move(Line));
      } else {
        List.Add({});
      }
    } else {
      List.Add(ToUTF8(TView(GetString())));
    }
  } while (!CloseArray(Count));
  Leave();
}

template <class Ch>
bool TJSONParserT<Ch>::CallFieldHooks(std::string_view Name) {
  std::string Path(Name);
  for (TParseChain* E = FParse; E; E = E->Next) {
    if (E != FParse) Path = E->Name + "." + Path;
    if (E->Parse && E->Parse(E->Self, Path, *this)) return true;
  }
  return false;
}

template <class Ch>
void TJSONParserT<Ch>::ReadRecord(void* Instance, const TTypeInfo* Type) {
  if (!BeginObject()) return;
  if (FDepth >= MaxJSONDepth) Fail(NestingError);
  auto Hook = MethodAs<TParseFieldHook<Ch>>(GetRecordMethodAddress(Type, "JSONParseField", IsWide<Ch>));
  TParseChain Entry{Hook, Instance, {}, nullptr};
  TChainGuard Guard(FParse, Entry, FHooks, FDepth, Hook != nullptr);
  const auto& Fields = Type->Fields;
  size_t Expected = 0;  // members usually come in field order
  TString Scratch;
  do {
    TView Key = ReadKeyView(Scratch);
    std::string Name8;
    std::string_view Name;
    if constexpr (IsWide<Ch>) {
      Name8 = ToUTF8(Key);
      Name = Name8;
    } else {
      Name = Key;
    }
    if (FHooks) {
      FParse->Name = Name;
      if (CallFieldHooks(Name)) continue;
    }
    const TRecordField* F = nullptr;
    if (Expected < Fields.size() && (SameText(Fields[Expected].Name, Name) || Alias::IsAlias(Fields[Expected], Name)))
      F = &Fields[Expected];
    else
      F = FindRecordField(Type, Name);
    if (!F) {
      SkipValue();
      continue;
    }
    Expected = size_t(F - Fields.data()) + 1;
    void* Data = F->Data(Instance);
    if constexpr (!IsWide<Ch>)
      if (F->Serializer && F->Serializer->Read(*this, Data)) continue;
    ParseType(Data, F->TypeInfo());
  } while (!EndObject());
}

template <class Ch>
void TJSONParserT<Ch>::ReadObjectFields(TObject* Obj, const TTypeInfo* Class) {
  if (Class == TypeInfo<TStringList>()) return GetStrings(*static_cast<TStringList*>(Obj));
  if (!BeginObject()) return;
  if (FDepth >= MaxJSONDepth) Fail(NestingError);
  auto Hook = MethodAs<TParseFieldHook<Ch>>(GetClassMethodAddress(Class, "JSONParseField", IsWide<Ch>));
  TParseChain Entry{Hook, Obj, {}, nullptr};
  TChainGuard Guard(FParse, Entry, FHooks, FDepth, Hook != nullptr);
  const TClassFieldInfos Fields = GetClassFields(Class);
  do {
    std::string Name = ToUTF8(TView(GetKey()));
    if (FHooks) {
      FParse->Name = Name;
      if (CallFieldHooks(Name)) continue;
    }
    int I = FindClassField(Fields, Name);
    if (I < 0)
      SkipValue();
    else
      ParseType(Fields[size_t(I)].Data(static_cast<void*>(Obj)), Fields[size_t(I)].TypeInfo());
  } while (!EndObject());
}

template <class Ch>
void TJSONParserT<Ch>::ParseObject(TObject* Obj) {
  if (Obj)
    ReadObjectFields(Obj, Obj->ClassType());
  else
    SkipValue();
}

template <class Ch>
void TJSONParserT<Ch>::ReadEnumeration(void* Data, const TTypeInfo* Type) {
  Blanks();
  Ch C = FText[FPos];
  if (IsDigit(C) || C == '-') {  // a value without a name was written as its number
    const size_t At = FPos;
    int64_t V = GetInteger();
    if (!InOrdinalRange(Type->OrdType, V) || V < 0) {
      FPos = At;
      NotAnInteger(std::to_string(V));
    }
    return SetOrdinal(Type, Data, V);
  }
  std::string Name = ToUTF8(TView(GetString()));
  for (size_t I = 0; I < Type->Names.size(); ++I)
    if (SameText(Type->Names[I], Name)) return SetOrdinal(Type, Data, int64_t(I));
  // An unknown name leaves the value as it was.
}

template <class Ch>
void TJSONParserT<Ch>::ReadInteger(void* Data, const TTypeInfo* Type) {
  Blanks();
  int64_t V = 0;
  if (!SkipStr("null")) {
    std::string S = ToUTF8(TView(GetNumber()));
    if (!ParseInteger(S, V) || !InOrdinalRange(Type->OrdType, V)) NotAnInteger(S);
  }
  SetOrdinal(Type, Data, V);
}

template <class Ch>
void TJSONParserT<Ch>::ReadSet(void* Data, const TTypeInfo* Type) {
  const TTypeInfo* E = Type->Element();
  uint32_t Bits = 0;
  int Count;
  if (OpenArray(Count)) {
    Enter();
    do {
      Blanks();
      if (IsDigit(FText[FPos])) {
        int32_t V = GetInteger();
        if (V >= 0 && V < 32) Bits |= uint32_t(1) << V;
        continue;
      }
      std::string Name = ToUTF8(TView(GetString()));
      for (size_t I = 0; E && I < E->Names.size() && I < 32; ++I)
        if (SameText(E->Names[I], Name)) Bits |= uint32_t(1) << I;
    } while (!CloseArray(Count));
    Leave();
  }
  SetOrdinal(Type, Data, Bits);
}

template <class Ch>
void TJSONParserT<Ch>::ReadStaticArray(void* Data, const TTypeInfo* Type) {
  int Count;
  if (!OpenArray(Count)) return;
  Enter();
  const TTypeInfo* E = Type->Element();
  size_t I = 0;
  do {
    if (I < Type->ElementCount)
      ParseType(Type->Item(Data, I), E);
    else
      SkipValue();
    ++I;
  } while (!CloseArray(Count));
  Leave();
}

template <class Ch>
void TJSONParserT<Ch>::ReadDynArray(void* Data, const TTypeInfo* Type) {
  int Count;
  Type->SetLength(Data, 0);
  if (!OpenArray(Count)) return;
  // The counted form's count is not trusted for an allocation: the array
  // grows as items arrive.
  Enter();
  const TTypeInfo* E = Type->Element();
  size_t N = 0;
  do {
    Type->SetLength(Data, N + 1);
    ParseType(Type->Item(Data, N), E);
    ++N;
  } while (!CloseArray(Count));
  Leave();
}

template <class Ch>
void TJSONParserT<Ch>::ReadBytes(void* Data) {
  TBytes& Bytes = *static_cast<TBytes*>(Data);
  Blanks();
  if (SkipStr("null")) return Bytes.clear();
  Drop('"');
  TView Raw;
  bool Escaped;
  ReadQuoted(Raw, Escaped);
  if (!Escaped) return void(Bytes.assign(Base64Decode(Raw)));
  // Only an escaped line break may appear (wrapped Base64); the UTF-16 form allows none.
  TString Clean;
  for (size_t I = 0; I < Raw.size(); ++I) {
    if (Raw[I] != '\\') {
      Clean += Raw[I];
      continue;
    }
    if (IsWide<Ch> || Raw[I + 1] != 'n') throw std::runtime_error("Unexpected \\ in Base64 string");
    ++I;
  }
  Bytes.assign(Base64Decode(TView(Clean)));
}

template <class Ch>
void TJSONParserT<Ch>::ParseType(void* Data, const TTypeInfo* Type) {
  switch (ClassifyType(Type)) {
    case dtBoolean:
      return SetOrdinal(Type, Data, GetBoolean());
    case dtEnum8: case dtEnum16: case dtEnum32:
      return ReadEnumeration(Data, Type);
    case dtAnsiChar:
      *static_cast<char*>(Data) = char(GetChar() & 0xFF);
      return;
    case dtWideChar:
      *static_cast<char16_t*>(Data) = GetChar();
      return;
    case dtUTF8String: {
      std::string& S = *static_cast<std::string*>(Data);
      if (!IsWide<Ch> && Type == TypeInfo<TJSONRawValue>()) {
        Blanks();
        S = SkipStr("null") ? std::string() : ToUTF8(TView(ReadValue()));
      } else {
        S = ToUTF8(TView(GetValue()));
      }
      return;
    }
    case dtUnicodeString: {
      std::u16string& S = *static_cast<std::u16string*>(Data);
      Blanks();
      if (IsWide<Ch> && Type == TypeInfo<UTF16::TJSONRawValue>())
        S = SkipStr("null") ? std::u16string() : Converted<char16_t>(TView(ReadValue()));
      else if (FText[FPos] == '"')
        S = ReadStringAs<char16_t>();  // straight to UTF-16: lone surrogates survive
      else
        S = Converted<char16_t>(TView(GetValue()));
      return;
    }
    case dtInt8: case dtUInt8: case dtInt16: case dtUInt16: case dtInt32: case dtUInt32:
      return ReadInteger(Data, Type);
    case dtInt64:
      *static_cast<int64_t*>(Data) = GetInt64();
      return;
    case dtUInt64: {
      std::string S = ToUTF8(TView(GetNumber()));
      if (!ParseInteger(S, *static_cast<uint64_t*>(Data))) NotAnInteger(S);
      return;
    }
    case dtSingle: *static_cast<float*>(Data) = float(GetFloat()); return;
    case dtDouble: *static_cast<double*>(Data) = GetFloat(); return;
    case dtExtended: *static_cast<long double*>(Data) = GetFloat(); return;
    case dtCurrency: *static_cast<TCurrency*>(Data) = GetCurrency(); return;
    case dtDate: *static_cast<TDateTime*>(Data) = DateOf(GetDateTime()); return;
    case dtTime: *static_cast<TDateTime*>(Data) = TimeOf(GetDateTime()); return;
    case dtDateTime: *static_cast<TDateTime*>(Data) = GetDateTime(); return;
    case dtClass: {
      // The reader never creates objects: a value for an empty reference is dropped.
      TObject* Obj = Type->ObjectOf(Data);
      if (!Obj) return SkipValue();
      return ReadObjectFields(Obj, Type->Element());
    }
    case dtRecord:
      if (Type == TypeInfo<TNullBoolean>()) return GetNullBoolean(*static_cast<TNullBoolean*>(Data));
      return ReadRecord(Data, Type);
    case dtGUID: {
      std::string S = ToUTF8(TView(GetString()));
      *static_cast<TGUID*>(Data) = S.empty() ? TGUID{} : StringToGUID("{" + S + "}");
      return;
    }
    case dtSet8: case dtSet16: case dtSet32: return ReadSet(Data, Type);
    case dtStaticArray: return ReadStaticArray(Data, Type);
    case dtDynArray: return ReadDynArray(Data, Type);
    case dtBytes: return ReadBytes(Data);
    default: throw std::runtime_error("Unsupported type");
  }
}

template class TJSONBuilderT<char>;
template class TJSONBuilderT<char16_t>;
template class TJSONParserT<char>;
template class TJSONParserT<char16_t>;

// ============================== Entry points ==============================

namespace JSON {

std::string buildJSON(const TTypeInfo* Type, const void* Instance) {
  TJSONBuilder B;
  B.AppendValue(Type, Instance);
  return B.Take();
}

void SaveToFile(const std::string& AFileName, std::string_view Str) {
  // Written beside the target and renamed over it, so a failure never
  // leaves a half-written file in its place.
  std::string Temp = AFileName + ".tmp";
  {
    std::ofstream F(Temp, std::ios::binary | std::ios::trunc);
    if (F) F.write(Str.data(), std::streamsize(Str.size()));
    if (!F || !F.flush()) {
      std::error_code Ignored;
      std::filesystem::remove(Temp, Ignored);
      throw std::runtime_error("Cannot create file \"" + AFileName + "\"");
    }
  }
  std::error_code Err;
  std::filesystem::rename(Temp, AFileName, Err);
  if (Err) {
    std::filesystem::remove(Temp, Err);
    throw std::runtime_error("Cannot create file \"" + AFileName + "\"");
  }
}

std::string LoadFromFile(const std::string& AFileName) {
  constexpr std::uintmax_t MaxSize = std::uintmax_t(1) << 30;
  std::error_code Err;
  if (!std::filesystem::exists(AFileName, Err)) return {};
  std::uintmax_t Size = std::filesystem::file_size(AFileName, Err);
  if (Err || Size > MaxSize) throw std::runtime_error("Cannot read file \"" + AFileName + "\"");
  std::ifstream F(AFileName, std::ios::binary);
  std::string S(size_t(Size), '\0');
  if (!F.read(S.data(), std::streamsize(Size)))
    throw std::runtime_error("Cannot read file \"" + AFileName + "\"");
  return S;
}

TDateTime StrToDateTime(std::string_view Text) { return detail::ReadDateText<char>(Text, false, 0); }

namespace {

void BeautifyValue(TJSONParser& P, const std::string& Indent, std::string& Out);

void BeautifyArray(TJSONParser& P, const std::string& Indent, std::string& Out) {
  int Count;
  Out += '[';
  if (P.OpenArray(Count)) {
    bool First = true;
    do {
      if (!First) Out += ',';
      First = false;
      Out += '\r';
      Out += Indent;
      BeautifyValue(P, Indent + ' ', Out);
    } while (!P.CloseArray(Count));
  }
  Out += '\r';
  Out.append(Indent, 0, Indent.size() - 1);
  Out += ']';
}

void BeautifyObject(TJSONParser& P, const std::string& Indent, std::string& Out) {
  Out += '{';
  if (P.BeginObject()) {
    bool First = true;
    do {
      if (!First) Out += ',';
      First = false;
      Out += '\r';
      Out += Indent;
      Out += '"';
      Out += P.GetKey();
      Out += "\": ";
      P.Blanks();
      char C = P.NextChar();
      if (C == '[' || C == '{')
        BeautifyValue(P, Indent + ' ', Out);
      else
        Out += P.ReadValue();
    } while (!P.EndObject());
  }
  Out += '\r';
  Out.append(Indent, 0, Indent.size() - 1);
  Out += '}';
}

void BeautifyValue(TJSONParser& P, const std::string& Indent, std::string& Out) {
  if (Indent.size() > size_t(MaxJSONDepth)) throw EJSONError(NestingError, P.Position());
  P.Blanks();
  char C = P.NextChar();
  if (C == '[')
    BeautifyArray(P, Indent, Out);
  else if (C == '{')
    BeautifyObject(P, Indent, Out);
  else
    Out += P.GetValue();
}

}  // namespace

std::string Beautify(std::string_view Str) {
  if (Str.empty() || (Str.front() != '[' && Str.front() != '{')) return {};
  TJSONParser P{std::string(Str)};
  std::string Out;
  BeautifyValue(P, " ", Out);
  return Out;
}

}  // namespace JSON

std::string ObjectToJSON(const TObject* Obj) {
  TJSONBuilder B;
  B.AppendObject(Obj);
  return B.Take();
}

void ObjectFromJSON(TObject* Obj, std::string_view AText) {
  TJSONParser P{std::string(AText)};
  P.ParseObject(Obj);
}

}  // namespace Vantrel
