"""What the repository checks in a ProvideAndRegisterDocumentSet-b request
(IHE ITI-41 over MTOM/XOP), and how an accepted one joins the registry.

check_submission runs the checks in order and logs each one passed under
request.log_extra["checks"]; the first that fails raises CheckFailed naming
it. The checks that call xmllint or xmlsec1 run only when the simulator
verifies signatures; the others always run:
  mime        Content-Type parameters, root part, closing delimiter
  xop         every xop:Include names one part, every part named once
  ebrim       unique ids, OIDs unknown to the registry, CDA ids, patient,
              HasMember/signs associations, replacement (RPLC)
  digests     xmllint --c14n + SHA-1 of each document = its manifest digest
  signature   xmlsec1 --verify against the test authorities, every
              document reference of the manifest holding
  schema      each CDA against the CDA schema (when the shared data exists)"""

import base64
import hashlib
import os
import re
import subprocess
import tempfile
import xml.etree.ElementTree as ET

from .soap import CheckFailed
from .xmltext import attr, child, find_all, local, text

RIM = "urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0"
DS = "http://www.w3.org/2000/09/xmldsig#"
XADES = "http://uri.etsi.org/01903/v1.1.1#"
HL7 = "urn:hl7-org:v3"
XOP_INCLUDE = "{http://www.w3.org/2004/08/xop/include}Include"
HAS_MEMBER = "urn:oasis:names:tc:ebxml-regrep:AssociationType:HasMember"
SIGNS = "urn:ihe:iti:2007:AssociationType:signs"
RPLC = "urn:ihe:iti:2007:AssociationType:RPLC"
DOC_UNIQUE_ID = "urn:uuid:2e82c1f6-a085-4c72-9da3-8640a32e42ab"
DOC_PATIENT_ID = "urn:uuid:58a6f841-87b3-4a3e-92fd-a8ffeff98427"
SET_UNIQUE_ID = "urn:uuid:96fdda7c-d067-4183-912e-bf5ee74998a8"
SET_PATIENT_ID = "urn:uuid:6b5aea1a-874d-4603-a4bc-96a0a7b38446"
TYPE_SCHEME = "urn:uuid:f0306f51-975f-434e-a61c-c59651d33983"
CLASS_SCHEME = "urn:uuid:41a5887f-8865-4c09-adf7-e362475b143a"
AUTHOR_SCHEME = "urn:uuid:93606bcf-9494-43ec-9b4e-a7748d1a838d"
FORMAT_SCHEME = "urn:uuid:a09d5840-386c-46f2-b5ad-9c3699a4309d"
PRACTICE_SCHEME = "urn:uuid:cccf5598-8b07-4b77-a05e-ae952c785ead"
OID = re.compile(r"[0-2](\.(0|[1-9][0-9]*))+")
SCHEMA = os.path.join(os.path.dirname(__file__), "..", "..", "..", "..", "shared", "data", "cda", "schema",
                      "CDA_extended.xsd")


def passed(request, name):
    request.log_extra.setdefault("checks", []).append(name)


def fail(name, why):
    raise CheckFailed("Contrôle %s: %s" % (name, why), "InvalidRequest")


def check_mime(request):
    ct = request.content_type
    params = dict((k.strip().lower(), v.strip().strip('"'))
                  for k, _, v in (p.partition("=") for p in ct.split(";")[1:]))
    if not ct.lower().startswith("multipart/related") or params.get("type") != "application/xop+xml":
        fail("mime", "type %r" % ct)
    if params.get("start-info") != "application/soap+xml" or not params.get("start") or not params.get("boundary"):
        fail("mime", "paramètres %r" % params)
    if request.parts[0][0] != params["start"]:
        fail("mime", "aucune partie n'a le Content-ID start %s" % params["start"])
    if not request.body.rstrip(b"\r\n").endswith(b"--" + params["boundary"].encode() + b"--"):
        fail("mime", "le corps ne se termine pas par le délimiteur final")
    passed(request, "mime")


def check_xop(request):
    """{content id: bytes} of the parts the envelope includes."""
    named = [attr(n, "href") for n in request.envelope.iter() if n.tag == XOP_INCLUDE]
    parts = {cid.strip("<>"): data for cid, _, data in request.parts[1:]}
    if len(parts) != len(request.parts) - 1:
        fail("xop", "Content-ID répété")
    hrefs = [h[4:] for h in named if h.startswith("cid:")]
    if len(hrefs) != len(named) or sorted(hrefs) != sorted(parts) or len(set(hrefs)) != len(hrefs):
        fail("xop", "références %s pour les parties %s" % (named, sorted(parts)))
    passed(request, "xop")
    return parts


def external_id(obj, scheme):
    node = next((e for e in obj.iter("{%s}ExternalIdentifier" % RIM) if e.get("identificationScheme") == scheme), None)
    return node.get("value") if node is not None else None


def code_of(obj, scheme):
    node = classification_of(obj, scheme)
    return node.get("nodeRepresentation") if node is not None else ""


def classification_of(obj, scheme):
    return next((c for c in obj.iter("{%s}Classification" % RIM) if c.get("classificationScheme") == scheme), None)


def label_of(obj, scheme):
    """The display name of a classification."""
    node = classification_of(obj, scheme)
    return name_of(node, "Name") if node is not None else ""


def author_of(obj):
    """The authorPerson value of the entry's author, "" without one."""
    node = classification_of(obj, AUTHOR_SCHEME)
    for slot in (node.iter("{%s}Slot" % RIM) if node is not None else ()):
        if slot.get("name") == "authorPerson":
            value = next(slot.iter("{%s}Value" % RIM), None)
            return (value.text or "") if value is not None else ""
    return ""


def name_of(obj, element):
    node = next(obj.iter("{%s}%s" % (RIM, element)), None)
    ls = next(node.iter("{%s}LocalizedString" % RIM), None) if node is not None else None
    return ls.get("value") if ls is not None else ""


def check_ebrim(request, sim, parts, resource):
    """The submission read: {"set", "documents": [(entry, unique id, cda bytes, cda root)], "signature",
    "replaced": (seed document, entry) or None}."""
    body = request.envelope
    objects = [n for n in body.iter() if n.get("id") is not None and n.tag.startswith("{%s}" % RIM)]
    ids = [n.get("id") for n in objects]
    if len(set(ids)) != len(ids):
        fail("ebrim", "identifiants répétés %s" % sorted(i for i in ids if ids.count(i) > 1))
    docs_xml = {attr(d, "id"): child(d, "Include") for d in find_all(body, "Document")}
    entries = list(body.iter("{%s}ExtrinsicObject" % RIM))
    package = next(body.iter("{%s}RegistryPackage" % RIM), None)
    if package is None:
        fail("ebrim", "pas de lot de soumission")
    set_uid = external_id(package, SET_UNIQUE_ID)
    if external_id(package, SET_PATIENT_ID) != resource:
        fail("ebrim", "patient du lot %r au lieu de %r" % (external_id(package, SET_PATIENT_ID), resource))
    known = {d["unique_id"] for p in sim.seed.records() for d in p["record"]["documents"]}
    documents, signature = [], None
    for e in entries:
        uid = external_id(e, DOC_UNIQUE_ID)
        if external_id(e, DOC_PATIENT_ID) != resource:
            fail("ebrim", "patient de %s différent de la ressource" % e.get("id"))
        include = docs_xml.get(e.get("id"))
        if include is None:
            fail("ebrim", "%s sans document" % e.get("id"))
        data = parts[attr(include, "href")[4:]]
        if e.get("id") == "Signature01":
            signature = (e, uid, data)
            continue
        try:
            cda = ET.fromstring(data)
        except ET.ParseError as error:
            fail("ebrim", "CDA de %s illisible: %s" % (e.get("id"), error))
        root_id = attr(child(cda, "id"), "root")
        if root_id != uid:
            fail("ebrim", "uniqueId %s différent de ClinicalDocument/id/@root %s" % (uid, root_id))
        documents.append((e, uid, data, cda))
    if signature is None or not documents:
        fail("ebrim", "signature ou documents absents")
    uids = [set_uid, signature[1]] + [d[1] for d in documents]
    for uid in uids:
        if not uid or not OID.fullmatch(uid):
            fail("ebrim", "identifiant unique %r n'est pas un OID" % uid)
        if uid in known:
            fail("ebrim", "identifiant unique %s déjà connu du registre" % uid)
    if len(set(uids)) != len(uids):
        fail("ebrim", "identifiants uniques répétés")
    associations = list(body.iter("{%s}Association" % RIM))
    members = sorted(a.get("targetObject") for a in associations
                     if a.get("associationType") == HAS_MEMBER and a.get("sourceObject") == package.get("id"))
    if members != sorted([e.get("id") for e, *_ in documents] + ["Signature01"]):
        fail("ebrim", "HasMember %s" % members)
    signs = [a for a in associations if a.get("associationType") == SIGNS]
    if len(signs) != 1 or signs[0].get("sourceObject") != "Signature01":
        fail("ebrim", "association signs")
    replaced = None
    rplc = [a for a in associations if a.get("associationType") == RPLC]
    if len(rplc) > 1:
        fail("ebrim", "plusieurs RPLC")
    if rplc:
        p, d = sim.seed.document_by("entry_uuid", rplc[0].get("targetObject"))
        if d is None or d["status"] != "Approved" or not resource.startswith(p["ins"] + "^"):
            fail("ebrim", "RPLC vers %s: pas une entrée approuvée du patient" % rplc[0].get("targetObject"))
        cda = next(c for e, _, _, c in documents if e.get("id") == rplc[0].get("sourceObject"))
        parent = attr(cda.find("{%s}relatedDocument/{%s}parentDocument/{%s}id" % (HL7, HL7, HL7)), "root")
        if parent != d["unique_id"]:
            fail("ebrim", "parentDocument %r au lieu de %s" % (parent, d["unique_id"]))
        version = int(attr(child(cda, "versionNumber"), "value") or 0)
        if version <= d["version"] or version < 2:
            fail("ebrim", "versionNumber %d pour une version remplacée %d" % (version, d["version"]))
        replaced = (d, version)
    passed(request, "ebrim")
    return {"set": set_uid, "documents": documents, "signature": signature, "replaced": replaced}


def run(args):
    return subprocess.run(args, capture_output=True, timeout=60)


def check_digests(request, submission, folder):
    sig = ET.fromstring(submission["signature"][2])
    digests = {r.get("URI"): text(child(r, "DigestValue")).strip() for r in sig.iter("{%s}Reference" % DS)}
    for _, uid, data, _ in submission["documents"]:
        path = os.path.join(folder, uid + ".xml")
        with open(path, "wb") as f:
            f.write(data)
        c14n = run(["xmllint", "--c14n", path])
        if c14n.returncode != 0:
            fail("digests", "xmllint --c14n: %s" % c14n.stderr.decode(errors="replace"))
        digest = base64.b64encode(hashlib.sha1(c14n.stdout).digest()).decode()
        if digests.get("urn:oid:" + uid) != digest:
            fail("digests", "empreinte de urn:oid:%s %r, attendue %s" % (uid, digests.get("urn:oid:" + uid), digest))
    passed(request, "digests")


def check_signature(request, submission, folder, pki_dir):
    signature = os.path.join(folder, "signature.xml")
    with open(signature, "wb") as f:
        f.write(submission["signature"][2])
    empty = os.path.join(folder, "empty")
    open(empty, "wb").close()
    args = ["xmlsec1", "--verify", "--trusted-pem", os.path.join(pki_dir, "root-ca.pem"),
            "--untrusted-pem", os.path.join(pki_dir, "ca-personnes.pem"),
            "--id-attr:Id", XADES + ":SignedProperties", "--id-attr:Id", DS + ":Manifest",
            "--url-map:urn:oid:" + submission["set"], empty]
    for _, uid, _, _ in submission["documents"]:
        args += ["--url-map:urn:oid:" + uid, os.path.join(folder, uid + ".xml")]
    result = run(args + [signature])
    err = result.stderr.decode(errors="replace")
    n = len(submission["documents"])
    if result.returncode != 0 or "Manifests References (ok/all): %d/%d" % (n, n + 1) not in err:
        fail("signature", "xmlsec1: %s" % (err.strip().splitlines() or ["?"])[-1])
    passed(request, "signature")


def check_schema(request, submission, folder):
    if not os.path.exists(SCHEMA):
        request.log_extra.setdefault("checks", []).append("schema: ignoré (données partagées absentes)")
        return
    for _, uid, _, _ in submission["documents"]:
        result = run(["xmllint", "--noout", "--schema", SCHEMA, os.path.join(folder, uid + ".xml")])
        if result.returncode != 0:
            fail("schema", result.stderr.decode(errors="replace").strip().splitlines()[0])
    passed(request, "schema")


def check_submission(request, sim, resource):
    """Every check; the submission read (see check_ebrim)."""
    check_mime(request)
    parts = check_xop(request)
    submission = check_ebrim(request, sim, parts, resource)
    if sim.verify_signatures:
        with tempfile.TemporaryDirectory() as folder:
            check_digests(request, submission, folder)
            check_signature(request, submission, folder, sim.pki_dir)
            check_schema(request, submission, folder)
    return submission


def visibility(entry):
    nodes = [c.get("nodeRepresentation") for c in entry.iter("{%s}Classification" % RIM)]
    return sum(bit for bit, node in ((1, "MASQUE_PS"), (2, "INVISIBLE_PATIENT"), (4, "INVISIBLE_REPRESENTANTS_LEGAUX"))
               if node in nodes)


def store(sim, patient, submission):
    """The accepted documents join the patient's record, as the registry
    queries and retrievals read it; a replaced entry becomes Deprecated."""
    set_uuid = "urn:uuid:" + hashlib.sha1(submission["set"].encode()).hexdigest()[:32]
    for entry, uid, data, cda in submission["documents"]:
        patient["record"]["documents"].append({
            "entry_uuid": "urn:uuid:" + hashlib.sha1(uid.encode()).hexdigest()[:32], "unique_id": uid,
            "file": None, "content": data, "kind": "filed",
            "type": code_of(entry, TYPE_SCHEME), "type_label": label_of(entry, TYPE_SCHEME),
            "class": code_of(entry, CLASS_SCHEME), "class_label": label_of(entry, CLASS_SCHEME),
            "author": author_of(entry), "format": code_of(entry, FORMAT_SCHEME), "title": name_of(entry, "Name"),
            "comment": name_of(entry, "Description"), "status": "Approved", "visibility": visibility(entry),
            "created": "+0d", "service_start": "", "service_stop": "",
            "practice": code_of(entry, PRACTICE_SCHEME),
            "version": int(attr(child(cda, "versionNumber"), "value") or 1), "by_patient": False,
            "submission": set_uuid, "size": len(data), "hash": hashlib.sha1(data).hexdigest()})
    if submission["replaced"]:
        submission["replaced"][0]["status"] = "Deprecated"
