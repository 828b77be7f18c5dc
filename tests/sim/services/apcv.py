"""The mobile Vitale application (ApCV) authentication service "apcv" of
the card-system operator (POST /wssoap/apcv/auth/1/0 on the national
listener, the card's client certificate required):

AuthentifierUtilisateurProximiteReq   the phone's QR code: a new context
                                      and the scenario's identities
RestituerContexteApCVReq              the last context's identities again
DetruireContexteApCVReq               ends a context this service issued

Every request is checked before it is read: SOAP 1.2, wsa:Action of the
operation and a "uuid:" MessageID, the ContexteLPS (issuer the card
holder's identifier, agreement identifier by the card's category, an
instance written as a lower-case GUID, a recent UTC time with
milliseconds), a signed SAML assertion (xmlsec1 under --verify-signatures;
Issuer the client certificate's name, NameID qualified by the card type and
naming the holder, "identifiantFacturation" the billing number of the
body), and the body's namespace and version. The card is the profile of
tests/fixtures/cps/ whose certificate CN the client presented. Each log
entry holds what was read under "apcv", with the assertion's ID and the
SHA-256 of its SignatureValue, so that a reused assertion shows.

The QR text chooses the scenario (SCENARIOS); an unknown one is a SOAP
fault with Reason/Text and Detail/Erreur. Variants: "no_context" (an answer
without ContexteApCV), "no_profile" (without ProfilApCV)."""

import datetime
import glob
import hashlib
import json
import os
import re

from simkit import soap
from simkit.seed import nir_key
from simkit.service import Answer, Service, fault_answer, soap_operation
from simkit.soap import CheckFailed
from simkit.xmltext import attr, child, esc, local, text

PATH = "/wssoap/apcv/auth/1/0"
ACTION = "urn:ApCV_AUTH:1.0:"
OPERATIONS = {
    "AuthentifierUtilisateurProximiteReq": ACTION + "authentifierUtilisateurProximite",
    "RestituerContexteApCVReq": ACTION + "restituerContexteApCVReq",
    "DetruireContexteApCVReq": ACTION + "detruireContexteApCV",
}
IDAM_TEST = "QPT48RX31HB4"
CARD_TYPES = ["CPS", "CPF", "CDE-CPE", "CPA"]
PROFILES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fixtures", "cps")
GUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")
XSD_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")

# QR text -> the card the phone shows: Identification type and serial, and
# its beneficiaries (seed patient keys; None: an entry without IdentiteAMO;
# "-key": the patient without certified number).
SCENARIOS = {
    'apcv-1 <&"\'>': ("T", "000123456789", ["martin"]),
    "apcv-2": ("T", "000123456790", ["martin", "-petit"]),
    "apcv-3": ("T", "000123456791", ["lheritier", None, "petit"]),
    "apcv-R": ("R", "000123456792", ["martin"]),
    "apcv-D-test": ("D", "000468945678", ["martin"]),
    "apcv-D": ("D", "000123456793", ["martin"]),
}
# Qualite of the first beneficiary (the insured) and of the others.
INSURED, CHILD = 0, 6
# The insured person's number of every card, with its key.
INSURED_NIR = "1690575112045"
INSURED_KEY = nir_key(INSURED_NIR)


def cards():
    """CN of the authentication certificate -> the card profile."""
    found = {}
    for name in glob.glob(os.path.join(PROFILES, "*.json")):
        with open(name, encoding="utf-8") as f:
            profile = json.load(f)
        found[dict(profile["subject"])["CN"]] = profile
    return found


CARDS = cards()
# The session's DN order of the certificate's subject parts.
DN_PARTS = [("commonName", "CN"), ("surname", "SURNAME"), ("givenName", "GIVENNAME"), ("title", "T"),
            ("organizationalUnitName", "OU"), ("organizationName", "O"), ("countryName", "C")]


def subject_dn(subject):
    values = dict(pair for rdn in subject or () for pair in rdn)
    return " + ".join("%s=%s" % (key, values[name]) for name, key in DN_PARTS if values.get(name))


def ns_of(node):
    return node.tag[1:].split("}")[0] if node.tag.startswith("{") else ""


def state(sim):
    """Contexts issued since the last reset (the seed's state is reset with it)."""
    return sim.seed.state.setdefault("apcv", {"contexts": {}, "last": None})


def card_of(request):
    subject = request.tls.get("client_subject")
    cn = dict(pair for rdn in subject or () for pair in rdn).get("commonName", "")
    profile = CARDS.get(cn)
    if profile is None:
        raise CheckFailed("Carte CPS inconnue du service (CN %s)" % cn, "InvalidSecurity")
    return profile


def read(request):
    """The operation's name, once what the checks and the log need is read
    from the request (also for an answer a rule gives instead)."""
    operation = soap_operation(request)
    header = child(request.envelope, "Header") if request.envelope is not None else None
    if header is None:
        return operation
    seen = request.log_extra.setdefault("apcv", {})
    seen.update(message_id=text(child(header, "MessageID")), action=text(child(header, "Action")))
    lps = child(header, "ContexteLPS")
    if lps is not None:
        software = child(lps, "LPS")
        idam = child(software, "IDAM")
        seen["lps"] = dict({name: text(child(lps, name)) for name in ("Id", "Temps", "Emetteur")},
                           IDAM=text(idam), R=attr(idam, "R"), Version=text(child(software, "Version")),
                           Instance=text(child(software, "Instance")), Nom=text(child(software, "Nom")),
                           namespace=ns_of(lps), version=attr(lps, "Version"))
    security = child(header, "Security")
    assertion = child(security, "Assertion")
    if assertion is not None:
        name_id = child(child(assertion, "Subject"), "NameID")
        seen.update(assertion_id=attr(assertion, "ID"), issue_instant=attr(assertion, "IssueInstant"),
                    signature_sha256=hashlib.sha256(
                        text(child(child(assertion, "Signature"), "SignatureValue")).encode()).hexdigest(),
                    issuer=text(child(assertion, "Issuer")), name_qualifier=attr(name_id, "NameQualifier"),
                    name_id=text(name_id), order=[local(c.tag) for c in assertion],
                    billing=[text(child(a, "AttributeValue")) for a in assertion.iter()
                             if local(a.tag) == "Attribute" and attr(a, "Name") == "identifiantFacturation"])
    body_node = child(request.envelope, "Body")
    body = next(iter(body_node), None) if body_node is not None else None
    if body is not None:
        professional = child(body, "ProfessionnelSante")
        speciality = child(professional, "CodeSpecialiteAMO")
        seen.update(body_namespace=ns_of(body), body_version=attr(body, "version"))
        if operation == "AuthentifierUtilisateurProximiteReq":
            seen.update(donnees=text(child(body, "Donnees")),
                        facturation=text(child(professional, "IdentifiantFacturation")),
                        specialite=None if speciality is None else text(speciality))
        elif operation == "DetruireContexteApCVReq":
            seen["contexte"] = text(child(child(body, "ContexteApCV"), "Identifiant"))
    return operation


def check_context(seen, profile, sim):
    fields = seen.get("lps")
    if not fields or fields["namespace"] != "urn:siram:lps:ctxlps" or fields["version"] != "01_00":
        raise CheckFailed("En-tête ContexteLPS absent ou mal formé", "InvalidContext")
    holder = profile["info"]["national_id"]
    expected_idam = IDAM_TEST if profile["card"]["category"] >= 80 else sim.apcv_idam
    try:
        moment = datetime.datetime.strptime(fields["Temps"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(
            tzinfo=datetime.timezone.utc)
    except ValueError:
        moment = None
    problems = [
        (fields["Emetteur"] == holder, "Emetteur '%s' n'est pas le porteur %s" % (fields["Emetteur"], holder)),
        (fields["IDAM"] == expected_idam and fields["R"] == "4", "IDAM '%s' (%s attendu)" % (fields["IDAM"], expected_idam)),
        (fields["Version"] == "2.6", "Version LPS '%s'" % fields["Version"]),
        (GUID.fullmatch(fields["Instance"]) is not None, "Instance '%s' n'est pas un GUID" % fields["Instance"]),
        (GUID.fullmatch(fields["Id"]) is not None, "Id '%s' n'est pas un GUID" % fields["Id"]),
        (XSD_TIME.fullmatch(fields["Temps"]) is not None and moment is not None
         and abs((datetime.datetime.now(datetime.timezone.utc) - moment).total_seconds()) < 600,
         "Temps '%s' n'est pas l'heure UTC" % fields["Temps"]),
    ]
    for ok, reason in problems:
        if not ok:
            raise CheckFailed(reason, "InvalidContext")


def check_assertion(request, seen, profile, sim):
    soap.assertion_of(child(request.envelope, "Header"), signed=True)
    if sim.verify_signatures:
        soap.verify_signature(request, sim.pki_dir)
    category = profile["card"]["category"]
    holder = profile["info"]["national_id"]
    problems = [
        (seen["issuer"] == subject_dn(request.tls.get("client_subject")), "Issuer '%s'" % seen["issuer"]),
        (seen["name_qualifier"] == CARD_TYPES[category & 0x7F], "NameQualifier '%s'" % seen["name_qualifier"]),
        (seen["name_id"] == holder, "NameID '%s' n'est pas le porteur %s" % (seen["name_id"], holder)),
        (len(seen["billing"]) <= 1 and seen.get("facturation", "".join(seen["billing"])) == "".join(seen["billing"]),
         "identifiantFacturation %r, IdentifiantFacturation %r" % (seen["billing"], seen.get("facturation"))),
        (seen["order"][:2] == ["Issuer", "Signature"], "Signature après %s" % seen["order"][:1]),
    ]
    for ok, reason in problems:
        if not ok:
            raise CheckFailed(reason, "InvalidSecurity")


def check_request(request, sim):
    """The checks of every operation, over what read() found."""
    if request.envelope is None:
        raise CheckFailed(request.log_extra.get("check", "Requête SOAP illisible"))
    if not request.content_type.startswith("application/soap+xml"):
        raise CheckFailed("Type de contenu '%s' (SOAP 1.2 attendu)" % request.content_type)
    action = OPERATIONS.get(request.operation)
    if action is None:
        raise CheckFailed("Opération inconnue du service apcv: '%s'" % request.operation, "UnknownOperation")
    header = child(request.envelope, "Header")
    if header is None:
        raise CheckFailed("Requête sans en-tête SOAP")
    seen = request.log_extra["apcv"]
    soap.check_addressing(request, header, action, with_to=False)
    message_id = seen["message_id"]
    if not (message_id.startswith("uuid:") and GUID.fullmatch(message_id[5:])):
        raise CheckFailed("MessageID '%s'" % message_id, "InvalidAddressing")
    profile = card_of(request)
    check_context(seen, profile, sim)
    check_assertion(request, seen, profile, sim)
    if seen["body_namespace"] != sim.apcv_namespace or seen["body_version"] != "1.0":
        raise CheckFailed("Corps %s version %r" % (seen["body_namespace"], seen["body_version"]), "InvalidNamespace")
    request.message_id = message_id
    return soap.body_element(request.envelope), seen


def beneficiary(sim, key, insured):
    if key is None:
        return ("<Beneficiaire><CarteVitaleIndividu><ContratAMO><NIRAssure cle=\"%s\">%s</NIRAssure></ContratAMO>"
                "</CarteVitaleIndividu></Beneficiaire>" % (INSURED_KEY, INSURED_NIR))
    certified = not key.startswith("-")
    p = next(p for p in sim.seed.patients if p["key"] == key.lstrip("-"))
    nir = ("<NIRCertifie cle=\"%s\">%s</NIRCertifie>" % (p["ins"][13:], p["ins"][:13])) if certified else ""
    return ("<Beneficiaire><CarteVitaleIndividu><IdentiteAMO><NomFamille>%s</NomFamille><NomUsage>%s</NomUsage>"
            "<Prenom>%s</Prenom><Qualite>%d</Qualite><DateNaissance rang=\"1\">%s</DateNaissance>%s</IdentiteAMO>"
            "<ContratAMO><NIRAssure cle=\"%s\">%s</NIRAssure></ContratAMO></CarteVitaleIndividu></Beneficiaire>"
            % (esc(p["birth_name"]), esc(p["usage_name"]), esc(p["given"][0]), INSURED if insured else CHILD,
               sim.seed.iso_date(p["birth"]), nir, INSURED_KEY, INSURED_NIR))


def profile_answer(request, sim, name, context, scenario, parts=("context", "profile")):
    kind, serial, people = scenario
    content = ""
    if "context" in parts:
        content += "<ContexteApCV><Identifiant>%s</Identifiant></ContexteApCV>" % esc(context)
    if "profile" in parts:
        content += ("<ProfilApCV><Identification type=\"%s\" numSerie=\"%s\"/>%s</ProfilApCV>"
                    % (kind, serial, "".join(beneficiary(sim, k, i == 0) for i, k in enumerate(people))))
    body = '<%s xmlns="%s" version="1.0">%s</%s>' % (name, esc(sim.apcv_namespace), content, name)
    return Answer(body=soap.envelope(body), note="contexte %s, type %s" % (context, kind))


def refusal(reason, error):
    body = ('<soap:Fault><soap:Code><soap:Value>soap:Sender</soap:Value></soap:Code><soap:Reason>'
            '<soap:Text xml:lang="fr">%s</soap:Text></soap:Reason><soap:Detail><Erreur>%s</Erreur></soap:Detail>'
            '</soap:Fault>' % (esc(reason), esc(error)))
    return Answer(500, soap.envelope(body), note="refus: " + reason)


def answer(request, sim, parts=("context", "profile")):
    try:
        _, seen = check_request(request, sim)
    except CheckFailed as failure:
        return fault_answer(failure)
    with sim.lock:
        issued = state(sim)
        if request.operation == "AuthentifierUtilisateurProximiteReq":
            qr = seen["donnees"]
            scenario = SCENARIOS.get(qr)
            if scenario is None:
                return refusal("Données ApCV invalides", "QR code inconnu : %s" % qr)
            context = soap.new_id(request.message_id + "apcv")
            issued["contexts"][context] = qr
            issued["last"] = context
        elif request.operation == "RestituerContexteApCVReq":
            context = issued["last"]
            if context not in issued["contexts"]:
                return refusal("Aucun contexte ApCV", "Pas de contexte à restituer")
            scenario = SCENARIOS[issued["contexts"][context]]
        else:
            context = seen["contexte"]
            if issued["contexts"].pop(context, None) is None:
                return refusal("Contexte ApCV inconnu", "Contexte %s non émis" % context)
            name = "DetruireContexteApCVResp"
            return Answer(body=soap.envelope('<%s xmlns="%s" version="1.0"/>' % (name, esc(sim.apcv_namespace))),
                          note="contexte %s détruit" % context)
    return profile_answer(request, sim, request.operation[:-3] + "Resp", context, scenario, parts)


SERVICE = Service("apcv", "national", [PATH], answer, read, {
    "no_context": lambda request, sim: answer(request, sim, ("profile",)),
    "no_profile": lambda request, sim: answer(request, sim, ("context",)),
}, tuple(OPERATIONS))
