"""MTOM/XOP answers (W3C XOP, multipart/related of RFC 2387): the SOAP
envelope as the root part, attachments after it."""

BOUNDARY = "MIMEBoundary_carvelin_simulateur"
ROOT_ID = "<root.message@simulateur.carvelin.test>"


def multipart(envelope, attachments, action):
    """(content type, body) of an MTOM answer; attachments are (content id, bytes)."""
    crlf = b"\r\n"
    out = [b"--" + BOUNDARY.encode(), crlf,
           b'Content-Type: application/xop+xml; charset=UTF-8; type="application/soap+xml"; action="'
           + action.encode() + b'"', crlf,
           b"Content-Transfer-Encoding: binary", crlf, b"Content-ID: " + ROOT_ID.encode(), crlf, crlf,
           envelope, crlf]
    for cid, data in attachments:
        out += [b"--" + BOUNDARY.encode(), crlf, b"Content-Type: application/octet-stream", crlf,
                b"Content-Transfer-Encoding: binary", crlf, b"Content-ID: <" + cid.encode() + b">", crlf, crlf,
                data, crlf]
    out += [b"--" + BOUNDARY.encode() + b"--", crlf]
    content_type = ('multipart/related; type="application/xop+xml"; boundary="%s"; start="%s"; '
                    'start-info="application/soap+xml"' % (BOUNDARY, ROOT_ID))
    return content_type, b"".join(out)
