// Splits a multipart body (RFC 2046 §5.1: MTOM/XOP replies of the record
// service, multipart/form-data posted to the REST server) into its parts
// without copying: header names, header values and part contents are slices
// into the body, which must stay alive and unchanged while the decoder is
// used. Only the part and header-line arrays are allocated.
//
// The delimiter is the body's first line ("--" included). A part's content
// runs from the byte after the empty line that ends its headers to the byte
// before the CR LF of the next delimiter line; a delimiter line is the
// delimiter followed by optional blanks and CR LF, or by "--" for the last
// one. Bounds: at most MimeMaxParts parts and a body below 2 GiB.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "Vantrel.ByteReader.h"
#include "Vantrel.RTTI.h"
#include "Vantrel.XML.Tree.h"

namespace Vantrel {

inline constexpr size_t MimeMaxParts = 500;

struct TMimeLine {
  TXMLString Name;   // before the first ':', trailing spaces removed
  TXMLString Value;  // after that ':', leading spaces removed (trailing ones kept)

  // True with AName set when the line is a Content-Disposition header whose
  // value starts with form-data; name=" (RFC 7578 §4.2): AName is the text
  // between the first two double quotes, as written.
  bool GetFormDataName(std::string& AName) const;
};

struct TMimePart {
  const char* Header = nullptr;  // first byte of the header block
  std::vector<TMimeLine> Lines;  // header lines holding a ':' after their first byte
  TXMLString Content;

  // The field name of the first form-data Content-Disposition among the
  // header lines; false when there is none.
  bool GetFormDataName(std::string& AName) const;

  // Stores the content into the record field named by the form-data name
  // (FindRecordField rules): a byte array receives the raw bytes, a date
  // kind the value of the JSON date reader, any other field the text with
  // XML references decoded (a malformed numeric reference kept as written),
  // "0"/"1" as false/true for a Boolean, through SetValueFromString. A part without a name or with an unknown one is
  // skipped. Raises what the date reader and SetValueFromString raise.
  void GetFormDataType(void* Instance, const TTypeInfo* TypeInfo) const;
};

class TMimeDecoder {
 public:
  // True when at least one part was read, the body ended with its closing
  // delimiter and held no more than MimeMaxParts parts. On false, Parts
  // holds what was read (a cut part with an empty content) and Error /
  // ErrorOffset say what was wrong and where.
  bool Decode(const void* ASource, size_t ALen);
  bool Decode(std::string_view Body) { return Decode(Body.data(), Body.size()); }

  // TMimePart::GetFormDataType for every part, in order.
  void GetFormDataType(void* Instance, const TTypeInfo* TypeInfo) const;
  template <class T>
  void GetFormDataType(T& Record) const {
    GetFormDataType(&Record, Vantrel::TypeInfo<T>());
  }

  size_t Index = 0;  // read position in the body
  const char* Source = nullptr;
  size_t Len = 0;
  TXMLString boundary;  // the delimiter line, "--" included, without CR LF
  std::vector<TMimePart> Parts;

  std::string Error;  // French text for the user, empty after success
  size_t ErrorOffset = 0;

 private:
  enum class TPartEnd { More, Closed, Truncated };
  TPartEnd ReadPart(TByteReader& Reader, TMimePart& Part);
  bool Fail(const char* Message, size_t Offset);

  std::string FNeedle;  // CR LF + delimiter
};

}  // namespace Vantrel
