"""What a service module declares, what it is handed and what it answers.

A module of tests/sim/services/ defines SERVICE = Service(...):
  name        the service name used in rules and in the request log
  listener    "national" (client certificate required) or "public"
  paths       the paths it serves; a path ending in "*" is a prefix
  operation   request -> operation name (SOAP: the first Body child's local
              name, see soap_operation); None for plain HTTP services
  handle      (request, sim) -> Answer, the ordinary answer
  variants    {name: (request, sim) -> Answer}, the named answers a rule
              may choose instead (action "variant")
Modules are loaded in file-name order; the first whose paths match wins."""

import importlib.util
import os
from dataclasses import dataclass, field
from typing import Callable, Optional

from . import soap, xmltext


@dataclass
class Answer:
    status: int = 200
    body: bytes = b""
    content_type: str = soap.SOAP_CONTENT_TYPE
    headers: dict = field(default_factory=dict)
    note: str = ""  # what the service did, for the request log


@dataclass
class Request:
    listener: str
    method: str
    path: str
    query: str
    host_header: str
    headers: object
    body: bytes
    content_type: str
    environment: str  # "formation" (host 127.0.0.1) or "production" (localhost)
    tls: dict = field(default_factory=dict)
    service: str = ""
    operation: str = ""
    envelope: object = None       # parsed SOAP envelope, when the body is one
    envelope_bytes: bytes = b""
    parts: list = field(default_factory=list)  # MTOM parts, root first
    message_id: str = ""
    log_extra: dict = field(default_factory=dict)  # decoded fields for the log


@dataclass
class Service:
    name: str
    listener: str
    paths: list
    handle: Callable
    operation: Optional[Callable] = None
    variants: dict = field(default_factory=dict)
    operations: tuple = ()  # the operation names it answers (documentation and self-test)

    def serves(self, listener, path):
        if listener != self.listener:
            return False
        return any(path.startswith(p[:-1]) if p.endswith("*") else path == p for p in self.paths)


def soap_operation(request):
    """The first Body child's local name; parses the envelope once. A body
    that is not SOAP gives "" and is refused later by the service."""
    try:
        request.envelope = soap.read_envelope(request)
        request.envelope_bytes = (request.parts[0][2] if request.parts else request.body)
        return xmltext.local(soap.body_element(request.envelope).tag)
    except soap.CheckFailed as failure:
        request.log_extra["check"] = failure.reason
        return ""


def load_services(folder):
    """Every module of folder that defines SERVICE, in file-name order."""
    services = []
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".py") or name.startswith("_"):
            continue
        spec = importlib.util.spec_from_file_location("simservice_" + name[:-3], os.path.join(folder, name))
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        if hasattr(module, "SERVICE"):
            services.append(module.SERVICE)
    return services


@dataclass
class Operation:
    """One SOAP operation: the WS-Addressing action it must carry and its
    reader (request, body element, sim) -> Answer."""
    action: str
    answer: Callable
    with_to: bool = True


def fault_answer(failure):
    return Answer(500, soap.fault(failure.reason, "soap:Sender", failure.subcode),
                  note="refus: " + failure.reason)


def soap_service(name, paths, operations, variants=None, operation=soap_operation,
                 teleservice=False):
    """A national SOAP service: every request passes the common checks of
    simkit.soap for its operation before the operation (or a variant) reads it."""

    def checked(answer):
        def run(request, sim):
            entry = operations.get(request.operation)
            try:
                if request.envelope is None:
                    raise soap.CheckFailed(request.log_extra.get("check", "Requête SOAP illisible"))
                if entry is None:
                    raise soap.CheckFailed("Opération inconnue du service %s: '%s'" % (name, request.operation),
                                           "UnknownOperation")
                soap.check_request(request, entry.action, teleservice, entry.with_to,
                                   sim.verify_signatures, sim.pki_dir)
                return (answer or entry.answer)(request, soap.body_element(request.envelope), sim)
            except soap.CheckFailed as failure:
                return fault_answer(failure)
        return run

    return Service(name, "national", list(paths), checked(None), operation,
                   {k: checked(v) for k, v in (variants or {}).items()}, tuple(operations))
