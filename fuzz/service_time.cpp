// The time service's answer on any bytes: a time is only read from a short
// decimal number of seconds, and lands between 1970 and 9999.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "Vantrel.DateTime.h"
#include "Vantrel.SOAP.h"

using namespace Vantrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
  const std::optional<TDateTime> Time = ParseServiceTime(Text);
  if (!Time) return 0;
  if (Size > 64) abort();
  const TDateParts P = DecodeDateTime(*Time);
  if (P.Year < 1970 || P.Year > 9999) abort();
  return 0;
}
