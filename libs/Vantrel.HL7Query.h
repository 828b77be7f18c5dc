// HL7 v3 query-by-parameter pieces (the living-subject parameters of the
// patient queries) and the authentication instant that every identity
// assertion of a run carries. Values are plain text and are escaped here;
// ...Markup parameters are inserted as given (see Vantrel.SOAP.h).
#pragma once

#include <string>
#include <string_view>

namespace Vantrel {

// The authentication instant of the identity assertions: empty until
// InitAuthnInstant, then the same text for the whole run. Thread-safe.
std::string AuthnInstant();
// Sets it to the service time one minute ago (XML Schema UTC form) when it is
// still empty; later calls change nothing.
void InitAuthnInstant();

// queryByParameter: queryId (extension = a new UUID, root = RootOID + ".4"),
// statusCode new, parameterList holding the parameters.
std::string QueryByParameter(std::string_view RootOID, std::string_view ParametersMarkup);
std::string SemanticsText(std::string_view Text);
// Each gives "" when its value is empty.
std::string LivingSubjectGender(std::string_view GenderCode);
std::string LivingSubjectBirthTime(std::string_view BirthTime);
// family and given inside value (use="SRCH" when Search), empty names left out.
std::string LivingSubjectName(std::string_view Family, std::string_view Given, bool Search);

}  // namespace Vantrel
