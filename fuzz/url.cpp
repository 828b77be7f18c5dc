// The query-string decoder on any text: it decodes or raises
// URL::EDecodeError, its output is always well-formed UTF-8, and encoding
// then decoding gives back any well-formed UTF-8 text. The same text filled
// into a record raises nothing but the documented errors.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Vantrel.URL.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.UTF8.Utils.h"

using namespace Vantrel;

namespace {

struct TQuery {
  std::string Nom;
  TDate Naissance;
  TDateTimeValue Depuis;
  TTime Heure;
  bool Partiel = false;
  char Sexe = 0;
  int32_t Nombre = 0;
  double Taux = 0;
};
VANTREL_RECORD(TQuery, VANTREL_FIELD(Nom), VANTREL_FIELD(Naissance), VANTREL_FIELD(Depuis), VANTREL_FIELD(Heure),
               VANTREL_FIELD(Partiel), VANTREL_FIELD(Sexe), VANTREL_FIELD(Nombre), VANTREL_FIELD(Taux))

bool WellFormed(std::string_view S) {
  for (char C : S)
    if (uint8_t(C) >= 0x80) return IsValidUTF8(S);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::string_view In(reinterpret_cast<const char*>(Data), Size);
  try {
    if (!WellFormed(URL::Decode(In))) abort();
  } catch (const URL::EDecodeError&) {
  }
  TQuery Q;
  try {
    URLDecodeParams(In, Q);
  } catch (const URL::EDecodeError&) {
  } catch (const EJSONError&) {
  } catch (const EConvertError&) {
  }
  std::string Encoded = URL::Encode(In);
  std::string Back = URL::Decode(Encoded);
  if (WellFormed(In) && Back != In) abort();
  if (!WellFormed(Back)) abort();
  return 0;
}
