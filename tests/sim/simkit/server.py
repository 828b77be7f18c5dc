"""The three listeners and the path of one request through them.

national  TLS, client certificate required (CERT_REQUIRED against trust.pem)
public    TLS, no client certificate
control   plain HTTP, JSON (simkit.control)

The TLS listeners accept plain sockets and wrap each one with the context
of the current TLS profile when it is accepted, so choosing a profile takes
effect on the next connection; the open connections are closed at once so
that clients connect anew. A failed handshake is a log entry."""

import hashlib
import http.server
import socket
import socketserver
import ssl
import threading
import time

from . import soap
from .service import Answer, Request

# name -> (certificate chain, key, TLS 1.2 only with this cipher or None)
PROFILES = {
    "default": ("server-chain.pem", "server.key", None),
    "unknown-ca": ("rogue-server-chain.pem", "rogue-server.key", None),
    "wrong-name": ("wrong-name-chain.pem", "wrong-name.key", None),
    # A suite the program's own TLS engine does not offer: it is refused with
    # an alert and the system TLS client carries the call.
    "system-tls": ("server-ec-chain.pem", "server-ec.key", "ECDHE-ECDSA-AES128-GCM-SHA256"),
}

NON_XML_PAGE = (b"<!DOCTYPE html><html><head><title>Maintenance</title></head>"
                b"<body><p>Service momentan&eacute;ment indisponible<br></body></html>")

ENVIRONMENTS = {"127.0.0.1": "formation", "localhost": "production"}


def make_context(pki, profile, require_client):
    chain, key, cipher = PROFILES[profile]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(pki + "/" + chain, pki + "/" + key)
    if cipher:
        context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1_2
        context.set_ciphers(cipher)
    if require_client:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(pki + "/trust.pem")
    return context


def client_certificate(connection):
    """Subject and issuer as Python's ssl reports them, and the SHA-256 fingerprint."""
    der = connection.getpeercert(binary_form=True)
    if not der:
        return {}
    info = connection.getpeercert()
    return {"client_subject": info.get("subject"), "client_issuer": info.get("issuer"),
            "client_sha256": hashlib.sha256(der).hexdigest()}


class TLSListener(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, sim, name, port, require_client):
        self.sim = sim
        self.name = name
        self.require_client = require_client
        self.open_connections = set()
        self.connections_lock = threading.Lock()
        super().__init__(("127.0.0.1", port), Handler)

    def finish_request(self, request, client_address):
        context = self.sim.tls_context(self.name)
        with self.connections_lock:
            self.open_connections.add(request)
        try:
            try:
                connection = context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError) as error:
                self.sim.log.add({"listener": self.name, "event": "handshake_failed",
                                  "tls_profile": self.sim.tls_profile, "error": str(error)})
                return
            with self.connections_lock:
                self.open_connections.discard(request)
                self.open_connections.add(connection)
            try:
                Handler(connection, client_address, self)
            finally:
                connection.close()  # the plain socket was detached into it
        finally:
            with self.connections_lock:
                self.open_connections.discard(request)

    def close_connections(self):
        with self.connections_lock:
            connections = list(self.open_connections)
        for c in connections:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "CarvelinSimulator/1"
    sys_version = ""
    timeout = 120

    def log_message(self, *args):  # the request log says it all
        pass

    def do_GET(self):
        self.serve()

    def do_POST(self):
        self.serve()

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def make_request(self, body):
        # Split by hand: urlsplit would read "//AccesDirect/..." as a host.
        path, _, query = self.path.partition("?")
        host_header = self.headers.get("Host", "")
        host = host_header.rsplit(":", 1)[0] if ":" in host_header else host_header
        tls = {}
        if isinstance(self.connection, ssl.SSLSocket):
            cipher = self.connection.cipher()
            tls = {"tls_version": self.connection.version(), "tls_cipher": cipher[0] if cipher else ""}
            tls.update(client_certificate(self.connection))
        return Request(self.server.name, self.command, path, query, host_header, self.headers, body,
                       self.headers.get("Content-Type", ""), ENVIRONMENTS.get(host, "formation"), tls)

    def serve(self):
        sim = self.server.sim
        request = self.make_request(self.read_body())
        service = sim.service_for(request)
        if service is not None:
            request.service = service.name
            if service.operation:
                request.operation = service.operation(request)
        host = request.host_header.rsplit(":", 1)[0]
        index, rule = sim.rules.take({"service": request.service, "operation": request.operation,
                                      "path": request.path, "host": host})
        entry = {"listener": request.listener, "host": request.host_header, "method": request.method, "path": request.path,
                 "query": request.query, "service": request.service, "operation": request.operation,
                 "environment": request.environment, "content_type": request.content_type}
        entry.update(request.tls)
        answer, action = self.answer(sim, service, request, rule)
        entry.update({"action": action, "rule": index})
        entry.update(request.log_extra)
        if answer is None:  # close_before_answer
            sim.log.add(dict(entry, status=None), request.body)
            self.close_connection = True
            return
        entry.update({"status": answer.status, "answer_content_type": answer.content_type, "note": answer.note})
        sim.log.add(entry, request.body, answer.body)
        self.send(answer)
        if rule and "tls_profile" in rule:
            sim.set_tls_profile(rule["tls_profile"])

    def answer(self, sim, service, request, rule):
        """The answer and the name of what produced it."""
        rule = rule or {}
        if "delay_ms" in rule:
            time.sleep(rule["delay_ms"] / 1000.0)
        if rule.get("close_before_answer"):
            return None, "close_before_answer"
        if "soap_fault" in rule:
            f = rule["soap_fault"]
            return Answer(500, soap.fault(f.get("reason", ""), f.get("code", "soap:Receiver"),
                                          f.get("subcode", ""))), "soap_fault"
        if rule.get("http_500_empty"):
            return Answer(500, b"", ""), "http_500_empty"
        if rule.get("non_xml"):
            return Answer(200, NON_XML_PAGE, "text/html; charset=utf-8"), "non_xml"
        if "status" in rule:
            s = rule["status"]
            return Answer(int(s.get("code", 200)), s.get("body", "").encode("utf-8"),
                          s.get("content_type", "text/plain; charset=utf-8")), "status"
        if service is None:
            return Answer(404, b"Not found\n", "text/plain; charset=utf-8"), "not_found"
        if "variant" in rule:
            variant = service.variants.get(rule["variant"])
            if variant is None:
                return Answer(500, soap.fault("Variante inconnue: %s" % rule["variant"])), "bad_variant"
            return variant(request, sim), "variant:" + rule["variant"]
        return service.handle(request, sim), "service"

    def send(self, answer):
        self.send_response(answer.status)
        if answer.content_type:
            self.send_header("Content-Type", answer.content_type)
        for name, value in answer.headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(answer.body)))
        self.end_headers()
        self.wfile.write(answer.body)
