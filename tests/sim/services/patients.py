"""The record service "patients" (HL7 v3):

PRPA_IN201307UV02 with reason TEST_EXST  record existence and state
PRPA_IN201307UV02 with CNSLT_DATA         the administrative panel
PRPA_IN201314UV02 with MODIF_DATA         panel revision: the person
                                          elements change the stored panel
                                          (nullFlavor NASK clears a field),
                                          the new panel in PRPA_IN201315UV02
PRPA_IN201314UV02 with FERM               closing: the record is
                                          "terminated" today with the
                                          detected issue's code and text
Panel and revision requests pass the record checks of simkit.record (the
assertion names the body's patient).
Variants: "NF" (no record), "AE" (refused with a detail text), the
refusals of hl7.ack_variants; for the requested patient "non_renseigne"
(both family names "NON RENSEIGNE", the usage name without qualifier) and
"birth_31_february"; for a revision "revision_refused" (PRPA_IN201316UV02
with a text) and "two_children" (a _Response holding two messages)."""

from simkit import hl7
from simkit.record import read_vihf, record_patient
from simkit.seed import ins_oid, valid_ins
from simkit.service import Answer, Operation, soap_service
from simkit.soap import CheckFailed, envelope
from simkit.xmltext import attr, child, children, find_all, local, path, text

PATH = "/si-dmp-server/v2/services/patients"
ACTION = "urn:hl7-org:v3:"


class Refusal(Exception):
    pass


def requested_patient(body, sim, environment):
    """The patient named by the query's patientIdentifier, or None when the
    service has no record of it; Refusal for an identifier it cannot read."""
    value = path(next(iter(find_all(body, "patientIdentifier")), None), "value")
    ins, root = attr(value, "extension"), attr(value, "root")
    if not valid_ins(ins):
        raise Refusal("Identifiant de patient illisible: '%s'" % ins)
    if root != ins_oid(environment):
        raise Refusal("OID d'INS %s refusé dans cet environnement" % root)
    p = sim.seed.patient_by_ins(ins)
    return p if p and p.get("record") else None


def message_308(body, sim, request, ack, query_code, p=None, panel=False):
    env = request.environment
    out = ['<PRPA_IN201308UV02 %s>' % hl7.HL7_HEADER,
           hl7.wrapper_start("PRPA_IN201308UV02", attr(path(body, "sender", "device", "id"), "root"), request, sim), ack]
    reason = ""
    subject = ""
    if p is not None:
        r = p["record"]
        if r["authorisation"]:
            out.append('<attentionLine><keyWordText code="AUTORISATION" codeSystem="1.2.250.1.213.1.1.4.13"/>'
                       '<value xsi:type="CV" code="%s"/></attentionLine>' % r["authorisation"])
        out.append('<attentionLine><keyWordText code="STATUT_MT" codeSystem="1.2.250.1.213.1.1.4.13"/>'
                   '<value xsi:type="BL" value="%s"/></attentionLine>' % ("true" if r["treating"] else "false"))
        closed = r.get("closed")
        effective = '<effectiveTime value="%s"/>' % sim.seed.hl7_date(closed["date"]) if closed else ""
        subject = ('<subject typeCode="SUBJ"><registrationEvent classCode="REG" moodCode="EVN">'
                   '<statusCode code="%s"/>%s<subject1 typeCode="SBJ"><patient classCode="PAT">%s'
                   '<statusCode code="%s"/>%s%s%s</patient></subject1>'
                   '<custodian typeCode="CST"><assignedEntity classCode="ASSIGNED"><id root="%s"/>'
                   '</assignedEntity></custodian></registrationEvent></subject>'
                   % ("completed" if closed else "active", effective, hl7.patient_id(p, env),
                      "terminated" if closed else "active", hl7.patient_person(sim.seed, p, panel),
                      hl7.boolean_observation("subjectOf", "COMPTE_INTERNET_OUVERT", r["web_access"]),
                      hl7.boolean_observation("subjectOf", "RATTACHEMENT_ENS", r["ens"]), hl7.SERVICE_OID))
        if closed:
            reason = ('<reasonOf typeCode="RSON"><detectedIssueEvent classCode="ALRT" moodCode="EVN">'
                      '<code code="%s" codeSystem="1.2.250.1.213.4.1.2.4"/><text>%s</text>'
                      '</detectedIssueEvent></reasonOf>' % (closed["code"], hl7.esc(closed["reason"])))
    query = path(body, "controlActProcess", "queryByParameter", "queryId")
    out.append('<controlActProcess classCode="CACT" moodCode="EVN">'
               '<code code="PRPA_TE201308UV02" codeSystem="2.16.840.1.113883.1.6"/>%s%s'
               '<queryAck><queryId root="%s" extension="%s"/><queryResponseCode code="%s"/></queryAck>'
               '</controlActProcess></PRPA_IN201308UV02>'
               % (subject, reason, hl7.esc(attr(query, "root")), hl7.esc(attr(query, "extension")), query_code))
    return Answer(body=envelope("".join(out), ACTION + "PRPA_IN201308UV02", request.message_id),
                  note="patient %s" % (p["key"] if p else "-"))


def reason_code(body):
    return attr(next(iter(find_all(body, "reasonCode")), None), "code")


def is_existence_test(body):
    return reason_code(body) == "TEST_EXST"


def query(request, body, sim):
    if is_existence_test(body):
        read_vihf(request)
    else:
        if reason_code(body) not in ("CNSLT_DATA", ""):
            raise CheckFailed("reasonCode '%s' inconnu" % reason_code(body), "InvalidRequest")
        record_patient(request, sim, attr(path(next(iter(find_all(body, "patientIdentifier")), None), "value"),
                                          "extension"))
    try:
        p = requested_patient(body, sim, request.environment)
    except Refusal as refusal:
        return message_308(body, sim, request, hl7.acknowledgement("AE", "DMPInvalidRequest", str(refusal)), "AE")
    if p is None:
        return message_308(body, sim, request, hl7.acknowledgement("AA"), "NF")
    return message_308(body, sim, request, hl7.acknowledgement("AA"), "OK", p, panel=not is_existence_test(body))


CIVILITIES = {"M", "Mme", "Mlle"}
ADDRESS = {"streetAddressLine": "street", "additionalLocator": "complement", "postalCode": "postal",
           "city": "city", "country": "country"}
TELECOMS = {"HP": "fixe", "MC": "mobile"}


def _value(node):
    """None for an element that asks to clear its field (nullFlavor NASK)."""
    return None if attr(node, "nullFlavor") == "NASK" else text(node)


def _apply_address(target, addr):
    for tag, key in ADDRESS.items():
        node = child(addr, tag)
        if node is not None:
            target[key] = _value(node) or ""


def _telecoms(parent):
    found = {}
    for t in children(parent, "telecom"):
        value = attr(t, "value")
        if value.startswith("mailto:"):
            found["email"] = value[7:]
        elif value.startswith("tel:") and attr(t, "use") in TELECOMS:
            found[TELECOMS[attr(t, "use")]] = value[4:]
    return found


def apply_person(p, person):
    """The revision's person elements into the stored patient. The client
    sends the whole panel: telecoms are replaced by those sent, a name or
    address field changes when its element is there (NASK clears it)."""
    name = child(person, "name")
    if name is not None:
        prefix = child(name, "prefix")
        p["civility"] = text(prefix) if prefix is not None else ""
        for family in children(name, "family"):
            key = "birth_name" if attr(family, "qualifier") == "BR" else "usage_name"
            p[key] = _value(family) or ""
        given = child(name, "given")
        if given is not None:
            p["given"] = [text(given)] + p["given"][1:]
    gender = child(person, "administrativeGenderCode")
    if gender is not None:
        p["sex"] = attr(gender, "code")
    birth = child(person, "birthTime")
    if birth is not None:
        p["birth_hl7"] = attr(birth, "value")
    addr = child(person, "addr")
    if addr is not None:
        p["address"] = dict(p.get("address") or {})
        _apply_address(p["address"], addr)
    p["telecom"] = _telecoms(person)
    country = path(person, "birthPlace", "addr", "country")
    if country is not None:
        p["birth_country"] = _value(country) or ""
    relation = child(person, "personalRelationship")
    if relation is not None:
        holder = path(relation, "relationshipHolder1", "name")
        representative = {"relation": attr(child(relation, "code"), "code"),
                          "civility": text(child(holder, "prefix")), "given": text(child(holder, "given")),
                          "family": text(child(holder, "family")), "telecom": _telecoms(relation)}
        if child(relation, "addr") is not None:
            representative["address"] = {}
            _apply_address(representative["address"], child(relation, "addr"))
        p["representative"] = representative


def apply_revision(request, body, sim):
    """Checks the revision and applies it to the stored record."""
    reason = reason_code(body)
    patient = path(body, "controlActProcess", "subject", "registrationRequest", "subject1", "patient")
    p = record_patient(request, sim, attr(child(patient, "id"), "extension"))
    if p is None:  # a stand-in assertion: the stored panel, unchanged
        return next((c for c in (sim.seed.patient_by_ins(attr(i, "extension")) for i in find_all(body, "id"))
                     if c and c.get("record")), None)
    if reason not in ("MODIF_DATA", "FERM"):
        raise CheckFailed("reasonCode '%s' inconnu" % reason, "InvalidRequest")
    if attr(child(patient, "id"), "root") != ins_oid(request.environment):
        raise CheckFailed("OID d'INS %s refusé" % attr(child(patient, "id"), "root"), "InvalidRequest")
    status = attr(child(patient, "statusCode"), "code")
    if status != ("terminated" if reason == "FERM" else "active"):
        raise CheckFailed("statusCode '%s' pour %s" % (status, reason), "InvalidRequest")
    if path(body, "controlActProcess", "subject", "registrationRequest", "author") is None:
        raise CheckFailed("registrationRequest sans author", "InvalidRequest")
    if reason == "FERM":
        issue = path(body, "controlActProcess", "reasonOf", "detectedIssueEvent")
        code, why = attr(child(issue, "code"), "code"), text(child(issue, "text"))
        if not code or not why:
            raise CheckFailed("Fermeture sans code ni motif", "InvalidRequest")
        p["record"]["closed"] = {"date": "+0d", "code": code, "reason": why}
    else:
        apply_person(p, child(patient, "patientPerson"))
    return p


def revise(request, body, sim, refused=False, twice=False):
    """The revision is checked and applied; the answer holds the stored panel."""
    p = None if refused else apply_revision(request, body, sim)
    env = request.environment
    if p is None or refused:
        inner = ('<PRPA_IN201316UV02 %s>%s%s</PRPA_IN201316UV02>'
                 % (hl7.HL7_HEADER, hl7.wrapper_start("PRPA_IN201316UV02", "", request, sim),
                    hl7.acknowledgement("AE", "DMPInvalidRequest", "Révision refusée: <adresse> & téléphone")
                    if refused else hl7.acknowledgement("AE", "DMPPatientNotFound", "Dossier inconnu")))
    else:
        inner = ('<PRPA_IN201315UV02 %s>%s%s<controlActProcess classCode="CACT" moodCode="EVN">'
                 '<subject typeCode="SUBJ"><registrationEvent classCode="REG" moodCode="EVN">'
                 '<statusCode code="active"/><subject1 typeCode="SBJ"><patient classCode="PAT">%s'
                 '<statusCode code="active"/>%s</patient></subject1></registrationEvent></subject>'
                 '</controlActProcess></PRPA_IN201315UV02>'
                 % (hl7.HL7_HEADER, hl7.wrapper_start("PRPA_IN201315UV02", "", request, sim), hl7.acknowledgement("AA"),
                    hl7.patient_id(p, env), hl7.patient_person(sim.seed, p, True)))
    return Answer(body=envelope("<PRPA_IN201314UV02_Response>%s</PRPA_IN201314UV02_Response>"
                                % (inner * 2 if twice else inner),
                                ACTION + "PRPA_IN201314UV02Response", request.message_id),
                  note="revision %s" % (p["key"] if p else "-"))


def not_found(request, body, sim):
    return message_308(body, sim, request, hl7.acknowledgement("AA"), "NF")


def refused(request, body, sim, type_code="AE", code="DMPInvalidRequest", detail="Requête refusée par le service"):
    return message_308(body, sim, request, hl7.acknowledgement(type_code, code, detail), type_code)


def altered(**changes):
    """The ordinary answer for the requested patient with changes to it."""
    def answer(request, body, sim):
        p = requested_patient(body, sim, request.environment)
        if p is None:
            return not_found(request, body, sim)
        return message_308(body, sim, request, hl7.acknowledgement("AA"), "OK", dict(p, **changes),
                           panel=not is_existence_test(body))
    return answer


SERVICE = soap_service("patients", [PATH], {
    "PRPA_IN201307UV02": Operation(ACTION + "PRPA_IN201307UV02", query),
    "PRPA_IN201314UV02": Operation(ACTION + "PRPA_IN201314UV02", revise),
}, variants={
    "NF": not_found, "AE": refused, **hl7.ack_variants(refused),
    "non_renseigne": altered(birth_name="NON RENSEIGNE", usage_name="NON RENSEIGNE", usage_qualifier=""),
    "birth_31_february": altered(birth_hl7="20100231"),
    "revision_refused": lambda r, b, s: revise(r, b, s, refused=True),
    "two_children": lambda r, b, s: revise(r, b, s, twice=True),
})
