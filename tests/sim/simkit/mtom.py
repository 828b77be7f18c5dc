"""MTOM/XOP answers (W3C XOP, multipart/related of RFC 2387): the SOAP
envelope as the root part, attachments after it."""

import hashlib

ROOT_ID = "<root.message@simulateur.carvelin.test>"


def boundary_for(basis):
    """A boundary derived from the request (its message id), so that the
    same request is answered byte for byte alike."""
    return "MIMEBoundary_" + hashlib.sha256(basis.encode("utf-8")).hexdigest()[:32]


def multipart(envelope, attachments, action, basis):
    """(content type, body) of an MTOM answer; attachments are (content id, bytes)."""
    boundary = boundary_for(basis).encode()
    crlf = b"\r\n"
    out = [b"--" + boundary, crlf,
           b'Content-Type: application/xop+xml; charset=UTF-8; type="application/soap+xml"; action="'
           + action.encode() + b'"', crlf,
           b"Content-Transfer-Encoding: binary", crlf, b"Content-ID: " + ROOT_ID.encode(), crlf, crlf,
           envelope, crlf]
    for cid, data in attachments:
        out += [b"--" + boundary, crlf, b"Content-Type: application/octet-stream", crlf,
                b"Content-Transfer-Encoding: binary", crlf, b"Content-ID: <" + cid.encode() + b">", crlf, crlf,
                data, crlf]
    out += [b"--" + boundary + b"--", crlf]
    content_type = ('multipart/related; type="application/xop+xml"; boundary="%s"; start="%s"; '
                    'start-info="application/soap+xml"' % (boundary.decode(), ROOT_ID))
    return content_type, b"".join(out)


def email_multipart(envelope, attachments, action, basis):
    """The same answer written by Python's email package (RFC 2387 with
    binary parts), so that our MIME reader is checked against another
    writer: (content type, body)."""
    import email.generator
    import email.message
    import email.policy
    import io
    policy = email.policy.HTTP.clone(linesep="\r\n")

    def part(data, maintype, subtype, cid, params=None):
        p = email.message.EmailMessage(policy=policy)
        p.set_content(data, maintype, subtype, cte="binary", params=params or {})
        del p["MIME-Version"]
        p["Content-ID"] = cid
        return p

    message = email.message.EmailMessage(policy=policy)
    message.set_type("multipart/related")
    for name, value in (("type", "application/xop+xml"), ("start", ROOT_ID),
                        ("start-info", "application/soap+xml")):
        message.set_param(name, value)
    message.set_boundary(boundary_for(basis))
    message.attach(part(envelope, "application", "xop+xml", ROOT_ID,
                        {"charset": "UTF-8", "type": "application/soap+xml", "action": action}))
    for cid, data in attachments:
        message.attach(part(data, "application", "octet-stream", "<%s>" % cid))
    out = io.BytesIO()
    email.generator.BytesGenerator(out, policy=policy).flatten(message)
    return message["Content-Type"], out.getvalue().split(b"\r\n\r\n", 1)[1]
