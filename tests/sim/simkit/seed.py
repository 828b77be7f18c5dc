"""The seed: patients, records, documents and practitioners of
tests/sim/seed/seed.json, with every date written relative to the
simulator's --today ("-18y", "-41y-57d", "-3d"), so the data never ages.

State is a deep copy of the seed that write operations may change; reset
takes it back. Lookups go through Seed so services never walk the JSON."""

import copy
import datetime
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


class Seed:
    def __init__(self, path, today):
        with open(path, encoding="utf-8") as f:
            self._original = json.load(f)
        self.folder = os.path.dirname(os.path.abspath(path))
        self.today = today
        self.reset()

    def reset(self):
        self.state = copy.deepcopy(self._original)

    # ---- dates ----

    def when(self, relative, hour=10, minute=0):
        """The local date-time that a relative date names (at hour:minute)."""
        moment = datetime.datetime.combine(self.today, datetime.time(hour, minute))
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

    def document_bytes(self, document):
        if document.get("content") is not None:  # filed while the simulator runs
            return document["content"]
        with open(os.path.join(self.folder, "documents", document["file"]), "rb") as f:
            return f.read()

    @property
    def practitioners(self):
        return self.state["practitioners"]

    @property
    def repository_id(self):
        return self.state["repository_unique_id"]
