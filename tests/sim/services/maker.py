"""The maker's program services on the public site.

POST /carvelin2.php (form Version, Build, EXE): the update check. Answers
"ok"; variants "message" (a text for the user), "archive" (the path of the
first ".zip" of STATE/updates/, which the test fills), "html_500" (status
500 with an HTML page), "html_200" (an HTML page with status 200), "slow"
(ok after 8 seconds, past the program's 5-second limit), "huge" (1 MiB of
text). The form goes into the request log ("update_check", with
"field_order").
GET /updates/<name>: the files of STATE/updates/ (archives and their
".sig"); 404 for a missing one.
POST /carvelin_stats.php: the usage statistics form, logged as
"carvelin_stats" (fields and "field_order"); answers "OK".
POST /dmp_prats.php: the practitioner list (JSON), logged as "dmp_prats"
(the parsed list, the content type and the Basic user and password);
answers "OK"."""

import base64
import binascii
import json
import os
import time
import urllib.parse

from simkit.service import Answer, Service

TEXT = "text/plain; charset=utf-8"
HTML_PAGE = b"<!DOCTYPE html><html><body><h1>Erreur</h1></body></html>"


def form(request, name):
    pairs = urllib.parse.parse_qsl(request.body.decode("latin-1"), keep_blank_values=True)
    request.log_extra[name] = dict(pairs, field_order=[k for k, _ in pairs])


def updates_folder(sim):
    return os.path.join(sim.state_dir, "updates")


def check(request, sim):
    form(request, "update_check")
    return Answer(200, b"ok", TEXT, note="version acceptée")


def archive(request, sim):
    form(request, "update_check")
    names = sorted(n for n in os.listdir(updates_folder(sim)) if n.endswith(".zip")) \
        if os.path.isdir(updates_folder(sim)) else []
    if not names:
        return Answer(200, b"ok", TEXT, note="aucune archive")
    return Answer(200, ("updates/" + names[0]).encode(), TEXT, note="mise à jour " + names[0])


def slow(request, sim):
    time.sleep(8)
    return check(request, sim)


def update_file(request, sim):
    name = request.path[len("/updates/"):]
    path = os.path.join(updates_folder(sim), name)
    if "/" in name or name.startswith(".") or not os.path.isfile(path):
        return Answer(404, b"Not found\n", TEXT)
    with open(path, "rb") as f:
        return Answer(200, f.read(), "application/octet-stream", note="fichier " + name)


def stats(request, sim):
    form(request, "carvelin_stats")
    return Answer(200, b"OK", TEXT, note="statistiques reçues")


def prats(request, sim):
    entry = {"content_type": request.content_type}
    try:
        entry["list"] = json.loads(request.body.decode("utf-8"))
    except ValueError as error:
        entry["error"] = str(error)
    auth = request.headers.get("Authorization", "")
    if auth.startswith("Basic "):
        try:
            user, _, password = base64.b64decode(auth[6:], validate=True).decode("utf-8").partition(":")
            entry.update(user=user, password=password)
        except (binascii.Error, ValueError):
            entry["auth"] = "illisible"
    request.log_extra["dmp_prats"] = entry
    return Answer(200, b"OK", TEXT, note="praticiens reçus")


def handle(request, sim):
    if request.path.startswith("/updates/"):
        return update_file(request, sim)
    if request.method != "POST":
        return Answer(405, b"POST only\n", TEXT)
    return {"/carvelin2.php": check, "/carvelin_stats.php": stats, "/dmp_prats.php": prats}[request.path](request, sim)


SERVICE = Service("maker", "public", ["/carvelin2.php", "/carvelin_stats.php", "/dmp_prats.php", "/updates/*"],
                  handle, variants={
                      "message": lambda request, sim: Answer(
                          200, "Cette version de Carvelin n'est plus autorisée, contactez le support.".encode(),
                          TEXT, note="message"),
                      "archive": archive,
                      "html_500": lambda request, sim: Answer(500, HTML_PAGE, "text/html; charset=utf-8"),
                      "html_200": lambda request, sim: Answer(200, HTML_PAGE, "text/html; charset=utf-8"),
                      "slow": slow,
                      "huge": lambda request, sim: Answer(200, b"x" * (1 << 20), TEXT),
                  })
