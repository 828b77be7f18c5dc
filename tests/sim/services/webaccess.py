"""The professional web-access pages "webaccess" on the public site:
GET /AccesDirect/<page>[/<INS>/<OID>] (also with the double slash the
training base gives) answers a small HTML page naming the page and the
patient: the demo's browser target."""

from simkit.service import Answer, Service
from simkit.xmltext import esc

PAGES = ("TableauDeBord", "DossierPatient", "GestionDMPPatient", "Documents", "ParcoursDeSoins",
         "HistoriqueAcces", "Parametrages", "VolontesEtDroits")


def page(request, sim):
    parts = [p for p in request.path.split("/") if p][1:]
    if not parts or parts[0] not in PAGES or len(parts) not in (1, 3):
        return Answer(404, b"<html><body>Page inconnue</body></html>", "text/html; charset=utf-8")
    who = ""
    if len(parts) == 3:
        p = sim.seed.patient_by_ins(parts[1])
        name = "%s %s" % (p["given"][0], p["usage_name"] or p["birth_name"]) if p else "patient inconnu"
        who = "<p>Patient : %s (INS %s, OID %s)</p>" % (esc(name), esc(parts[1]), esc(parts[2]))
    html = ('<!DOCTYPE html><html lang="fr"><head><meta charset="utf-8"><title>DMP - %s</title></head>'
            '<body><h1>Accès web professionnel</h1><p>Page : %s</p>%s</body></html>'
            % (parts[0], parts[0], who))
    return Answer(200, html.encode("utf-8"), "text/html; charset=utf-8", note=parts[0])


SERVICE = Service("webaccess", "public", ["/AccesDirect/*", "//AccesDirect/*"], page)
