// Small pieces shared by the HL7 CDA R2 document builders: attribute texts,
// time elements, narrative dates and the Base64 body of a wrapped file.
//
// Escaping follows Vantrel.SOAP.h: every value handed to these functions is
// plain text and is escaped here (" & < > become entities), so a value from
// a card, a coding service or the user never changes a document's shape.
//
// The CDA schema refuses empty codes, identifiers and display names (HL7
// datatypes cs, uid and st), so the optional attribute writers leave an
// empty value out instead of writing it empty; a time below 1 (the system's
// "no date") is written nullFlavor="UNK" rather than as 1899-12-30.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "Vantrel.DateTime.h"
#include "Vantrel.XML.XDSb.h"

namespace Vantrel {

// Appends Name="escaped Value", after a blank when Attrs is not empty.
void AddAttr(std::string& Attrs, std::string_view Name, std::string_view Value);
// As AddAttr; nothing for an empty value.
void AddOptAttr(std::string& Attrs, std::string_view Name, std::string_view Value);

// code, codeSystem and displayName of the value, each only when not empty.
std::string CodeAttrs(const TOIDValue& Value);

// <Name value="Format(Time)"/>, or <Name nullFlavor="UNK"/> when Time is below 1.
using THL7TimeFormat = std::string (*)(TDateTime);
std::string HL7TimeElement(std::string_view Name, TDateTime Time, THL7TimeFormat Format);

// "dd/mm/yyyy" whatever the workstation's settings; "" when Time is below 1.
std::string NarrativeDate(TDateTime Time);

// Appends the Base64 text (RFC 4648 §4, padded, no line breaks) of Size
// bytes at Data, encoding in bounded chunks so that no second copy of the
// whole text is ever held.
void AppendBase64(std::string& Out, const void* Data, size_t Size);
// The length AppendBase64 adds.
constexpr size_t Base64Length(size_t Size) { return (Size + 2) / 3 * 4; }

}  // namespace Vantrel
