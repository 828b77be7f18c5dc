"""HL7 v3 pieces of the patient services' answers (the transmission wrapper,
the acknowledgement, the patient and its person) built from the seed."""

from .seed import ins_oid
from .soap import new_id
from .xmltext import esc

HL7_HEADER = ('xmlns="urn:hl7-org:v3" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
              'ITSVersion="XML_1.0"')
SERVICE_OID = "1.2.250.1.213.4.1.1.1"


def wrapper_start(interaction, request_id_root, request, sim):
    """id, creationTime, interactionId, processing codes, receiver and sender;
    the id comes from the request and the time from the simulator's day."""
    return ('<id root="%s" extension="%s"/><creationTime value="%s"/>'
            '<interactionId root="2.16.840.1.113883.1.6" extension="%s"/>'
            '<processingCode code="%s"/><processingModeCode code="T"/><acceptAckCode code="NE"/>'
            '<receiver typeCode="RCV"><device classCode="DEV" determinerCode="INSTANCE"><id root="%s"/></device></receiver>'
            '<sender typeCode="SND"><device classCode="DEV" determinerCode="INSTANCE"><id root="%s"/>'
            '<softwareName>DMP</softwareName></device></sender>'
            % (SERVICE_OID, new_id(request.message_id + interaction), sim.seed.hl7_time("+0d", 12), interaction,
               "D" if request.environment == "formation" else "P",
               esc(request_id_root or "2.25"), SERVICE_OID))


def acknowledgement(type_code, detail_code="", detail_text="", as_element=False):
    """The acknowledgement: typeCode as an attribute (PRPA_IN201308UV02) or
    as an element (PRPA_IN201306UV02), with an optional detail."""
    detail = ""
    if detail_code or detail_text:
        detail = ('<acknowledgementDetail typeCode="E"><code code="%s"/><text>%s</text></acknowledgementDetail>'
                  % (esc(detail_code), esc(detail_text)))
    if as_element:
        return '<acknowledgement><typeCode code="%s"/>%s</acknowledgement>' % (type_code, detail)
    return '<acknowledgement typeCode="%s">%s</acknowledgement>' % (type_code, detail)


def boolean_observation(wrapper, code, value):
    return ('<%s><administrativeObservation classCode="OBS" moodCode="EVN"><code code="%s" '
            'codeSystem="1.2.250.1.213.1.1.4.13"/><value xsi:type="BL" value="%s"/>'
            '</administrativeObservation></%s>' % (wrapper, code, "true" if value else "false", wrapper))


# The detail codes of refused acknowledgements, and one the client does not know.
ACK_DETAILS = ("DMPTooManyResult", "DMPInvalidRequest", "DMPAuthenticationError", "DMPAuthorizationNotFound",
               "DMPErreurInconnue")


def ack_variants(answer):
    """answer(request, body, sim, acknowledgement arguments) for each refusal
    "ae:CODE" and "ack_other" (neither AA nor AE)."""
    variants = {"ae:" + code: (lambda code: lambda r, b, s: answer(r, b, s, "AE", code, "Refus %s <détail> & texte"
                                                                     % code))(code) for code in ACK_DETAILS}
    variants["ack_other"] = lambda r, b, s: answer(r, b, s, "AR", "DMPInvalidRequest", "Accusé de réception AR")
    return variants


def name_element(civility, given, family_usage, family_birth, all_given=False, usage_qualifier="SP"):
    parts = ""
    if civility:
        parts += "<prefix>%s</prefix>" % esc(civility)
    for g in (given if all_given else given[:1]):
        parts += "<given>%s</given>" % esc(g)
    parts += '<family qualifier="BR">%s</family>' % esc(family_birth)
    if family_usage:
        qualifier = ' qualifier="%s"' % usage_qualifier if usage_qualifier else ""
        parts += '<family%s>%s</family>' % (qualifier, esc(family_usage))
    return "<name>%s</name>" % parts


def address_element(a):
    if not a:
        return ""
    fields = [("streetAddressLine", "street"), ("additionalLocator", "complement"),
              ("postalCode", "postal"), ("city", "city"), ("country", "country")]
    return "<addr>%s</addr>" % "".join("<%s>%s</%s>" % (tag, esc(a[key]), tag)
                                       for tag, key in fields if a.get(key))


def telecom_elements(t):
    t = t or {}
    out = ""
    if t.get("fixe"):
        out += '<telecom use="HP" value="tel:%s"/>' % esc(t["fixe"])
    if t.get("mobile"):
        out += '<telecom use="MC" value="tel:%s"/>' % esc(t["mobile"])
    if t.get("email"):
        out += '<telecom value="mailto:%s"/>' % esc(t["email"])
    return out


def representative(r):
    if not r:
        return ""
    code_system = "2.16.840.1.113883.1.11.19830" if r["relation"] == "PRN" else "2.16.840.1.113883.1.11.19579"
    return ('<personalRelationship classCode="PRS"><code code="%s" codeSystem="%s"/>%s%s'
            '<relationshipHolder1 classCode="PSN" determinerCode="INSTANCE"><name><prefix>%s</prefix>'
            '<given>%s</given><family>%s</family></name></relationshipHolder1></personalRelationship>'
            % (esc(r["relation"]), code_system, address_element(r.get("address")),
               telecom_elements(r.get("telecom")), esc(r["civility"]), esc(r["given"]), esc(r["family"])))


def patient_person(seed, p, panel):
    """patientPerson: names, sex and birth time; with panel, the address,
    telecoms, representative and birthplace too (HL7 v3 element order). A
    variant may set "usage_qualifier" ("": none) and "birth_hl7" in p."""
    out = ('<patientPerson classCode="PSN" determinerCode="INSTANCE">' +
           name_element(p["civility"], p["given"], p["usage_name"], p["birth_name"],
                        usage_qualifier=p.get("usage_qualifier", "SP")))
    if panel:
        out += telecom_elements(p.get("telecom"))
    out += ('<administrativeGenderCode code="%s" codeSystem="2.16.840.1.113883.5.1"/><birthTime value="%s"/>'
            % (p["sex"], p.get("birth_hl7") or seed.hl7_date(p["birth"])))
    if panel:
        out += address_element(p.get("address"))
        out += representative(p.get("representative"))
        country = p.get("birth_country", "FRANCE" if not p["birthplace"].startswith("99") else "SENEGAL")
        out += ('<birthPlace classCode="BIRTHPL"><addr><county>%s</county>%s</addr></birthPlace>'
                % (esc(p["birthplace"]), "<country>%s</country>" % esc(country) if country else ""))
    return out + "</patientPerson>"


def patient_id(p, environment):
    return '<id root="%s" extension="%s"/>' % (ins_oid(environment), p["ins"])
