// Tolerant dates, NIR texts and text splitting on any input: no crash,
// and the results keep their stated shapes.
#include <cstdlib>
#include <string>

#include "Vantrel.SysUtils.h"

using namespace Vantrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Text(reinterpret_cast<const char*>(Data), Size);

  static const TDateTime Today = [] {
    TDateTime D = 0;
    TryEncodeDate(2025, 6, 15, D);
    return D;
  }();
  TDateTime Date = 42;
  if (ParseDateLoose(Text, Date, Today)) {
    TDateParts P = DecodeDateTime(Date);
    if (P.Year < 1 || P.Year > 9999 || P.Month < 1 || P.Month > 12) abort();
  } else if (Date != 0) {
    abort();
  }

  const std::string WithKey = NIRWithKey(Text, true);
  if (!WithKey.empty() && WithKey.size() != 15) abort();
  const std::string Keyless = NIRWithKey(Text, false);
  if (!Keyless.empty() && Keyless != WithKey) abort();
  // A key we added is always the right one.
  if (!WithKey.empty() && Keyless.empty() && !IsValidNIR(WithKey)) abort();

  const std::string WithDash = NIRWithDash(Text);
  if (!WithDash.empty() && (WithDash.size() != 16 || WithDash[13] != '-')) abort();
  if (SameNIR(Text, Text) != !WithDash.empty()) abort();
  IsValidNIR(Text);
  IsCodeInsee(Text);

  std::string Copy(Text);
  const size_t Index = Size ? Data[0] % (Size + 2) : 0;
  if (!NIRKey(Copy, Index) && Copy != Text) abort();

  // Splitting on the first byte and joining again gives the text back.
  const std::string_view Sep = Text.substr(0, 1);
  if (JoinText(Sep, SplitText(Sep, Text)) != Text) abort();
  return 0;
}
