"""The maker's vaccine catalogue on the public site.

GET /vaccins/vaccins.json: the bytes of the program's embedded catalogue
(resources/VACCINS/vaccins.json). The request's method, query and
User-Agent go into the request log ("vaccins"). Variants: "same" (the
embedded bytes), "other" (one more vaccine and a renamed one),
"string-atc" (every "atc" as a plain code text), "truncated" (the catalogue
cut in the middle), "html_200" (an HTML page with status 200), "status_500",
"slow" (the catalogue after 8 seconds, past the program's 5-second limit)."""

import json
import os
import time

from simkit.service import Answer, Service

JSON_TYPE = "application/json; charset=utf-8"
HTML_PAGE = b"<!DOCTYPE html><html><body><h1>Service indisponible</h1></body></html>"
EMBEDDED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "resources", "VACCINS",
                        "vaccins.json")


def embedded():
    with open(EMBEDDED, "rb") as f:
        return f.read()


def other():
    vaccines = json.loads(embedded())
    vaccines[0]["shortName"] = "GRIPALIS PLUS"
    vaccines[0]["name"] = "GRIPALIS PLUS, suspension injectable en seringue préremplie"
    vaccines.append({"id": len(vaccines) + 1, "name": "NOVAXEL, suspension injectable", "marketStatus": "Nouveau",
                     "ammType": "AMM Europeenne", "cis": "61109999", "cip": ["3400961109999"],
                     "company": "Valden Biologics", "shortName": "NOVAXEL",
                     "atc": {"code": "J07BX03", "name": "Covid-19, protéine recombinante"}})
    return json.dumps(vaccines, ensure_ascii=False).encode("utf-8")


def string_atc():
    vaccines = json.loads(embedded())
    for v in vaccines:
        v["atc"] = v["atc"]["code"]
    return json.dumps(vaccines, ensure_ascii=False).encode("utf-8")


def logged(request):
    request.log_extra["vaccins"] = {"method": request.method, "query": request.query,
                                    "user_agent": request.headers.get("User-Agent", "")}


def variant(status, body, content_type=JSON_TYPE, delay=0):
    def answer(request, sim):
        logged(request)
        if request.method != "GET":
            return Answer(405, b"GET only\n", "text/plain; charset=utf-8")
        time.sleep(delay)
        return Answer(status, body() if callable(body) else body, content_type)
    return answer


SERVICE = Service("vaccins", "public", ["/vaccins/vaccins.json"], variant(200, embedded), variants={
    "same": variant(200, embedded),
    "other": variant(200, other),
    "string-atc": variant(200, string_atc),
    "truncated": variant(200, lambda: embedded()[:len(embedded()) // 2]),
    "html_200": variant(200, HTML_PAGE, "text/html; charset=utf-8"),
    "status_500": variant(500, embedded),
    "slow": variant(200, embedded, delay=8),
})
