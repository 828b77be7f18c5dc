"""Captures the simulator's answers to the canned requests of requests/.

    /usr/bin/python3 tests/sim/capture.py --pki DIR [--out DIR]
    /usr/bin/python3 tests/sim/capture.py --list

Starts the simulator (fixed day, the given test PKI), posts each request of
CAPTURES with its rule and writes the answer's body to OUT/<fixture>
(default: tests/fixtures/replies). The answers depend on the request and the
day only, so a second capture gives the same bytes. --list prints one line
a capture, tab-separated: fixture, service, request file, reader (of
tests/tools/reply-dump), the code it gives (hexadecimal) and the rule (JSON)."""

import argparse
import http.client
import json
import os
import ssl
import subprocess
import sys
import tempfile
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
TODAY = "2025-03-15"
SERVICES = "/si-dmp-server/v2/services/"
MTOM_TYPE = ('multipart/related; type="application/xop+xml"; boundary="=_carvelin_boundary_"; '
             'start="<root.message@carvelin.soap>"; start-info="application/soap+xml"')
FAULT = {"soap_fault": {"reason": "Requête <refusée> & \"signalée\" par l'hébergeur", "subcode": "DMPRefus"}}
# A refused search tells some detail codes apart; a refused record query does not.
SEARCH_REFUSALS = [("DMPTooManyResult", 0x5002), ("DMPInvalidRequest", 0x5003), ("DMPAuthenticationError", 0x5004),
                   ("DMPAuthorizationNotFound", 0x5001), ("DMPErreurInconnue", 0x5001)]
STATUS_CODES = [("DMPErrorLPS", 0x5003), ("DMPInvalidRequest", 0x5003), ("DMPClosed", 0x5003),
                ("DMPAuthorizationNotFound", 0x5004), ("DMPAuthenticationError", 0x5004),
                ("DMPAccessForbidden", 0x5004), ("DMPAccessDeniedByRightsService", 0x5004),
                ("DMPPatientAccessAlreadyExists", 0x4001), ("DMPPatientAccessOTPAlreadyExists", 0x4001),
                ("DMPStatutInconnu", 0x4001)]
REGISTRY_ERRORS = [("authorization_not_found", 0x5004), ("access_forbidden", 0x5004), ("too_many", 0x5002),
                   ("unique_id_error", 0x7001), ("replace_failed", 0x6005), ("deprecated", 0x6005),
                   ("version_error", 0x5013), ("unlisted_error", 0x7000)]


def v(name):
    return {"variant": name}


# (fixture, service, request, reader, code, rule)
CAPTURES = [
    ("sim-dossier.xml", "patients", "patients-exists.xml", "dossier", 0, {}),
    ("sim-dossier-closed.xml", "patients", "patients-closed.xml", "dossier", 0, {}),
    ("sim-dossier-nf.xml", "patients", "patients-exists.xml", "dossier", 0x5000, v("NF")),
    ("sim-dossier-ack-other.xml", "patients", "patients-exists.xml", "dossier", 0x8000, v("ack_other")),
    ("sim-dossier-non-renseigne.xml", "patients", "patients-exists.xml", "dossier", 0, v("non_renseigne")),
    ("sim-dossier-31feb.xml", "patients", "patients-exists.xml", "dossier", 0, v("birth_31_february")),
    ("sim-dossier-fault.xml", "patients", "patients-exists.xml", "dossier", 0x4001, FAULT),
    ("sim-volet.xml", "patients", "patients-panel.xml", "volet", 0, {}),
    ("sim-volet-non-renseigne.xml", "patients", "patients-panel.xml", "volet", 0, v("non_renseigne")),
    ("sim-revision.xml", "patients", "patients-revision.xml", "revision", 0, {}),
    ("sim-revision-refused.xml", "patients", "patients-revision.xml", "revision", 0x5003, v("revision_refused")),
    ("sim-revision-two-children.xml", "patients", "patients-revision.xml", "revision", 0x8000, v("two_children")),
    ("sim-patients.xml", "patientsPDQ", "pdq-search.xml", "patients", 0, {}),
    ("sim-patients-empty.xml", "patientsPDQ", "pdq-search.xml", "patients", 0, v("empty")),
    ("sim-patients-ack-other.xml", "patientsPDQ", "pdq-search.xml", "patients", 0x5001, v("ack_other")),
    ("sim-dossiers.xml", "patientsSpecific", "specific-list.xml", "dossiers", 0, {}),
    ("sim-dossiers-error-lps.xml", "patientsSpecific", "specific-list.xml", "dossiers", 0x5003,
     v("status:DMPErrorLPS")),
    ("sim-dossiers-no-output.xml", "patientsSpecific", "specific-list.xml", "dossiers", 0x8000, v("no_output")),
    ("sim-acces.xml", "patientsSpecific", "specific-access.xml", "acces", 0, {}),
    ("sim-acces-exists.xml", "patientsSpecific", "specific-access.xml", "acces", 0x500B,
     v("status:DMPPatientAccessAlreadyExists")),
    ("sim-canal.xml", "patientsSpecific", "specific-otp.xml", "canal", 0, {}),
    ("sim-canal-exists.xml", "patientsSpecific", "specific-otp.xml", "canal", 0x500C,
     v("status:DMPPatientAccessOTPAlreadyExists")),
    ("sim-praticiens.xml", "habilitations", "habilitations-list.xml", "praticiens", 0, {}),
    ("sim-autorisation.xml", "habilitations", "habilitations-set.xml", "autorisation", 0, {}),
    ("sim-autorisation-no-status.xml", "habilitations", "habilitations-set.xml", "autorisation", 0x4001,
     v("no_status")),
    ("sim-autorisation-no-output.xml", "habilitations", "habilitations-set.xml", "autorisation", 0,
     v("no_output")),
    ("sim-documents.xml", "registry", "registry-find.xml", "documents", 0, {}),
    ("sim-documents-count-mismatch.xml", "registry", "registry-find.xml", "documents", 0, v("count_mismatch")),
    ("sim-object-refs.xml", "registry", "registry-find-refs.xml", "object-refs", 0, {}),
    ("sim-update.xml", "registry", "registry-update.xml", "update", 0, {}),
    ("sim-update-warning.xml", "registry", "registry-update.xml", "update", 0, v("success_warning")),
    ("sim-retrieve.mime", "repository", "repository-retrieve.xml", "retrieve", 0, {}),
    ("sim-retrieve-unknown.mime", "repository", "repository-retrieve.xml", "retrieve", 0x7001,
     v("unknown_document")),
    ("sim-filing.mime", "repository", "repository-provide.mime", "filing", 0, {}),
    ("sim-filing-failure.mime", "repository", "repository-provide.mime", "filing", 0x4001, v("failure_no_errors")),
    ("sim-filing-warning.mime", "repository", "repository-provide.mime", "filing", 0, v("success_warning")),
]
CAPTURES += [("sim-retrieve-%s.mime" % n.replace("_", "-"), "repository", "repository-retrieve.xml", "retrieve",
              0x7000, v(n)) for n in ("one_part", "three_parts", "empty_first_part", "empty_second_part")]
CAPTURES += [("sim-patients-ae-%s.xml" % c, "patientsPDQ", "pdq-search.xml", "patients", code, v("ae:" + c))
             for c, code in SEARCH_REFUSALS]
CAPTURES += [("sim-dossier-ae-%s.xml" % c, "patients", "patients-exists.xml", "dossier", 0x5003, v("ae:" + c))
             for c, _ in SEARCH_REFUSALS]
CAPTURES += [("sim-autorisation-%s.xml" % s, "habilitations", "habilitations-set.xml", "autorisation", code,
              v("status:" + s)) for s, code in STATUS_CODES]
CAPTURES += [("sim-documents-%s.xml" % n.replace("_", "-"), "registry", "registry-find.xml", "documents", code,
              v(n)) for n, code in REGISTRY_ERRORS]


def request_bytes(name, port, service):
    data = open(os.path.join(HERE, "requests", name), "rb").read()
    return data.replace(b"@TO@", ("https://127.0.0.1:%d%s%s" % (port, SERVICES, service)).encode())


def control(port, method, path, body=None):
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), method=method,
                                     data=json.dumps(body).encode() if body is not None else None,
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=20) as answer:
        return answer.read()


def capture(pki, out):
    with tempfile.TemporaryDirectory() as state:
        sim = subprocess.Popen([sys.executable, os.path.join(HERE, "simulator.py"), "--state", state, "--pki", pki,
                                "--today", TODAY], stdout=subprocess.PIPE, text=True)
        try:
            ready = json.loads(sim.stdout.readline())
            context = ssl.create_default_context(cafile=os.path.join(pki, "trust.pem"))
            context.check_hostname = False
            context.load_cert_chain(os.path.join(pki, "client.pem"), os.path.join(pki, "client.key"))
            for fixture, service, request, _, _, rule in CAPTURES:
                control(ready["control"], "POST", "/rules",
                        {"rules": [dict(rule, match={"service": service})] if rule else []})
                connection = http.client.HTTPSConnection("127.0.0.1", ready["national"], timeout=20, context=context)
                content_type = MTOM_TYPE if request.endswith(".mime") else "application/soap+xml; charset=utf-8"
                connection.request("POST", SERVICES + service, request_bytes(request, ready["national"], service),
                                   {"Content-Type": content_type})
                with open(os.path.join(out, fixture), "wb") as f:
                    f.write(connection.getresponse().read())
                connection.close()
        finally:
            sim.terminate()
            sim.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pki", help="the build's test PKI folder")
    parser.add_argument("--out", default=os.path.join(HERE, "..", "fixtures", "replies"))
    parser.add_argument("--list", action="store_true", help="print the captures and exit")
    args = parser.parse_args()
    if args.list:
        for fixture, service, request, reader, code, rule in CAPTURES:
            print("\t".join([fixture, service, request, reader, "0x%X" % code, json.dumps(rule)]))
        return 0
    if not args.pki:
        parser.error("--pki is required to capture")
    capture(args.pki, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
