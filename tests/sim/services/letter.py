"""The maker's record-opening letter on the public site.

GET /dmp/ouverture.php?data=<Base64 of a UTF-8 JSON object>: the letter for
the patient, a one-page PDF. The "data" parameter (as received, and decoded
from the query) goes into the request log ("ouverture"). Variants: "html"
(an HTML page with status 200), "error" (status 500 with an HTML page),
"pdf_500" (a PDF body with status 500)."""

import urllib.parse

from simkit.service import Answer, Service

HTML_PAGE = b"<!DOCTYPE html><html><body><h1>Courrier indisponible</h1></body></html>"


def one_page_pdf(text):
    """A small well-formed PDF (cross-reference offsets computed) showing text."""
    stream = ("BT /F1 18 Tf 72 720 Td (%s) Tj ET" % text).encode("latin-1")
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>",
               b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
               b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R"
               b" /Resources << /Font << /F1 5 0 R >> >> >>",
               b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream",
               b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for offset in offsets:
        out += b"%010d 00000 n \n" % offset
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return bytes(out)


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
