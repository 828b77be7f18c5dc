// The mobile Vitale application service's answer reader on any bytes: it
// never throws, answers a count or one of its three codes, and an identity
// it keeps has its birth date written as the date it read.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Talven.Carvelin.AppVitale.h"

using Talven::AppVitale::TAppVitaleRequest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TAppVitaleRequest R;
  const int Result = R.SetIdentites(std::string_view(reinterpret_cast<const char*>(Data), Size));
  if (Result < Talven::AppVitale::ApCVNoProfile) abort();
  if (Result >= 0 && size_t(Result) != R.Identites.size()) abort();
  if (Result < 0 && (!R.Identites.empty() || (Result != Talven::AppVitale::ApCVFault && R.Error.empty()))) abort();
  for (const auto& I : R.Identites)
    if ((I.DDN == 0) != I.DateNaissance.empty() || (!I.DateNaissance.empty() && I.DateNaissance.size() != 10)) abort();
  return 0;
}
