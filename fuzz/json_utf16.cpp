// The UTF-16 JSON reader on arbitrary UTF-16 units (the input's bytes taken
// in little-endian pairs). A text that reads must also write and read back
// to the same JSON.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../tests/support/Records.h"
#include "Vantrel.JSON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace Vantrel;
  std::u16string Text;
  for (size_t I = 0; I + 1 < Size; I += 2) Text += char16_t(Data[I] | Data[I + 1] << 8);
  try {
    UTF16::TJSONParser P{Text};
    P.GetValue();
  } catch (const std::exception&) {
  }
  std::vector<JSONTest::TTout> Records;
  try {
    UTF16::JSON::parseJSON(Text, Records);
  } catch (const std::exception&) {
    return 0;
  }
  std::u16string Once = UTF16::JSON::buildJSON(Records);
  std::vector<JSONTest::TTout> Again;
  UTF16::JSON::parseJSON(Once, Again);
  if (UTF16::JSON::buildJSON(Again) != Once) std::abort();
  return 0;
}
