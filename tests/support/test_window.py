#!/usr/bin/env python3
"""A GTK 3 window with known pixels, for the desktop sessions' tests.

usage: test_window.py [--color RRGGBB] [--size WxH] [--pattern] [--fullscreen] [--focus-untold]

Fills its content with one colour (or, with --pattern, a grid of 8 x 6 blocks: the block in
column i and row j is red 40 + 30 i, green 40 + 40 j, blue 200 where i + j is odd, else 40).
GDK_BACKEND picks X11 (through Xwayland) or Wayland. Once the window has the focus and the
compositor has shown a frame of it, prints one line: "x11 XID" or "wayland". GNOME Shell does
not tell a native Wayland window that it has the focus: there --focus-untold leaves the focus to
the caller to wait for.
"""
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

args = sys.argv[1:]
color = "ff00ff"
width, height = 320, 200
pattern = "--pattern" in args
fullscreen = "--fullscreen" in args
focus_told = "--focus-untold" not in args
for i, a in enumerate(args):
    if a == "--color":
        color = args[i + 1]
    elif a == "--size":
        width, height = (int(v) for v in args[i + 1].split("x"))

rgb = tuple(int(color[k:k + 2], 16) / 255 for k in (0, 2, 4))


def draw(widget, cr):
    w, h = widget.get_allocated_width(), widget.get_allocated_height()
    if not pattern:
        cr.set_source_rgb(*rgb)
        cr.paint()
        return False
    for i in range(8):
        for j in range(6):
            blue = 200 if (i + j) % 2 else 40
            cr.set_source_rgb((40 + 30 * i) / 255, (40 + 40 * j) / 255, blue / 255)
            x0, x1 = w * i // 8, w * (i + 1) // 8
            y0, y1 = h * j // 6, h * (j + 1) // 6
            cr.rectangle(x0, y0, x1 - x0, y1 - y0)
            cr.fill()
    return False


window = Gtk.Window(title="pictoss test " + color)
window.set_default_size(width, height)
area = Gtk.DrawingArea()
area.connect("draw", draw)
window.add(area)
window.connect("destroy", Gtk.main_quit)
done = False
first_frame = None
configured = False


def placed():
    state = window.get_window().get_state()
    return not fullscreen or bool(state & Gdk.WindowState.FULLSCREEN)


def report():
    global done
    done = True
    gdk_window = window.get_window()
    if type(gdk_window).__name__ == "X11Window":
        print("x11 %d" % gdk_window.get_xid(), flush=True)
    else:
        print("wayland", flush=True)


def presented_since(clock, frame):
    """Whether the compositor has answered for a frame from `frame` on: under X11 with
    _NET_WM_FRAME_TIMINGS, under Wayland with the frame callback, which GNOME Shell and KWin send
    once they have painted the surface's commit."""
    return any(
        (t := clock.get_timings(k)) is not None and t.get_complete()
        for k in range(frame, clock.get_frame_counter() + 1))


def check(*_):
    """Ready once placed, focused (where told) and, under Wayland, configured, and a frame drawn
    after all that has been presented: a frame drawn or committed is not yet on the screen."""
    global first_frame
    if done or not configured or not placed() or (focus_told and not window.is_active()):
        return
    clock = window.get_frame_clock()
    if first_frame is None:
        first_frame = clock.get_frame_counter() + 1
    if presented_since(clock, first_frame):
        report()
    else:
        area.queue_draw()  # keep frames coming until the compositor has answered for one


def on_configure(*_):
    global configured
    configured = True
    area.queue_draw()
    return False


window.show_all()
if fullscreen:
    window.fullscreen()
# An X11 window is drawn at the size it was mapped at; the size a Wayland compositor gives
# comes with its first configure.
configured = type(window.get_window()).__name__ == "X11Window"
window.connect("configure-event", on_configure)
window.connect("notify::is-active", check)
window.get_frame_clock().connect("after-paint", check)
window.present()
Gtk.main()
