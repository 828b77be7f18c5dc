"""The service parameters document "params" on the public site:
GET /web/dmp/documents/param-lps answers 302 with a relative Location,
which answers 302 with an absolute https Location, which serves the XML
document. Variants (on any step): "loop" (a redirect to itself),
"not_found" (404), "http_target" (a redirect to http://), "overflow"
(an integer parameter too large for the program)."""

from simkit.service import Answer, Service

ENTRY = "/web/dmp/documents/param-lps"
STEP = ENTRY + "/v1"
DOCUMENT = "/web/dmp/documents/param-lps.xml"
PARAMETERS = {"fonctions-gestion-mineurs": "true", "cumul-invisible_patient-masque_ps": "true",
              "age-majorite": "18", "hr-periode-max-mois": "36"}


def document(values):
    items = "".join('<parameter code="%s" value="%s"/>' % kv for kv in values.items())
    return ('<?xml version="1.0" encoding="UTF-8"?><dmp-parameters><parameter-list code="param-si-dmp">%s'
            '</parameter-list><parameter-list code="param-autre"><parameter code="age-majorite" value="7"/>'
            '</parameter-list></dmp-parameters>' % items).encode("utf-8")


def redirect(location, note):
    return Answer(302, b"", "", {"Location": location}, note=note)


def serve(request, sim, values=PARAMETERS):
    if request.path == ENTRY:
        return redirect("param-lps/v1", "redirection relative")
    if request.path == STEP:
        return redirect("https://%s%s" % (request.host_header, DOCUMENT), "redirection absolue")
    return Answer(200, document(values), "application/xml; charset=utf-8", note="document")


SERVICE = Service("params", "public", [ENTRY, STEP, DOCUMENT], serve, variants={
    "loop": lambda request, sim: redirect(request.path, "boucle"),
    "not_found": lambda request, sim: Answer(404, b"Not found\n", "text/plain", note="404"),
    "http_target": lambda request, sim: redirect("http://%s%s" % (request.host_header, DOCUMENT), "vers http"),
    "overflow": lambda request, sim: serve(request, sim, dict(PARAMETERS, **{"age-majorite": "99999999999"})),
})
