"""The authorisation service "habilitations":

setAuthorization            DMPOk; AJOUT makes the record's AUTORISATION
                            "VALIDE", SUPPRESSION empties it
listAuthorizationByPatient  the practitioners the patient's record lists,
                            by mode (ACTIVE, INTERDITE or TOUTE)
Both pass the record checks of simkit.record (the patient is the one the
assertion names); a body value they do not know is a SOAP fault.
Variants: "forbidden" (DMPAccessForbidden), "closed" (DMPClosed); and those
of simkit.specific.status_variants for any operation."""

from simkit.record import body_value, record_patient
from simkit.service import Operation, soap_service
from simkit.specific import element, output, patient_of_request, status_variants
from simkit.xmltext import child, text

PATH = "/si-dmp-server/v2/services/habilitations"
NS = "urn:si-dmp-habilitations"
ACTION = "urn:si-dmp-habilitations:HabilitationsEndPoint:"


def set_authorization(request, body, sim):
    p = record_patient(request, sim)
    if p is None:  # a stand-in assertion: nothing to change
        return output(request, "setAuthorization", NS, ACTION, "DMPOk")
    act = body_value(body, "action", ("AJOUT", "SUPPRESSION"))
    p["record"]["authorisation"] = "VALIDE" if act == "AJOUT" else ""
    return output(request, "setAuthorization", NS, ACTION, "DMPOk")


def practitioner(sim, d, access):
    """One listOfAuthorizationByPatient: the practitioner d and its access
    to the record (mode, treating doctor)."""
    return ("<listOfAuthorizationByPatient>%s</listOfAuthorizationByPatient>" % "".join([
        element("nationalId", d["id"]), element("nationalIdType", d["id_type"]),
        element("firstName", d["given"]), element("lastName", d["family"]),
        element("lastActionDate", sim.seed.hl7_time("-9d")), element("mode", access["mode"]),
        element("startOfAuthorization", sim.seed.hl7_time("-400d")),
        element("codeSpeciality", d["speciality"]), element("libSpeciality", d["speciality_label"]),
        element("specificRight", "MEDECIN_TRAITANT" if access["treating"] else "")]))


def list_authorizations(request, body, sim):
    p = record_patient(request, sim)
    if p is None:  # a stand-in assertion: the patient named anywhere in the request
        p = patient_of_request(request, sim) or {}
        mode = text(child(body, "mode")) or "TOUTE"
    else:
        mode = body_value(body, "mode", ("ACTIVE", "INTERDITE", "TOUTE"))
    known = {d["id"]: d for d in sim.seed.practitioners}
    accesses = (p.get("record") or {}).get("practitioners", [])
    return output(request, "listAuthorizationByPatient", NS, ACTION, "DMPOk",
                  "".join(practitioner(sim, known[a["id"]], a) for a in accesses
                          if mode == "TOUTE" or a["mode"] == mode))


SERVICE = soap_service("habilitations", [PATH], {
    "setAuthorization": Operation(ACTION + "setAuthorization", set_authorization),
    "listAuthorizationByPatient": Operation(ACTION + "listAuthorizationByPatient", list_authorizations),
}, variants={
    "forbidden": lambda r, b, s: output(r, "setAuthorization", NS, ACTION, "DMPAccessForbidden",
                                        context="Accès interdit par le patient"),
    "closed": lambda r, b, s: output(r, "setAuthorization", NS, ACTION, "DMPClosed",
                                     context="Le dossier est fermé"),
    **status_variants(NS, ACTION),
})
