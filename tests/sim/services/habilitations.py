"""The authorisation service "habilitations":

setAuthorization            DMPOk (action AJOUT or SUPPRESSION)
listAuthorizationByPatient  the practitioners with access, by mode
                            (ACTIVE, INTERDITE or TOUTE)
Variants: "forbidden" (DMPAccessForbidden), "closed" (DMPClosed); and those
of simkit.specific.status_variants for any operation."""

from simkit.service import Operation, soap_service
from simkit.specific import element, output, status_variants
from simkit.xmltext import child, text

PATH = "/si-dmp-server/v2/services/habilitations"
NS = "urn:si-dmp-habilitations"
ACTION = "urn:si-dmp-habilitations:HabilitationsEndPoint:"


def set_authorization(request, body, sim):
    act = text(child(body, "action"))
    if act not in ("AJOUT", "SUPPRESSION"):
        return output(request, "setAuthorization", NS, ACTION, "DMPInvalidRequest",
                      context="action inconnue: '%s'" % act)
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
    mode = text(child(body, "mode")) or "TOUTE"
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
