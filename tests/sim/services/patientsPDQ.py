"""The patient search "patientsPDQ" (HL7 v3 PRPA_IN201305UV02 answered by
PRPA_IN201306UV02). Criteria: sex, birth time, family name (birth or
usage name) and given name; value use="SRCH" makes the names prefixes.
More than 50 matches: AE DMPTooManyResult; no criterion: AE DMPInvalidRequest.
Variants: "empty" (AA with no patient), "too_many", the refusals of
hl7.ack_variants."""

import unicodedata

from simkit import hl7
from simkit.service import Answer, Operation, soap_service
from simkit.soap import envelope
from simkit.xmltext import attr, child, path, text

PATH = "/si-dmp-server/v2/services/patientsPDQ"
ACTION = "urn:hl7-org:v3:PRPA_IN201305UV02"
MAX_RESULTS = 50


def fold(name):
    """Upper case without accents, as the service compares names."""
    return "".join(c for c in unicodedata.normalize("NFD", name.upper()) if not unicodedata.combining(c))


def criteria(body):
    params = path(body, "controlActProcess", "queryByParameter", "parameterList")
    name = path(params, "livingSubjectName", "value")
    return {"sex": attr(path(params, "livingSubjectAdministrativeGender", "value"), "code"),
            "birth": attr(path(params, "livingSubjectBirthTime", "value"), "value"),
            "family": fold(text(child(name, "family")).strip()),
            "given": fold(text(child(name, "given")).strip()),
            "prefix": attr(name, "use") == "SRCH"}


def matches(sim, p, c):
    def same(value, wanted):
        value = fold(value)
        return value.startswith(wanted) if c["prefix"] else value == wanted
    if c["sex"] and p["sex"] != c["sex"]:
        return False
    if c["birth"] and sim.seed.hl7_date(p["birth"]) != c["birth"][:8]:
        return False
    if c["family"] and not (same(p["birth_name"], c["family"]) or same(p["usage_name"], c["family"])):
        return False
    return not c["given"] or any(same(g, c["given"]) for g in p["given"])


def message(request, body, sim, ack, found):
    subjects = "".join(
        '<subject typeCode="SUBJ"><registrationEvent classCode="REG" moodCode="EVN"><statusCode code="active"/>'
        '<subject1 typeCode="SBJ"><patient classCode="PAT">%s<statusCode code="active"/>%s%s</patient></subject1>'
        '</registrationEvent></subject>'
        % (hl7.patient_id(p, request.environment), hl7.patient_person(sim.seed, p, False),
           hl7.boolean_observation("subjectOf2", "OPPOSITION_ACCES_URGENCE", p["record"]["emergency_opposition"]))
        for p in found)
    query = path(body, "controlActProcess", "queryByParameter", "queryId")
    xml = ('<PRPA_IN201306UV02 %s>%s%s<controlActProcess classCode="CACT" moodCode="EVN">'
           '<code code="PRPA_TE201306UV02" codeSystem="2.16.840.1.113883.1.6"/>%s'
           '<queryAck><queryId root="%s" extension="%s"/><queryResponseCode code="%s"/>'
           '<resultTotalQuantity value="%d"/><resultCurrentQuantity value="%d"/><resultRemainingQuantity value="0"/>'
           '</queryAck></controlActProcess></PRPA_IN201306UV02>'
           % (hl7.HL7_HEADER, hl7.wrapper_start("PRPA_IN201306UV02", attr(path(body, "sender", "device", "id"), "root"),
                                               request, sim),
              ack, subjects, hl7.esc(attr(query, "root")), hl7.esc(attr(query, "extension")),
              "OK" if found else "NF", len(found), len(found)))
    return Answer(body=envelope(xml, "urn:hl7-org:v3:PRPA_IN201306UV02", request.message_id),
                  note="%d patient(s)" % len(found))


def search(request, body, sim):
    c = criteria(body)
    if not (c["sex"] or c["birth"] or c["family"] or c["given"]):
        return message(request, body, sim, hl7.acknowledgement("AE", "DMPInvalidRequest",
                                                               "Aucun critère de recherche", True), [])
    found = [p for p in sim.seed.records() if matches(sim, p, c)]
    if len(found) > MAX_RESULTS:
        return message(request, body, sim, hl7.acknowledgement(
            "AE", "DMPTooManyResult", "Trop de patients correspondent aux critères (%d)" % len(found), True), [])
    return message(request, body, sim, hl7.acknowledgement("AA", as_element=True), found)


def too_many(request, body, sim):
    return message(request, body, sim, hl7.acknowledgement(
        "AE", "DMPTooManyResult", "Trop de patients correspondent aux critères", True), [])


SERVICE = soap_service("patientsPDQ", [PATH], {"PRPA_IN201305UV02": Operation(ACTION, search)},
                       variants={"empty": lambda r, b, s: message(r, b, s, hl7.acknowledgement("AA", as_element=True), []),
                                 "too_many": too_many,
                                 **hl7.ack_variants(lambda r, b, s, type_code, code, detail: message(
                                     r, b, s, hl7.acknowledgement(type_code, code, detail, True), []))})
