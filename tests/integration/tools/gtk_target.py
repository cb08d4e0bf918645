#!/usr/bin/python3
# A GTK 3 text window for tests to paste into, the GTK twin of target_window: it writes its
# whole text to the file named by its argument on every change, and once (empty) when it first
# has focus, so the file's existence means "ready to receive keys". app_id: gtk_target.
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

GLib.set_prgname("gtk_target")
path = sys.argv[1]


def report(text):
    with open(path + ".tmp", "w", encoding="utf-8") as out:
        out.write(text)
    os.replace(path + ".tmp", path)


window = Gtk.Window(title="Murmelin GTK target")
window.set_default_size(640, 360)
view = Gtk.TextView()
buffer = view.get_buffer()
buffer.connect("changed", lambda b: report(b.get_text(b.get_start_iter(), b.get_end_iter(), True)))
announced = []


def focused(*_):
    if not announced:
        announced.append(True)
        report("")


window.connect("focus-in-event", focused)
window.connect("destroy", Gtk.main_quit)
window.add(view)
window.show_all()
view.grab_focus()
Gtk.main()
