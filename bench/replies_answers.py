#!/usr/bin/python3
"""Writes to standard output the large service answers that bench/replies.cpp
reads, through the simulator's own writers, so the benchmark reads what the
simulator sends:

    replies_answers.py find-documents COUNT   a FindDocuments answer (LeafClass)
                                              of COUNT document entries
    replies_answers.py retrieve BYTES         a RetrieveDocumentSet MTOM answer
                                              carrying a document of BYTES bytes

The seed holds a handful of documents per record, so COUNT entries are made
from the first record's documents taken in turn, each with its own entry
uuid and unique id (uuid5 and a rank suffix). The retrieved document is that
record's first document repeated up to BYTES. Dates are relative to a fixed
today, as in the fixture capture, so the output is the same on every run."""

import dataclasses
import datetime
import os
import sys
import uuid
from xml.etree import ElementTree as ET

SIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "sim")
sys.path.insert(0, SIM)
from services import registry, repository  # noqa: E402
from simkit.seed import Seed  # noqa: E402
from simkit.service import Request  # noqa: E402
from simkit.soap import body_element  # noqa: E402

TODAY = datetime.date(2025, 3, 15)
NS = uuid.UUID("3b0f6a52-2c1e-4e7a-9d58-1f4b7c2e8a61")


class BenchSeed(Seed):
    """The seed whose documents' bytes are made BYTES long."""

    def __init__(self, size=0):
        super().__init__(os.path.join(SIM, "seed", "seed.json"), TODAY)
        self.size = size

    def document_bytes(self, document):
        data = super().document_bytes(document)
        return (data * (self.size // len(data) + 1))[:self.size]


@dataclasses.dataclass
class Sim:
    seed: Seed


def request(name):
    """A canned request of tests/sim/requests, as the simulator hands it to a service."""
    with open(os.path.join(SIM, "requests", name), "rb") as f:
        body = f.read()
    r = Request("national", "POST", "", "", "127.0.0.1", {}, body, "", "formation")
    r.envelope = ET.fromstring(body)
    r.message_id = "urn:uuid:" + str(uuid.uuid5(NS, name))
    return r


def find_documents(count):
    seed = BenchSeed()
    patient = seed.records()[0]
    templates = patient["record"]["documents"]
    documents = []
    for rank in range(count):
        d = dict(templates[rank % len(templates)])
        d["entry_uuid"] = "urn:uuid:" + str(uuid.uuid5(NS, "entry-%d" % rank))
        d["unique_id"] = "%s.%d" % (d["unique_id"], rank)
        documents.append(d)
    entries = [registry.extrinsic_object(Sim(seed), patient, d, "formation") for d in documents]
    return registry.query_response(request("registry-find.xml"), entries).body


def retrieve(size):
    r = request("repository-retrieve.xml")
    return repository.retrieve(r, body_element(r.envelope), Sim(BenchSeed(size))).body


def main():
    kind, amount = sys.argv[1], int(sys.argv[2])
    sys.stdout.buffer.write(find_documents(amount) if kind == "find-documents" else retrieve(amount))


if __name__ == "__main__":
    main()
