"""SOAP 1.2 answers and the checks every SOAP request passes before its
service reads it: well-formed XML, WS-Addressing To and Action, and the
WS-Security header (an identity assertion, signed for the identity
teleservice). A failed check is answered with a SOAP fault naming it."""

import email.parser
import email.policy
import os
import subprocess
import tempfile
import uuid
from xml.etree import ElementTree as ET

from .xmltext import attr, child, children, esc, find_all, local, path, text

SOAP_NS = "http://www.w3.org/2003/05/soap-envelope"
WSA_NS = "http://www.w3.org/2005/08/addressing"
SAML_NS = "urn:oasis:names:tc:SAML:2.0:assertion"
DSIG_NS = "http://www.w3.org/2000/09/xmldsig#"
SOAP_CONTENT_TYPE = "application/soap+xml; charset=utf-8"


class CheckFailed(Exception):
    """A request that the service refuses; the message is the fault's reason."""

    def __init__(self, reason, subcode="InvalidRequest"):
        super().__init__(reason)
        self.reason = reason
        self.subcode = subcode


def envelope(body, action="", relates_to=""):
    """A SOAP 1.2 answer around body markup, with the WS-Addressing action."""
    header = ""
    if action:
        header = ("<soap:Header><wsa:Action>%s</wsa:Action>" % esc(action) +
                  ("<wsa:RelatesTo>%s</wsa:RelatesTo>" % esc(relates_to) if relates_to else "") +
                  "</soap:Header>")
    return ('<?xml version="1.0" encoding="UTF-8"?>'
            '<soap:Envelope xmlns:soap="%s" xmlns:wsa="%s">%s<soap:Body>%s</soap:Body></soap:Envelope>'
            % (SOAP_NS, WSA_NS, header, body)).encode("utf-8")


def fault(reason, code="soap:Sender", subcode=""):
    """A SOAP 1.2 fault (RFC-free: W3C SOAP 1.2 part 1 §5.4); reason is plain
    text, escaped here so that the client decodes its entities."""
    sub = ("<soap:Subcode><soap:Value>%s</soap:Value></soap:Subcode>" % esc(subcode)) if subcode else ""
    return envelope('<soap:Fault><soap:Code><soap:Value>%s</soap:Value>%s</soap:Code>'
                    '<soap:Reason><soap:Text xml:lang="fr">%s</soap:Text></soap:Reason></soap:Fault>'
                    % (esc(code), sub, esc(reason)))


ID_NAMESPACE = uuid.UUID("0c7d3a52-61e4-4b0f-8d2a-3f5e9b1c7a44")


def new_id(basis):
    """An identifier derived from basis (the request's message id and what
    is named), so that the same request is answered byte for byte alike."""
    return str(uuid.uuid5(ID_NAMESPACE, basis))


def split_mtom(content_type, body):
    """The parts of a multipart/related (MTOM, RFC 2387) body as
    (content id, headers, payload bytes), root part first as its "start"
    parameter names it."""
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
    if not message.is_multipart():
        raise CheckFailed("Requête MTOM illisible: pas de parties")
    start = message.get_param("start", header="content-type") or ""
    parts = []
    for part in message.iter_parts():
        cid = (part.get("Content-ID") or "").strip()
        parts.append((cid, part, part.get_payload(decode=True) or b""))
    parts.sort(key=lambda p: p[0] != start)
    return parts


def read_envelope(request):
    """The request's envelope element (the root part of an MTOM body)."""
    data = request.body
    if request.content_type.lower().startswith("multipart/related"):
        request.parts = split_mtom(request.content_type, data)
        data = request.parts[0][2]
    try:
        root = ET.fromstring(data)
    except ET.ParseError as error:
        raise CheckFailed("Requête illisible: %s" % error, "XMLParseError")
    if local(root.tag) != "Envelope" or root.tag != "{%s}Envelope" % SOAP_NS:
        raise CheckFailed("Requête sans enveloppe SOAP 1.2")
    return root


def body_element(envelope_node):
    body = child(envelope_node, "Body")
    first = next(iter(body), None) if body is not None else None
    if first is None:
        raise CheckFailed("Corps SOAP vide")
    return first


def check_addressing(request, header, action, with_to=True):
    """wsa:To must name the endpoint the request reached; wsa:Action the operation."""
    endpoint = "https://%s%s" % (request.host_header, request.path)
    to = text(child(header, "To")).strip()
    if with_to and to != endpoint:
        raise CheckFailed("wsa:To '%s' ne désigne pas le service %s" % (to, endpoint), "InvalidAddressing")
    got = text(child(header, "Action")).strip()
    if got != action:
        raise CheckFailed("wsa:Action '%s' ne correspond pas à l'opération (%s attendu)" % (got, action),
                          "ActionMismatch")


def assertion_of(header, signed):
    security = child(header, "Security")
    assertions = [a for a in children(security, "Assertion") if a.tag == "{%s}Assertion" % SAML_NS]
    if not assertions:
        raise CheckFailed("En-tête wsse:Security sans assertion SAML", "InvalidSecurity")
    if signed and child(assertions[0], "Signature") is None:
        raise CheckFailed("Assertion SAML non signée", "InvalidSecurity")
    return assertions[0]


def verify_signature(request, pki_dir):
    """xmlsec1 checks the assertion's signature: the test root trusted, the
    card authority given as an untrusted intermediate (--trusted-pem reads
    only the first certificate of a file, so the files are the authorities' own)."""
    with tempfile.NamedTemporaryFile(suffix=".xml", delete=False) as f:
        f.write(request.envelope_bytes)
        name = f.name
    try:
        result = subprocess.run(
            ["xmlsec1", "--verify", "--trusted-pem", os.path.join(pki_dir, "root-ca.pem"),
             "--untrusted-pem", os.path.join(pki_dir, "ca-personnes.pem"),
             "--id-attr:ID", "urn:oasis:names:tc:SAML:2.0:assertion:Assertion", name],
            capture_output=True, text=True, timeout=30)
    finally:
        os.unlink(name)
    if result.returncode != 0:
        last = (result.stderr.strip().splitlines() or ["?"])[-1]
        raise CheckFailed("Signature de l'assertion invalide: %s" % last, "InvalidSecurity")


def check_request(request, action, teleservice=False, with_to=True, verify=False, pki_dir=""):
    """Runs the common checks; fills request.envelope and request.header."""
    header = child(request.envelope, "Header")
    if header is None:
        raise CheckFailed("Requête sans en-tête SOAP")
    check_addressing(request, header, action, with_to)
    if teleservice:
        for name in ("ContexteBAM", "ContexteLPS"):
            if child(header, name) is None:
                raise CheckFailed("En-tête %s absent" % name, "InvalidContext")
        assertion_of(header, signed=True)
        if verify:
            verify_signature(request, pki_dir)
    else:
        assertion_of(header, signed=False)
    request.message_id = text(child(header, "MessageID")).strip()


class MalformedList(ValueError):
    """A slot value that is not a well-formed stored-query list; the
    message names the slot."""


def value_list(raw):
    """The items of a stored-query value: "('a','b')" (ebRS 3.0 §6.3: each
    item quoted, a quote inside an item doubled), or one bare or quoted
    value. ValueError for anything else."""
    raw = raw.strip()
    if not raw.startswith("("):
        if raw.startswith("'"):
            items = value_list("(" + raw + ")")
            if len(items) != 1:
                raise ValueError(raw)
            return items
        return [raw] if raw else []
    if not raw.endswith(")"):
        raise ValueError(raw)
    inner, items, i = raw[1:-1], [], 0
    while True:
        while i < len(inner) and inner[i] == " ":
            i += 1
        if i >= len(inner) or inner[i] != "'":
            raise ValueError(raw)
        i, item = i + 1, []
        while True:
            if i >= len(inner):
                raise ValueError(raw)
            if inner[i] == "'":
                if inner[i + 1:i + 2] == "'":
                    item.append("'")
                    i += 2
                    continue
                i += 1
                break
            item.append(inner[i])
            i += 1
        items.append("".join(item))
        while i < len(inner) and inner[i] == " ":
            i += 1
        if i == len(inner):
            return items
        if inner[i] != ",":
            raise ValueError(raw)
        i += 1


def stored_query_slots(adhoc):
    """The slots of an AdhocQuery as name -> list of values, each value's
    stored-query list syntax opened into its items; MalformedList names a
    slot whose value does not read."""
    slots = {}
    for slot in children(adhoc, "Slot"):
        values = []
        for value in find_all(slot, "Value"):
            try:
                values.extend(value_list(text(value)))
            except ValueError:
                raise MalformedList("Liste mal formée dans le paramètre %s" % attr(slot, "name"))
        slots[attr(slot, "name")] = values
    return slots


__all__ = ["CheckFailed", "envelope", "fault", "new_id", "read_envelope", "body_element",
           "check_request", "stored_query_slots", "value_list", "MalformedList", "split_mtom", "path", "SOAP_CONTENT_TYPE"]
