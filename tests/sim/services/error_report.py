"""The maker's error report "error_report" on the public site:
POST /error_report.php with a URL-encoded form (RPPS, ENV, Nom, Prenom,
Error, Request, Response). The decoded fields go into the request log
("error_report"): Error is Base64 of the detail followed by a space and the
build stamp in brackets; Request and Response are Base64."""

import base64
import binascii
import urllib.parse

from simkit.service import Answer, Service


def decode_base64(value):
    try:
        return base64.b64decode(value, validate=True).decode("utf-8", "replace")
    except (binascii.Error, ValueError):
        return None


def report(request, sim):
    if request.method != "POST":
        return Answer(405, b"POST only\n", "text/plain")
    form = urllib.parse.parse_qs(request.body.decode("latin-1"), keep_blank_values=True)
    fields = {k: v[0] for k, v in form.items()}
    decoded = dict(fields)
    encoded_error, _, stamp = fields.get("Error", "").partition(" ")
    decoded["Error"] = decode_base64(encoded_error)
    decoded["Stamp"] = stamp
    for name in ("Request", "Response"):
        if name in fields:
            decoded[name] = decode_base64(fields[name])
    decoded["field_order"] = list(fields)
    request.log_extra["error_report"] = decoded
    return Answer(200, b"OK", "text/plain; charset=utf-8", note="rapport reçu")


SERVICE = Service("error_report", "public", ["/error_report.php"], report)
