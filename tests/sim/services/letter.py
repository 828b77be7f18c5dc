"""The maker's record-opening letter on the public site.

GET /dmp/ouverture.php?data=<Base64 of a UTF-8 JSON object>: the letter for
the patient, a one-page PDF. The "data" parameter (as received, and decoded
from the query) goes into the request log ("ouverture"). Variants: "html"
(an HTML page with status 200), "error" (status 500 with an HTML page),
"pdf_500" (a PDF body with status 500)."""

import urllib.parse

from simkit.pdf import one_page_pdf
from simkit.service import Answer, Service

HTML_PAGE = b"<!DOCTYPE html><html><body><h1>Courrier indisponible</h1></body></html>"


LETTER = one_page_pdf("Ouverture de votre DMP")


def log_data(request):
    raw = next((p[len("data="):] for p in request.query.split("&") if p.startswith("data=")), None)
    request.log_extra["ouverture"] = {
        "query": request.query,
        "data": urllib.parse.unquote(raw) if raw is not None else None,
    }


def letter(request, sim):
    log_data(request)
    if request.method != "GET":
        return Answer(405, b"GET only\n", "text/plain; charset=utf-8")
    return Answer(200, LETTER, "application/pdf", note="courrier d'ouverture")


def variant(status, body, content_type):
    def answer(request, sim):
        log_data(request)
        return Answer(status, body, content_type)
    return answer


SERVICE = Service("letter", "public", ["/dmp/ouverture.php"], letter, variants={
    "html": variant(200, HTML_PAGE, "text/html; charset=utf-8"),
    "error": variant(500, HTML_PAGE, "text/html; charset=utf-8"),
    "pdf_500": variant(500, LETTER, "application/pdf"),
})
