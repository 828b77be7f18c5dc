// Percent-encoding of texts placed in URLs, and decoding of the query
// strings that the local REST server receives into the request records of
// its routes, by field name through the type descriptors. Texts are UTF-8.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "Vantrel.RTTI.h"

namespace Vantrel {

// The codec, and a base for objects that travel as JSON text.
class URL : public TObject {
 public:
  VANTREL_OBJECT;

  // A '%' escape that is cut short or not hexadecimal.
  class EDecodeError : public std::invalid_argument {
   public:
    using std::invalid_argument::invalid_argument;
  };

  // Every byte except the 72 characters ! $ ' ( ) * - . 0-9 @ A-Z _ a-z
  // becomes '%' and two upper-case hexadecimal digits (RFC 3986 §2.1).
  static std::string Encode(std::string_view AStr);

  // '+' gives a space, "%%" a '%', "%XX" its byte, every other byte itself.
  // The bytes are taken as UTF-8 when they are well-formed UTF-8, else as
  // Windows-1252 (a query string sent in the legacy 8-bit form).
  static std::string Decode(std::string_view Input);
  // The same bytes, as sent: no character set is read into them.
  static std::string DecodeBytes(std::string_view Input);

  // The object's described fields as JSON text, and back.
  std::string toJSON() const;
  void fromJSON(std::string_view Str);
};

VANTREL_CLASS(URL, TObject)

// Fills the record at Instance from name=value pairs joined by '&': each name
// is looked up as FindRecordField does (unknown names are ignored), each
// value decoded with URL::Decode and stored by the field's type (dates read
// by the JSON date reader; "0" and "1" for Booleans). A later occurrence of
// a name overwrites an earlier one. Raises URL::EDecodeError, EJSONError and
// EConvertError for malformed values.
void URLDecodeParams(std::string_view Text, void* Instance, const TTypeInfo* Type);

namespace detail {
// Stores a form or query value into a field: date kinds through the JSON
// date reader, "0"/"1" as false/true for a Boolean, else SetValueFromString.
void StoreFieldText(const TRecordField& Field, void* Instance, std::string_view Text);
}  // namespace detail

template <class T>
void URLDecodeParams(std::string_view Text, T& Record) {
  URLDecodeParams(Text, &Record, TypeInfo<T>());
}

}  // namespace Vantrel
