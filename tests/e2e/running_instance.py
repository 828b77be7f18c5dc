#!/usr/bin/python3
"""A copy of carvelin2 that already runs, as a second copy sees it on the
session bus: owns org.talven.Carvelin2.p<pid>, exports /Vaspo with
Talven.Vaspo.Message.CopyData(u code, s text) -> i, answers the probe and
the link with the given values and appends each call to RECORD as
"0x<code> <text>".

    running_instance.py RECORD PING_ANSWER URL_ANSWER

Prints its bus name once it owns it; runs until killed."""

import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PING, URL = 0xA000, 0xA005


class Instance(dbus.service.Object):
    def __init__(self, bus, record, answers):
        super().__init__(bus, "/Vaspo")
        self.record = record
        self.answers = answers

    @dbus.service.method("Talven.Vaspo.Message", in_signature="us", out_signature="i")
    def CopyData(self, code, text):
        with open(self.record, "a", encoding="utf-8") as f:
            f.write("%#x %s\n" % (code, text))
        return self.answers.get(int(code), 0)


def main():
    record, ping, url = sys.argv[1], int(sys.argv[2], 0), int(sys.argv[3], 0)
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName("org.talven.Carvelin2.p%d" % os.getpid(), bus, do_not_queue=True)
    instance = Instance(bus, record, {PING: ping, URL: url})  # noqa: F841 (serves until killed)
    print(name.get_name(), flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
