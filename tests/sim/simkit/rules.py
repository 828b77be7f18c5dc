"""Scenario rules, applied in order before the service answers.

A rule is {"match": {"service", "operation", "path", "host"}, "times": n,
<action>...}: every match key given must equal the request's (host is the
Host header's name without port); "times" (default: every time) counts
down and a spent rule is skipped. The first live rule that matches applies.
Actions, combinable:
  delay_ms N            wait, then go on with the rest
  tls_profile NAME      switch the TLS profile after this answer
  soap_fault {reason, code, subcode}  a SOAP fault, HTTP 500
  http_500_empty true   status 500 without a body
  non_xml true          status 200 with an HTML page
  close_before_answer true   read the request, close the connection
  status {code, body, content_type}  any status and body
  variant NAME          the service's named answer"""

import threading

from .server import PROFILES

ACTIONS = ("delay_ms", "tls_profile", "soap_fault", "http_500_empty", "non_xml",
           "close_before_answer", "status", "variant")
MATCH_KEYS = ("service", "operation", "path", "host")


class RuleError(ValueError):
    pass


def validate(rule):
    if not isinstance(rule, dict):
        raise RuleError("a rule is a JSON object")
    match = rule.get("match", {})
    if not isinstance(match, dict) or set(match) - set(MATCH_KEYS):
        raise RuleError("match keys are %s" % ", ".join(MATCH_KEYS))
    unknown = set(rule) - set(ACTIONS) - {"match", "times", "name"}
    if unknown:
        raise RuleError("unknown rule member(s): %s" % ", ".join(sorted(unknown)))
    if "tls_profile" in rule and rule["tls_profile"] not in PROFILES:
        raise RuleError("unknown TLS profile %r" % rule["tls_profile"])
    if "times" in rule and (not isinstance(rule["times"], int) or rule["times"] < 1):
        raise RuleError("times is a positive integer")
    return dict(rule)


class Rules:
    def __init__(self):
        self._lock = threading.Lock()
        self._rules = []

    def set(self, rules):
        checked = [validate(r) for r in rules]
        with self._lock:
            self._rules = checked

    def add(self, rules):
        checked = [validate(r) for r in rules]
        with self._lock:
            self._rules.extend(checked)

    def clear(self):
        self.set([])

    def listing(self):
        with self._lock:
            return [dict(r) for r in self._rules]

    def take(self, facts):
        """The first live rule matching facts (a dict of MATCH_KEYS), with
        its index; its count goes down by one. None when none applies."""
        with self._lock:
            for index, rule in enumerate(self._rules):
                if rule.get("times", 1) < 1:
                    continue
                if all(facts.get(k) == v for k, v in rule.get("match", {}).items()):
                    if "times" in rule:
                        rule["times"] -= 1
                    return index, dict(rule)
        return None, None
