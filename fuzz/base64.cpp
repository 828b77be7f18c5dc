// Base64 decoding of any input: the size arithmetic, the 8-bit and UTF-16
// decoders and the encoder must agree, and nothing may read or write out
// of bounds. The UTF-8 check runs on the same bytes.
#include <cstdlib>
#include <memory>
#include <string>

#include "Vantrel.UTF8.Utils.h"

using namespace Vantrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
  const std::u16string Wide(Text.begin(), Text.end());

  const size_t Decoded = Base64DecodedSize(Text);
  size_t Symbols = 0;
  for (char C : Text) Symbols += C != '\t' && C != '\n' && C != '\r' && C != ' ';
  if (Decoded > Symbols * 3 / 4 || Base64DecodedSizeWide(Wide) != Decoded) abort();

  const std::string Bytes = Base64Decode(Text);
  if (Bytes.size() != Decoded || Base64Decode(Wide) != Bytes) abort();

  // Asking for more bytes than the text holds fills them with zero bits.
  const size_t Len = Decoded + 4;
  auto Out = std::make_unique<char[]>(Len);
  Base64DecodeBuffer(Text, Out.get(), Len);
  if (std::string_view(Out.get(), Decoded) != Bytes) abort();

  const std::string Encoded = Base64Encode(Text);
  if (Encoded.size() != 4 * ((Size + 2) / 3) || Base64Decode(Encoded) != Text) abort();
  // base64url: the same text in its own two letters, without padding.
  const std::string Url = Base64UrlEncode(Text);
  if (Url.size() != (Size * 4 + 2) / 3) abort();
  for (size_t I = 0; I < Url.size(); ++I) {
    char Expected = Encoded[I] == '+' ? '-' : Encoded[I] == '/' ? '_' : Encoded[I];
    if (Url[I] != Expected) abort();
  }

  IsValidUTF8(Text);
  return 0;
}
