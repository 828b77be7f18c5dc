#include "Vantrel.Mime.Decoder.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "Vantrel.URL.h"

namespace Vantrel {

namespace {

constexpr std::string_view CRLF = "\r\n";

TXMLString Slice(std::string_view S) { return TXMLString{S.data(), int32_t(S.size())}; }

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

// Reads the next line up to CR LF (which is skipped); false when no CR LF is left.
bool ReadLine(TByteReader& R, std::string_view& Line) {
  std::string_view Rest = R.Rest();
  size_t At = Rest.find(CRLF);
  if (At == std::string_view::npos) return false;
  R.ReadBytes(At, Line);
  R.Skip(CRLF.size());
  return true;
}

}  // namespace

bool TMimeLine::GetFormDataName(std::string& AName) const {
  constexpr std::string_view Prefix = "form-data; name=\"";
  std::string_view V = Value.View();
  if (!SameText(Name.View(), "Content-Disposition") || V.size() < Prefix.size() ||
      !SameText(V.substr(0, Prefix.size()), Prefix))
    return false;
  size_t Open = V.find('"');
  size_t Close = V.find('"', Open + 1);
  if (Close == std::string_view::npos) return false;
  AName.assign(V.substr(Open + 1, Close - Open - 1));
  return true;
}

bool TMimePart::GetFormDataName(std::string& AName) const {
  for (const TMimeLine& Line : Lines)
    if (Line.GetFormDataName(AName)) return true;
  return false;
}

void TMimePart::GetFormDataType(void* Instance, const TTypeInfo* TypeInfo) const {
  std::string Name;
  if (!GetFormDataName(Name)) return;
  const TRecordField* Field = FindRecordField(TypeInfo, Name);
  if (!Field || !Field->TypeInfo()) return;
  if (ClassifyType(Field->TypeInfo()) == TTypeDetail::dtBytes)
    *static_cast<TBytes*>(Field->Data(Instance)) = TBytes(std::string(Content.View()));
  else
    // A host program's text may hold a stray "&#": kept, not an error.
    detail::StoreFieldText(*Field, Instance, XMLDecodeEntitiesKeepingMalformed(Content.View()));
}

void TMimeDecoder::GetFormDataType(void* Instance, const TTypeInfo* TypeInfo) const {
  for (const TMimePart& Part : Parts) Part.GetFormDataType(Instance, TypeInfo);
}

bool TMimeDecoder::Fail(const char* Message, size_t Offset) {
  Error = Message;
  ErrorOffset = Offset;
  return false;
}

bool TMimeDecoder::Decode(const void* ASource, size_t ALen) {
  Parts.clear();
  Error.clear();
  ErrorOffset = 0;
  Source = static_cast<const char*>(ASource);
  Len = ALen;
  Index = 0;
  boundary = TXMLString{};
  if (ALen > size_t(std::numeric_limits<int32_t>::max()))
    return Fail("Corps multipart trop volumineux", 0);
  TByteReader R(std::string_view(Source, Len));

  std::string_view Delimiter;
  if (!ReadLine(R, Delimiter) || (Delimiter.empty() && !ReadLine(R, Delimiter)))
    return Fail("Corps multipart sans ligne de délimitation", 0);
  // RFC 2046 §5.1.1: blanks may follow the delimiter on its line.
  while (!Delimiter.empty() && IsBlank(Delimiter.back())) Delimiter.remove_suffix(1);
  if (Delimiter.empty()) return Fail("Corps multipart sans ligne de délimitation", 0);
  boundary = Slice(Delimiter);
  FNeedle.assign(CRLF);
  FNeedle.append(Delimiter);

  for (;;) {
    size_t PartAt = R.Offset();
    if (Parts.size() == MimeMaxParts) {
      Index = PartAt;
      return Fail("Corps multipart de plus de 500 parties", PartAt);
    }
    TPartEnd End = ReadPart(R, Parts.emplace_back());
    Index = R.Offset();
    if (End == TPartEnd::Closed) return true;
    if (End == TPartEnd::Truncated)
      return Fail("Corps multipart tronqué : délimiteur de fin absent", PartAt);
  }
}

TMimeDecoder::TPartEnd TMimeDecoder::ReadPart(TByteReader& R, TMimePart& Part) {
  Part.Header = Source + R.Offset();
  std::string_view Line;
  for (;;) {
    if (!ReadLine(R, Line)) return TPartEnd::Truncated;
    if (Line.empty()) break;
    size_t Colon = Line.find(':');
    if (Colon == std::string_view::npos || Colon == 0) continue;
    std::string_view Name = Line.substr(0, Colon), Value = Line.substr(Colon + 1);
    while (!Name.empty() && Name.back() == ' ') Name.remove_suffix(1);
    while (!Value.empty() && Value.front() == ' ') Value.remove_prefix(1);
    Part.Lines.push_back(TMimeLine{Slice(Name), Slice(Value)});
  }

  // The CR LF that ended the headers may be the one before the delimiter (an
  // empty content), so the search starts on it.
  size_t ContentAt = R.Offset();
  std::string_view Body(Source, Len);
  size_t From = ContentAt - CRLF.size();
  for (;;) {
    // glibc's memmem (two-way search) keeps the scan of a large part at memory speed.
    const void* Hit = memmem(Source + From, Len - From, FNeedle.data(), FNeedle.size());
    if (!Hit) {
      R.Skip(R.Remaining());
      return TPartEnd::Truncated;
    }
    size_t At = size_t(static_cast<const char*>(Hit) - Source);
    TByteReader After(Body.substr(At + FNeedle.size()), At + FNeedle.size());
    uint8_t B = 0;
    std::string_view Two;
    if (After.ReadBytes(2, Two) && Two == "--") {
      Part.Content = Slice(Body.substr(ContentAt, At > ContentAt ? At - ContentAt : 0));
      R.Skip(After.Offset() - R.Offset());
      return TPartEnd::Closed;
    }
    After = TByteReader(Body.substr(At + FNeedle.size()), At + FNeedle.size());
    while (After.Peek(B) && IsBlank(char(B))) After.Skip(1);
    if (After.Empty()) {  // the last delimiter lacks its "--" or its CR LF
      R.Skip(R.Remaining());
      return TPartEnd::Truncated;
    }
    if (After.ReadBytes(2, Two) && Two == CRLF) {
      Part.Content = Slice(Body.substr(ContentAt, At > ContentAt ? At - ContentAt : 0));
      R.Skip(After.Offset() - R.Offset());
      return TPartEnd::More;
    }
    From = At + 1;  // a line that only begins with the delimiter: still content
  }
}

}  // namespace Vantrel
