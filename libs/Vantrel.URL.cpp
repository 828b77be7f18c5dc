#include "Vantrel.URL.h"

#include <array>
#include <cstdint>

#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {

namespace {

constexpr std::array<bool, 256> MakeKeptTable() {
  std::array<bool, 256> T{};
  for (char C : std::string_view("!$'()*-.@_")) T[uint8_t(C)] = true;
  for (int C = '0'; C <= '9'; ++C) T[C] = true;
  for (int C = 'A'; C <= 'Z'; ++C) T[C] = true;
  for (int C = 'a'; C <= 'z'; ++C) T[C] = true;
  return T;
}
constexpr std::array<bool, 256> Kept = MakeKeptTable();

constexpr size_t CountKept() {
  size_t N = 0;
  for (bool B : Kept) N += B;
  return N;
}
static_assert(CountKept() == 72);
static_assert(!Kept['~'] && !Kept['+'] && !Kept['%'] && !Kept[' '] && Kept['@']);

constexpr char HexDigits[] = "0123456789ABCDEF";

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  return -1;
}

bool IsASCII(std::string_view S) {
  for (char C : S)
    if (uint8_t(C) >= 0x80) return false;
  return true;
}

}  // namespace

std::string URL::Encode(std::string_view AStr) {
  size_t Escaped = 0;
  for (char C : AStr) Escaped += !Kept[uint8_t(C)];
  std::string Out(AStr.size() + 2 * Escaped, '\0');
  size_t At = 0;
  for (char C : AStr) {
    uint8_t B = uint8_t(C);
    if (Kept[B]) {
      Out[At++] = C;
    } else {
      Out[At++] = '%';
      Out[At++] = HexDigits[B >> 4];
      Out[At++] = HexDigits[B & 0x0F];
    }
  }
  return Out;
}

std::string URL::Decode(std::string_view Input) {
  std::string Bytes = DecodeBytes(Input);
  if (IsASCII(Bytes) || IsValidUTF8(Bytes)) return Bytes;
  return Windows1252ToUTF8(Bytes);
}

std::string URL::DecodeBytes(std::string_view Input) {
  std::string Bytes;
  Bytes.reserve(Input.size());
  for (size_t I = 0; I < Input.size(); ++I) {
    char C = Input[I];
    if (C == '+') {
      Bytes += ' ';
    } else if (C != '%') {
      Bytes += C;
    } else if (I + 1 < Input.size() && Input[I + 1] == '%') {
      Bytes += '%';
      ++I;
    } else {
      int Hi = I + 2 < Input.size() ? HexValue(Input[I + 1]) : -1;
      int Lo = Hi >= 0 ? HexValue(Input[I + 2]) : -1;
      if (Lo < 0)
        throw EDecodeError("Invalid URL encoded character (" + std::string(Input.substr(I, 3)) +
                           ") at position " + std::to_string(I));
      Bytes += char(Hi << 4 | Lo);
      I += 2;
    }
  }
  return Bytes;
}

std::string URL::toJSON() const { return ObjectToJSON(this); }

void URL::fromJSON(std::string_view Str) { ObjectFromJSON(this, Str); }

void detail::StoreFieldText(const TRecordField& Field, void* Instance, std::string_view Text) {
  const TTypeInfo* Type = Field.TypeInfo();
  if (!Type) return;
  void* Data = Field.Data(Instance);
  if (int Kind = GetDateTimeKind(Type)) {
    TDateTime V = JSON::StrToDateTime(Text);
    *static_cast<TDateTime*>(Data) = Kind == 1 ? DateOf(V) : Kind == 2 ? TimeOf(V) : V;
  } else if (ClassifyType(Type) == TTypeDetail::dtBoolean && (Text == "0" || Text == "1")) {
    SetValueFromString(Type, Data, Text == "1" ? "true" : "false");
  } else {
    SetValueFromString(Type, Data, Text);
  }
}

void URLDecodeParams(std::string_view Text, void* Instance, const TTypeInfo* Type) {
  if (Text.empty()) return;
  for (;;) {
    size_t Amp = Text.find('&');
    std::string_view Pair = Text.substr(0, Amp);
    size_t Eq = Pair.find('=');
    std::string_view Name = Pair.substr(0, Eq);
    std::string_view Value = Eq == std::string_view::npos ? std::string_view() : Pair.substr(Eq + 1);
    if (const TRecordField* Field = FindRecordField(Type, Name))
      detail::StoreFieldText(*Field, Instance, URL::Decode(Value));
    if (Amp == std::string_view::npos) break;
    Text.remove_prefix(Amp + 1);
  }
}

}  // namespace Vantrel
