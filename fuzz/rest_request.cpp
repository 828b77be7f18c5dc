// What the local REST server reads from a request, on any input: a first
// line "path?query", then a content type line, an empty line and the body.
// The path splits into segments that join back to it, an INS segment is
// accepted only with a valid key, and every request record fills from the
// query and the body or raises only the documented errors.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Carvelin.REST.Decode.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.URL.h"

using namespace Carvelin;

namespace {

template <class T>
void Fill(std::string_view Query, std::string_view ContentType, std::string_view Body, T& Record) {
  try {
    DecodeParams(Query, ContentType, Body, Record);
  } catch (const ERESTRequest&) {
  } catch (const Vantrel::URL::EDecodeError&) {
  } catch (const Vantrel::EJSONError&) {
  } catch (const Vantrel::EConvertError&) {
  }
}

std::string_view Line(std::string_view& In) {
  const size_t End = In.find('\n');
  std::string_view L = In.substr(0, End);
  In = End == std::string_view::npos ? std::string_view() : In.substr(End + 1);
  if (!L.empty() && L.back() == '\r') L.remove_suffix(1);
  return L;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::string_view In(reinterpret_cast<const char*>(Data), Size);
  const std::string_view Target = Line(In);
  const std::string_view ContentType = Line(In);
  Line(In);
  const std::string_view Body = In;
  const size_t Mark = Target.find('?');
  const std::string_view Path = Target.substr(0, Mark);
  const std::string_view Query = Mark == std::string_view::npos ? std::string_view() : Target.substr(Mark + 1);

  const std::vector<std::string> Parts = SplitPath(Path);
  std::string Joined;
  for (size_t I = 0; I < Parts.size(); ++I) Joined += (I ? "/" : "") + Parts[I];
  if (Joined != Path) abort();
  std::string INS;
  char Type = 0;
  if (Parts.size() > 2 && ParseINS(Parts[2], INS, Type) && (INS.size() != 15 || !Vantrel::IsValidNIR(INS))) abort();

  TQueryPatients Patients;
  Fill(Query, ContentType, Body, Patients);
  TQueryPatientINSi INSi;
  Fill(Query, ContentType, Body, INSi);
  TPatientDocuments Documents;
  Fill(Query, ContentType, Body, Documents);
  TQueryPatientsDocs Since;
  Fill(Query, ContentType, Body, Since);
  TQueryCodePorteur Code;
  Fill(Query, ContentType, Body, Code);
  TPutDocument Put;
  Fill(Query, ContentType, Body, Put);
  const std::string Ext = Parts.size() > 4 ? Parts[4] : "";
  const std::string Error = CheckPutDocument(Put, Ext);
  if (Error.empty() && (Put.Titre.empty() || Put.File.empty())) abort();
  return 0;
}
