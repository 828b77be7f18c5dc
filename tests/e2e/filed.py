#!/usr/bin/python3
"""Checks the filing that created UID, as the simulator saved it, read with
the email package (a multipart/related message) and xml.etree.

    filed.py REQUESTS.jsonl UID [--pdf FILE] [--title TEXT] [--type CODE]
             [--comment TEXT] [--created YYYYMMDDhhmmss]
             [--vaccine CIS] [--lot TEXT]

--pdf: a CDA whose non-XML body holds exactly the bytes of FILE (SHA-256
compared); --title, --type, --comment, --created: the document entry's
name, type code, description and creation time; --vaccine, --lot: a
vaccination note whose administered product has that CIS code and batch."""
import argparse
import base64
import email
import email.policy
import hashlib
import json
import os
import re
import sys
import xml.etree.ElementTree as ET

RIM = "{urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0}"
HL7 = "{urn:hl7-org:v3}"
TYPE_CODE = "urn:uuid:f0306f51-975f-434e-a61c-c59651d33983"


def parts_of(log, uid):
    """The bodies of the multipart request that filed uid."""
    folder = os.path.dirname(log)
    with open(log, encoding="utf-8") as f:
        entries = [json.loads(line) for line in f if line.strip()]
    for entry in entries:
        if uid not in entry.get("filed", []):
            continue
        with open(os.path.join(folder, entry["request_file"]), "rb") as f:
            body = f.read()
        head = ("Content-Type: %s\r\n\r\n" % entry["content_type"]).encode("ascii")
        message = email.message_from_bytes(head + body, policy=email.policy.compat32)
        return [part.get_payload(decode=True) or b"" for part in message.walk() if not part.is_multipart()]
    sys.exit("no filing of %s in %s" % (uid, log))


def document_entry(parts):
    """The registry's entry of the filed document (ExtrinsicObject)."""
    for data in parts:
        if b"ExtrinsicObject" in data:
            for node in ET.fromstring(data).iter(RIM + "ExtrinsicObject"):
                return node
    sys.exit("no document entry in the filing")


def localized(node, child):
    found = node.find(RIM + child + "/" + RIM + "LocalizedString")
    return None if found is None else found.get("value")


def slot(node, name):
    return [v.text for s in node.findall(RIM + "Slot") if s.get("name") == name for v in s.iter(RIM + "Value")]


def classification(node, scheme):
    return [c.get("nodeRepresentation") for c in node.findall(RIM + "Classification")
            if c.get("classificationScheme") == scheme]


def check(name, got, wanted):
    if got != wanted:
        sys.exit("the filed %s is %r, not %r" % (name, got, wanted))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("log")
    parser.add_argument("uid")
    for option in ("pdf", "title", "type", "comment", "created", "vaccine", "lot"):
        parser.add_argument("--" + option)
    args = parser.parse_args()
    parts = parts_of(args.log, args.uid)
    entry = document_entry(parts)
    if args.title is not None:
        check("title", localized(entry, "Name"), args.title)
    if args.comment is not None:
        check("comment", localized(entry, "Description"), args.comment)
    if args.type is not None:
        check("type code", classification(entry, TYPE_CODE), [args.type])
    if args.created is not None:
        check("creation time", slot(entry, "creationTime"), [args.created])
    if args.pdf is not None:
        with open(args.pdf, "rb") as f:
            wanted = hashlib.sha256(f.read()).hexdigest()
        bodies = [base64.b64decode(m.group(1)) for data in parts
                  for m in re.finditer(rb'<text[^>]*representation="B64"[^>]*>([^<]*)</text>', data)]
        if not any(hashlib.sha256(b).hexdigest() == wanted for b in bodies):
            sys.exit("the filing of %s holds no CDA whose body is %s" % (args.uid, args.pdf))
    if args.vaccine is not None or args.lot is not None:
        cdas = [ET.fromstring(data) for data in parts if b"substanceAdministration" in data]
        if not cdas:
            sys.exit("the filing of %s holds no vaccination note" % args.uid)
        material = next(cdas[0].iter(HL7 + "manufacturedMaterial"))
        if args.vaccine is not None:
            check("vaccine", material.find(HL7 + "code").get("code"), args.vaccine)
        if args.lot is not None:
            check("batch", material.find(HL7 + "lotNumberText").text, args.lot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
