#!/usr/bin/python3
"""Stand-in for the national services, on 127.0.0.1 only: the shared
record's SOAP services and the identity teleservice (national listener,
client certificate required), the parameters document, the maker's time
and error-report services and the web-access pages (public listener), and
a control listener for the tests. Python standard library only.

    simulator.py --state DIR [--pki DIR] [--today YYYY-MM-DD] [--port N]
                 [--public-port N] [--control-port N] [--scenario FILE]
                 [--verify-signatures]

Writes DIR/hosts.json (the program's hosts configuration pointing here),
logs every request to DIR/requests.jsonl, and prints one JSON line once
its listeners are bound. SIGTERM stops it. See README.md."""

import argparse
import datetime
import json
import os
import signal
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from simkit import server  # noqa: E402
from simkit.control import ControlListener  # noqa: E402
from simkit.reqlog import RequestLog  # noqa: E402
from simkit.rules import Rules  # noqa: E402
from simkit.seed import Seed  # noqa: E402
from simkit.service import load_services  # noqa: E402

# The identity teleservice's body namespaces: "http://" + domain + "/INSiRecSans"...
INSI_DOMAIN = "www.cnamts.fr"
# The mobile Vitale application service's body namespace and production agreement.
APCV_NAMESPACE = "http://apcv.simulateur.invalid/apcv/auth/1/0"
APCV_IDAM = "SIMAPCV00001"
MAKE_PKI = os.path.join(HERE, "..", "tools", "make-test-pki.sh")


class Simulator:
    """Everything a service is handed as "sim": the seed, the clock, the
    configuration, the rules and the log."""

    def __init__(self, args):
        self.state_dir = os.path.abspath(args.state)
        os.makedirs(self.state_dir, exist_ok=True)
        self.pki_dir = os.path.abspath(args.pki) if args.pki else self.make_pki()
        self.today = datetime.date.fromisoformat(args.today) if args.today else datetime.date.today()
        self.verify_signatures = args.verify_signatures
        self.insi_domain = INSI_DOMAIN
        self.apcv_namespace, self.apcv_idam = APCV_NAMESPACE, APCV_IDAM
        self.seed = Seed(os.path.join(HERE, "seed", "seed.json"), self.today)
        self.services = load_services(os.path.join(HERE, "services"))
        self.rules = Rules()
        self.log = RequestLog(self.state_dir)
        self.tls_profile = "default"
        self.default_profile = "default"
        self.lock = threading.Lock()  # guards the seed state for write operations
        self._contexts = {}
        if args.scenario:
            with open(args.scenario, encoding="utf-8") as f:
                scenario = json.load(f)
            self.rules.set(scenario.get("rules", []))
            self.default_profile = scenario.get("tls_profile", "default")
        self.set_tls_profile(self.default_profile, close=False)
        self.national = server.TLSListener(self, "national", args.port, True)
        self.public = server.TLSListener(self, "public", args.public_port, False)
        self.control = ControlListener(self, args.control_port)

    def make_pki(self):
        pki = os.path.join(self.state_dir, "pki")
        subprocess.run(["bash", MAKE_PKI, pki], check=True, stdout=subprocess.DEVNULL)
        return pki

    # ---- TLS profiles ----

    def set_tls_profile(self, name, close=True):
        if name not in server.PROFILES:
            raise ValueError("unknown TLS profile %r (known: %s)" % (name, ", ".join(server.PROFILES)))
        contexts = {"national": server.make_context(self.pki_dir, name, True),
                    "public": server.make_context(self.pki_dir, name, False)}
        self._contexts, self.tls_profile = contexts, name
        if close:
            for listener in (self.national, self.public):
                listener.close_connections()

    def tls_context(self, listener):
        return self._contexts[listener]

    # ---- services ----

    def service_for(self, request):
        return next((s for s in self.services if s.serves(request.listener, request.path)), None)

    def reset(self):
        with self.lock:
            self.seed.reset()
        self.rules.clear()
        self.set_tls_profile(self.default_profile)

    def base_url(self, listener, host):
        port = (self.national if listener == "national" else self.public).server_address[1]
        return "https://%s:%d" % (host, port)

    def hosts(self):
        """The program's hosts configuration (read into THostsConfig)."""
        def environment(host):
            national, public = self.base_url("national", host), self.base_url("public", host)
            return {"DMP_Server": national[len("https://"):], "AccesWeb": public + "/",
                    "ParamSite": public, "INSiCard": national + "/lps", "INSiMutual": national + "/lps",
                    "AppVitale": national}
        return {"Formation": environment("127.0.0.1"), "Production": environment("localhost"),
                "Maker": self.base_url("public", "127.0.0.1"),
                "ExtraCAFile": os.path.join(self.pki_dir, "trust.pem"),
                "TimeoutSeconds": 60, "INSiDomain": self.insi_domain,
                "AppVitaleNamespace": self.apcv_namespace, "AppVitaleIDAM": self.apcv_idam}

    def run(self):
        hosts_file = os.path.join(self.state_dir, "hosts.json")
        with open(hosts_file, "w", encoding="utf-8") as f:
            json.dump(self.hosts(), f, indent=1)
        for listener in (self.national, self.public, self.control):
            threading.Thread(target=listener.serve_forever, daemon=True).start()
        ready = {"ready": True, "national": self.national.server_address[1],
                 "public": self.public.server_address[1], "control": self.control.server_address[1],
                 "trust": os.path.join(self.pki_dir, "trust.pem"), "pki": self.pki_dir,
                 "hosts": hosts_file, "log": self.log.path, "state": self.state_dir,
                 "today": self.today.isoformat()}
        print(json.dumps(ready), flush=True)
        stop = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        signal.signal(signal.SIGINT, lambda *_: stop.set())
        stop.wait()
        for listener in (self.national, self.public, self.control):
            listener.shutdown()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--state", required=True, help="folder for hosts.json, the log and the PKI")
    parser.add_argument("--pki", help="an existing test PKI (default: made in STATE/pki)")
    parser.add_argument("--today", help="the day the seed's relative dates count from (YYYY-MM-DD)")
    parser.add_argument("--port", type=int, default=0, help="national listener (0: the system picks)")
    parser.add_argument("--public-port", type=int, default=0)
    parser.add_argument("--control-port", type=int, default=0)
    parser.add_argument("--scenario", help="JSON file: {\"tls_profile\": ..., \"rules\": [...]}")
    parser.add_argument("--verify-signatures", action="store_true",
                        help="check the teleservice assertions' signatures with xmlsec1")
    Simulator(parser.parse_args()).run()


if __name__ == "__main__":
    main()
