"""The maker's web-access letter on the public site.

GET /dmp/index.php?data=<percent-encoded Base64 of a UTF-8 JSON object
{"name", "ins", "login", "pwd"}>: the letter, a one-page PDF naming the
login. The query as received and the decoded object (or the reason it could
not be decoded) go into the request log ("acces_web"). Variants: "html" (an
HTML page with status 200), "not_found" (404), "error" (500), "slow" (the
letter after 8 seconds, past the program's 5-second limit)."""

import base64
import binascii
import json
import time
import urllib.parse

from simkit.pdf import one_page_pdf
from simkit.service import Answer, Service

HTML_PAGE = b"<!DOCTYPE html><html><body><h1>Courrier indisponible</h1></body></html>"


def decoded(request):
    """The data object, logged; None when it is not one."""
    values = urllib.parse.parse_qs(request.query, keep_blank_values=True).get("data", [])
    entry = {"query": request.query}
    request.log_extra["acces_web"] = entry
    try:
        data = json.loads(base64.b64decode(values[0], validate=True).decode("utf-8"))
        if not isinstance(data, dict):
            raise ValueError("not an object")
    except (IndexError, ValueError, binascii.Error, UnicodeDecodeError) as error:
        entry["error"] = str(error) or type(error).__name__
        return None
    entry["data"] = data
    return data


def letter(request, sim):
    data = decoded(request)
    if request.method != "GET":
        return Answer(405, b"GET only\n", "text/plain; charset=utf-8")
    if data is None:
        return Answer(400, HTML_PAGE, "text/html; charset=utf-8")
    login = "".join(c for c in str(data.get("login", "")) if c.isalnum())
    return Answer(200, one_page_pdf("Identifiant " + login), "application/pdf", note="courrier d'accès web")


def variant(status, body, content_type):
    def answer(request, sim):
        decoded(request)
        return Answer(status, body, content_type)
    return answer


def slow(request, sim):
    time.sleep(8)
    return letter(request, sim)


SERVICE = Service("access_letter", "public", ["/dmp/index.php"], letter, variants={
    "html": variant(200, HTML_PAGE, "text/html; charset=utf-8"),
    "not_found": variant(404, HTML_PAGE, "text/html; charset=utf-8"),
    "error": variant(500, HTML_PAGE, "text/html; charset=utf-8"),
    "slow": slow,
})
