#include "Vantrel.XML.XDSb.CDA.h"

#include <algorithm>

#include "Vantrel.SOAP.h"
#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {

void AddAttr(std::string& Attrs, std::string_view Name, std::string_view Value) {
  if (!Attrs.empty()) Attrs += ' ';
  Attrs += Name;
  Attrs += "=\"";
  Attrs += XMLAttributeEscape(Value);
  Attrs += '"';
}

void AddOptAttr(std::string& Attrs, std::string_view Name, std::string_view Value) {
  if (!Value.empty()) AddAttr(Attrs, Name, Value);
}

std::string CodeAttrs(const TOIDValue& Value) {
  std::string A;
  AddOptAttr(A, "code", Value.Code);
  AddOptAttr(A, "codeSystem", Value.OID);
  AddOptAttr(A, "displayName", Value.Name);
  return A;
}

std::string HL7TimeElement(std::string_view Name, TDateTime Time, THL7TimeFormat Format) {
  if (Time < 1) return NullFlavorElement(Name, "UNK");
  return XMLElement(Name, "value=\"" + Format(Time) + '"', {});
}

std::string NarrativeDate(TDateTime Time) {
  return Time < 1 ? std::string() : FormatDateTime("dd/mm/yyyy", Time);
}

void AppendBase64(std::string& Out, const void* Data, size_t Size) {
  constexpr size_t Chunk = 3 * 16384;  // a multiple of 3: no padding inside the text
  const auto* P = static_cast<const char*>(Data);
  Out.reserve(Out.size() + Base64Length(Size));
  for (size_t Done = 0; Done < Size;) {
    const size_t N = std::min(Chunk, Size - Done);
    Out += Base64EncodeBuffer(P + Done, N);
    Done += N;
  }
}

}  // namespace Vantrel
