"""The record service "patientsSpecific":

patientList          the professional's records changed after startDate
                     (dateType LASTAUTORIZATION or LASTDOC); a date it
                     cannot read: DMPErrorLPS with a context
createPatientAccess  DMPOk, login and password; the web account opens with
                     its first channel; DMPPatientAccessAlreadyExists
                     when it is open already
updatePatientAccess  DMPOk, new login and password
patientOTPUpdate     DMPOk: AJOUT adds a channel (one of its type
                     already there: DMPPatientAccessOTPAlreadyExists),
                     MODIFICATION replaces the channel of its type,
                     SUPPRESSION removes it (an empty canal: the mobile
                     channel, "@": the e-mail channel)
The access operations pass the record checks of simkit.record; "type" must
fit "canal" (SMS: ten digits, EMAIL: one '@') and "action" be known.
Variants: "access_exists" (DMPPatientAccessAlreadyExists),
"otp_exists" (DMPPatientAccessOTPAlreadyExists), "error_lps"; and those of
simkit.specific.status_variants for any operation."""

import datetime
import hashlib

from simkit.record import body_value, record_patient
from simkit.seed import ins_oid
from simkit.soap import CheckFailed
from simkit.service import Operation, soap_service
from simkit.specific import element, output, patient_of_request, status_variants
from simkit.xmltext import child, text

PATH = "/si-dmp-server/v2/services/patientsSpecific"
NS = "urn:si-dmp-patients"
ACTION = "urn:si-dmp-patients:PatientSpecificEndPoint:"


def parse_date(value):
    """HL7 (yyyymmdd[hhmmss]) or XML Schema (yyyy-mm-dd[Thh:mm:ss[Z]]) date; None otherwise."""
    value = value.strip().rstrip("Z")
    for form in ("%Y%m%d%H%M%S", "%Y%m%d", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%dT%H:%M:%S.%f", "%Y-%m-%d"):
        try:
            return datetime.datetime.strptime(value, form)
        except ValueError:
            pass
    return None


def patient_data(sim, p, environment):
    r = p["record"]
    return ("<patientlistData><patientIdentifier>%s%s</patientIdentifier>%s%s%s%s%s%s%s%s</patientlistData>"
            % (element("nationalIdType", ins_oid(environment)), element("nationalId", p["ins"]),
               element("firstName", p["given"][0]), element("patronymicalName", p["birth_name"]),
               element("lastName", p["usage_name"] or "NON RENSEIGNE"),
               element("MT", "true" if r["treating"] else "false"),
               element("dateOfBirth", sim.seed.hl7_date(p["birth"])),
               element("lastAccessDate", sim.seed.hl7_time(r["last_access"])),
               element("lastUpdateDate", sim.seed.hl7_time(r["last_update"])),
               element("lastAddDate", sim.seed.hl7_time(r["last_document"]))))


def patient_list(request, body, sim):
    start_text = text(child(body, "startDate"))
    start = parse_date(start_text)
    if start is None:
        return output(request, "patientList", NS, ACTION, "DMPErrorLPS",
                      context="startDate illisible: '%s'" % start_text)
    key = "authorisation_date" if text(child(body, "dateType")) == "LASTAUTORIZATION" else "last_document"
    listed = [p for p in sim.seed.records()
              if p["record"]["authorisation"] == "VALIDE" and sim.seed.when(p["record"][key]) > start]
    return output(request, "patientList", NS, ACTION, "DMPOk",
                  "".join(patient_data(sim, p, request.environment) for p in listed))


def credentials(request, sim, round_):
    p = patient_of_request(request, sim)
    seed = hashlib.sha256(("%s/%d" % (p["ins"] if p else "?", round_)).encode()).hexdigest()
    return element("login", "DMP" + seed[:8].upper()) + element("password", "Pw-" + seed[8:16])


def channel(body, empty_allowed=False):
    """(type, canal) of the body, checked against each other."""
    kind = body_value(body, "type", ("SMS", "EMAIL"))
    canal = body_value(body, "canal")
    fits = (len(canal) == 10 and canal.isascii() and canal.isdigit()) if kind == "SMS" else canal.count("@") == 1
    if not fits and not (empty_allowed and kind == "SMS" and canal == ""):
        raise CheckFailed("canal '%s' de type %s" % (canal, kind), "InvalidRequest")
    return kind, canal


def record_of(request, sim):
    """The record the assertion names; for a stand-in assertion a scratch
    record, so the self-tests' bare requests change nothing."""
    p = record_patient(request, sim)
    return (p["record"], True) if p else ({"web_access": False}, False)


def create_access(request, body, sim):
    r, checked = record_of(request, sim)
    if not checked:
        return output(request, "createPatientAccess", NS, ACTION, "DMPOk", credentials(request, sim, 1))
    kind, canal = channel(body)
    if r["web_access"]:
        return output(request, "createPatientAccess", NS, ACTION, "DMPPatientAccessAlreadyExists",
                      context="Un accès patient existe déjà pour ce dossier")
    r["web_access"] = True
    r["channels"] = [[kind, canal]]
    r["access_round"] = 1
    return output(request, "createPatientAccess", NS, ACTION, "DMPOk", credentials(request, sim, 1))


def update_access(request, body, sim):
    r, _ = record_of(request, sim)
    r["access_round"] = r.get("access_round", 1) + 1
    return output(request, "updatePatientAccess", NS, ACTION, "DMPOk",
                  credentials(request, sim, r["access_round"]))


def otp_update(request, body, sim):
    r, checked = record_of(request, sim)
    if not checked:
        return output(request, "patientOTPUpdate", NS, ACTION, "DMPOk")
    action = body_value(body, "action", ("AJOUT", "MODIFICATION", "SUPPRESSION"))
    kind, canal = channel(body, empty_allowed=action == "SUPPRESSION")
    channels = r.setdefault("channels", [])
    if action == "AJOUT":
        if any(c[0] == kind for c in channels):
            return output(request, "patientOTPUpdate", NS, ACTION, "DMPPatientAccessOTPAlreadyExists",
                          context="Ce canal existe déjà")
        channels.append([kind, canal])
    elif action == "MODIFICATION":
        r["channels"] = [c for c in channels if c[0] != kind] + [[kind, canal]]
    else:
        whole_kind = canal in ("", "@")
        r["channels"] = [c for c in channels if c != [kind, canal] and not (whole_kind and c[0] == kind)]
    return output(request, "patientOTPUpdate", NS, ACTION, "DMPOk")


def status(operation, value, context):
    return lambda request, body, sim: output(request, operation, NS, ACTION, value, context=context)


SERVICE = soap_service("patientsSpecific", [PATH], {
    "patientList": Operation(ACTION + "patientList", patient_list),
    "createPatientAccess": Operation(ACTION + "createPatientAccess", create_access),
    "updatePatientAccess": Operation(ACTION + "updatePatientAccess", update_access),
    "patientOTPUpdate": Operation(ACTION + "patientOTPUpdate", otp_update),
}, variants={
    "access_exists": status("createPatientAccess", "DMPPatientAccessAlreadyExists",
                            "Un accès patient existe déjà pour ce dossier"),
    "otp_exists": status("patientOTPUpdate", "DMPPatientAccessOTPAlreadyExists", "Ce canal existe déjà"),
    "error_lps": status("patientList", "DMPErrorLPS", "Erreur du logiciel de professionnel de santé"),
    **status_variants(NS, ACTION),
})
