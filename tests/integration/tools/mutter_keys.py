#!/usr/bin/python3
"""mutter_keys.py CHORD...: types key chords through mutter's own RemoteDesktop interface, as a
person at the keyboard would (mutter lets no client inject keys otherwise). A CHORD is evdev key
codes joined by commas, pressed in order and let go in reverse: 29,47 is Control+V, 1 Escape.
Also a module: Keyboard is one such session; it lives as long as its bus connection."""
import sys
import time

from gi.repository import Gio, GLib

MUTTER = 'org.gnome.Mutter.RemoteDesktop'
SHIFT = 42


class Keyboard:
    def __init__(self, conn=None):
        self.conn = conn or Gio.bus_get_sync(Gio.BusType.SESSION, None)
        self.path = self.call('/org/gnome/Mutter/RemoteDesktop', MUTTER, 'CreateSession')[0]
        self.call(self.path, MUTTER + '.Session', 'Start')
        # The first key events after Start are lost: a Shift tap takes that loss.
        self.chord(SHIFT)
        time.sleep(0.3)

    def call(self, path, interface, method, args=None):
        return self.conn.call_sync(MUTTER, path, interface, method, args, None,
                                   Gio.DBusCallFlags.NONE, 5000, None).unpack()

    def chord(self, *codes):
        for down, order in ((True, codes), (False, tuple(reversed(codes)))):
            for code in order:
                self.call(self.path, MUTTER + '.Session', 'NotifyKeyboardKeycode',
                          GLib.Variant('(ub)', (code, down)))
        time.sleep(0.15)


if __name__ == '__main__':
    keyboard = Keyboard()
    for chord in sys.argv[1:]:
        keyboard.chord(*(int(code) for code in chord.split(',')))
