#!/usr/bin/python3
"""mutter_keys.py CHORD... | --hold: types key chords through mutter's own RemoteDesktop
interface, as a person at the keyboard would (mutter lets no client inject keys otherwise). A
CHORD is evdev key codes joined by commas, pressed in order and let go in reverse: 29,47 is
Control+V, 1 Escape. --hold keeps a keyboard plugged in until SIGTERM and prints "held": a
headless mutter's seat has a keyboard only while a virtual one exists, and the first keys of
each new one are lost while clients bind it (a desktop always has its real keyboard).
Also a module: Keyboard is one such session; it lives as long as its bus connection."""
import signal
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
    if sys.argv[1:] == ['--hold']:
        print('held', flush=True)
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
        while True:
            signal.pause()
    for chord in sys.argv[1:]:
        keyboard.chord(*(int(code) for code in chord.split(',')))
