"""The ebXML RegistryResponse that the registry and the repository answer
(ITI-41, ITI-43, ITI-57 and the errors of ITI-18)."""

from .xmltext import esc

RS_NS = "urn:oasis:names:tc:ebxml-regrep:xsd:rs:3.0"
SUCCESS = "urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Success"
FAILURE = "urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Failure"
ERROR = "urn:oasis:names:tc:ebxml-regrep:ErrorSeverityType:Error"
WARNING = "urn:oasis:names:tc:ebxml-regrep:ErrorSeverityType:Warning"


def registry_response(status, errors=()):
    """errors: (errorCode, codeContext, severity) triples."""
    listed = ""
    if errors:
        highest = ERROR if any(s == ERROR for _, _, s in errors) else WARNING
        listed = ('<rs:RegistryErrorList highestSeverity="%s">%s</rs:RegistryErrorList>'
                  % (highest, "".join('<rs:RegistryError errorCode="%s" codeContext="%s" location="" severity="%s"/>'
                                      % (esc(code), esc(context), severity) for code, context, severity in errors)))
    return '<rs:RegistryResponse xmlns:rs="%s" status="%s">%s</rs:RegistryResponse>' % (RS_NS, status, listed)
