#include "Vantrel.HL7Query.h"

#include <mutex>

#include "Vantrel.SOAP.h"

namespace Vantrel {

namespace {

std::mutex InstantLock;
std::string Instant;

constexpr double OneMinute = 1.0 / 1440.0;

}  // namespace

std::string AuthnInstant() {
  std::lock_guard Lock(InstantLock);
  return Instant;
}

void InitAuthnInstant() {
  std::lock_guard Lock(InstantLock);
  if (Instant.empty()) Instant = XSDTimeNowPlus(-OneMinute);
}

std::string QueryByParameter(std::string_view RootOID, std::string_view ParametersMarkup) {
  std::string Root = XMLEscape(RootOID);
  Root += ".4";
  return XMLElement(
      "queryByParameter", {},
      XMLElement("queryId", "extension=\"" + NewUUIDText() + "\" root=\"" + Root + '"', {}) +
          XMLElement("statusCode", "code=\"new\"", {}) +
          XMLElement("parameterList", {}, ParametersMarkup));
}

std::string SemanticsText(std::string_view Text) {
  return XMLElement("semanticsText", {}, XMLEscape(Text));
}

std::string LivingSubjectGender(std::string_view GenderCode) {
  if (GenderCode.empty()) return {};
  return XMLElement("livingSubjectAdministrativeGender", {},
                    XMLCodeElement("value", GenderCode) +
                        SemanticsText("LivingSubject.administrativeGender"));
}

std::string LivingSubjectBirthTime(std::string_view BirthTime) {
  if (BirthTime.empty()) return {};
  return XMLElement("livingSubjectBirthTime", {},
                    XMLElement("value", "value=\"" + XMLEscape(BirthTime) + '"', {}) +
                        SemanticsText("LivingSubject.birthTime"));
}

std::string LivingSubjectName(std::string_view Family, std::string_view Given, bool Search) {
  if (Family.empty() && Given.empty()) return {};
  const std::string Names = XMLOptionalElement("family", {}, XMLEscape(Family)) +
                            XMLOptionalElement("given", {}, XMLEscape(Given));
  return XMLElement("livingSubjectName", {},
                    XMLElement("value", Search ? "use=\"SRCH\"" : "", Names) +
                        SemanticsText("LivingSubject.name"));
}

}  // namespace Vantrel
