"""The control listener: plain HTTP on 127.0.0.1, JSON in and out.

GET    /health               {"ok": true, "tls_profile", "rules", "log"}
GET    /rules                the rules with their remaining counts
POST   /rules                {"rules": [...]} replaces the rules
POST   /rules/append         {"rules": [...]} adds rules after the others
DELETE /rules                clears them
POST   /tls-profile          {"profile": "default"|"unknown-ca"|"wrong-name"|"system-tls"}
GET    /log?since=N          {"entries": [entries after sequence N], "last": M}
POST   /reset                seed state back, rules cleared, default TLS profile
POST   /documents/status     {"unique_id", "status"} sets a stored entry's status, as
                             another workstation would ("Deleted" by default)
Errors answer 400 {"error": text}."""

import http.server
import json
import socketserver
import urllib.parse

from .rules import RuleError


STATUSES = ("Approved", "Deprecated", "Archived", "Deleted")


def set_document_status(sim, request):
    status = request.get("status", "Deleted")
    if status not in STATUSES:
        raise ValueError("unknown status %r" % status)
    with sim.lock:
        _, d = sim.seed.document_by("unique_id", request["unique_id"])
        if d is None:
            raise ValueError("unknown document %r" % request["unique_id"])
        d["status"] = status
    return {"unique_id": request["unique_id"], "status": status}


class ControlListener(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, sim, port):
        self.sim = sim
        super().__init__(("127.0.0.1", port), ControlHandler)


class ControlHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, value):
        data = json.dumps(value, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def json_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return json.loads(self.rfile.read(length) or b"{}")

    def route(self, method):
        sim = self.server.sim
        url = urllib.parse.urlsplit(self.path)
        try:
            if method == "GET" and url.path == "/health":
                return self.reply(200, {"ok": True, "tls_profile": sim.tls_profile,
                                        "rules": len(sim.rules.listing()), "log": sim.log.last_sequence()})
            if method == "GET" and url.path == "/rules":
                return self.reply(200, {"rules": sim.rules.listing()})
            if method == "POST" and url.path == "/rules":
                sim.rules.set(self.json_body().get("rules", []))
                return self.reply(200, {"rules": len(sim.rules.listing())})
            if method == "POST" and url.path == "/rules/append":
                sim.rules.add(self.json_body().get("rules", []))
                return self.reply(200, {"rules": len(sim.rules.listing())})
            if method == "DELETE" and url.path == "/rules":
                sim.rules.clear()
                return self.reply(200, {"rules": 0})
            if method == "POST" and url.path == "/tls-profile":
                sim.set_tls_profile(self.json_body().get("profile", ""))
                return self.reply(200, {"tls_profile": sim.tls_profile})
            if method == "GET" and url.path == "/log":
                since = int(urllib.parse.parse_qs(url.query).get("since", ["0"])[0])
                return self.reply(200, {"entries": sim.log.since(since), "last": sim.log.last_sequence()})
            if method == "POST" and url.path == "/reset":
                sim.reset()
                return self.reply(200, {"ok": True})
            if method == "POST" and url.path == "/documents/status":
                return self.reply(200, set_document_status(sim, self.json_body()))
            return self.reply(404, {"error": "unknown control path %s %s" % (method, url.path)})
        except (RuleError, ValueError, KeyError) as error:
            return self.reply(400, {"error": str(error)})

    def do_GET(self):
        self.route("GET")

    def do_POST(self):
        self.route("POST")

    def do_DELETE(self):
        self.route("DELETE")
