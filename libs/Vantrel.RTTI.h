// Type descriptors: what the JSON writers and readers, the SQLite mapping,
// the form-data filler and the query-string decoder know of the records and
// objects they handle. A descriptor lists a record's fields in declaration
// order with their names, types, external names (Alias) and serializer, the
// names of an enumeration's values, a class's fields and parent, and the
// hook methods a type offers under agreed names. The order of the fields is
// the order of JSON members, SQL columns and form fields.
//
// Declaring a record (at namespace scope, in the record's own namespace):
//
//   struct TPatient {
//     int64_t rowid = 0;
//     std::string Nom, Prenom;
//     Vantrel::TDate Naissance;
//   };
//   VANTREL_RECORD(TPatient, VANTREL_FIELD(rowid), VANTREL_FIELD(Nom, Vantrel::Alias("name")),
//                  VANTREL_FIELD(Prenom), VANTREL_FIELD(Naissance))
//
// An enumeration (values 0..n-1, storage of 1, 2 or 4 bytes):
//   VANTREL_ENUM(TEtat, "Vivant", "Supprime")
// A class derives from Vantrel::TObject, says VANTREL_OBJECT in its body and
// is described after it by VANTREL_CLASS(TFoo, TParent, VANTREL_FIELD(...)...).
//
// C++ types and what they stand for: int8_t..uint32_t integers, int64_t and
// uint64_t, char (8-bit character), char16_t (16-bit character), bool,
// float/double/long double, TCurrency, TDate/TTime/TDateTimeValue (TDateTime
// with the date kind attached), std::string (UTF-8 string), std::u16string
// (UTF-16 string), TSet<E>, std::array/T[N] (static arrays), std::vector
// (dynamic arrays), TBytes (byte array), TGUID, TNullBoolean, TJSONRawValue,
// T* / std::unique_ptr<T> / std::shared_ptr<T> of a TObject class (object
// references), other T* (typed pointers), const char* / const char16_t*.
//
// Descriptors are built on first use (thread-safe static initialisation)
// and read-only afterwards; any thread may read them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "Vantrel.DateTime.h"
#include "Vantrel.GUID.h"
#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {

class ETypeInfo : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text that is not a valid number, date or GUID.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Special value types ----

// A TDateTime that knows whether it is a date, a time of day or both.
template <int Kind>
struct TDateKindValue {
  TDateTime Value = 0;
  constexpr TDateKindValue() = default;
  constexpr TDateKindValue(TDateTime V) : Value(V) {}
  constexpr operator TDateTime() const { return Value; }
};
using TDate = TDateKindValue<1>;
using TTime = TDateKindValue<2>;
using TDateTimeValue = TDateKindValue<3>;

// A 64-bit integer counting units of 1/10000.
struct TCurrency {
  int64_t Value = 0;
  bool operator==(const TCurrency&) const = default;
};

// Bytes as they are (a byte array, written to JSON as Base64).
struct TBytes : std::string {
  using std::string::string;
  TBytes() = default;
  explicit TBytes(std::string S) : std::string(std::move(S)) {}
};

// Text that is JSON already, written and read as it stands.
struct TJSONRawValue : std::string {
  using std::string::string;
  TJSONRawValue() = default;
  explicit TJSONRawValue(std::string S) : std::string(std::move(S)) {}
};
namespace UTF16 {
struct TJSONRawValue : std::u16string {
  using std::u16string::u16string;
  TJSONRawValue() = default;
  explicit TJSONRawValue(std::u16string S) : std::u16string(std::move(S)) {}
};
}  // namespace UTF16

// A Boolean that may be unset: 0 not set, 1 false, 2 true.
struct TNullBoolean {
  uint8_t Value = 0;
  static constexpr TNullBoolean From(bool B) { return TNullBoolean{uint8_t(B ? 2 : 1)}; }
  void Clear() { Value = 0; }
  bool IsSet() const { return Value != 0; }
  bool AsBoolean() const { return Value == 2; }
  TNullBoolean& operator=(bool B) {
    Value = uint8_t(B + 1);
    return *this;
  }
  bool operator==(const TNullBoolean&) const = default;
};

// A set of the values of an enumeration E (bit v = value v, v < 32).
template <class E>
struct TSet {
  uint32_t Bits = 0;
  bool Contains(E V) const { return unsigned(V) < 32 && (Bits >> unsigned(V)) & 1; }
  TSet& Include(E V) {
    if (unsigned(V) < 32) Bits |= uint32_t(1) << unsigned(V);
    return *this;
  }
  TSet& Exclude(E V) {
    if (unsigned(V) < 32) Bits &= ~(uint32_t(1) << unsigned(V));
    return *this;
  }
  bool operator==(const TSet&) const = default;
};

// ---- Descriptors ----

enum class TTypeKind : uint8_t {
  tkUnknown, tkInteger, tkChar, tkWChar, tkEnumeration, tkFloat, tkLString, tkUString,
  tkSet, tkRecord, tkClass, tkArray, tkDynArray, tkInt64, tkPointer
};

enum class TOrdType : uint8_t { otNone, otSByte, otUByte, otSWord, otUWord, otSLong, otULong };

enum class TFloatType : uint8_t { ftNone, ftSingle, ftDouble, ftExtended, ftCurr };

// The detailed category that consumers switch on (ClassifyType).
enum class TTypeDetail : uint8_t {
  dtUnknown,
  dtInt8, dtUInt8, dtInt16, dtUInt16, dtInt32, dtUInt32,
  dtAnsiChar, dtWideChar,
  dtEnum8, dtEnum16, dtEnum32, dtBoolean,
  dtSingle, dtDouble, dtExtended, dtCurrency,
  dtDateTime, dtDate, dtTime,
  dtSet8, dtSet16, dtSet32,
  dtUTF8String, dtUnicodeString,
  dtStaticArray, dtRecord, dtGUID, dtClass,
  dtInt64, dtUInt64,
  dtDynArray, dtBytes,
  dtPointer, dtPAnsiChar, dtPWideChar
};

struct TTypeInfo;
class TObject;
using TTypeInfoFunc = const TTypeInfo* (*)();
// A hook method of a record or class, stored without its signature; the
// consumer that knows the hook's name casts it back (see the JSON units).
using TMethodCode = void (*)();

// The writer and reader classes the JSON hooks receive.
template <class Ch> class TJSONBuilderT;
template <class Ch> class TJSONParserT;
using TJSONBuilder = TJSONBuilderT<char>;
using TJSONParser = TJSONParserT<char>;
namespace UTF16 {
using TJSONBuilder = TJSONBuilderT<char16_t>;
using TJSONParser = TJSONParserT<char16_t>;
}  // namespace UTF16

// A field serializer (UTF-8 JSON only): S has
//   static bool Read(TJSONParser&, void* Field);
//   static bool Write(TJSONBuilder&, const void* Field);
// and answers false to hand the field back to the normal rules.
struct TJSONSerializerInfo {
  bool (*Read)(TJSONParser& Parser, void* Field);
  bool (*Write)(TJSONBuilder& Builder, const void* Field);
};

struct TRecordField;

// Field options given to VANTREL_FIELD.
struct Alias {
  std::string_view Name;
  constexpr explicit Alias(std::string_view AName) : Name(AName) {}
  // The field carries an Alias whose name equals AName without regard to case.
  static bool IsAlias(const TRecordField& Field, std::string_view AName);
};
template <class S>
struct JSONSerializer {
  static constexpr TJSONSerializerInfo Info{&S::Read, &S::Write};
};

struct TRecordField {
  std::string_view Name;
  TTypeInfoFunc TypeOf = nullptr;
  // The field inside an instance: a record, or an object given as TObject*.
  void* (*Address)(void* Instance) = nullptr;
  std::string_view AliasName;  // empty: none
  const TJSONSerializerInfo* Serializer = nullptr;

  const TTypeInfo* TypeInfo() const { return TypeOf ? TypeOf() : nullptr; }
  void* Data(void* Instance) const { return Address(Instance); }
  const void* Data(const void* Instance) const { return Address(const_cast<void*>(Instance)); }
};
using TClassFieldInfo = TRecordField;
using TClassFieldInfos = std::vector<TClassFieldInfo>;

struct TMethodEntry {
  std::string_view Name;
  bool Wide = false;  // takes the UTF-16 JSON builder or parser
  TMethodCode Code = nullptr;
};

struct TTypeInfo {
  TTypeKind Kind = TTypeKind::tkUnknown;
  TTypeDetail Detail = TTypeDetail::dtUnknown;
  std::string_view Name;
  size_t Size = 0;
  TOrdType OrdType = TOrdType::otNone;      // integers, characters, enumerations, sets
  TFloatType FloatType = TFloatType::ftNone;
  bool Unsigned = false;                     // 64-bit integers
  std::span<const std::string_view> Names;   // enumeration value names, in order
  TTypeInfoFunc ElementOf = nullptr;         // set/array element, pointer target, declared class
  size_t ElementCount = 0;                   // static arrays

  // Arrays (static, dynamic, bytes).
  size_t (*Length)(const void* Data) = nullptr;
  void (*SetLength)(void* Data, size_t Length) = nullptr;  // dynamic arrays only
  void* (*Item)(void* Data, size_t Index) = nullptr;
  // Classes and object references: the object held (nullptr for none).
  TObject* (*ObjectOf)(const void* Data) = nullptr;
  // Pointers: the address held.
  const void* (*Target)(const void* Data) = nullptr;

  // Records and classes.
  std::vector<TRecordField> Fields;  // a class: its own fields only
  std::vector<TMethodEntry> Methods;
  TTypeInfoFunc ParentOf = nullptr;  // classes
  bool JSONDontStore = false;        // for a class, its ancestors count too

  const TTypeInfo* Element() const { return ElementOf ? ElementOf() : nullptr; }
  const TTypeInfo* Parent() const { return ParentOf ? ParentOf() : nullptr; }
};

template <class T>
struct TTypeTag {};

// The descriptor of T. Found by argument-dependent lookup: the macros below
// declare DescribeType next to the type they describe.
template <class T>
const TTypeInfo* TypeInfo() {
  static const TTypeInfo Info = DescribeType(TTypeTag<std::remove_cv_t<T>>{});
  return &Info;
}

// Root of the described classes: ClassType gives the class of the instance.
class TObject {
 public:
  virtual ~TObject() = default;
  virtual const TTypeInfo* ClassType() const;
};

// The string-list class: lines with an optional object attached to each
// (not owned). Written to JSON as an array of strings.
class TStringList : public TObject {
 public:
  std::vector<std::string> Strings;
  std::vector<TObject*> Objects;  // parallel to Strings
  void Add(std::string S, TObject* Obj = nullptr) {
    Strings.push_back(std::move(S));
    Objects.push_back(Obj);
  }
  void Clear() {
    Strings.clear();
    Objects.clear();
  }
  size_t Count() const { return Strings.size(); }
  TObject* Object(size_t I) const { return I < Objects.size() ? Objects[I] : nullptr; }
  const TTypeInfo* ClassType() const override;
};

// ---- Operations ----

TTypeDetail ClassifyType(const TTypeInfo* Type);
// 1, 2 or 4 bytes sign-extended by the storage (32-bit values as signed);
// another storage raises ETypeInfo "Unknown ordinal type " + name.
int32_t GetOrdinal(const TTypeInfo* Type, const void* Data);
// The low 1, 2 or 4 bytes of Value by the storage; nothing for another storage.
void SetOrdinal(const TTypeInfo* Type, void* Data, int64_t Value);

std::span<const TRecordField> GetRecordFields(const TTypeInfo* Type);  // empty for a non-record
const TRecordField* GetRecordField(const TTypeInfo* Type, size_t Index);
// The first field whose name equals Name without regard to case, or whose Alias does.
const TRecordField* FindRecordField(const TTypeInfo* Type, std::string_view Name);
std::string_view GetRecordFieldName(const TRecordField& Field);
TMethodCode GetRecordMethodAddress(const TTypeInfo* Type, std::string_view Name, bool Wide = false);

// The class's own fields, then its parent's, and so on up the chain.
TClassFieldInfos GetClassFields(const TTypeInfo* Type);
// Index of the first entry with that name (case ignored), so the class's own
// field wins over an ancestor's of the same name; -1 when none.
int FindClassField(const TClassFieldInfos& Fields, std::string_view Name);
// The class's method or its nearest ancestor's.
TMethodCode GetClassMethodAddress(const TTypeInfo* Type, std::string_view Name, bool Wide = false);
// The type (or, for a class, an ancestor) carries JSONDontStore.
bool HasJSONDontStore(const TTypeInfo* Type);
// True when Derived is Base or descends from it.
bool InheritsFrom(const TTypeInfo* Derived, const TTypeInfo* Base);

bool IsUTF8StringType(const TTypeInfo* Type);
int GetDateTimeKind(const TTypeInfo* Type);  // 0 other, 1 date, 2 time, 3 date-time

// Stores a text into a variable (integers with default 0, enumerations by
// name, dates in the French form dd/mm/yyyy or as yyyy-mm-dd, floats with
// either decimal mark, strings as they are; other kinds are left alone). An
// unknown enumeration name leaves the variable unchanged. Raises
// EConvertError for a float, currency or date that cannot be read.
void SetValueFromString(const TTypeInfo* Type, void* Data, std::string_view Text);
// '.' or ',' as decimal mark; EConvertError for anything but a finite number.
double StrToFloatAnySep(std::string_view Text);

// The GUID's 36-character text in upper case, without braces.
std::string GUIDToString(const TGUID& G);
// A braced 38-character GUID text; EConvertError for any other form.
TGUID StringToGUID(std::string_view Text);

// ---- Building descriptors (used by the macros) ----

namespace detail {

template <class T>
constexpr TOrdType OrdTypeOf() {
  if constexpr (sizeof(T) == 1) return std::is_signed_v<T> ? TOrdType::otSByte : TOrdType::otUByte;
  else if constexpr (sizeof(T) == 2) return std::is_signed_v<T> ? TOrdType::otSWord : TOrdType::otUWord;
  else return std::is_signed_v<T> ? TOrdType::otSLong : TOrdType::otULong;
}

// The instance pointer handed to field accessors: a record as it is, an
// object as TObject*.
template <class R>
R* InstanceAs(void* P) {
  if constexpr (std::is_base_of_v<TObject, R>)
    return static_cast<R*>(static_cast<TObject*>(P));
  else
    return static_cast<R*>(P);
}

template <class T>
concept HasJSONDontStore = requires { requires bool(T::JSONDontStore); };

template <class T>
void AddHooks(TTypeInfo& Info) {
  auto Add = [&](std::string_view Name, bool Wide, TMethodCode Code) {
    Info.Methods.push_back(TMethodEntry{Name, Wide, Code});
  };
  using BuildField8 = bool (*)(const void*, std::string_view, TJSONBuilder&);
  using BuildField16 = bool (*)(const void*, std::string_view, UTF16::TJSONBuilder&);
  using ParseField8 = bool (*)(void*, std::string_view, TJSONParser&);
  using ParseField16 = bool (*)(void*, std::string_view, UTF16::TJSONParser&);
  using Build8 = void (*)(const void*, TJSONBuilder&);
  using Build16 = void (*)(const void*, UTF16::TJSONBuilder&);
  using Stored = bool (*)(const void*);
  if constexpr (requires(const T& t, std::string_view p, TJSONBuilder& b) { bool(t.JSONBuildField(p, b)); })
    Add("JSONBuildField", false, reinterpret_cast<TMethodCode>(static_cast<BuildField8>(
        [](const void* P, std::string_view Path, TJSONBuilder& B) -> bool {
          return InstanceAs<T>(const_cast<void*>(P))->JSONBuildField(Path, B);
        })));
  if constexpr (requires(const T& t, std::string_view p, UTF16::TJSONBuilder& b) { bool(t.JSONBuildField(p, b)); })
    Add("JSONBuildField", true, reinterpret_cast<TMethodCode>(static_cast<BuildField16>(
        [](const void* P, std::string_view Path, UTF16::TJSONBuilder& B) -> bool {
          return InstanceAs<T>(const_cast<void*>(P))->JSONBuildField(Path, B);
        })));
  if constexpr (requires(T& t, std::string_view p, TJSONParser& r) { bool(t.JSONParseField(p, r)); })
    Add("JSONParseField", false, reinterpret_cast<TMethodCode>(static_cast<ParseField8>(
        [](void* P, std::string_view Path, TJSONParser& R) -> bool {
          return InstanceAs<T>(P)->JSONParseField(Path, R);
        })));
  if constexpr (requires(T& t, std::string_view p, UTF16::TJSONParser& r) { bool(t.JSONParseField(p, r)); })
    Add("JSONParseField", true, reinterpret_cast<TMethodCode>(static_cast<ParseField16>(
        [](void* P, std::string_view Path, UTF16::TJSONParser& R) -> bool {
          return InstanceAs<T>(P)->JSONParseField(Path, R);
        })));
  if constexpr (requires(const T& t, TJSONBuilder& b) { t.JSONBuild(b); })
    Add("JSONBuild", false, reinterpret_cast<TMethodCode>(static_cast<Build8>(
        [](const void* P, TJSONBuilder& B) { InstanceAs<T>(const_cast<void*>(P))->JSONBuild(B); })));
  if constexpr (requires(const T& t, UTF16::TJSONBuilder& b) { t.JSONBuild(b); })
    Add("JSONBuild", true, reinterpret_cast<TMethodCode>(static_cast<Build16>(
        [](const void* P, UTF16::TJSONBuilder& B) { InstanceAs<T>(const_cast<void*>(P))->JSONBuild(B); })));
  if constexpr (requires(const T& t) { bool(t.JSONStored()); }) {
    Add("JSONStored", false, reinterpret_cast<TMethodCode>(static_cast<Stored>(
        [](const void* P) -> bool { return InstanceAs<T>(const_cast<void*>(P))->JSONStored(); })));
  }
}

TTypeDetail Classify(const TTypeInfo& Info);

inline TTypeInfo Finish(TTypeInfo Info) {
  Info.Detail = Classify(Info);
  return Info;
}

template <class F>
void ApplyOption(TRecordField& Field, const F& Option) {
  if constexpr (std::is_same_v<F, Alias>)
    Field.AliasName = Option.Name;
  else
    Field.Serializer = &F::Info;
}

}  // namespace detail

template <auto Member, class... Options>
TRecordField MakeField(std::string_view Name, Options... Opts) {
  return [&]<class R, class M>(M R::*) {
    TRecordField F;
    F.Name = Name;
    F.TypeOf = &TypeInfo<M>;
    F.Address = [](void* P) -> void* { return &(detail::InstanceAs<R>(P)->*Member); };
    (detail::ApplyOption(F, Opts), ...);
    return F;
  }(Member);
}

template <class T>
TTypeInfo DescribeRecord(std::string_view Name, std::initializer_list<TRecordField> Fields) {
  TTypeInfo Info;
  Info.Kind = TTypeKind::tkRecord;
  Info.Name = Name;
  Info.Size = sizeof(T);
  Info.Fields.assign(Fields.begin(), Fields.end());
  Info.JSONDontStore = detail::HasJSONDontStore<T>;
  detail::AddHooks<T>(Info);
  return detail::Finish(std::move(Info));
}

template <class T, class Parent>
TTypeInfo DescribeClass(std::string_view Name, std::initializer_list<TRecordField> Fields) {
  static_assert(std::is_base_of_v<TObject, T>, "a described class derives from Vantrel::TObject");
  TTypeInfo Info = DescribeRecord<T>(Name, Fields);
  Info.Kind = TTypeKind::tkClass;
  if constexpr (!std::is_same_v<T, Parent>) Info.ParentOf = &TypeInfo<Parent>;
  Info.ElementOf = &TypeInfo<T>;
  Info.ObjectOf = [](const void* P) -> TObject* {
    return static_cast<TObject*>(static_cast<T*>(const_cast<void*>(P)));
  };
  return detail::Finish(std::move(Info));
}

template <class E>
TTypeInfo DescribeEnum(std::string_view Name, std::span<const std::string_view> Names) {
  static_assert(std::is_enum_v<E> && sizeof(E) <= 4, "enumerations of 1, 2 or 4 bytes");
  TTypeInfo Info;
  Info.Kind = TTypeKind::tkEnumeration;
  Info.Name = Name;
  Info.Size = sizeof(E);
  Info.OrdType = detail::OrdTypeOf<std::make_unsigned_t<std::underlying_type_t<E>>>();
  Info.Names = Names;
  return detail::Finish(std::move(Info));
}

// ---- Descriptors of the built-in and library types ----

TTypeInfo DescribeType(TTypeTag<int8_t>);
TTypeInfo DescribeType(TTypeTag<uint8_t>);
TTypeInfo DescribeType(TTypeTag<int16_t>);
TTypeInfo DescribeType(TTypeTag<uint16_t>);
TTypeInfo DescribeType(TTypeTag<int32_t>);
TTypeInfo DescribeType(TTypeTag<uint32_t>);
TTypeInfo DescribeType(TTypeTag<int64_t>);
TTypeInfo DescribeType(TTypeTag<uint64_t>);
TTypeInfo DescribeType(TTypeTag<char>);
TTypeInfo DescribeType(TTypeTag<char16_t>);
TTypeInfo DescribeType(TTypeTag<bool>);
TTypeInfo DescribeType(TTypeTag<float>);
TTypeInfo DescribeType(TTypeTag<double>);
TTypeInfo DescribeType(TTypeTag<long double>);
TTypeInfo DescribeType(TTypeTag<TCurrency>);
TTypeInfo DescribeType(TTypeTag<TDate>);
TTypeInfo DescribeType(TTypeTag<TTime>);
TTypeInfo DescribeType(TTypeTag<TDateTimeValue>);
TTypeInfo DescribeType(TTypeTag<std::string>);
TTypeInfo DescribeType(TTypeTag<std::u16string>);
TTypeInfo DescribeType(TTypeTag<TJSONRawValue>);
TTypeInfo DescribeType(TTypeTag<UTF16::TJSONRawValue>);
TTypeInfo DescribeType(TTypeTag<TBytes>);
TTypeInfo DescribeType(TTypeTag<TGUID>);
TTypeInfo DescribeType(TTypeTag<TNullBoolean>);
TTypeInfo DescribeType(TTypeTag<TObject>);
TTypeInfo DescribeType(TTypeTag<TStringList>);
TTypeInfo DescribeType(TTypeTag<const char*>);
TTypeInfo DescribeType(TTypeTag<const char16_t*>);

template <class E>
TTypeInfo DescribeType(TTypeTag<TSet<E>>) {
  TTypeInfo Info;
  Info.Kind = TTypeKind::tkSet;
  Info.Name = "TSet";
  Info.Size = sizeof(TSet<E>);
  Info.OrdType = TOrdType::otULong;
  Info.ElementOf = &TypeInfo<E>;
  return detail::Finish(std::move(Info));
}

template <class T, size_t N>
TTypeInfo DescribeStaticArray() {
  TTypeInfo Info;
  Info.Kind = TTypeKind::tkArray;
  Info.Name = "array";
  Info.Size = sizeof(T) * N;
  Info.ElementOf = &TypeInfo<T>;
  Info.ElementCount = N;
  Info.Length = [](const void*) { return N; };
  Info.Item = [](void* D, size_t I) -> void* { return static_cast<T*>(D) + I; };
  return detail::Finish(std::move(Info));
}
template <class T, size_t N>
TTypeInfo DescribeType(TTypeTag<std::array<T, N>>) {
  static_assert(sizeof(std::array<T, N>) == sizeof(T) * N);
  return DescribeStaticArray<T, N>();
}
template <class T, size_t N>
TTypeInfo DescribeType(TTypeTag<T[N]>) {
  return DescribeStaticArray<T, N>();
}

template <class T>
TTypeInfo DescribeType(TTypeTag<std::vector<T>>) {
  using V = std::vector<T>;
  TTypeInfo Info;
  Info.Kind = TTypeKind::tkDynArray;
  Info.Name = "TArray";
  Info.Size = sizeof(V);
  Info.ElementOf = &TypeInfo<T>;
  Info.Length = [](const void* D) { return static_cast<const V*>(D)->size(); };
  Info.SetLength = [](void* D, size_t L) { static_cast<V*>(D)->resize(L); };
  Info.Item = [](void* D, size_t I) -> void* { return &(*static_cast<V*>(D))[I]; };
  return detail::Finish(std::move(Info));
}

template <class T>
TTypeInfo DescribeObjectReference(TObject* (*ObjectOf)(const void*)) {
  TTypeInfo Info;
  Info.Kind = TTypeKind::tkClass;
  Info.Name = TypeInfo<T>()->Name;
  Info.Size = sizeof(void*);
  Info.ElementOf = &TypeInfo<T>;
  Info.ObjectOf = ObjectOf;
  return detail::Finish(std::move(Info));
}

template <class T>
TTypeInfo DescribeType(TTypeTag<T*>) {
  if constexpr (std::is_base_of_v<TObject, T>) {
    return DescribeObjectReference<T>([](const void* D) -> TObject* { return *static_cast<T* const*>(D); });
  } else {
    TTypeInfo Info;
    Info.Kind = TTypeKind::tkPointer;
    Info.Name = "Pointer";
    Info.Size = sizeof(void*);
    Info.ElementOf = &TypeInfo<std::remove_cv_t<T>>;
    Info.Target = [](const void* D) -> const void* { return *static_cast<T* const*>(D); };
    return detail::Finish(std::move(Info));
  }
}
template <class T>
TTypeInfo DescribeType(TTypeTag<std::unique_ptr<T>>) {
  static_assert(std::is_base_of_v<TObject, T>);
  return DescribeObjectReference<T>(
      [](const void* D) -> TObject* { return static_cast<const std::unique_ptr<T>*>(D)->get(); });
}
template <class T>
TTypeInfo DescribeType(TTypeTag<std::shared_ptr<T>>) {
  static_assert(std::is_base_of_v<TObject, T>);
  return DescribeObjectReference<T>(
      [](const void* D) -> TObject* { return static_cast<const std::shared_ptr<T>*>(D)->get(); });
}

}  // namespace Vantrel

#define VANTREL_FIELD(Name, ...) ::Vantrel::MakeField<&Self::Name>(#Name __VA_OPT__(, ) __VA_ARGS__)

#define VANTREL_RECORD(Type, ...)                                                   \
  inline ::Vantrel::TTypeInfo DescribeType(::Vantrel::TTypeTag<Type>) {            \
    using Self = Type;                                                              \
    return ::Vantrel::DescribeRecord<Self>(#Type, {__VA_ARGS__});                   \
  }

#define VANTREL_ENUM(Type, ...)                                                     \
  inline ::Vantrel::TTypeInfo DescribeType(::Vantrel::TTypeTag<Type>) {            \
    static constexpr std::string_view Names[] = {__VA_ARGS__};                     \
    return ::Vantrel::DescribeEnum<Type>(#Type, Names);                             \
  }

#define VANTREL_OBJECT const ::Vantrel::TTypeInfo* ClassType() const override

#define VANTREL_CLASS(Type, Parent, ...)                                            \
  inline ::Vantrel::TTypeInfo DescribeType(::Vantrel::TTypeTag<Type>) {            \
    using Self = Type;                                                              \
    return ::Vantrel::DescribeClass<Self, Parent>(#Type, {__VA_ARGS__});            \
  }                                                                                 \
  inline const ::Vantrel::TTypeInfo* Type::ClassType() const { return ::Vantrel::TypeInfo<Type>(); }
