"""The XDS.b registry "registry": the stored queries (ITI-18) FindDocuments,
FindSubmissionSets, GetSubmissionSetAndContents, GetAssociations and
GetDocuments (which no longer finds a deleted entry), answered from the
seed with LeafClass or ObjectRef, and the
metadata update UpdateDocumentSet (ITI-57): a status change from the
entry's current status (else a RegistryError whose codeContext is
"entryUUID=<uuid>;status=<current URN>", errorCode unlisted by default,
a listed one in the variant "listed_status_error"), or a new version of an entry with only its
confidentiality codes changed (PreviousVersion the current one, else
XDSMetadataVersionError), kept in the state. The operation is the stored
query's name (from its id), or UpdateDocumentSet.

Variants: the registry errors "authorization_not_found", "access_forbidden",
"too_many", "unique_id_error", "replace_failed", "deprecated",
"version_error", "unlisted_error"; "success_warning" (Success with a
warning); "count_mismatch" (a totalResultCount that differs from the list);
"archived_behind" (the entry is archived just before the status change is
read, as if another professional had done it); "stubborn_archived" (every
deletion refused with the Archived context); "no_members" (submission sets
without any association); "listed_status_error" (a refused status change
with a listed errorCode)."""

from simkit.ebxml import ERROR, FAILURE, SUCCESS, WARNING, registry_response
from simkit.service import Answer, Operation, soap_operation, soap_service
from simkit.seed import ins_oid
from simkit.soap import MalformedList, envelope, stored_query_slots
from simkit.xmltext import attr, child, esc, find_all, local, parse, text

PATH = "/si-dmp-server/v2/services/registry"
QUERY_ACTION = "urn:ihe:iti:2007:RegistryStoredQuery"
UPDATE_ACTION = "urn:ihe:iti:2010:UpdateDocumentSet"

STORED_QUERIES = {
    "urn:uuid:14d4debf-8f97-4251-9a74-a90016b0af0d": "FindDocuments",
    "urn:uuid:f26abbcb-ac74-4422-8a30-edb644bbc1a9": "FindSubmissionSets",
    "urn:uuid:e8e3cb2c-e39c-46b9-99e4-c12f57260b83": "GetSubmissionSetAndContents",
    "urn:uuid:a7ae438b-4bc2-4642-93e9-be891f7bb155": "GetAssociations",
    "urn:uuid:5c4f972b-d56b-40ac-a5fc-c8ca9b40b9d4": "GetDocuments",
}
STATUS_URNS = {
    "Approved": "urn:oasis:names:tc:ebxml-regrep:StatusType:Approved",
    "Deprecated": "urn:oasis:names:tc:ebxml-regrep:StatusType:Deprecated",
    "Archived": "urn:asip:ci-sis:2010:StatusType:Archived",
    "Deleted": "urn:asip:ci-sis:2010:StatusType:Deleted",
}
CONFIDENTIALITY = [("MASQUE_PS", "Masqué aux professionnels de santé"),
                   ("INVISIBLE_PATIENT", "Non visible par le patient"),
                   ("INVISIBLE_REPRESENTANTS_LEGAUX", "Non visible par les représentants légaux du patient")]
HAS_MEMBER = "urn:oasis:names:tc:ebxml-regrep:AssociationType:HasMember"
RIM_NS = "urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0"
DOCUMENT_ENTRY = "urn:uuid:7edca82f-054d-47f2-a032-9b2a5b5186c1"
AUTHOR_XCN = "810001234567^TEST^Jean^^^^^^&amp;1.2.250.1.71.4.2.1&amp;ISO^D^^^IDNPS"


def operation(request):
    name = soap_operation(request)
    if name == "SubmitObjectsRequest":
        return "UpdateDocumentSet"
    if name == "AdhocQueryRequest":
        adhoc = next(iter(find_all(request.envelope, "AdhocQuery")), None)
        return STORED_QUERIES.get(attr(adhoc, "id"), "AdhocQuery:" + attr(adhoc, "id"))
    return name


def slot(name, *values):
    return ('<rim:Slot name="%s"><rim:ValueList>%s</rim:ValueList></rim:Slot>'
            % (name, "".join("<rim:Value>%s</rim:Value>" % v for v in values)))


def localized(element, value):
    return ('<rim:%s><rim:LocalizedString xml:lang="fr-FR" charset="UTF8" value="%s"/></rim:%s>'
            % (element, esc(value), element))


def classification(entry, scheme, node, name, coding, content=""):
    return ('<rim:Classification classificationScheme="urn:uuid:%s" classifiedObject="%s" '
            'nodeRepresentation="%s" id="%s-%s">%s%s%s</rim:Classification>'
            % (scheme, entry, esc(node), entry, scheme[:8], content,
               slot("codingScheme", esc(coding)) if coding else "", localized("Name", name) if name else ""))


def patient_cx(p, environment):
    return "%s^^^&amp;%s&amp;ISO^NH" % (p["ins"], ins_oid(environment))


def extrinsic_object(sim, p, d, environment):
    """A document entry with every slot, classification, identifier, status
    and version the program reads."""
    e = d["entry_uuid"]
    # A filed document keeps the author it was filed with.
    author = esc(d["author"]) if d.get("author") else AUTHOR_XCN if not d["by_patient"] else \
        "%s^%s^%s^^^^^^&amp;%s&amp;ISO^NH" % (p["ins"], esc(p["birth_name"]), esc(p["given"][0]), ins_oid(environment))
    confidentiality = classification(e, "f4f85eac-e6cb-4883-b524-f2705394840f", "N", "Normal", "2.16.840.1.113883.5.25")
    for bit, (node, name) in enumerate(CONFIDENTIALITY):
        if d["visibility"] & (1 << bit):
            confidentiality += classification(e, "f4f85eac-e6cb-4883-b524-f2705394840f", node, name,
                                              "1.2.250.1.213.1.1.4.13")
    return "".join([
        '<rim:ExtrinsicObject id="%s" lid="%s" status="%s" mimeType="text/xml" objectType="%s">'
        % (e, e, STATUS_URNS[d["status"]], DOCUMENT_ENTRY),
        slot("creationTime", sim.seed.hl7_time(d["created"])),
        slot("hash", d["hash"]), slot("languageCode", "fr-FR"),
        slot("legalAuthenticator", author),
        slot("repositoryUniqueId", sim.seed.repository_id),
        slot("serviceStartTime", sim.seed.hl7_time(d["service_start"], 8)),
        slot("serviceStopTime", sim.seed.hl7_time(d["service_stop"], 18)),
        slot("size", d["size"]),
        slot("sourcePatientId", "%s^^^&amp;1.2.250.1.213.4.1.1.1&amp;ISO^PI" % p["ins"]),
        slot("sourcePatientInfo", "PID-5|%s^%s^^^^^L" % (esc(p["birth_name"]), esc(p["given"][0])),
             "PID-7|" + sim.seed.hl7_date(p["birth"]), "PID-8|" + p["sex"]),
        localized("Name", d["title"]), localized("Description", d["comment"]),
        '<rim:VersionInfo versionName="%d"/>' % d["version"],
        classification(e, "93606bcf-9494-43ec-9b4e-a7748d1a838d", "", "", "",
                       slot("authorPerson", author) +
                       slot("authorInstitution", "Cabinet Médical Test^^^^^&amp;1.2.250.1.71.4.2.2&amp;ISO^IDNST^^^10B0123456")),
        classification(e, "41a5887f-8865-4c09-adf7-e362475b143a", d["class"], d["class_label"], "1.2.250.1.213.1.1.4.1"),
        confidentiality,
        classification(e, "a09d5840-386c-46f2-b5ad-9c3699a4309d", d["format"], d["format"], "1.3.6.1.4.1.19376.1.2.3"),
        classification(e, "f33fb8ac-18af-42cc-ae0e-ed0b0bdb91e1", "SA07", "Cabinet individuel", "1.2.250.1.71.4.2.4"),
        classification(e, "cccf5598-8b07-4b77-a05e-ae952c785ead", d["practice"], "Ambulatoire", "1.2.250.1.213.1.1.4.9"),
        classification(e, "f0306f51-975f-434e-a61c-c59651d33983", d["type"], d["type_label"], "2.16.840.1.113883.6.1"),
        '<rim:ExternalIdentifier id="%s-pid" registryObject="%s" identificationScheme="urn:uuid:58a6f841-87b3-4a3e-92fd-a8ffeff98427" value="%s">%s</rim:ExternalIdentifier>'
        % (e, e, patient_cx(p, environment), localized("Name", "XDSDocumentEntry.patientId")),
        '<rim:ExternalIdentifier id="%s-uid" registryObject="%s" identificationScheme="urn:uuid:2e82c1f6-a085-4c72-9da3-8640a32e42ab" value="%s">%s</rim:ExternalIdentifier>'
        % (e, e, d["unique_id"], localized("Name", "XDSDocumentEntry.uniqueId")),
        "</rim:ExtrinsicObject>"])


def registry_package(sim, p, set_id, documents, environment):
    first = documents[0]
    return ('<rim:RegistryPackage id="%s" lid="%s" status="%s">%s%s'
            '<rim:Classification classificationNode="urn:uuid:a54d6aa5-d40d-43f9-88c5-b4633d873bdd" '
            'classifiedObject="%s" id="%s-node"/>'
            '<rim:ExternalIdentifier id="%s-pid" registryObject="%s" identificationScheme='
            '"urn:uuid:6b5aea1a-874d-4603-a4bc-96a0a7b38446" value="%s">%s</rim:ExternalIdentifier>'
            '</rim:RegistryPackage>'
            % (set_id, set_id, STATUS_URNS["Approved"], slot("submissionTime", sim.seed.hl7_time(first["created"])),
               localized("Name", "Lot de documents"), set_id, set_id, set_id, set_id, patient_cx(p, environment),
               localized("Name", "XDSSubmissionSet.patientId")))


def association(set_id, d):
    return ('<rim:Association id="%s-member" associationType="%s" sourceObject="%s" targetObject="%s" '
            'objectType="urn:oasis:names:tc:ebxml-regrep:ObjectType:RegistryObject:Association">%s'
            '</rim:Association>' % (d["entry_uuid"], HAS_MEMBER, set_id, d["entry_uuid"],
                                    slot("SubmissionSetStatus", "Original")))


def query_response(request, objects, count=None, note=""):
    body = ('<query:AdhocQueryResponse xmlns:query="urn:oasis:names:tc:ebxml-regrep:xsd:query:3.0" '
            'xmlns:rim="urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0" status="%s" totalResultCount="%d">'
            '<rim:RegistryObjectList>%s</rim:RegistryObjectList></query:AdhocQueryResponse>'
            % (SUCCESS, len(objects) if count is None else count, "".join(objects)))
    return Answer(body=envelope(body, QUERY_ACTION + "Response", request.message_id), note=note)


def registry_error(request, code, context, action=QUERY_ACTION):
    return Answer(body=envelope(registry_response(FAILURE, [(code, context, ERROR)]), action + "Response",
                                request.message_id), note=code)


class Query:
    """A stored query's slots, its patient's record and the return type."""

    def __init__(self, request, body, sim):
        self.sim = sim
        self.environment = request.environment
        self.slots = stored_query_slots(child(body, "AdhocQuery"))
        self.object_ref = attr(child(body, "ResponseOption"), "returnType") == "ObjectRef"
        self.patient = None
        for name, values in self.slots.items():
            if name.endswith("PatientId") and values:
                ins, _, rest = values[0].partition("^")
                p = sim.seed.patient_by_ins(ins)
                if p and p.get("record") and ins_oid(self.environment) in rest:
                    self.patient = p

    def documents(self):
        return self.patient["record"]["documents"] if self.patient else []

    def wanted(self, d):
        statuses = self.slots.get("$XDSDocumentEntryStatus")
        if statuses and STATUS_URNS[d["status"]] not in statuses:
            return False
        types = self.slots.get("$XDSDocumentEntryTypeCode")
        if types and not any(t.split("^")[0] == d["type"] for t in types):
            return False
        after = self.slots.get("$XDSDocumentEntryServiceStartTimeFrom")
        if after and self.sim.seed.hl7_time(d["service_start"], 8) < after[0]:
            return False
        before = self.slots.get("$XDSDocumentEntryServiceStopTimeTo")
        return not (before and self.sim.seed.hl7_time(d["service_stop"], 18) > before[0])

    def entries(self, documents):
        if self.object_ref:
            return ['<rim:ObjectRef id="%s"/>' % d["entry_uuid"] for d in documents]
        return [extrinsic_object(self.sim, self.patient, d, self.environment) for d in documents]


def find_documents(request, body, sim):
    q = Query(request, body, sim)
    found = [d for d in q.documents() if q.wanted(d)]
    return query_response(request, q.entries(found), note="%d document(s)" % len(found))


def submission_sets(q):
    sets = {}
    for d in q.documents():
        sets.setdefault(d["submission"], []).append(d)
    return sets


def find_submission_sets(request, body, sim):
    q = Query(request, body, sim)
    sets = submission_sets(q)
    after = q.slots.get("$XDSSubmissionSetSubmissionTimeFrom")
    before = q.slots.get("$XDSSubmissionSetSubmissionTimeTo")
    chosen = [s for s, docs in sets.items()
              if not (after and sim.seed.hl7_time(docs[0]["created"]) < after[0])
              and not (before and sim.seed.hl7_time(docs[0]["created"]) > before[0])]
    return query_response(request, ['<rim:ObjectRef id="%s"/>' % s for s in chosen],
                          note="%d lot(s)" % len(chosen))


def set_of(sim, set_id):
    for p in sim.seed.records():
        docs = [d for d in p["record"]["documents"] if d["submission"] == set_id]
        if docs:
            return p, docs
    return None, []


def submission_set_and_contents(request, body, sim):
    q = Query(request, body, sim)
    set_id = (q.slots.get("$XDSSubmissionSetEntryUUID") or [""])[0]
    p, docs = set_of(sim, set_id)
    if p is None:
        return query_response(request, [], note="lot inconnu")
    q.patient = p
    docs = [d for d in docs if q.wanted(d)]
    objects = ([registry_package(sim, p, set_id, docs or set_of(sim, set_id)[1], request.environment)] +
               q.entries(docs) + [association(set_id, d) for d in docs])
    return query_response(request, objects, note="%d document(s)" % len(docs))


def get_associations(request, body, sim):
    q = Query(request, body, sim)
    objects = []
    for set_id in q.slots.get("$uuid", []):
        objects += [association(set_id, d) for d in set_of(sim, set_id)[1]]
    return query_response(request, objects, note="%d association(s)" % len(objects))


def get_documents(request, body, sim):
    q = Query(request, body, sim)
    found = []
    for key, field in (("$XDSDocumentEntryEntryUUID", "entry_uuid"), ("$XDSDocumentEntryUniqueId", "unique_id")):
        for value in q.slots.get(key, []):
            p, d = sim.seed.document_by(field, value)
            if d is not None and d["status"] != "Deleted":
                q.patient = p
                found.append(d)
    return query_response(request, q.entries(found), note="%d document(s)" % len(found))


def update_answer(request, errors=(), note="Success"):
    status = FAILURE if any(severity == ERROR for _, _, severity in errors) else SUCCESS
    return Answer(body=envelope(registry_response(status, errors), UPDATE_ACTION + "Response", request.message_id),
                  note=note)


# ---- Metadata updates (ITI-57) ----

STATUS_ERROR = "DMPStatusChangeRefused"  # not among the program's listed codes
CONFIDENTIALITY_SCHEME = "urn:uuid:f4f85eac-e6cb-4883-b524-f2705394840f"
UPDATE_STATUS = "urn:ihe:iti:2010:AssociationType:UpdateAvailabilityStatus"


def association_slots(a):
    return {attr(s, "name"): [text(v) for v in find_all(s, "Value")] for s in find_all(a, "Slot")}


def entry_summary(entry):
    """What a metadata update must keep of an entry: everything but its id,
    its version and its confidentiality codes, as comparable values."""
    slots = sorted((attr(s, "name"), tuple(text(v) for v in find_all(s, "Value")))
                   for s in entry if local(s.tag) == "Slot")
    names = [(local(n.tag), attr(child(n, "LocalizedString"), "value")) for n in entry
             if local(n.tag) in ("Name", "Description")]
    classes = sorted((attr(c, "classificationScheme"), attr(c, "nodeRepresentation")) for c in entry
                     if local(c.tag) == "Classification" and attr(c, "classificationScheme") != CONFIDENTIALITY_SCHEME)
    identifiers = sorted((attr(e, "identificationScheme"), attr(e, "value")) for e in entry
                         if local(e.tag) == "ExternalIdentifier")
    keep = {k: v for k, v in entry.attrib.items() if k not in ("id",)}
    return {"slots": slots, "names": names, "classifications": classes, "identifiers": identifiers,
            "attributes": keep}


def visibility_bits(entry):
    nodes = [attr(c, "nodeRepresentation") for c in entry if local(c.tag) == "Classification"
             and attr(c, "classificationScheme") == CONFIDENTIALITY_SCHEME]
    return sum(1 << bit for bit, (node, _) in enumerate(CONFIDENTIALITY) if node in nodes)


def change_status(request, sim, a, refuse=None, code=STATUS_ERROR):
    """refuse(d, slots): the status the registry claims instead of the change, or None."""
    uuid = attr(a, "targetObject")
    p, d = sim.seed.document_by("entry_uuid", uuid)
    if d is None:
        return [("XDSUnknownEntry", "entryUUID=%s" % uuid, ERROR)], "entrée inconnue"
    slots = association_slots(a)
    original, new = (slots.get("OriginalStatus") or [""])[0], (slots.get("NewStatus") or [""])[0]
    claimed = refuse(d, new) if refuse else None
    current = STATUS_URNS[d["status"]]
    if claimed or original != current:
        return [(code, "entryUUID=%s;status=%s" % (uuid, claimed or current), ERROR)], "refus"
    names = {urn: name for name, urn in STATUS_URNS.items()}
    if new not in names:
        return [("XDSRegistryMetadataError", "NewStatus=%s" % new, ERROR)], "statut inconnu"
    d["status"] = names[new]
    return [], "%s -> %s" % (uuid, d["status"])


def update_entry(request, sim, a, entries):
    """A new version of an entry: its confidentiality codes, nothing else."""
    target = attr(a, "targetObject")
    entry = next((e for e in entries if attr(e, "id") == target), None)
    if entry is None:
        return [("XDSRegistryMetadataError", "targetObject=%s" % target, ERROR)], "entrée absente"
    p, d = sim.seed.document_by("entry_uuid", attr(entry, "lid"))
    if d is None:
        return [("XDSUnknownEntry", "lid=%s" % attr(entry, "lid"), ERROR)], "entrée inconnue"
    previous = (association_slots(a).get("PreviousVersion") or [""])[0]
    if previous != str(d["version"]):
        return [("XDSMetadataVersionError", "PreviousVersion=%s;version=%d" % (previous, d["version"]), ERROR)], \
            "version"
    stored = parse(extrinsic_object(sim, p, d, request.environment).replace(
        "<rim:ExtrinsicObject ", '<rim:ExtrinsicObject xmlns:rim="%s" ' % RIM_NS, 1).encode("utf-8"))
    if attr(child(entry, "VersionInfo"), "versionName") != str(d["version"] + 1):
        return [("XDSMetadataVersionError", "versionName", ERROR)], "version"
    before, after = entry_summary(stored), entry_summary(entry)
    changed = [k for k in before if before[k] != after[k]]
    if changed:
        return [("XDSRegistryMetadataError", "changé: " + ",".join(changed), ERROR)], "entrée modifiée"
    d["visibility"] = visibility_bits(entry)
    d["version"] += 1
    return [], "visibilité %d, version %d" % (d["visibility"], d["version"])


def update_document_set(request, body, sim, errors=(), refuse=None, code=STATUS_ERROR):
    """Status changes (UpdateAvailabilityStatus) and new entry versions
    (HasMember with PreviousVersion) of the seed's entries."""
    objects = child(body, "RegistryObjectList")
    entries = [e for e in objects if local(e.tag) == "ExtrinsicObject"] if objects is not None else []
    errors, notes = list(errors), []
    for a in (objects if objects is not None else []):
        if local(a.tag) != "Association":
            continue
        if attr(a, "associationType") == UPDATE_STATUS:
            found, note = change_status(request, sim, a, refuse, code)
        elif attr(a, "associationType") == HAS_MEMBER and "PreviousVersion" in association_slots(a):
            found, note = update_entry(request, sim, a, entries)
        else:
            continue
        errors += found
        notes.append(note)
    return update_answer(request, errors, "; ".join(notes) or "Success")


def archived_behind(d, new):
    """The list showed the entry Approved; the registry has archived it since."""
    if d["status"] == "Approved":
        d["status"] = "Archived"
    return None


def stubborn(d, new):
    """Every deletion is refused as if the entry were archived."""
    return STATUS_URNS["Archived"] if new == STATUS_URNS["Deleted"] else None


def error_variant(code, context):
    return lambda request, body, sim: registry_error(request, code, context)


def count_mismatch(request, body, sim):
    q = Query(request, body, sim)
    found = [d for d in q.documents() if q.wanted(d)]
    return query_response(request, q.entries(found), count=len(found) + 1, note="totalResultCount faux")


def reading_lists(answer):
    """A stored query whose list values do not read is a registry error naming the slot."""
    def run(request, body, sim):
        try:
            return answer(request, body, sim)
        except MalformedList as bad:
            return registry_error(request, "XDSRegistryError", str(bad))
    return run


SERVICE = soap_service("registry", [PATH], {
    "FindDocuments": Operation(QUERY_ACTION, reading_lists(find_documents)),
    "FindSubmissionSets": Operation(QUERY_ACTION, reading_lists(find_submission_sets)),
    "GetSubmissionSetAndContents": Operation(QUERY_ACTION, reading_lists(submission_set_and_contents)),
    "GetAssociations": Operation(QUERY_ACTION, reading_lists(get_associations)),
    "GetDocuments": Operation(QUERY_ACTION, reading_lists(get_documents)),
    "UpdateDocumentSet": Operation(UPDATE_ACTION, update_document_set),
}, operation=operation, variants={
    "authorization_not_found": error_variant("DMPAuthorizationNotFound", "Aucune autorisation d'accès au dossier"),
    "access_forbidden": error_variant("DMPAccessForbidden", "Accès interdit par le patient"),
    "replace_failed": error_variant("XDSReplaceFailed", "Remplacement impossible"),
    "too_many": error_variant("XDSTooManyResults", "Trop de résultats (plus de 200)"),
    "unique_id_error": error_variant("XDSDocumentUniqueIdError", "Identifiant unique déjà utilisé"),
    "deprecated": error_variant("XDSRegistryDeprecatedDocumentError", "Le document est obsolète"),
    "version_error": error_variant("XDSMetadataVersionError", "Version de métadonnées périmée"),
    "unlisted_error": error_variant("DMPInternalError", "Erreur interne & inattendue <test>"),
    "success_warning": lambda r, b, s: update_document_set(r, b, s, [("DMPWarning", "Métadonnée ignorée", WARNING)]),
    "archived_behind": lambda r, b, s: update_document_set(r, b, s, refuse=archived_behind),
    "stubborn_archived": lambda r, b, s: update_document_set(r, b, s, refuse=stubborn),
    "no_members": lambda r, b, s: query_response(r, [], note="aucune association"),
    "listed_status_error": lambda r, b, s: update_document_set(r, b, s, code="XDSRegistryDeprecatedDocumentError"),
    "count_mismatch": count_mismatch,
})
