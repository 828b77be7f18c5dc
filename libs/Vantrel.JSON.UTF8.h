// JSON writer and reader driven by the type descriptors of Vantrel.RTTI: a
// typed variable (record, object, array or scalar) is written straight from
// its descriptor and read straight back into a variable of the same type; no
// document tree is built.
//
// One engine serves both text forms: TJSONBuilderT<char> / TJSONParserT<char>
// work on UTF-8 text (this unit, namespace Vantrel) and the char16_t
// instantiations on UTF-16 text (Vantrel.JSON, namespace Vantrel::UTF16).
// The UTF-16 form writes enumerations also at their first value, reads
// date-times only with seconds, refuses any escape inside Base64 texts and
// has no field serializers.
//
// Mapping: members are the record's fields in declaration order, named by
// their Alias or declared name, matched without regard to case when read;
// members the type does not know are skipped. Record members are left out
// when their type carries JSONDontStore, when an enumeration or set is 0,
// a date-time is below 1, an object reference is empty, or the type's
// JSONStored hook answers false; an empty string is written null. Dates are
// written "yyyy-mm-dd", "hh:nn:ss" and "yyyy-mm-ddThh:nn:ss" as they are
// held (local time), floats with '.' and 15 significant digits (a float: the
// shortest form that reads back the same), NaN and infinities as null,
// GUIDs as 36 upper-case characters, bytes as Base64.
//
// Bounds: nesting is capped at MaxJSONDepth levels, error messages quote at
// most 64 characters of the text, a counted array's count is never used to
// allocate. Errors: EJSONError (with the position in the text, in bytes or
// UTF-16 units), EConvertError for numbers, dates and GUIDs that cannot be
// read, std::runtime_error "Unsupported type" and "Unexpected \ in Base64
// string".
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "Vantrel.RTTI.h"

namespace Vantrel {

inline constexpr int MaxJSONDepth = 256;

template <class Ch>
class EJSONErrorT : public std::runtime_error {
 public:
  EJSONErrorT(const std::string& Message, size_t Offset) : std::runtime_error(Message), FOffset(Offset) {}
  // Reader: the 0-based position of the cursor in the text. Writer: the
  // length of the text written so far.
  size_t Offset() const { return FOffset; }

 private:
  size_t FOffset;
};

using EJSONError = EJSONErrorT<char>;
namespace UTF16 {
using EJSONError = EJSONErrorT<char16_t>;
}

template <class Ch>
class TJSONBuilderT {
 public:
  using TString = std::basic_string<Ch>;
  using TView = std::basic_string_view<Ch>;

  // Text appended as it is (it must already be JSON).
  void Append(TView Str) { FBuffer.append(Str); }
  void Append(int32_t Value);
  // A quoted, escaped string; an empty one with Nullable gives null.
  void AppendString(std::u16string_view Str, bool Nullable);
  void AppendString(std::string_view Str, bool Nullable)
    requires std::is_same_v<Ch, char>;
  void AppendStrings(const TStringList* List);
  void AppendObject(const TObject* Obj);
  // Count below 1: "[]" and false; else the counted-array head and true.
  bool BeginArray(int Count);
  void EndArray();
  // The value at Instance by its type.
  void AppendValue(const TTypeInfo* Type, const void* Instance);

  const TString& ToString() const { return FBuffer; }
  TString Take() { return std::move(FBuffer); }

 private:
  struct TBuildChain;
  void AppendText(std::string_view Str, bool Nullable);  // UTF-8 text, either form
  void AppendEscaped(std::string_view Str);
  void AppendEscaped(std::u16string_view Str);
  void AppendChar(char C) { FBuffer.push_back(Ch(C)); }
  void AppendASCII(std::string_view S);
  void AppendRecord(const TTypeInfo* Type, const void* Instance);
  void AppendClassFields(const TObject* Obj);
  void AppendMember(const TRecordField& Field, const void* Instance, bool& First);
  bool IsStored(const TTypeInfo* Type, const void* Data) const;
  bool CallFieldHooks(std::string_view Name);
  std::string ErrorPath() const;
  [[noreturn]] void Fail(const std::string& Message) const;

  TString FBuffer;
  TBuildChain* FBuild = nullptr;
  int FHooks = 0;  // entries of the chain that have a field hook
  int FDepth = 0;
};

template <class Ch>
class TJSONParserT {
 public:
  using TString = std::basic_string<Ch>;
  using TView = std::basic_string_view<Ch>;

  explicit TJSONParserT(TString AText) : FText(std::move(AText)) {}

  // One value into the variable at Instance, by its type.
  void ParseType(void* Instance, const TTypeInfo* Type);
  template <class T>
  void Parse(T& Value) {
    ParseType(&Value, TypeInfo<T>());
  }
  // Fills an existing object by its class.
  void ParseObject(TObject* Obj);

  bool Eof() const { return FPos >= FText.size(); }
  size_t Position() const { return FPos; }  // 0-based

  Ch NextChar();  // "End of JSON stream" at the end
  Ch ReadChar();
  bool Skip(Ch C);
  void Drop(Ch C);
  bool SkipStr(std::string_view Str);  // ASCII text at the cursor
  void DropKey(std::string_view Str);
  void Blanks();
  TString GetKey();
  TString GetString();
  char16_t GetChar();
  TString GetNumber();
  int32_t GetInteger();
  int64_t GetInt64();
  bool GetBoolean();
  double GetFloat();
  TCurrency GetCurrency();
  TDateTime GetDateTime();
  void GetNullBoolean(TNullBoolean& Value);
  TString GetValue();
  TString ReadValue();
  void GetStrings(TStringList& List);
  bool BeginObject();
  bool EndObject();
  bool BeginArray();
  bool EndArray();
  bool OpenArray(int& Count);
  // Closes an array (and a counted array's object); false when another item follows.
  bool CloseArray(int Count);

 private:
  struct TParseChain;
  bool AtCountedArray() const;
  bool ReadQuoted(TView& Raw, bool& Escaped);
  template <class Out>
  std::basic_string<Out> DecodeString(TView Raw);
  template <class Out>
  std::basic_string<Out> ReadStringAs();
  TView ReadKeyView(TString& Scratch);
  void GetValueInto(TString& Out);
  void SkipValue();
  void ReadRecord(void* Instance, const TTypeInfo* Type);
  void ReadObjectFields(TObject* Obj, const TTypeInfo* Class);
  void ReadDynArray(void* Data, const TTypeInfo* Type);
  void ReadStaticArray(void* Data, const TTypeInfo* Type);
  void ReadSet(void* Data, const TTypeInfo* Type);
  void ReadBytes(void* Data);
  void ReadEnumeration(void* Data, const TTypeInfo* Type);
  void ReadInteger(void* Data, const TTypeInfo* Type);
  bool CallFieldHooks(std::string_view Name);
  void Enter();
  void Leave() { --FDepth; }
  [[noreturn]] void Fail(const std::string& Message) const;
  std::string Excerpt() const;

  TString FText;
  size_t FPos = 0;
  TParseChain* FParse = nullptr;
  int FHooks = 0;
  int FDepth = 0;
};

namespace detail {
// The date reader of both forms; Strict (the UTF-16 form): a date-time
// always has its seconds. Errors carry Offset.
template <class Ch>
TDateTime ReadDateText(std::basic_string_view<Ch> Text, bool Strict, size_t Offset);
}  // namespace detail

extern template class TJSONBuilderT<char>;
extern template class TJSONBuilderT<char16_t>;
extern template class TJSONParserT<char>;
extern template class TJSONParserT<char16_t>;

// The entry points of the UTF-8 form.
namespace JSON {

std::string buildJSON(const TTypeInfo* Type, const void* Instance);
template <class T>
std::string buildJSON(const T& Value) {
  return buildJSON(TypeInfo<T>(), &Value);
}
// Reads Text into Value by its type.
template <class T>
void parseJSON(std::string_view Text, T& Value) {
  TJSONParser P{std::string(Text)};
  P.Parse(Value);
}
// Creates or replaces the file with the bytes of Str (no byte-order mark).
void SaveToFile(const std::string& AFileName, std::string_view Str);
// The whole file; empty when it does not exist.
std::string LoadFromFile(const std::string& AFileName);
// An indented copy (one space per level, CR line breaks); empty for a text
// that starts with neither '[' nor '{'.
std::string Beautify(std::string_view Str);
// The date reader: "hh:nn:ss", or "yyyy-mm-dd" optionally followed by 'T'
// or a blank and "hh:nn" or "hh:nn:ss" (later characters ignored); "null" is 0.
TDateTime StrToDateTime(std::string_view Text);

}  // namespace JSON

std::string ObjectToJSON(const TObject* Obj);
void ObjectFromJSON(TObject* Obj, std::string_view AText);

}  // namespace Vantrel
