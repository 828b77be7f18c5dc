// The multipart splitter on any bytes: every slice lies inside the body, the
// parts follow one another, their count stays within the cap, and a failure
// always comes with a message and an offset inside the body. Filling a
// record from the parts raises nothing but conversion errors.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Vantrel.Mime.Decoder.h"

using namespace Vantrel;

namespace {

struct TForm {
  TBytes Fichier;
  TDate Date;
  TDateTimeValue DateDoc;
  bool Actif = false;
  int32_t Confidentialite = 0;
  std::string Titre;
};
VANTREL_RECORD(TForm, VANTREL_FIELD(Fichier), VANTREL_FIELD(Date), VANTREL_FIELD(DateDoc), VANTREL_FIELD(Actif),
               VANTREL_FIELD(Confidentialite), VANTREL_FIELD(Titre))

void CheckInside(const TXMLString& S, const char* Begin, const char* End) {
  if (S.Len < 0 || (S.Start && (S.Start < Begin || S.Start + S.Len > End))) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // A copy of exactly Size bytes, so that a read past the end is caught.
  std::string Body(reinterpret_cast<const char*>(Data), Size);
  const char* Begin = Body.data();
  const char* End = Begin + Size;
  TMimeDecoder D;
  bool Ok = D.Decode(Body);
  if (Ok != D.Error.empty() || D.ErrorOffset > Size || D.Index > Size) abort();
  if (D.Parts.size() > MimeMaxParts || (Ok && D.Parts.empty())) abort();
  CheckInside(D.boundary, Begin, End);
  const char* Previous = Begin;
  for (const TMimePart& P : D.Parts) {
    if (P.Header < Previous || P.Header > End) abort();
    for (const TMimeLine& L : P.Lines) {
      CheckInside(L.Name, Begin, End);
      CheckInside(L.Value, Begin, End);
      std::string Name;
      L.GetFormDataName(Name);
    }
    CheckInside(P.Content, Begin, End);
    if (P.Content.Start) Previous = P.Content.Start + P.Content.Len;
  }
  TForm Form;
  try {
    D.GetFormDataType(Form);
  } catch (const std::exception&) {
    // malformed dates, numbers and character references
  }
  return 0;
}
