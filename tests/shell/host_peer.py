#!/usr/bin/python3
"""A host program on the session bus for the window's tests.

Serves CopyData(u, s) -> i at /Vaspo (interface Talven.Vaspo.Message) and
prints one JSON object per line on stdout:
  {"event": "ready", "name": <our unique name>}
  {"event": "recv", "code": c, "text": t, "payload": JSON or null}  a call received
  {"event": "reentered", "answer": a}              our PING inside a call
  {"event": "answer", "code": c, "answer": a}      the answer to our call
Each stdin line {"code": c, "text": t} calls the program's CopyData without
blocking our loop. Options:
  --program NAME   the program's bus name
  --hang           never answer a call
  --zero CODE      answer 0 to CODE (others get 1); repeatable
  --reenter        inside each call, call the program's PING and wait
"""
import argparse
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

IFACE = "Talven.Vaspo.Message"


def emit(**event):
    print(json.dumps(event), flush=True)


class Host(dbus.service.Object):
    def __init__(self, bus, args):
        super().__init__(bus, "/Vaspo")
        self.args = args
        self.bus = bus

    @dbus.service.method(IFACE, in_signature="us", out_signature="i", async_callbacks=("ok", "fail"))
    def CopyData(self, code, text, ok, fail):
        try:
            payload = json.loads(str(text))
        except ValueError:
            payload = None
        emit(event="recv", code=int(code), text=str(text), payload=payload)
        if self.args.hang:
            return
        if self.args.reenter:
            program = self.bus.get_object(self.args.program, "/Vaspo")
            answer = program.CopyData(dbus.UInt32(0xA000), "PING", dbus_interface=IFACE, timeout=10)
            emit(event="reentered", answer=int(answer))
        ok(0 if int(code) in self.args.zero else 1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--hang", action="store_true")
    parser.add_argument("--reenter", action="store_true")
    parser.add_argument("--zero", type=lambda v: int(v, 0), action="append", default=[])
    args = parser.parse_args()

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    Host(bus, args)
    program = bus.get_object(args.program, "/Vaspo", introspect=False)
    loop = GLib.MainLoop()

    def command(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        request = json.loads(line)
        code = request["code"]
        program.CopyData(dbus.UInt32(code), request.get("text", ""), dbus_interface=IFACE, timeout=30,
                         reply_handler=lambda a: emit(event="answer", code=code, answer=int(a)),
                         error_handler=lambda e: emit(event="answer", code=code, answer=None, error=str(e)))
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    emit(event="ready", name=bus.get_unique_name())
    loop.run()


if __name__ == "__main__":
    main()
