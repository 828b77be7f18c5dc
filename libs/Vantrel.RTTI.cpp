#include "Vantrel.RTTI.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {

namespace {

using enum TTypeKind;
using enum TTypeDetail;

TTypeInfo Simple(TTypeKind Kind, std::string_view Name, size_t Size) {
  TTypeInfo Info;
  Info.Kind = Kind;
  Info.Name = Name;
  Info.Size = Size;
  return Info;
}

template <class T>
TTypeInfo Ordinal(TTypeKind Kind, std::string_view Name) {
  TTypeInfo Info = Simple(Kind, Name, sizeof(T));
  Info.OrdType = detail::OrdTypeOf<T>();
  return detail::Finish(std::move(Info));
}

TTypeInfo Float(std::string_view Name, size_t Size, TFloatType Type) {
  TTypeInfo Info = Simple(tkFloat, Name, Size);
  Info.FloatType = Type;
  return detail::Finish(std::move(Info));
}

TTypeInfo WithDetail(TTypeInfo Info, TTypeDetail Detail) {
  Info.Detail = Detail;
  return Info;
}


std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
  return S;
}

// Decimal integer with an optional sign; false for anything else or an overflow.
bool ParseInt64(std::string_view S, int64_t& V) {
  S = Trim(S);
  if (!S.empty() && S.front() == '+') S.remove_prefix(1);
  if (S.empty() || S.front() == '+') return false;
  auto [End, Err] = std::from_chars(S.data(), S.data() + S.size(), V);
  return Err == std::errc() && End == S.data() + S.size();
}

bool InRange(TOrdType Ord, int64_t V) {
  switch (Ord) {
    case TOrdType::otSByte: return V >= INT8_MIN && V <= INT8_MAX;
    case TOrdType::otUByte: return V >= 0 && V <= UINT8_MAX;
    case TOrdType::otSWord: return V >= INT16_MIN && V <= INT16_MAX;
    case TOrdType::otUWord: return V >= 0 && V <= UINT16_MAX;
    case TOrdType::otSLong: return V >= INT32_MIN && V <= INT32_MAX;
    case TOrdType::otULong: return V >= 0 && V <= int64_t(UINT32_MAX);
    case TOrdType::otNone: break;
  }
  return false;
}

// Up to MaxDigits digits (at least one) as a number.
bool ReadNumber(std::string_view& S, size_t MaxDigits, int& V) {
  size_t N = 0;
  V = 0;
  while (N < S.size() && N < MaxDigits && S[N] >= '0' && S[N] <= '9') V = V * 10 + (S[N++] - '0');
  S.remove_prefix(N);
  return N > 0;
}

bool ReadSeparator(std::string_view& S, char Sep) {
  if (S.empty() || S.front() != Sep) return false;
  S.remove_prefix(1);
  return true;
}

// "hh:nn" or "hh:nn:ss".
bool ParseTime(std::string_view S, TDateTime& Time) {
  int H, N, Sec = 0;
  if (!ReadNumber(S, 2, H) || !ReadSeparator(S, ':') || !ReadNumber(S, 2, N)) return false;
  if (ReadSeparator(S, ':') && !ReadNumber(S, 2, Sec)) return false;
  return S.empty() && TryEncodeTime(H, N, Sec, 0, Time);
}

// The French form dd/mm/yyyy or yyyy-mm-dd, then optionally a blank (or 'T')
// and a time; a time alone when the text has no date.
bool ParseDateTimeText(std::string_view S, TDateTime& Value) {
  S = Trim(S);
  if (ParseTime(S, Value)) return true;
  int A, B, C;
  std::string_view Rest = S;
  bool ISO = S.size() > 4 && S[4] == '-';
  if (ISO) {
    if (!ReadNumber(Rest, 4, A) || !ReadSeparator(Rest, '-') || !ReadNumber(Rest, 2, B) ||
        !ReadSeparator(Rest, '-') || !ReadNumber(Rest, 2, C))
      return false;
  } else {
    int Day, Month, Year;
    size_t Before = Rest.size();
    if (!ReadNumber(Rest, 2, Day) || !ReadSeparator(Rest, '/') || !ReadNumber(Rest, 2, Month) ||
        !ReadSeparator(Rest, '/'))
      return false;
    Before = Rest.size();
    if (!ReadNumber(Rest, 4, Year)) return false;
    if (Before - Rest.size() <= 2) Year += Year < 50 ? 2000 : 1900;  // two-digit year window 50
    A = Year, B = Month, C = Day;
  }
  TDateTime Date, Time = 0;
  if (!TryEncodeDate(A, B, C, Date)) return false;
  if (!Rest.empty()) {
    if (Rest.front() != ' ' && Rest.front() != 'T') return false;
    if (!ParseTime(Trim(Rest.substr(1)), Time)) return false;
  }
  Value = ComposeDateTime(Date, Time);
  return true;
}

// Val-like conversion: the digits read before an error or an overflow count.
template <class T>
T PrefixInteger(std::string_view S) {
  S = Trim(S);
  bool Negative = false;
  if (!S.empty() && (S.front() == '-' || S.front() == '+')) {
    Negative = S.front() == '-';
    S.remove_prefix(1);
  }
  T V = 0;
  for (char C : S) {
    if (C < '0' || C > '9') break;
    T Digit = T(C - '0');
    if (Negative) {
      if (V < (std::numeric_limits<T>::min() + Digit) / 10) break;
      V = T(V * 10 - Digit);
    } else {
      if (V > (std::numeric_limits<T>::max() - Digit) / 10) break;
      V = T(V * 10 + Digit);
    }
  }
  return V;
}

}  // namespace

// ---- Classification ----

TTypeDetail detail::Classify(const TTypeInfo& Info) {
  switch (Info.Kind) {
    case tkInteger:
      switch (Info.OrdType) {
        case TOrdType::otSByte: return dtInt8;
        case TOrdType::otUByte: return dtUInt8;
        case TOrdType::otSWord: return dtInt16;
        case TOrdType::otUWord: return dtUInt16;
        case TOrdType::otSLong: return dtInt32;
        case TOrdType::otULong: return dtUInt32;
        case TOrdType::otNone: return dtUnknown;
      }
      return dtUnknown;
    case tkChar: return dtAnsiChar;
    case tkWChar: return dtWideChar;
    case tkEnumeration:
      return Info.Size == 1 ? dtEnum8 : Info.Size == 2 ? dtEnum16 : dtEnum32;
    case tkFloat:
      switch (Info.FloatType) {
        case TFloatType::ftSingle: return dtSingle;
        case TFloatType::ftDouble: return dtDouble;
        case TFloatType::ftExtended: return dtExtended;
        case TFloatType::ftCurr: return dtCurrency;
        case TFloatType::ftNone: return dtUnknown;
      }
      return dtUnknown;
    case tkLString: return dtUTF8String;
    case tkUString: return dtUnicodeString;
    case tkSet: return Info.Size == 1 ? dtSet8 : Info.Size == 2 ? dtSet16 : dtSet32;
    case tkRecord: return dtRecord;
    case tkClass: return dtClass;
    case tkArray: return dtStaticArray;
    case tkDynArray: return dtDynArray;
    case tkInt64: return Info.Unsigned ? dtUInt64 : dtInt64;
    case tkPointer: return Info.ElementOf ? dtPointer : dtUnknown;
    case tkUnknown: break;
  }
  return dtUnknown;
}

TTypeDetail ClassifyType(const TTypeInfo* Type) { return Type ? Type->Detail : dtUnknown; }

// ---- Built-in descriptors ----

TTypeInfo DescribeType(TTypeTag<int8_t>) { return Ordinal<int8_t>(tkInteger, "ShortInt"); }
TTypeInfo DescribeType(TTypeTag<uint8_t>) { return Ordinal<uint8_t>(tkInteger, "Byte"); }
TTypeInfo DescribeType(TTypeTag<int16_t>) { return Ordinal<int16_t>(tkInteger, "SmallInt"); }
TTypeInfo DescribeType(TTypeTag<uint16_t>) { return Ordinal<uint16_t>(tkInteger, "Word"); }
TTypeInfo DescribeType(TTypeTag<int32_t>) { return Ordinal<int32_t>(tkInteger, "Integer"); }
TTypeInfo DescribeType(TTypeTag<uint32_t>) { return Ordinal<uint32_t>(tkInteger, "Cardinal"); }
TTypeInfo DescribeType(TTypeTag<int64_t>) { return detail::Finish(Simple(tkInt64, "Int64", 8)); }
TTypeInfo DescribeType(TTypeTag<uint64_t>) {
  TTypeInfo Info = Simple(tkInt64, "UInt64", 8);
  Info.Unsigned = true;
  return detail::Finish(std::move(Info));
}
TTypeInfo DescribeType(TTypeTag<char>) {
  TTypeInfo Info = Simple(tkChar, "AnsiChar", 1);
  Info.OrdType = TOrdType::otUByte;
  return detail::Finish(std::move(Info));
}
TTypeInfo DescribeType(TTypeTag<char16_t>) {
  TTypeInfo Info = Simple(tkWChar, "WideChar", 2);
  Info.OrdType = TOrdType::otUWord;
  return detail::Finish(std::move(Info));
}
TTypeInfo DescribeType(TTypeTag<bool>) {
  static constexpr std::string_view Names[] = {"False", "True"};
  TTypeInfo Info = Simple(tkEnumeration, "Boolean", 1);
  Info.OrdType = TOrdType::otUByte;
  Info.Names = Names;
  return WithDetail(std::move(Info), dtBoolean);
}
TTypeInfo DescribeType(TTypeTag<float>) { return Float("Single", 4, TFloatType::ftSingle); }
TTypeInfo DescribeType(TTypeTag<double>) { return Float("Double", 8, TFloatType::ftDouble); }
TTypeInfo DescribeType(TTypeTag<long double>) {
  return Float("Extended", sizeof(long double), TFloatType::ftExtended);
}
TTypeInfo DescribeType(TTypeTag<TCurrency>) { return Float("Currency", 8, TFloatType::ftCurr); }

static_assert(std::is_standard_layout_v<TDate> && sizeof(TDate) == sizeof(TDateTime));
TTypeInfo DescribeType(TTypeTag<TDate>) {
  return WithDetail(Float("TDate", 8, TFloatType::ftDouble), dtDate);
}
TTypeInfo DescribeType(TTypeTag<TTime>) {
  return WithDetail(Float("TTime", 8, TFloatType::ftDouble), dtTime);
}
TTypeInfo DescribeType(TTypeTag<TDateTimeValue>) {
  return WithDetail(Float("TDateTime", 8, TFloatType::ftDouble), dtDateTime);
}

// The string types below are read through a pointer to their base string.
static_assert(std::is_standard_layout_v<TJSONRawValue> && std::is_standard_layout_v<TBytes>);
TTypeInfo DescribeType(TTypeTag<std::string>) {
  return detail::Finish(Simple(tkLString, "UTF8String", sizeof(std::string)));
}
TTypeInfo DescribeType(TTypeTag<std::u16string>) {
  return detail::Finish(Simple(tkUString, "string", sizeof(std::u16string)));
}
TTypeInfo DescribeType(TTypeTag<TJSONRawValue>) {
  return detail::Finish(Simple(tkLString, "TJSONRawValue", sizeof(TJSONRawValue)));
}
TTypeInfo DescribeType(TTypeTag<UTF16::TJSONRawValue>) {
  return detail::Finish(Simple(tkUString, "TJSONRawValue", sizeof(UTF16::TJSONRawValue)));
}
TTypeInfo DescribeType(TTypeTag<TBytes>) {
  TTypeInfo Info = Simple(tkDynArray, "TBytes", sizeof(TBytes));
  Info.ElementOf = &TypeInfo<uint8_t>;
  Info.Length = [](const void* D) { return static_cast<const TBytes*>(D)->size(); };
  Info.SetLength = [](void* D, size_t L) { static_cast<TBytes*>(D)->resize(L); };
  Info.Item = [](void* D, size_t I) -> void* { return &(*static_cast<TBytes*>(D))[I]; };
  return WithDetail(std::move(Info), dtBytes);
}
TTypeInfo DescribeType(TTypeTag<TGUID>) {
  return WithDetail(Simple(tkRecord, "TGUID", sizeof(TGUID)), dtGUID);
}
TTypeInfo DescribeType(TTypeTag<TNullBoolean>) {
  using Self = TNullBoolean;
  return DescribeRecord<Self>("TNullBoolean", {VANTREL_FIELD(Value)});
}
TTypeInfo DescribeType(TTypeTag<TObject>) { return DescribeClass<TObject, TObject>("TObject", {}); }
TTypeInfo DescribeType(TTypeTag<TStringList>) {
  return DescribeClass<TStringList, TObject>("TStringList", {});
}
TTypeInfo DescribeType(TTypeTag<const char*>) {
  TTypeInfo Info = Simple(tkPointer, "PAnsiChar", sizeof(void*));
  Info.ElementOf = &TypeInfo<char>;
  Info.Target = [](const void* D) -> const void* { return *static_cast<const char* const*>(D); };
  return WithDetail(std::move(Info), dtPAnsiChar);
}
TTypeInfo DescribeType(TTypeTag<const char16_t*>) {
  TTypeInfo Info = Simple(tkPointer, "PWideChar", sizeof(void*));
  Info.ElementOf = &TypeInfo<char16_t>;
  Info.Target = [](const void* D) -> const void* { return *static_cast<const char16_t* const*>(D); };
  return WithDetail(std::move(Info), dtPWideChar);
}

const TTypeInfo* TObject::ClassType() const { return TypeInfo<TObject>(); }
const TTypeInfo* TStringList::ClassType() const { return TypeInfo<TStringList>(); }

// ---- Ordinals ----

int32_t GetOrdinal(const TTypeInfo* Type, const void* Data) {
  switch (Type ? Type->OrdType : TOrdType::otNone) {
    case TOrdType::otSByte: { int8_t V; std::memcpy(&V, Data, 1); return V; }
    case TOrdType::otUByte: { uint8_t V; std::memcpy(&V, Data, 1); return V; }
    case TOrdType::otSWord: { int16_t V; std::memcpy(&V, Data, 2); return V; }
    case TOrdType::otUWord: { uint16_t V; std::memcpy(&V, Data, 2); return V; }
    case TOrdType::otSLong:
    case TOrdType::otULong: { int32_t V; std::memcpy(&V, Data, 4); return V; }
    case TOrdType::otNone: break;
  }
  throw ETypeInfo("Unknown ordinal type " + std::string(Type ? Type->Name : std::string_view("nil")));
}

void SetOrdinal(const TTypeInfo* Type, void* Data, int64_t Value) {
  switch (Type ? Type->OrdType : TOrdType::otNone) {
    case TOrdType::otSByte:
    case TOrdType::otUByte: { uint8_t V = uint8_t(Value); std::memcpy(Data, &V, 1); break; }
    case TOrdType::otSWord:
    case TOrdType::otUWord: { uint16_t V = uint16_t(Value); std::memcpy(Data, &V, 2); break; }
    case TOrdType::otSLong:
    case TOrdType::otULong: { uint32_t V = uint32_t(Value); std::memcpy(Data, &V, 4); break; }
    case TOrdType::otNone: break;
  }
}

// ---- Records and classes ----

bool Alias::IsAlias(const TRecordField& Field, std::string_view AName) {
  return !Field.AliasName.empty() && SameText(Field.AliasName, AName);
}

std::span<const TRecordField> GetRecordFields(const TTypeInfo* Type) {
  if (!Type || Type->Kind != tkRecord) return {};
  return Type->Fields;
}

const TRecordField* GetRecordField(const TTypeInfo* Type, size_t Index) {
  auto Fields = GetRecordFields(Type);
  return Index < Fields.size() ? &Fields[Index] : nullptr;
}

const TRecordField* FindRecordField(const TTypeInfo* Type, std::string_view Name) {
  for (const TRecordField& F : GetRecordFields(Type))
    if (SameText(F.Name, Name) || Alias::IsAlias(F, Name)) return &F;
  return nullptr;
}

std::string_view GetRecordFieldName(const TRecordField& Field) {
  return Field.AliasName.empty() ? Field.Name : Field.AliasName;
}

static TMethodCode FindMethod(const TTypeInfo* Type, std::string_view Name, bool Wide) {
  for (const TMethodEntry& M : Type->Methods)
    if (M.Wide == Wide && M.Name == Name) return M.Code;
  return nullptr;
}

TMethodCode GetRecordMethodAddress(const TTypeInfo* Type, std::string_view Name, bool Wide) {
  if (!Type || Type->Kind != tkRecord) return nullptr;
  return FindMethod(Type, Name, Wide);
}

// A class descriptor, from either the class itself or a reference to it.
static const TTypeInfo* ClassOf(const TTypeInfo* Type) {
  if (!Type || Type->Kind != tkClass) return nullptr;
  return Type->Element();
}

TClassFieldInfos GetClassFields(const TTypeInfo* Type) {
  TClassFieldInfos Result;
  for (const TTypeInfo* C = ClassOf(Type); C; C = C->Parent())
    Result.insert(Result.end(), C->Fields.begin(), C->Fields.end());
  return Result;
}

int FindClassField(const TClassFieldInfos& Fields, std::string_view Name) {
  for (size_t I = 0; I < Fields.size(); ++I)
    if (SameText(Fields[I].Name, Name)) return int(I);
  return -1;
}

TMethodCode GetClassMethodAddress(const TTypeInfo* Type, std::string_view Name, bool Wide) {
  for (const TTypeInfo* C = ClassOf(Type); C; C = C->Parent())
    if (TMethodCode Code = FindMethod(C, Name, Wide)) return Code;
  return nullptr;
}

bool HasJSONDontStore(const TTypeInfo* Type) {
  if (!Type) return false;
  if (Type->Kind != tkClass) return Type->JSONDontStore;
  for (const TTypeInfo* C = ClassOf(Type); C; C = C->Parent())
    if (C->JSONDontStore) return true;
  return false;
}

bool InheritsFrom(const TTypeInfo* Derived, const TTypeInfo* Base) {
  const TTypeInfo* B = ClassOf(Base);
  for (const TTypeInfo* C = ClassOf(Derived); C; C = C->Parent())
    if (C == B) return true;
  return false;
}

bool IsUTF8StringType(const TTypeInfo* Type) { return ClassifyType(Type) == dtUTF8String; }

int GetDateTimeKind(const TTypeInfo* Type) {
  switch (ClassifyType(Type)) {
    case dtDate: return 1;
    case dtTime: return 2;
    case dtDateTime: return 3;
    default: return 0;
  }
}

// ---- Values from texts ----

double StrToFloatAnySep(std::string_view Text) {
  std::string S(Trim(Text));
  if (size_t Comma = S.find(','); Comma != std::string::npos) S[Comma] = '.';
  const char* First = S.data();
  const char* Last = S.data() + S.size();
  if (First != Last && *First == '+') ++First;
  double V = 0;
  auto [End, Err] = std::from_chars(First, Last, V);
  if (S.empty() || *First == '+' || Err != std::errc() || End != Last || !std::isfinite(V))
    throw EConvertError("'" + std::string(Text.substr(0, 64)) + "' is not a valid floating point value");
  return V;
}

void SetValueFromString(const TTypeInfo* Type, void* Data, std::string_view Text) {
  switch (ClassifyType(Type)) {
    case dtInt8: case dtUInt8: case dtInt16: case dtUInt16: case dtInt32: case dtUInt32: {
      int64_t V = 0;
      if (!ParseInt64(Text, V) || !InRange(Type->OrdType, V)) V = 0;
      SetOrdinal(Type, Data, V);
      break;
    }
    case dtAnsiChar:
      if (!Text.empty()) *static_cast<char*>(Data) = Text.front();
      break;
    case dtWideChar:
      if (!Text.empty()) *static_cast<char16_t*>(Data) = UTF8ToUTF16(Text).front();
      break;
    case dtEnum8: case dtEnum16: case dtEnum32: case dtBoolean:
      for (size_t I = 0; I < Type->Names.size(); ++I)
        if (SameText(Type->Names[I], Trim(Text))) {
          SetOrdinal(Type, Data, int64_t(I));
          break;
        }
      break;
    case dtDate: case dtTime: case dtDateTime: {
      TDateTime V = 0;
      if (!Trim(Text).empty() && !ParseDateTimeText(Text, V))
        throw EConvertError("'" + std::string(Text.substr(0, 64)) + "' is not a valid date and time");
      int Kind = GetDateTimeKind(Type);
      *static_cast<TDateTime*>(Data) = Kind == 1 ? DateOf(V) : Kind == 2 ? TimeOf(V) : V;
      break;
    }
    case dtSingle: *static_cast<float*>(Data) = float(StrToFloatAnySep(Text)); break;
    case dtDouble: *static_cast<double*>(Data) = StrToFloatAnySep(Text); break;
    case dtExtended: *static_cast<long double*>(Data) = StrToFloatAnySep(Text); break;
    case dtCurrency: {
      double V = StrToFloatAnySep(Text) * 10000.0;
      if (!(std::fabs(V) < 9.2e18))
        throw EConvertError("'" + std::string(Text.substr(0, 64)) + "' is not a valid currency value");
      static_cast<TCurrency*>(Data)->Value = std::llround(V);
      break;
    }
    case dtUTF8String: *static_cast<std::string*>(Data) = Text; break;
    case dtUnicodeString: *static_cast<std::u16string*>(Data) = UTF8ToUTF16(Text); break;
    case dtInt64: *static_cast<int64_t*>(Data) = PrefixInteger<int64_t>(Text); break;
    case dtUInt64: *static_cast<uint64_t*>(Data) = PrefixInteger<uint64_t>(Text); break;
    default: break;
  }
}

// ---- GUID texts ----

std::string GUIDToString(const TGUID& G) { return GUIDToHexText(G, true); }

TGUID StringToGUID(std::string_view Text) {
  auto Fail = [&]() -> EConvertError {
    return EConvertError("'" + std::string(Text.substr(0, 64)) + "' is not a valid GUID value");
  };
  if (Text.size() != 38 || Text.front() != '{' || Text.back() != '}') throw Fail();
  std::array<uint8_t, 16> Bytes{};
  size_t B = 0;
  int Half = -1;
  for (size_t I = 1; I < 37; ++I) {
    char C = Text[I];
    bool Dash = I == 9 || I == 14 || I == 19 || I == 24;
    if (Dash) {
      if (C != '-') throw Fail();
      continue;
    }
    int V = C >= '0' && C <= '9' ? C - '0' : C >= 'a' && C <= 'f' ? C - 'a' + 10
          : C >= 'A' && C <= 'F' ? C - 'A' + 10 : -1;
    if (V < 0) throw Fail();
    if (Half < 0) {
      Half = V;
    } else {
      Bytes[B++] = uint8_t(Half << 4 | V);
      Half = -1;
    }
  }
  return GUIDFromBytes(Bytes);
}

}  // namespace Vantrel
