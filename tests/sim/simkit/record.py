"""What the record services read from a request's identity assertion, and
the checks they share: the patient the assertion names, the access mode
(normal or emergency with its reason) and a minor's secret mode. Each
request's reading goes into the request log under "vihf"."""

import datetime

from .seed import ins_oid
from .soap import CheckFailed, SAML_NS, assertion_of
from .xmltext import attr, child, find_all, local, text

RESOURCE_ID = "urn:oasis:names:tc:xacml:2.0:resource:resource-id"
PURPOSE = "urn:oasis:names:tc:xspa:1.0:subject:purposeofuse"
CONFIDENTIALITY = "urn:oasis:names:tc:xspa:1.0:resource:patient:hl7:confidentiality-code"
REASON = "Mode_Acces_Raison"
MAJORITY = 18  # the parameters document's age-majorite


def _attributes(assertion):
    """Name -> the first AttributeValue element of each saml:Attribute."""
    found = {}
    for a in find_all(assertion, "Attribute"):
        if a.tag != "{%s}Attribute" % SAML_NS:
            continue
        value = child(a, "AttributeValue")
        found[attr(a, "Name")] = value
    return found


def read_vihf(request):
    """The assertion's resource, purpose, reason and secret mode, logged;
    None for an assertion without attributes (the self-tests' stand-ins)."""
    header = child(request.envelope, "Header")
    attributes = _attributes(assertion_of(header, signed=False))
    if not attributes:
        return None
    purpose = attributes.get(PURPOSE)
    coded = next(iter(purpose), None) if purpose is not None else None
    vihf = {"resource": text(attributes.get(RESOURCE_ID)) if RESOURCE_ID in attributes else None,
            "purpose": attr(coded, "code"),
            "reason": text(attributes.get(REASON)) if REASON in attributes else None,
            "secret": CONFIDENTIALITY in attributes}
    request.log_extra["vihf"] = vihf
    return vihf


def is_minor(sim, p):
    """Minors management is on in the parameters document: a patient of at
    most the age of majority in whole years is a minor."""
    birth = sim.seed.when(p["birth"]).date()
    if p.get("birth_hl7"):
        try:
            birth = datetime.datetime.strptime(p["birth_hl7"][:8], "%Y%m%d").date()
        except ValueError:
            return True
    today = sim.seed.today
    age = today.year - birth.year - ((today.month, today.day) < (birth.month, birth.day))
    return age <= MAJORITY


def record_patient(request, sim, body_ins=None):
    """The seeded patient with a record that the assertion names, after the
    checks every record request passes: the resource is that patient's CX
    (and the body's patient when the body names one), an emergency access
    carries its reason and a normal one none, the secret mode only on a
    minor's record. CheckFailed names what failed. None for an assertion
    without attributes: the caller finds the patient its own way."""
    vihf = read_vihf(request)
    if vihf is None:
        return None
    resource = vihf["resource"] or ""
    ins, _, rest = resource.partition("^^^&")
    p = sim.seed.patient_by_ins(ins)
    if p is None or not p.get("record") or rest != "%s&ISO^NH" % ins_oid(request.environment):
        raise CheckFailed("resource-id '%s' ne désigne pas un dossier" % resource, "InvalidResource")
    if body_ins is not None and body_ins != ins:
        raise CheckFailed("resource-id '%s' ne désigne pas le patient du corps (%s)" % (resource, body_ins),
                          "InvalidResource")
    if vihf["purpose"] == "bris_de_glace":
        if not vihf["reason"]:
            raise CheckFailed("Bris de glace sans Mode_Acces_Raison", "InvalidSecurity")
    elif vihf["purpose"] != "normal" or vihf["reason"] is not None:
        raise CheckFailed("PurposeOfUse '%s' avec raison %r" % (vihf["purpose"], vihf["reason"]), "InvalidSecurity")
    if vihf["secret"] and not is_minor(sim, p):
        raise CheckFailed("Mode secret sur le dossier d'un majeur", "InvalidSecurity")
    return p


def body_value(body, name, allowed=None):
    """The text of the body's element name; CheckFailed when it is missing
    or not one of allowed."""
    node = next((n for n in body.iter() if local(n.tag) == name), None)
    if node is None:
        raise CheckFailed("Élément %s absent" % name, "InvalidRequest")
    value = text(node)
    if allowed is not None and value not in allowed:
        raise CheckFailed("%s '%s' inconnu" % (name, value), "InvalidRequest")
    return value
