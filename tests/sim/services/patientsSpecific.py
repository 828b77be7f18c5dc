"""The record service "patientsSpecific":

patientList          the professional's records changed after startDate
                     (dateType LASTAUTORIZATION or LASTDOC); a date it
                     cannot read: DMPErrorLPS with a context
createPatientAccess  DMPOk, login and password
updatePatientAccess  DMPOk, new login and password
patientOTPUpdate     DMPOk
Variants: "access_exists" (DMPPatientAccessAlreadyExists),
"otp_exists" (DMPPatientAccessOTPAlreadyExists), "error_lps"; and those of
simkit.specific.status_variants for any operation."""

import datetime
import hashlib

from simkit.seed import ins_oid
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


def access(operation, round_):
    def answer(request, body, sim):
        return output(request, operation, NS, ACTION, "DMPOk", credentials(request, sim, round_))
    return answer


def status(operation, value, context):
    return lambda request, body, sim: output(request, operation, NS, ACTION, value, context=context)


SERVICE = soap_service("patientsSpecific", [PATH], {
    "patientList": Operation(ACTION + "patientList", patient_list),
    "createPatientAccess": Operation(ACTION + "createPatientAccess", access("createPatientAccess", 1)),
    "updatePatientAccess": Operation(ACTION + "updatePatientAccess", access("updatePatientAccess", 2)),
    "patientOTPUpdate": Operation(ACTION + "patientOTPUpdate", status("patientOTPUpdate", "DMPOk", "")),
}, variants={
    "access_exists": status("createPatientAccess", "DMPPatientAccessAlreadyExists",
                            "Un accès patient existe déjà pour ce dossier"),
    "otp_exists": status("patientOTPUpdate", "DMPPatientAccessOTPAlreadyExists", "Ce canal existe déjà"),
    "error_lps": status("patientList", "DMPErrorLPS", "Erreur du logiciel de professionnel de santé"),
    **status_variants(NS, ACTION),
})
