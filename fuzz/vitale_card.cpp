// Card XML and card dates on any input: no crash, no exception but the XML
// reader's, and every date either none or a real day.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "Talven.eSante.API_LEC.h"
#include "Vantrel.XML.Tree.h"

using namespace Talven::eSante;

namespace {

void CheckDate(Vantrel::TDateTime Date) {
  if (Date == 0) return;
  const Vantrel::TDateParts P = Vantrel::DecodeDateTime(Date);
  if (P.Year < 1 || P.Year > 9999 || P.Month < 1 || P.Month > 12 || P.Day < 1) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
  static const Vantrel::TDateTime Today = [] {
    Vantrel::TDateTime D = 0;
    Vantrel::TryEncodeDate(2025, 6, 15, D);
    return D;
  }();
  CheckDate(CardDateYYMMDD(Text.substr(0, 6), Today));
  CheckDate(CardDateDDMMYYYY(Text.substr(0, 8)));

  TDonneesVitale Card;
  try {
    Card.Parse(Text, Today);
  } catch (const Vantrel::EXMLError&) {
    return 0;
  } catch (const std::runtime_error&) {  // a malformed character reference
    return 0;
  }
  for (const TBeneficiaire& B : Card.listeBenef) {
    CheckDate(B.BirthDate);
    B.Adresse1();
    B.Adresse2();
    B.CodePostal();
    B.Ville();
    B.DateDeNaissance();
    B.DateINS();
    B.FullName();
  }
  return 0;
}
