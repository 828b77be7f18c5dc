"""The XDS.b repository "repository" (and "repositoryCPE", the same service
at another address):

RetrieveDocumentSet (ITI-43)   an MTOM answer of two parts written by
                               Python's email package: the SOAP answer,
                               then the document's bytes
ProvideAndRegisterDocumentSet-b (ITI-41)   the MTOM request is read with
                               the email package (its parts logged), checked
                               by simkit.filing, its documents stored in the
                               record; answered Success as MTOM
Variants: "unknown_document" (XDSDocumentUniqueIdError); retrieval answers
"one_part" (the SOAP part only), "three_parts" (an extra part),
"empty_first_part" (an empty SOAP part), "empty_second_part" (an empty
document part), "fault_in_root" (a SOAP fault as the root part); filing
answers "failure_no_errors" (status Failure without an error list),
"success_warning" (Success with a warning), the registry errors
"replace_failed", "deprecated_document", "version_error",
"access_forbidden", "unlisted_error" (nothing stored), and
"empty_answer_part" (an empty SOAP part)."""

from simkit.ebxml import ERROR, FAILURE, SUCCESS, WARNING, registry_response
from simkit.filing import check_submission, store
from simkit.mtom import email_multipart, multipart
from simkit.record import record_patient
from simkit.seed import ins_oid
from simkit.service import Answer, Operation, soap_service
from simkit.soap import CheckFailed, envelope, fault
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
    """The submission checked (simkit.filing); a Success without error
    stores its documents in the patient's record."""
    request.log_extra["parts"] = [{"content_id": cid, "content_type": part.get_content_type(), "size": len(data)}
                                  for cid, part, data in request.parts]
    if not find_all(body, "SubmitObjectsRequest"):
        # A transport probe without metadata: answered, nothing checked or stored.
        request.log_extra["checks"] = ["sans métadonnées"]
        return mtom_answer(request, registry_response(status, errors), PROVIDE, note="sans métadonnées")
    p = record_patient(request, sim)
    if p is None:
        raise CheckFailed("Assertion sans resource-id", "InvalidResource")
    submission = check_submission(request, sim, "%s^^^&%s&ISO^NH" % (p["ins"], ins_oid(request.environment)))
    if status == SUCCESS and not any(severity == ERROR for _, _, severity in errors):
        with sim.lock:
            store(sim, p, submission)
    request.log_extra["filed"] = [uid for _, uid, _, _ in submission["documents"]]
    return mtom_answer(request, registry_response(status, errors), PROVIDE, note="%d partie(s)" % len(request.parts))


def provide_error(code, context):
    return lambda r, b, s: provide(r, b, s, FAILURE, [(code, context, ERROR)])


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
    "replace_failed": provide_error("XDSReplaceFailed", "Remplacement impossible"),
    "deprecated_document": provide_error("XDSRegistryDeprecatedDocumentError", "Le document remplacé est obsolète"),
    "version_error": provide_error("XDSMetadataVersionError", "Version de métadonnées périmée"),
    "access_forbidden": provide_error("DMPAccessForbidden", "Accès interdit par le patient"),
    "unlisted_error": provide_error("DMPInternalError", "Erreur interne & inattendue <test>"),
    "empty_answer_part": lambda r, b, s: mtom_answer(r, "", PROVIDE, root=b""),
})
