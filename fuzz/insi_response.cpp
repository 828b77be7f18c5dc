// The identity teleservice's answer reader on any bytes, for a production
// and a test card: only the XML reader's documented exceptions may come out,
// the result is one of the five codes, and a found identity comes with its
// INDIVIDU block. The same bytes read as UTF-16 go through the name
// normalisation, whose output must stay within its alphabet.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Vantrel.INSi.h"
#include "Vantrel.XML.Tree.h"

using namespace Vantrel;

namespace {

void ReadAnswer(std::string_view Answer, uint8_t Card) {
  TINSiRequest R;
  R.Card = Card;
  int Result = 0;
  try {
    Result = R.Response(Answer);
  } catch (const EXMLError&) {
    return;
  } catch (const EXPathError&) {
    abort();  // the reader's own paths are well-formed
  } catch (const std::runtime_error&) {
    return;  // a malformed character reference in a value
  }
  if (Result < INSiUnexpected || Result > INSiSeveral) abort();
  if (Result == INSiFound) {
    if (!R.Individu.starts_with("<INDIVIDU>") || !R.Error.empty()) abort();
    if ((Card & 0x80) && R.OID != "1.2.250.1.213.1.4.8" && R.OID != "1.2.250.1.213.1.4.10") abort();
  }
  if (Result == INSiSeveral && R.Error.empty()) abort();
  (void)R.INSType();
}

void CheckName(const uint8_t* Data, size_t Size) {
  std::u16string Name(Size / 2, u'\0');
  if (!Name.empty()) std::memcpy(Name.data(), Data, Name.size() * 2);
  const std::string Out = NormalizeINSiName(Name);
  if (Out.size() > Name.size() * 2) abort();
  if (!Out.empty() && (Out.front() == ' ' || Out.front() == '-' || Out.back() == ' ')) abort();
  for (size_t I = 0; I < Out.size(); ++I) {
    const char C = Out[I];
    const bool Letter = C >= 'A' && C <= 'Z';
    if (!Letter && C != ' ' && C != '\'' && C != '-') abort();
    if (I > 0 && ((C == ' ' && Out[I - 1] == ' ') || (C == '\'' && Out[I - 1] == '\''))) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Answer(reinterpret_cast<const char*>(Data), Size);
  ReadAnswer(Answer, 0x00);
  ReadAnswer(Answer, 0x80);
  CheckName(Data, Size);
  return 0;
}
