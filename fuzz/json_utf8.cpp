// The UTF-8 JSON reader on arbitrary bytes: reading a record that holds every
// kind of value, skipping, indenting. A text that reads must also write and
// read back to the same JSON (the writer's forms are fixed points).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../tests/support/Records.h"
#include "Vantrel.JSON.UTF8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace Vantrel;
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  try {
    JSON::Beautify(Text);
  } catch (const std::exception&) {
  }
  try {
    TJSONParser P{Text};
    P.GetValue();
  } catch (const std::exception&) {
  }
  std::vector<JSONTest::TTout> Records;
  try {
    JSON::parseJSON(Text, Records);
  } catch (const std::exception&) {
    return 0;
  }
  std::string Once = JSON::buildJSON(Records);
  std::vector<JSONTest::TTout> Again;
  JSON::parseJSON(Once, Again);
  if (JSON::buildJSON(Again) != Once) std::abort();
  return 0;
}
