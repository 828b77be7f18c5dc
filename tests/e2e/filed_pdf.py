#!/usr/bin/python3
"""Checks that the simulator received, in the filing that created UID, a CDA
whose non-XML body holds exactly the bytes of PDF (SHA-256 compared).

    filed_pdf.py REQUESTS.jsonl UID PDF

The request is read from the simulator's saved body with the email package,
as a multipart/related message."""
import base64
import email
import email.policy
import hashlib
import json
import os
import re
import sys


def main():
    log, uid, pdf = sys.argv[1:4]
    with open(pdf, "rb") as f:
        wanted = hashlib.sha256(f.read()).hexdigest()
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
        for part in message.walk():
            data = part.get_payload(decode=True) or b""
            for m in re.finditer(rb'<text[^>]*representation="B64"[^>]*>([^<]*)</text>', data):
                if hashlib.sha256(base64.b64decode(m.group(1))).hexdigest() == wanted:
                    return 0
        return "the filing of %s holds no CDA whose body is %s" % (uid, pdf)
    return "no filing of %s in %s" % (uid, log)


if __name__ == "__main__":
    sys.exit(main())
