#!/usr/bin/python3
"""Asks X windows to close the way a window manager's close button does: a
WM_DELETE_WINDOW client message (ICCCM §4.2.8.1), so the program runs its
own closing path. Needs no window manager.

    close_window.py WINDOW_ID..."""

import ctypes
import sys

X11 = ctypes.CDLL("libX11.so.6")
X11.XOpenDisplay.restype = ctypes.c_void_p
X11.XOpenDisplay.argtypes = [ctypes.c_char_p]
X11.XInternAtom.restype = ctypes.c_ulong
X11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
X11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
X11.XFlush.argtypes = [ctypes.c_void_p]
X11.XCloseDisplay.argtypes = [ctypes.c_void_p]

CLIENT_MESSAGE = 33


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def main():
    display = X11.XOpenDisplay(None)
    if not display:
        sys.exit("close_window.py: no display")
    protocols = X11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    delete = X11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    for window in sys.argv[1:]:
        event = XEvent()
        event.xclient.type = CLIENT_MESSAGE
        event.xclient.window = int(window, 0)
        event.xclient.message_type = protocols
        event.xclient.format = 32
        event.xclient.data[0] = delete
        X11.XSendEvent(display, event.xclient.window, 0, 0, ctypes.byref(event))
    X11.XFlush(display)
    X11.XCloseDisplay(display)


if __name__ == "__main__":
    main()
