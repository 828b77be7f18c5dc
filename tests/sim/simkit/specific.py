"""The answer frame of the services with their own schemas
("patientsSpecific", "habilitations"): <opResponse><output><status>...
and what names the patient of a request."""

from .service import Answer
from .soap import envelope
from .xmltext import esc


def output(request, operation, namespace, action_base, status, content="", context=""):
    ctx = "<context>%s</context>" % esc(context) if context else ""
    xml = ('<%sResponse xmlns="%s"><output><status>%s</status>%s%s</output></%sResponse>'
           % (operation, namespace, status, ctx, content, operation))
    return Answer(body=envelope(xml, action_base + operation + "Response", request.message_id), note=status)


def element(name, value):
    return "<%s>%s</%s>" % (name, esc(value), name)


def patient_of_request(request, sim):
    """The seeded patient whose INS the request names (in its identity
    assertion), or None."""
    data = request.envelope_bytes.decode("utf-8", "replace")
    return next((p for p in sim.seed.patients if p["ins"] in data), None)
