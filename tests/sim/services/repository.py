"""The XDS.b repository "repository" (and "repositoryCPE", the same service
at another address):

RetrieveDocumentSet (ITI-43)   an MTOM answer of two parts written by
                               Python's email package: the SOAP answer,
                               then the document's bytes
ProvideAndRegisterDocumentSet-b (ITI-41)   the MTOM request is read with
                               the email package (its parts logged);
                               answered Success as MTOM
Variants: "unknown_document" (XDSDocumentUniqueIdError); retrieval answers
"one_part" (the SOAP part only), "three_parts" (an extra part),
"empty_first_part" (an empty SOAP part), "empty_second_part" (an empty
document part), "fault_in_root" (a SOAP fault as the root part); filing answers "failure_no_errors" (status Failure without
an error list) and "success_warning" (Success with a warning)."""

from simkit.ebxml import ERROR, FAILURE, SUCCESS, WARNING, registry_response
from simkit.mtom import email_multipart, multipart
from simkit.service import Answer, Operation, soap_service
from simkit.soap import envelope, fault
from simkit.xmltext import child, esc, find_all, text

PATHS = ["/si-dmp-server/v2/services/repository", "/si-dmp-server/v2/services/repositoryCPE"]
RETRIEVE = "urn:ihe:iti:2007:RetrieveDocumentSet"
PROVIDE = "urn:ihe:iti:2007:ProvideAndRegisterDocumentSet-b"
DOCUMENT_CID = "document.1@simulateur.carvelin.test"


def mtom_answer(request, inner, action, attachments=(), note="", root=None, writer=multipart):
    """root: the SOAP part's bytes instead of the envelope around inner."""
    soap_part = envelope(inner, action + "Response", request.message_id) if root is None else root
    content_type, body = writer(soap_part, list(attachments), action + "Response", request.message_id)
    return Answer(body=body, content_type=content_type, note=note)


def requested(body, sim):
    request = next(iter(find_all(body, "DocumentRequest")), None)
    unique_id = text(child(request, "DocumentUniqueId")).strip()
    return unique_id, sim.seed.document_by("unique_id", unique_id)[1]


def registry_error(request, code, context):
    inner = registry_response(FAILURE, [(code, context, ERROR)])
    return mtom_answer(request, '<RetrieveDocumentSetResponse xmlns="urn:ihe:iti:xds-b:2007">%s'
                       '</RetrieveDocumentSetResponse>' % inner, RETRIEVE, note=code, writer=email_multipart)


def retrieve(request, body, sim, parts=2, empty_part=None, root=None):
    """The document in an MTOM answer of parts parts (1 to 3); empty_part
    (1 or 2) leaves that part without bytes; root replaces the SOAP part."""
    unique_id, d = requested(body, sim)
    if d is None:
        return registry_error(request, "XDSDocumentUniqueIdError", "Document inconnu: %s" % unique_id)
    inner = ('<RetrieveDocumentSetResponse xmlns="urn:ihe:iti:xds-b:2007">'
             '<rs:RegistryResponse xmlns:rs="urn:oasis:names:tc:ebxml-regrep:xsd:rs:3.0" status="%s"/>'
             '<DocumentResponse><RepositoryUniqueId>%s</RepositoryUniqueId><DocumentUniqueId>%s</DocumentUniqueId>'
             '<mimeType>text/xml</mimeType><Document><xop:Include xmlns:xop="http://www.w3.org/2004/08/xop/include" '
             'href="cid:%s"/></Document></DocumentResponse></RetrieveDocumentSetResponse>'
             % (SUCCESS, sim.seed.repository_id, esc(unique_id), DOCUMENT_CID))
    attachments = [(DOCUMENT_CID, b"" if empty_part == 2 else sim.seed.document_bytes(d)),
                   ("extra@simulateur.carvelin.test", b"extra")][:parts - 1]
    if empty_part == 1:
        root = b""
    return mtom_answer(request, inner, RETRIEVE, attachments, note=d["file"], root=root, writer=email_multipart)


def provide(request, body, sim, status=SUCCESS, errors=()):
    """Success; the filing issue adds the checks of the submitted metadata."""
    request.log_extra["parts"] = [{"content_id": cid, "content_type": part.get_content_type(), "size": len(data)}
                                  for cid, part, data in request.parts]
    return mtom_answer(request, registry_response(status, errors), PROVIDE, note="%d partie(s)" % len(request.parts))


SERVICE = soap_service("repository", PATHS, {
    "RetrieveDocumentSetRequest": Operation(RETRIEVE, retrieve),
    "ProvideAndRegisterDocumentSetRequest": Operation(PROVIDE, provide),
}, variants={
    "unknown_document": lambda r, b, s: registry_error(r, "XDSDocumentUniqueIdError", "Document inconnu"),
    "one_part": lambda r, b, s: retrieve(r, b, s, parts=1),
    "three_parts": lambda r, b, s: retrieve(r, b, s, parts=3),
    "empty_first_part": lambda r, b, s: retrieve(r, b, s, empty_part=1),
    "empty_second_part": lambda r, b, s: retrieve(r, b, s, empty_part=2),
    "fault_in_root": lambda r, b, s: retrieve(r, b, s, root=fault("Document indisponible")),
    "failure_no_errors": lambda r, b, s: provide(r, b, s, FAILURE),
    "success_warning": lambda r, b, s: provide(r, b, s, SUCCESS, [("DMPWarning", "Document déjà connu", WARNING)]),
})
