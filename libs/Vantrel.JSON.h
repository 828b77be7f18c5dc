// JSON on UTF-16 text: the texts carried by the window-message interface
// (WM_COPYDATA payloads) and a few editor texts. The same engine as
// Vantrel.JSON.UTF8, instantiated on char16_t (see there for the mapping
// rules); what differs here: enumerations are written also at their first
// value, a date-time is read only with its seconds, a Base64 text may hold no
// escape at all, fields have no serializers, TJSONRawValue is
// UTF16::TJSONRawValue, and files are kept as UTF-8 without byte-order mark.
#pragma once

#include <string>
#include <string_view>

#include "Vantrel.JSON.UTF8.h"

namespace Vantrel::UTF16::JSON {

std::u16string buildJSON(const TTypeInfo* Type, const void* Instance);
template <class T>
std::u16string buildJSON(const T& Value) {
  return buildJSON(TypeInfo<T>(), &Value);
}
template <class T>
void parseJSON(std::u16string_view Text, T& Value) {
  TJSONParser P{std::u16string(Text)};
  P.Parse(Value);
}
// The UTF-8 bytes of Str, without byte-order mark (an unpaired surrogate becomes U+FFFD).
void SaveToFile(const std::string& AFileName, std::u16string_view Str);
// The file's bytes decoded as UTF-8; empty when the file does not exist.
std::u16string LoadFromFile(const std::string& AFileName);
// The date reader: "hh:nn:ss", "yyyy-mm-dd" or "yyyy-mm-dd" + 'T' or blank + "hh:nn:ss".
TDateTime StrToDateTime(std::u16string_view Text);

}  // namespace Vantrel::UTF16::JSON
