#!/usr/bin/python3
"""Finds a control of a running program the way a screen reader does, over
the accessibility bus (AT-SPI 2 D-Bus interfaces), and prints where it is on
the screen, so that a test clicks it with the mouse as a user would.

    accessible.py PID NAME [ROLE]

Prints "X Y W H" (screen pixels) of the first showing, enabled control of
process PID whose accessible name is NAME (and whose role name is ROLE,
e.g. "push button", "list"; any role when empty); exits 1 when there is none yet. The program
must expose its tree (Qt: QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1)."""

import sys

import dbus

ACCESSIBLE = "org.a11y.atspi.Accessible"
# AtspiStateType bits (at-spi2-core atspi-constants.h).
STATE_ENABLED = 8
STATE_SHOWING = 25
SCREEN_COORDS = 0


def accessibility_bus():
    launcher = dbus.SessionBus().get_object("org.a11y.Bus", "/org/a11y/bus")
    return dbus.bus.BusConnection(launcher.GetAddress(dbus_interface="org.a11y.Bus"))


def has_state(node, bit):
    words = node.GetState(dbus_interface=ACCESSIBLE)
    return bool(words[bit // 32] & (1 << (bit % 32)))


def find(bus, name, path, wanted, role):
    """Depth first over the showing part of the tree."""
    node = bus.get_object(name, path, introspect=False)
    if not has_state(node, STATE_SHOWING):
        return None
    props = dbus.Interface(node, "org.freedesktop.DBus.Properties")
    if props.Get(ACCESSIBLE, "Name") == wanted and has_state(node, STATE_ENABLED):
        if role is None or node.GetRoleName(dbus_interface=ACCESSIBLE) == role:
            return node
    for child_name, child_path in node.GetChildren(dbus_interface=ACCESSIBLE):
        found = find(bus, child_name, child_path, wanted, role)
        if found is not None:
            return found
    return None


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    pid, wanted = int(sys.argv[1]), sys.argv[2]
    role = sys.argv[3] if len(sys.argv) == 4 and sys.argv[3] else None
    try:
        bus = accessibility_bus()
        registry = bus.get_object("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root", introspect=False)
        driver = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus", introspect=False)
        for app_name, app_path in registry.GetChildren(dbus_interface=ACCESSIBLE):
            if driver.GetConnectionUnixProcessID(app_name, dbus_interface="org.freedesktop.DBus") != pid:
                continue
            # The application node is never "showing": start at its windows.
            app = bus.get_object(app_name, app_path, introspect=False)
            for window_name, window_path in app.GetChildren(dbus_interface=ACCESSIBLE):
                node = find(bus, window_name, window_path, wanted, role)
                if node is not None:
                    x, y, w, h = node.GetExtents(SCREEN_COORDS, dbus_interface="org.a11y.atspi.Component")
                    print(int(x), int(y), int(w), int(h))
                    return
    except dbus.DBusException as error:  # the program is still starting, or a node went away
        print(f"accessible.py: {error.get_dbus_message()}", file=sys.stderr)
    sys.exit(1)


if __name__ == "__main__":
    main()
