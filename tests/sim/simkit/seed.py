"""The seed: patients, records, documents and practitioners of
tests/sim/seed/seed.json, with every date written relative to the
simulator's --today ("-18y", "-41y-57d", "-3d"), so the data never ages.

State is a deep copy of the seed that write operations may change; reset
takes it back. Lookups go through Seed so services never walk the JSON."""

import copy
import datetime
import hashlib
import json
import os
import re

_TERM = re.compile(r"([+-]\d+)([ydh])")

TEST_INS_OID = "1.2.250.1.213.1.4.10"   # INS of the training environment
INS_OID = "1.2.250.1.213.1.4.8"          # INS of production


def nir_key(number13):
    """The two-digit key of a social-security number (Corsica: 2A -> 19, 2B -> 18)."""
    n = number13[:5] + number13[5:7].replace("2A", "19").replace("2B", "18") + number13[7:13]
    return "%02d" % (97 - int(n) % 97)


def valid_ins(value):
    return (len(value) == 15 and re.fullmatch(r"\d{5}(\d\d|2A|2B)\d{8}", value) is not None
            and nir_key(value[:13]) == value[13:])


def ins_oid(environment):
    return TEST_INS_OID if environment == "formation" else INS_OID


def when(today, relative, hour=10, minute=0):
    """The local date-time that a date relative to today names (at hour:minute)."""
    moment = datetime.datetime.combine(today, datetime.time(hour, minute))
    for amount, unit in _TERM.findall(relative or "+0d"):
        amount = int(amount)
        if unit == "y":
            year = moment.year + amount
            day = moment.day
            while True:  # 29 February of a common year becomes the 28th
                try:
                    moment = moment.replace(year=year, day=day)
                    break
                except ValueError:
                    day -= 1
        elif unit == "d":
            moment += datetime.timedelta(days=amount)
        else:
            moment += datetime.timedelta(hours=amount)
    return moment


def _with_birth(data, birth):
    """A seeded CDA document with its patient's birth date (the documents are
    written once; the patients' dates follow the simulator's day)."""
    start = data.find(b"<recordTarget")
    at = data.find(b'<birthTime value="', start)
    if start < 0 or at < 0:
        return data
    at += len(b'<birthTime value="')
    end = data.find(b'"', at)
    return data[:at] + birth.encode() + data[end:]


class Seed:
    def __init__(self, path, today):
        with open(path, encoding="utf-8") as f:
            self._original = json.load(f)
        self.folder = os.path.dirname(os.path.abspath(path))
        self.today = today
        for p in self._original["patients"]:
            for d in (p.get("record") or {}).get("documents", []):
                with open(os.path.join(self.folder, "documents", d["file"]), "rb") as f:
                    d["content"] = _with_birth(f.read(), self.hl7_date(p["birth"]))
                d["size"], d["hash"] = len(d["content"]), hashlib.sha1(d["content"]).hexdigest()
        self.reset()

    def reset(self):
        self.state = copy.deepcopy(self._original)

    # ---- dates ----

    def when(self, relative, hour=10, minute=0):
        """The local date-time that a relative date names (at hour:minute)."""
        return when(self.today, relative, hour, minute)

    def hl7_date(self, relative):
        return self.when(relative).strftime("%Y%m%d") if relative else ""

    def hl7_time(self, relative, hour=10):
        """yyyymmddhhmmss in UTC, the registry's form (the seed's times are UTC)."""
        return self.when(relative, hour).strftime("%Y%m%d%H%M%S") if relative else ""

    def french_date(self, relative):
        return self.when(relative).strftime("%d/%m/%Y")

    def iso_date(self, relative):
        return self.when(relative).strftime("%Y-%m-%d")

    # ---- lookups ----

    @property
    def patients(self):
        return self.state["patients"]

    def patient_by_ins(self, ins):
        return next((p for p in self.patients if p["ins"] == ins), None)

    def records(self):
        return [p for p in self.patients if p.get("record")]

    def document_by(self, key, value):
        for p in self.records():
            for d in p["record"]["documents"]:
                if d[key] == value:
                    return p, d
        return None, None

    @staticmethod
    def document_bytes(document):
        return document["content"]

    @property
    def practitioners(self):
        return self.state["practitioners"]

    @property
    def repository_id(self):
        return self.state["repository_unique_id"]
