#!/usr/bin/python3
"""Writes the simulator's seed: seed.json and the CDA documents of
documents/, made by the program's own builders (the driver
sim-seed-documents). Run by hand when the seed changes, then commit both:

    /usr/bin/python3 tests/sim/seed/make_seed.py build/tests/tools/sim-seed-documents

Everything here is deterministic: identifiers come from uuid5 of fixed
names, dates are relative to the simulator's --today ("-41y-57d"). The
documents carry each patient's own letter (a two-page A4 PDF written here)
and picture (ImageMagick's convert); their birth dates are those of
REFERENCE_DAY, which the simulator brings to its own day when it loads them."""

import datetime
import json
import os
import shutil
import subprocess
import sys
import tempfile
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from simkit.seed import nir_key, when  # noqa: E402

REFERENCE_DAY = datetime.date(2025, 3, 15)  # the fixed day of the tests (capture.py)
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

NS = uuid.UUID("6f1c1f7e-4d59-4d3c-9a63-0c1e3c5a2b10")
REPOSITORY = "1.2.250.1.213.1.1.1.1.999.1"
DOC_ROOT = "1.2.250.1.213.1.1.1.1.999.2"
AUTHOR = {"id": "810001234567", "family": "TEST", "given": "Jean"}
TEST_INS_OID = "1.2.250.1.213.1.4.10"


def ins(sex, yymm, place, order):
    number = "%d%s%s%s" % (sex, yymm, place, order)
    return number + nir_key(number)


def person(key, sex, yymm, place, order, civility, given, birth_name, birth, usage_name="",
           birthplace="", record=None, **extra):
    p = {"key": key, "ins": ins(sex, yymm, place, order), "civility": civility, "given": given,
         "birth_name": birth_name, "usage_name": usage_name, "sex": "M" if sex == 1 else "F",
         "birth": birth, "birthplace": birthplace or place + order[:3],
         "record": record}
    p.update(extra)
    return p


def address(street, postal, city, complement=""):
    return {"street": street, "complement": complement, "postal": postal, "city": city, "country": "FRANCE"}


# Document kinds: type code, type label, class code, class label, driver kind, format code.
PDF = "urn:ihe:iti:xds-sd:pdf:2008"
TXT = "urn:ihe:iti:xds-sd:text:2008"
JPG = "urn:ihe:iti-fr:xds-sd:jpeg:2010"
CDA_MS = "urn:asip:ci-sis:vsm:2012"
CDA_VAC = "urn:asip:ci-sis:vac-note:2021"
KINDS = [
    ("11488-4", "CR ou fiche de consultation ou de visite", "10", "Compte rendu", "pdf", PDF),
    ("60591-5", "Synthèse du dossier médical", "11", "Synthèse", "synthese", CDA_MS),
    ("11502-2", "CR d'examens biologiques", "10", "Compte rendu", "txt", TXT),
    ("18748-4", "CR d'imagerie médicale", "10", "Compte rendu", "jpg", JPG),
    ("57833-6", "Prescription de produits de santé", "12", "Prescription", "pdf", PDF),
    ("87273-9", "Note de vaccination", "11", "Synthèse", "vaccination", CDA_VAC),
    ("34112-3", "CR hospitalier (séjour)", "10", "Compte rendu", "pdf", PDF),
    ("89601-9", "Certificat médical", "60", "Certificat", "txt", TXT),
    ("59284-0", "Attestation de consentement", "80", "Document administratif", "pdf", PDF),
]
PATIENT_KIND = ("51855-5", "Expression personnelle du patient", "90", "Document du patient", "txt", TXT)
STATUSES = ["Approved", "Approved", "Archived", "Approved", "Deprecated", "Approved"]
VISIBILITIES = [0, 1, 0, 2, 4, 0, 6, 0]


PRACTITIONERS = [
    {"id": "810001234567", "id_type": "8", "given": "Jean", "family": "TEST",
     "speciality": "SM26", "speciality_label": "Qualifié en médecine générale"},
    {"id": "810002345678", "id_type": "8", "given": "Hélène", "family": "RIVIÈRE",
     "speciality": "SM04", "speciality_label": "Cardiologie et maladies vasculaires"},
    {"id": "810003456789", "id_type": "8", "given": "Marc", "family": "D'ALMEIDA",
     "speciality": "SM40", "speciality_label": "Pédiatrie"},
]
TEST, RIVIERE, DALMEIDA = (d["id"] for d in PRACTITIONERS)


def record(count, authorisation="VALIDE", treating=False, closed=None, web=False, ens=False,
           opposition=False, with_patient_document=False, practitioners=(), channels=()):
    """practitioners: (national id, mode, treating doctor) of those with
    access to the record or forbidden from it; channels: the web account's
    one-time-password channels, (type, address)."""
    return {"authorisation": authorisation, "treating": treating, "closed": closed, "web_access": web,
            "channels": [list(c) for c in channels], "ens": ens, "emergency_opposition": opposition, "document_count": count,
            "patient_document": with_patient_document, "last_access": "-3d", "last_update": "-12d",
            "last_document": "-12d", "authorisation_date": "-400d",
            "practitioners": [{"id": i, "mode": m, "treating": t} for i, m, t in practitioners]}


PATIENTS = [
    person("martin", 2, "8405", "75", "112045", "Mme", ["Zoé", "Marie"], "DURAND", "-41y-57d",
           usage_name="MARTIN-DURAND",
           record=record(9, treating=True, web=True, with_patient_document=True,
                         practitioners=[(TEST, "ACTIVE", True), (RIVIERE, "ACTIVE", False),
                                        (DALMEIDA, "INTERDITE", False)],
                         channels=[("SMS", "0612345678"), ("EMAIL", "zoe.martin@exemple.fr")]),
           address=address("12 rue de l'Église", "75011", "Paris", "Bâtiment B"),
           telecom={"fixe": "0143000000", "mobile": "0612345678", "email": "zoe.martin@exemple.fr"}),
    person("lheritier", 1, "7211", "69", "123008", "M", ["Jérôme"], "L'HÉRITIER", "-53y-20d",
           record=record(6, authorisation="INTERDIT", practitioners=[(TEST, "INTERDITE", False)]),
           address=address("3 quai Saint-Vincent", "69001", "Lyon"),
           telecom={"mobile": "0698765432"}),
    person("petit", 2, "1503", "33", "063112", "", ["Léa"], "PETIT", "-10y-45d",
           record=record(5, web=True),
           representative={"relation": "MTH", "civility": "Mme", "family": "PETIT", "given": "Claire",
                           "address": address("8 allée des Pins", "33000", "Bordeaux"),
                           "telecom": {"mobile": "0611223344"}},
           address=address("8 allée des Pins", "33000", "Bordeaux")),
    person("moreau", 1, "0706", "44", "109027", "M", ["Théo"], "MOREAU", "-18y", record=record(5)),
    person("bernard", 2, "4602", "13", "055201", "Mme", ["Françoise"], "BERNARD", "-79y-100d",
           record=record(6, closed={"date": "-60d", "code": "PATIENT_DECEDE", "reason": "Décès du patient"})),
    person("roux", 1, "9009", "31", "555014", "M", ["Mathis", "Jean"], "ROUX", "-34y-10d",
           record=record(7, ens=True, web=True)),
    person("faure", 2, "8812", "59", "350208", "Mme", ["Élodie"], "FAURE", "-36y-200d",
           usage_name="FAURE-LAMBERT", record=record(5, opposition=True)),
    person("girard", 1, "9501", "67", "482030", "M", ["Noé"], "GIRARD", "-30y-12d"),
    person("dupont1", 2, "7704", "92", "050101", "Mme", ["Marie"], "DUPONT", "-47y-80d",
           record=record(5)),
    person("dupont2", 2, "7704", "92", "050102", "Mme", ["Marie"], "DUPONT", "-47y-80d",
           record=record(5, authorisation="")),
    person("casanova", 1, "6608", "2A", "004017", "M", ["Ange", "Toussaint"], "CASANOVA", "-58y-30d",
           record=record(6)),
    person("lefebvre", 1, "8103", "62", "193041", "M", ["Hugo"], "LEFEBVRE", "-43y-160d",
           record=record(5, authorisation="", practitioners=[(RIVIERE, "ACTIVE", True)])),
    person("ndiaye", 2, "9910", "99", "341044", "Mme", ["Aminata"], "N'DIAYE", "-25y-70d",
           record=record(8, treating=True, practitioners=[(TEST, "ACTIVE", True), (DALMEIDA, "ACTIVE", False)])),
    person("oneill", 2, "6201", "29", "019005", "Mme", ["Ève-Marie"], "O'NEILL", "-63y-5d",
           usage_name="LE GALL", record=record(5, authorisation="INTERDIT")),
    person("nguyen", 1, "0412", "94", "028123", "M", ["Lucas", "Minh"], "NGUYEN", "-21y-3d",
           record=record(5, web=True, ens=True)),
    # Same traits, born in L'Haÿ-les-Roses and in Villeneuve-d'Ascq: only the
    # birthplace code tells them apart; the first has a record, the second none.
    person("santoni_lhay", 2, "7909", "94", "038131", "Mme", ["Marie-Ange"], "SANTONI", "-45y-12d",
           record=record(0)),
    person("santoni_ascq", 2, "7909", "59", "009132", "Mme", ["Marie-Ange"], "SANTONI", "-45y-12d"),
    person("vidal", 1, "8611", "2B", "033045", "M", ["Noël"], "VIDAL", "-38y-3d"),  # born in Bastia
]



def documents_of(index, p):
    """The record's documents, spread over the kinds, statuses and
    visibilities, in submission sets of two or three."""
    docs = []
    count = p["record"]["document_count"]
    for n in range(count):
        kind = KINDS[(index + n) % len(KINDS)]
        if p["record"]["patient_document"] and n == count - 1:
            kind = PATIENT_KIND
        name = "%s-%02d" % (p["key"], n + 1)
        days = 20 + 37 * n + 3 * index
        docs.append({
            "entry_uuid": "urn:uuid:%s" % uuid.uuid5(NS, name),
            "unique_id": "%s.%d.%d" % (DOC_ROOT, index + 1, n + 1),
            "file": name + ".xml", "kind": kind[4],
            "type": kind[0], "type_label": kind[1], "class": kind[2], "class_label": kind[3],
            "format": kind[5], "title": "%s (%s)" % (kind[1], p["birth_name"]),
            "comment": "Document %d du dossier" % (n + 1),
            "status": STATUSES[(index + n) % len(STATUSES)],
            "visibility": VISIBILITIES[(index + n) % len(VISIBILITIES)],
            "created": "-%dd" % days, "service_start": "-%dd" % (days + 2), "service_stop": "-%dd" % days,
            "practice": "AMBULATOIRE", "version": 1 + (n % 3 == 2),
            "by_patient": kind is PATIENT_KIND,
            "submission": "urn:uuid:%s" % uuid.uuid5(NS, "%s-set-%d" % (p["key"], n // 3)),
        })
    return docs


def pdf_text(text):
    """A PDF string of the standard fonts' WinAnsi encoding."""
    data = text.encode("cp1252")
    return b"(" + data.replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)") + b")"


def pdf_letter(pages):
    """A PDF of A4 pages; each page is a list of (font size, bold, text) lines."""
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>", None,
               b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
               b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold /Encoding /WinAnsiEncoding >>"]
    kids = []
    for lines in pages:
        stream = [b"BT", b"56 780 Td"]
        for size, bold, text in lines:
            stream.append(b"/F%d %d Tf %s Tj 0 -%d Td" % (2 if bold else 1, size, pdf_text(text), size + 6))
        stream.append(b"ET")
        content = b"\n".join(stream)
        objects.append(b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content))
        objects.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents %d 0 R "
                       b"/Resources << /Font << /F1 3 0 R /F2 4 0 R >> >> >>" % len(objects))
        kids.append(b"%d 0 R" % len(objects))
    objects[1] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (b" ".join(kids), len(kids))
    out, offsets = bytearray(b"%PDF-1.4\n"), []
    for n, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (n, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return bytes(out)


def letter_pages(p):
    """A consultation letter about p, over two pages."""
    who = "%s %s %s" % (p["civility"] or "", p["given"][0], p["usage_name"] or p["birth_name"])
    head = [(10, True, "Cabinet Médical Test - Dr Jean TEST, médecine générale"),
            (10, False, "12 avenue de la République, 75011 Paris - 01 43 00 00 01"), (10, False, "")]
    body = [(14, True, "Compte rendu de consultation"), (11, False, ""),
            (11, True, "Patient : " + who.strip()), (11, False, ""),
            (11, False, "Cher confrère,"), (11, False, ""),
            (11, False, "J'ai reçu ce jour en consultation votre patient(e) pour un bilan de suivi."),
            (11, False, "Le motif principal était une asthénie modérée évoluant depuis trois semaines,"),
            (11, False, "sans fièvre, sans perte de poids ni sueurs nocturnes."), (11, False, ""),
            (11, True, "Antécédents"),
            (11, False, "- Hypertension artérielle essentielle, traitée et équilibrée."),
            (11, False, "- Cholécystectomie ; pneumopathie communautaire en 2015."),
            (11, False, "- Allergie à la pénicilline (urticaire)."), (11, False, ""),
            (11, True, "Examen clinique"),
            (11, False, "Pression artérielle 128/78 mmHg aux deux bras, fréquence cardiaque 72/min."),
            (11, False, "Auscultation cardio-pulmonaire normale. Abdomen souple, indolore."),
            (11, False, "Pas d'adénopathie palpable. Examen neurologique sans particularité.")]
    rest = [(11, True, "Examens complémentaires"),
            (11, False, "Numération formule sanguine, ionogramme, créatininémie, TSH et ferritine"),
            (11, False, "prescrits ; les résultats vous seront adressés dès réception."), (11, False, ""),
            (11, True, "Conclusion"),
            (11, False, "Asthénie sans signe de gravité. Poursuite du traitement antihypertenseur"),
            (11, False, "(amlodipine 5 mg le matin). Réévaluation dans un mois avec les résultats."),
            (11, False, ""), (11, False, "Je vous prie de croire, cher confrère, à mes sentiments les meilleurs."),
            (11, False, ""), (11, True, "Dr Jean TEST")]
    return [head + body + [(9, False, ""), (9, False, "Page 1/2")],
            head + rest + [(9, False, ""), (9, False, "Page 2/2")]]


def picture(p, path):
    """A chest picture of some hundred pixels, labelled with p's name."""
    name = "%s %s" % (p["usage_name"] or p["birth_name"], p["given"][0])
    subprocess.run(["convert", "-size", "640x480", "gradient:#181818-#404040",
                    "-fill", "#bdbdbd", "-draw", "ellipse 320,260 200,190 0,360",
                    "-fill", "#303030", "-draw", "ellipse 250,260 70,150 0,360", "-draw", "ellipse 390,260 70,150 0,360",
                    "-fill", "#9a9a9a", "-draw", "rectangle 312,70 328,450",
                    "-font", FONT, "-pointsize", "18", "-fill", "white",
                    "-annotate", "+20+32", "Radiographie thoracique de face", "-annotate", "+20+462", name,
                    "-strip", "-quality", "85", path], check=True)


def document_line(p, d, created, birth):
    author = ({"id": p["ins"], "family": p["birth_name"], "given": p["given"][0]} if d["by_patient"]
              else AUTHOR)
    civility = {"M": "1", "Mme": "2", "Mlle": "3"}.get(p["civility"], "0")
    # The documents are made once: their own dates are those of a fixed day.
    return "\t".join([d["file"], d["kind"], d["type"], d["type_label"], d["title"], p["ins"], TEST_INS_OID,
                      civility, p["usage_name"], p["birth_name"], p["given"][0], birth, p["sex"],
                      created, d["unique_id"], author["id"], author["family"], author["given"]])


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seed.py PATH/TO/sim-seed-documents")
    folder = os.path.join(HERE, "documents")
    for old in os.listdir(folder) if os.path.isdir(folder) else []:
        os.unlink(os.path.join(folder, old))
    fixtures = os.path.join(HERE, "..", "..", "fixtures", "cda-build")
    with tempfile.TemporaryDirectory() as work:
        for index, p in enumerate(PATIENTS):
            if not p["record"]:
                continue
            # The files the documents wrap: this patient's letter and picture.
            own = os.path.join(work, p["key"])
            os.mkdir(own)
            with open(os.path.join(own, "compte-rendu.pdf"), "wb") as f:
                f.write(pdf_letter(letter_pages(p)))
            picture(p, os.path.join(own, "image.jpg"))
            shutil.copy(os.path.join(fixtures, "note.txt"), own)
            p["record"]["documents"] = documents_of(index, p)
            birth = when(REFERENCE_DAY, p["birth"]).strftime("%d/%m/%Y")
            lines = [document_line(p, d, "2024%02d%02d1030" % (1 + n % 12, 1 + index), birth)
                     for n, d in enumerate(p["record"]["documents"])]
            subprocess.run([sys.argv[1], own, folder], input="\n".join(lines).encode("utf-8"), check=True)
    seed = {"repository_unique_id": REPOSITORY, "patients": PATIENTS, "practitioners": PRACTITIONERS}
    with open(os.path.join(HERE, "seed.json"), "w", encoding="utf-8") as f:
        json.dump(seed, f, ensure_ascii=False, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
