#!/usr/bin/env python3
"""A stand-in for the desktop portal's Screenshot interface, for the portal client's tests.

usage: fake_portal.py MODE FOLDER

Owns org.freedesktop.portal.Desktop on the session bus and answers Screenshot by MODE:
  ok            the request path from handle_token, then response 0 with a 3 x 2 PNG whose file
                name has a blank ("%20" in the URI)
  old           an older portal: a request path of its own, answered before the call returns
  cancel, deny  response 1 or 2
  silent        never answers (the client must close the request)
  noscreenshot  offers no Screenshot interface
Writes FOLDER/ready once the name is owned, and logs the calls it gets to FOLDER/log.
"""
import os
import struct
import sys
import urllib.parse
import zlib

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

MODE, FOLDER = sys.argv[1], sys.argv[2]
DESKTOP = "org.freedesktop.portal.Desktop"
SCREENSHOT = "org.freedesktop.portal.Screenshot"
REQUEST = "org.freedesktop.portal.Request"

# Top row red, green, blue; bottom row white, black, a dark blue-grey.
PIXELS = [[(255, 0, 0), (0, 255, 0), (0, 0, 255)], [(255, 255, 255), (0, 0, 0), (16, 32, 48)]]


def log(line):
    with open(os.path.join(FOLDER, "log"), "a") as f:
        f.write(line + "\n")


def write_png(path):
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in PIXELS)

    def chunk(kind, data):
        crc = zlib.crc32(kind + data) & 0xFFFFFFFF
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)

    header = struct.pack(">IIBBBBB", len(PIXELS[0]), len(PIXELS), 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


class Request(dbus.service.Object):
    def __init__(self, bus, path):
        super().__init__(bus, path)
        self.path = path

    @dbus.service.method(REQUEST)
    def Close(self):
        log("close " + self.path)
        self.remove_from_connection()

    @dbus.service.signal(REQUEST, signature="ua{sv}")
    def Response(self, response, results):
        pass

    def answer(self):
        if MODE == "cancel":
            self.Response(1, {})
        elif MODE == "deny":
            self.Response(2, {})
        else:
            path = os.path.join(FOLDER, "shot %d.png" % os.getpid())
            write_png(path)
            uri = "file://" + urllib.parse.quote(path)
            self.Response(0, {"uri": dbus.String(uri, variant_level=1)})
        return False


class Portal(dbus.service.Object):
    count = 0

    @dbus.service.method(SCREENSHOT, in_signature="sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def Screenshot(self, parent, options, sender):
        log("call parent=%r interactive=%s modal=%s" %
            (str(parent), bool(options.get("interactive", True)), bool(options.get("modal", True))))
        Portal.count += 1
        if MODE == "old":
            path = "/org/freedesktop/portal/desktop/request/old/%d" % Portal.count
        else:
            path = "/org/freedesktop/portal/desktop/request/%s/%s" % (
                sender[1:].replace(".", "_"), options["handle_token"])
        request = Request(self._connection, path)
        if MODE == "old":
            request.answer()  # before the call's reply: the client learns the path later
        elif MODE != "silent":
            GLib.timeout_add(50, request.answer)
        return dbus.ObjectPath(path)

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss",
                         out_signature="v")
    def Get(self, interface, name):
        if MODE == "noscreenshot" or interface != SCREENSHOT or name != "version":
            raise dbus.exceptions.DBusException(
                "no such property", name="org.freedesktop.DBus.Error.UnknownProperty")
        return dbus.UInt32(1, variant_level=1)


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
session = dbus.SessionBus()
portal = Portal(session, "/org/freedesktop/portal/desktop")
owned = dbus.service.BusName(DESKTOP, session)
open(os.path.join(FOLDER, "ready"), "w").close()
GLib.MainLoop().run()
