"""The answer frame of the services with their own schemas
("patientsSpecific", "habilitations"): <opResponse><output><status>...
and what names the patient of a request."""

from .service import Answer
from .soap import envelope
from .xmltext import esc


def output(request, operation, namespace, action_base, status, content="", context="", with_output=True):
    """status None: an output without status; with_output False: a response
    without output."""
    ctx = "<context>%s</context>" % esc(context) if context else ""
    inner = "<output>%s%s%s</output>" % ("" if status is None else "<status>%s</status>" % esc(status), ctx,
                                         content) if with_output else ""
    xml = '<%sResponse xmlns="%s">%s</%sResponse>' % (operation, namespace, inner, operation)
    return Answer(body=envelope(xml, action_base + operation + "Response", request.message_id),
                  note=status or "sans statut")


# The statuses the services answer besides DMPOk, and one they never do.
STATUSES = ("DMPErrorLPS", "DMPInvalidRequest", "DMPPatientAccessAlreadyExists", "DMPPatientAccessOTPAlreadyExists",
            "DMPAuthorizationNotFound", "DMPAuthenticationError", "DMPAccessDeniedByRightsService",
            "DMPAccessForbidden", "DMPClosed", "DMPStatutInconnu")


def status_variants(namespace, action_base):
    """Answers to the operation the request names: "status:S" each status S
    with a context holding entities, "no_status" an output without status,
    "no_output" a response without output, "other_response" a DMPOk output
    in a body without the operation's response."""
    def answer(status, with_output=True):
        return lambda request, body, sim: output(request, request.operation, namespace, action_base, status,
                                                 context="Contexte <%s> & détail" % status if status else "",
                                                 with_output=with_output)
    variants = {"status:" + s: answer(s) for s in STATUSES}
    variants.update({"no_status": answer(None), "no_output": answer(None, False),
                     "other_response": lambda request, body, sim: output(
                         request, request.operation + "Other", namespace, action_base, "DMPOk")})
    return variants


def element(name, value):
    return "<%s>%s</%s>" % (name, esc(value), name)


def patient_of_request(request, sim):
    """The seeded patient whose INS the request names (in its identity
    assertion), or None."""
    data = request.envelope_bytes.decode("utf-8", "replace")
    return next((p for p in sim.seed.patients if p["ins"] in data), None)
