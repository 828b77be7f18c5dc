"""The maker's birthplace service on the public site.

GET /vitale/commune.php?nom=<name>[&date=yyyymmdd]: the JSON array of the
communes of seed/communes.json ({"cp", "nom", "code"}) whose name starts with
nom, case and accents ignored; with a date, only the communes that existed
that day (the seed's "debut" and "fin", inclusive). The query as received,
its decoded "nom" and "date", and the request's Content-Type, User-Agent and
Connection go into the request log ("communes"). Variants: "empty" (an empty
array), "empty_body", "malformed" (JSON cut short), "html_200" (an HTML page
with status 200), "status_500", "slow" (the answer after 8 seconds, past the
program's 5-second limit), "huge" (a well-formed array of 1 MiB)."""

import datetime
import json
import os
import time
import unicodedata
import urllib.parse

from simkit.service import Answer, Service

JSON_TYPE = "application/json; charset=utf-8"
HTML_PAGE = b"<!DOCTYPE html><html><body><h1>Service indisponible</h1></body></html>"
SEED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "seed", "communes.json")


def folded(text):
    return "".join(c for c in unicodedata.normalize("NFD", text) if not unicodedata.combining(c)).casefold()


def query(request):
    fields = dict(urllib.parse.parse_qsl(request.query, keep_blank_values=True))
    request.log_extra["communes"] = {
        "query": request.query, "nom": fields.get("nom"), "date": fields.get("date"),
        "content_type": request.content_type, "user_agent": request.headers.get("User-Agent", ""),
        "connection": request.headers.get("Connection", "")}
    return fields


def existed(commune, day):
    return (day is None or (commune.get("debut", "0000-00-00") <= day <= commune.get("fin", "9999-99-99")))


def communes(request, sim):
    fields = query(request)
    if request.method != "GET":
        return Answer(405, b"GET only\n", "text/plain; charset=utf-8")
    day = None
    if fields.get("date"):
        try:
            day = datetime.datetime.strptime(fields["date"], "%Y%m%d").date().isoformat()
        except ValueError:
            return Answer(400, b"[]", JSON_TYPE, note="date illisible")
    prefix = folded(fields.get("nom", ""))
    with open(SEED, encoding="utf-8") as f:
        seed = json.load(f)
    found = [{"cp": c["cp"], "nom": c["nom"], "code": c["code"]} for c in seed
             if folded(c["nom"]).startswith(prefix) and existed(c, day)]
    return Answer(200, json.dumps(found, ensure_ascii=False).encode("utf-8"), JSON_TYPE,
                  note="%d commune(s)" % len(found))


def variant(status, body, content_type, delay=0):
    def answer(request, sim):
        query(request)
        time.sleep(delay)
        return Answer(status, body, content_type)
    return answer


def huge_array():
    one = json.dumps({"cp": "75001", "nom": "Paris", "code": "75056"}).encode() + b","
    body = b"[" + one * ((1 << 20) // len(one))
    return body[:-1] + b"]"


SERVICE = Service("communes", "public", ["/vitale/commune.php"], communes, variants={
    "empty": variant(200, b"[]", JSON_TYPE),
    "empty_body": variant(200, b"", JSON_TYPE),
    "malformed": variant(200, b'[{"cp": "20000", "nom": "Ajac', JSON_TYPE),
    "html_200": variant(200, HTML_PAGE, "text/html; charset=utf-8"),
    "status_500": variant(500, json.dumps([{"cp": "20000", "nom": "Ajaccio", "code": "2A004"}]).encode(), JSON_TYPE),
    "slow": variant(200, json.dumps([{"cp": "20000", "nom": "Ajaccio", "code": "2A004"}]).encode(), JSON_TYPE, 8),
    "huge": variant(200, huge_array(), JSON_TYPE),
})
