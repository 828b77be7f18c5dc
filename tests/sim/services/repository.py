"""The XDS.b repository "repository" (and "repositoryCPE", the same service
at another address):

RetrieveDocumentSet (ITI-43)   an MTOM answer of two parts: the SOAP
                               answer, then the document's bytes
ProvideAndRegisterDocumentSet-b (ITI-41)   the MTOM request is read with
                               the email package (its parts logged);
                               answered Success as MTOM
Variants: "unknown_document" (XDSDocumentUniqueIdError), "three_parts"
(a retrieval answer with an extra part)."""

from simkit.mtom import multipart
from simkit.service import Answer, Operation, soap_service
from simkit.soap import envelope
from simkit.xmltext import child, esc, find_all, text

PATHS = ["/si-dmp-server/v2/services/repository", "/si-dmp-server/v2/services/repositoryCPE"]
RETRIEVE = "urn:ihe:iti:2007:RetrieveDocumentSet"
PROVIDE = "urn:ihe:iti:2007:ProvideAndRegisterDocumentSet-b"
SUCCESS = "urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Success"
FAILURE = "urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Failure"
DOCUMENT_CID = "document.1@simulateur.carvelin.test"


def mtom_answer(request, inner, action, attachments=(), note=""):
    content_type, body = multipart(envelope(inner, action + "Response", request.message_id), list(attachments),
                                   action + "Response")
    return Answer(body=body, content_type=content_type, note=note)


def requested(body, sim):
    request = next(iter(find_all(body, "DocumentRequest")), None)
    unique_id = text(child(request, "DocumentUniqueId")).strip()
    return unique_id, sim.seed.document_by("unique_id", unique_id)[1]


def registry_error(request, code, context):
    inner = ('<rs:RegistryResponse xmlns:rs="urn:oasis:names:tc:ebxml-regrep:xsd:rs:3.0" status="%s">'
             '<rs:RegistryErrorList><rs:RegistryError errorCode="%s" codeContext="%s" '
             'severity="urn:oasis:names:tc:ebxml-regrep:ErrorSeverityType:Error"/></rs:RegistryErrorList>'
             '</rs:RegistryResponse>' % (FAILURE, code, esc(context)))
    return mtom_answer(request, '<RetrieveDocumentSetResponse xmlns="urn:ihe:iti:xds-b:2007">%s'
                       '</RetrieveDocumentSetResponse>' % inner, RETRIEVE, note=code)


def retrieve(request, body, sim, extra_part=False):
    unique_id, d = requested(body, sim)
    if d is None:
        return registry_error(request, "XDSDocumentUniqueIdError", "Document inconnu: %s" % unique_id)
    inner = ('<RetrieveDocumentSetResponse xmlns="urn:ihe:iti:xds-b:2007">'
             '<rs:RegistryResponse xmlns:rs="urn:oasis:names:tc:ebxml-regrep:xsd:rs:3.0" status="%s"/>'
             '<DocumentResponse><RepositoryUniqueId>%s</RepositoryUniqueId><DocumentUniqueId>%s</DocumentUniqueId>'
             '<mimeType>text/xml</mimeType><Document><xop:Include xmlns:xop="http://www.w3.org/2004/08/xop/include" '
             'href="cid:%s"/></Document></DocumentResponse></RetrieveDocumentSetResponse>'
             % (SUCCESS, sim.seed.repository_id, esc(unique_id), DOCUMENT_CID))
    attachments = [(DOCUMENT_CID, sim.seed.document_bytes(d))]
    if extra_part:
        attachments.append(("extra@simulateur.carvelin.test", b"extra"))
    return mtom_answer(request, inner, RETRIEVE, attachments, note=d["file"])


def provide(request, body, sim):
    """Success; the filing issue adds the checks of the submitted metadata."""
    request.log_extra["parts"] = [{"content_id": cid, "content_type": part.get_content_type(), "size": len(data)}
                                  for cid, part, data in request.parts]
    inner = ('<rs:RegistryResponse xmlns:rs="urn:oasis:names:tc:ebxml-regrep:xsd:rs:3.0" status="%s"/>' % SUCCESS)
    return mtom_answer(request, inner, PROVIDE, note="%d partie(s)" % len(request.parts))


SERVICE = soap_service("repository", PATHS, {
    "RetrieveDocumentSetRequest": Operation(RETRIEVE, retrieve),
    "ProvideAndRegisterDocumentSetRequest": Operation(PROVIDE, provide),
}, variants={
    "unknown_document": lambda r, b, s: registry_error(r, "XDSDocumentUniqueIdError", "Document inconnu"),
    "three_parts": lambda r, b, s: retrieve(r, b, s, extra_part=True),
})
