"""The authorisation service "habilitations":

setAuthorization            DMPOk; AJOUT makes the record's AUTORISATION
                            "VALIDE", SUPPRESSION empties it
listAuthorizationByPatient  the practitioners with access, by mode
                            (ACTIVE, INTERDITE or TOUTE)
Both pass the record checks of simkit.record (the patient is the one the
assertion names); a body value they do not know is a SOAP fault.
Variants: "forbidden" (DMPAccessForbidden), "closed" (DMPClosed); and those
of simkit.specific.status_variants for any operation."""

from simkit.record import body_value, record_patient
from simkit.service import Operation, soap_service
from simkit.specific import element, output, status_variants
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


def practitioner(sim, d):
    return ("<listOfAuthorizationByPatient>%s</listOfAuthorizationByPatient>" % "".join([
        element("nationalId", d["id"]), element("nationalIdType", d["id_type"]),
        element("firstName", d["given"]), element("lastName", d["family"]),
        element("lastActionDate", sim.seed.hl7_time("-9d")), element("mode", d["mode"]),
        element("startOfAuthorization", sim.seed.hl7_time("-400d")),
        element("codeSpeciality", d["speciality"]), element("libSpeciality", d["speciality_label"]),
        element("specificRight", "MEDECIN_TRAITANT" if d["treating"] else "")]))


def list_authorizations(request, body, sim):
    checked = record_patient(request, sim) is not None
    mode = body_value(body, "mode", ("ACTIVE", "INTERDITE", "TOUTE")) if checked else text(child(body, "mode")) or "TOUTE"
    chosen = [d for d in sim.seed.practitioners if mode == "TOUTE" or d["mode"] == mode]
    return output(request, "listAuthorizationByPatient", NS, ACTION, "DMPOk",
                  "".join(practitioner(sim, d) for d in chosen))


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
