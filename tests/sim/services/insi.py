"""The identity teleservice "insi" (POST /lps on the national listener):

RECSANSVITALE     search by identity traits
RECVITALE         search with the Vitale card (the insured person's or the
                  beneficiary's number); the body's numbers must have 13
                  characters, the birth name the teleservice's alphabet, the
                  date yyyy-mm-dd and the rank digits, and the header a second
                  assertion naming the card (NameID "VITALE": the serial
                  number on 12 characters)
RequeteUnitaire   verification of an INS against identity traits

A seeded person matches on birth name, sex, birth date, birthplace when
given, and a first name equal to the first of its given names or to the
whole list. CodeCR 00 with INDIVIDU (INSACTIF with the test OID on the
training host, 1.2.250.1.213.1.4.8 on the production host, and TIQ), 01 for
none, 02 for two or more (variants "none" and "several" answer 01 and 02
whatever the request holds, so a rule can make one answer of a series fail). Requests carry the context headers and a signed
assertion (checked with xmlsec1 under --verify-signatures); the body's
namespace must use the configured domain. Variant "unexpected" (CodeCR 99)."""

import datetime
import re
import unicodedata

from simkit.seed import ins_oid
from simkit.service import Answer, Operation, soap_service
from simkit.soap import SAML_NS, CheckFailed, envelope
from simkit.xmltext import child, children, esc, local, path, text

SEARCH = "urn:ServiceIdentiteCertifiee:1.0.0:"
VERIFY = "urn:ServiceVerificationIdentiteCertifiee:1.0.0:verifierInsAvecTraitsIdentite"
LIGATURES = {"Æ": "AE", "æ": "AE", "Œ": "OE", "œ": "OE"}


def normalized(name):
    """The teleservice's alphabet: upper-case letters, blank, apostrophe, hyphen."""
    out = ""
    for c in name.replace("\u2019", "'"):
        c = LIGATURES.get(c, c)
        base = "".join(b for b in unicodedata.normalize("NFD", c) if not unicodedata.combining(b)).upper()
        out += "".join(b for b in base if b.isascii() and (b.isalpha() or b in " '-"))
    return " ".join(out.split())


def check_namespace(body, sim, suffix):
    expected = "{http://%s/%s}" % (sim.insi_domain, suffix)
    if not body.tag.startswith(expected):
        raise CheckFailed("Espace de noms du corps %s inattendu (%s attendu)"
                          % (body.tag.split("}")[0][1:], expected[1:-1]), "InvalidNamespace")


def matches(sim, p, traits):
    given = [normalized(g) for g in p["given"]]
    first = normalized(traits["first"])
    return (normalized(p["birth_name"]) == normalized(traits["birth_name"])
            and p["sex"] == traits["sex"]
            and sim.seed.iso_date(p["birth"]) == traits["birth"]
            and (not traits["place"] or traits["place"] == p["birthplace"])
            and first in (given[0], " ".join(given)))


def result(request, sim, found):
    ns = "http://%s/INSiResultat" % sim.insi_domain
    if not found:
        code, label, individual = "01", "Aucune identité trouvée", ""
    elif len(found) > 1:
        code, label, individual = "02", "Plusieurs identites trouvees", ""
    else:
        p = found[0]
        code, label = "00", "OK"
        individual = ('<INDIVIDU><INSACTIF><IdIndividu><NumIdentifiant>%s</NumIdentifiant><Cle>%s</Cle>'
                      '</IdIndividu><OID>%s</OID></INSACTIF><TIQ><NomNaissance>%s</NomNaissance>'
                      '<Prenom>%s</Prenom><ListePrenom>%s</ListePrenom><Sexe>%s</Sexe>'
                      '<DateNaissance>%s</DateNaissance><LieuNaissance>%s</LieuNaissance></TIQ></INDIVIDU>'
                      % (p["ins"][:13], p["ins"][13:], ins_oid(request.environment),
                         esc(normalized(p["birth_name"])), esc(normalized(p["given"][0])),
                         esc(" ".join(normalized(g) for g in p["given"])), p["sex"],
                         sim.seed.iso_date(p["birth"]), p["birthplace"]))
    body = ('<RESULTAT xmlns="%s"><CR><CodeCR>%s</CodeCR><LibelleCR>%s</LibelleCR></CR>%s</RESULTAT>'
            % (ns, code, esc(label), individual))
    return Answer(body=envelope(body, "", request.message_id),
                  note="CodeCR %s%s" % (code, " " + found[0]["key"] if len(found) == 1 else ""))


def search_by_traits(request, body, sim):
    check_namespace(body, sim, "INSiRecSans")
    traits = {"birth_name": text(child(body, "NomNaissance")), "first": text(child(body, "Prenom")),
              "sex": text(child(body, "Sexe")), "birth": text(child(body, "DateNaissance")),
              "place": text(child(body, "LieuNaissance"))}
    return result(request, sim, [p for p in sim.seed.patients if matches(sim, p, traits)])


def check_card_assertion(request):
    """The unsigned assertion beside the signed one names the card by its
    serial number, left-padded to 12 characters."""
    security = child(child(request.envelope, "Header"), "Security")
    names = [path(a, "Subject", "NameID") for a in children(security, "Assertion")
             if a.tag == "{%s}Assertion" % SAML_NS]
    card = [n for n in names if n is not None and n.get("NameQualifier") == "VITALE"]
    if not card:
        raise CheckFailed("Assertion de la carte Vitale absente", "InvalidSecurity")
    serial = text(card[0])
    if len(serial) != 12 or not serial.isdigit():
        raise CheckFailed("Numéro de série de la carte Vitale '%s' invalide (12 chiffres attendus)" % serial,
                          "InvalidSecurity")


def check_card_body(body):
    """RECVITALE: 13-character numbers, the insured person's always; the
    optional birth name, date and rank in their wire forms."""
    for name in ("MatriculeIndividu", "MatriculeOD"):
        number = path(body, name, "NumIdentifiant")
        if number is None and name == "MatriculeIndividu":
            continue
        if number is None or not re.fullmatch(r"[0-9A-B]{13}", text(number)):
            raise CheckFailed("%s/NumIdentifiant '%s' invalide (13 caractères attendus)"
                              % (name, text(number)), "InvalidRequest")
    name = child(body, "NomNaissance")
    if name is not None and (not text(name) or normalized(text(name)) != text(name)):
        raise CheckFailed("NomNaissance '%s' hors de l'alphabet du téléservice" % text(name), "InvalidRequest")
    birth = child(body, "DateNaissance")
    if birth is not None:
        try:
            datetime.date.fromisoformat(text(birth))
        except ValueError:
            raise CheckFailed("DateNaissance '%s' invalide (aaaa-mm-jj attendu)" % text(birth), "InvalidRequest")
    rank = child(body, "RangNaissance")
    if rank is not None and not text(rank).isdigit():
        raise CheckFailed("RangNaissance '%s' invalide" % text(rank), "InvalidRequest")


def check_card_request(request, body, sim):
    check_namespace(body, sim, "INSiRecVit")
    check_card_body(body)
    check_card_assertion(request)


def search_with_card(request, body, sim):
    check_card_request(request, body, sim)
    numbers = {text(path(body, name, "NumIdentifiant")) for name in ("MatriculeIndividu", "MatriculeOD")} - {""}
    birth_name = normalized(text(child(body, "NomNaissance")))
    birth = text(child(body, "DateNaissance"))
    found = [p for p in sim.seed.patients if p["ins"][:13] in numbers
             and (not birth_name or normalized(p["birth_name"]) == birth_name)
             and (not birth or sim.seed.iso_date(p["birth"]) == birth)]
    return result(request, sim, found)


def verify(request, body, sim):
    check_namespace(body, sim, "INSiLot2/REQueteUnitaire")
    given = path(body, "IndividuVerifie", "INSFourni", "IdIndividu")
    ins = text(child(given, "NumIdentifiant")) + text(child(given, "Cle"))
    t = path(body, "IndividuVerifie", "TraitsIdentiteIndividu")
    traits = {"birth_name": text(child(t, "NomNaissance")), "first": text(child(t, "Prenom")),
              "sex": text(child(t, "Sexe")), "birth": text(child(t, "DateNaissance")),
              "place": text(child(t, "LieuNaissance"))}
    p = next((p for p in sim.seed.patients if p["ins"] == ins), None)
    return result(request, sim, [p] if p and matches(sim, p, traits) else [])


def unexpected(request, body, sim):
    ns = "http://%s/INSiResultat" % sim.insi_domain
    return Answer(body=envelope('<RESULTAT xmlns="%s"><CR><CodeCR>99</CodeCR><LibelleCR>Service indisponible'
                                '</LibelleCR></CR></RESULTAT>' % ns, "", request.message_id), note="CodeCR 99")


def forced(found):
    """A variant answering as if found were the people matched; a card
    search is still checked first."""
    def answer(request, body, sim):
        if local(body.tag) == "RECVITALE":
            check_card_request(request, body, sim)
        return result(request, sim, found(sim))
    return answer


SERVICE = soap_service("insi", ["/lps"], {
    "RECSANSVITALE": Operation(SEARCH + "rechercherInsAvecTraitsIdentite", search_by_traits),
    "RECVITALE": Operation(SEARCH + "rechercherInsAvecCarteVitale", search_with_card),
    "RequeteUnitaire": Operation(VERIFY, verify, with_to=False),
}, variants={"unexpected": unexpected, "none": forced(lambda sim: []),
             "several": forced(lambda sim: sim.seed.patients[:2])}, teleservice=True)
