#!/usr/bin/python3
"""consent_dialog.py [--refuse]: the person in front of a headless GNOME who answers the desktop
portal's remote-desktop consent dialog (xdg-desktop-portal-gnome 43), so that the program's
portal road runs unattended.

It watches the session bus (a monitor connection) for xdg-desktop-portal's Start call to the
GNOME backend's RemoteDesktop, waits in screenshots (mutter_shot.py) until the dialog is drawn,
then presses keys through mutter's RemoteDesktop (mutter_keys.py): Tab and Space turn on
"Allow remote interaction", Alt+S chooses "Share"; with --refuse, Escape closes the dialog.
Prints "ready" once it watches, then per dialog "answered RESPONSE SECONDS" (seconds from the
Start call to the backend's reply) or "FAILED why". Positions are those of the dialog's default
size, centred on a 1280x720 monitor. Needs python3-gi, gir1.2-gdkpixbuf-2.0."""
import os
import subprocess
import sys
import tempfile
import threading
import time

import gi
gi.require_version('GdkPixbuf', '2.0')
from gi.repository import Gio, GLib, GdkPixbuf

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from mutter_keys import Keyboard  # noqa: E402

BACKEND = 'org.freedesktop.impl.portal.desktop.gnome'
SHARE = (812, 240)  # a pixel inside the "Share" button
SHARE_GREYED, SHARE_ENABLED = (144, 183, 231), (53, 132, 228)
TAB, SPACE, ALT, KEY_S, ESCAPE = 15, 57, 56, 31, 1


def share_colour():
    with tempfile.NamedTemporaryFile(suffix='.png') as png:
        shot = subprocess.run([sys.executable, os.path.join(HERE, 'mutter_shot.py'), png.name],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if shot.returncode:
            print('screenshot failed:', shot.stderr.strip(), flush=True)
            return None
        image = GdkPixbuf.Pixbuf.new_from_file(png.name)
    at = SHARE[1] * image.get_rowstride() + SHARE[0] * image.get_n_channels()
    return tuple(image.get_pixels()[at:at + 3])


def wait_colour(want, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        colour = share_colour()
        if colour and all(abs(a - b) <= 12 for a, b in zip(colour, want)):
            return True
        time.sleep(0.2)
    return False


def main():
    refuse = '--refuse' in sys.argv
    address = os.environ['DBUS_SESSION_BUS_ADDRESS']
    flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    keyboard = Keyboard(Gio.DBusConnection.new_for_address_sync(address, flags, None, None))
    monitor = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
    calls, lock = {}, threading.Lock()  # serial of a Start call -> [replied, response, caller]

    def seen(conn, message, incoming):  # in GDBus's worker thread
        # Our own traffic (BecomeMonitor and its reply) passes; a filter also sees outgoing messages.
        if not incoming or message.get_destination() == conn.get_unique_name():
            return message
        kind = message.get_message_type()
        if kind == Gio.DBusMessageType.METHOD_CALL and message.get_member() == 'Start':
            with lock:
                calls[message.get_serial()] = [threading.Event(), None, message.get_sender()]
            threading.Thread(target=answer, args=(message.get_serial(),), daemon=True).start()
        elif kind == Gio.DBusMessageType.METHOD_RETURN:
            # Reply serials count per connection: the caller must match too.
            with lock:
                call = calls.get(message.get_reply_serial())
            if call and message.get_destination() == call[2]:
                call[1] = message.get_body().unpack()[0]
                call[0].set()
        return None

    def answer(serial):
        start = time.monotonic()
        replied = calls[serial][0]
        if not wait_colour(SHARE_GREYED, 15):
            print('FAILED no dialog on screen within 15 s', flush=True)
            return
        time.sleep(0.5)  # drawn is not yet focused: keys sent at once went to the window below
        if not refuse:
            keyboard.chord(TAB)  # a fresh dialog: Tab reaches the switch first
            keyboard.chord(SPACE)
            if not wait_colour(SHARE_ENABLED, 5):
                print('FAILED "Share" not enabled after Tab, Space', flush=True)
                return
        for tries in range(1, 4):  # keys that do no harm when repeated
            keyboard.chord(*((ESCAPE,) if refuse else (ALT, KEY_S)))
            if replied.wait(3):
                print('answered %d %.1f (tries %d)' % (calls[serial][1], time.monotonic() - start, tries),
                      flush=True)
                return
        print('FAILED the backend did not answer after 3 tries', flush=True)

    monitor.add_filter(seen)
    rules = ["type='method_call',interface='org.freedesktop.impl.portal.RemoteDesktop',member='Start'",
             "type='method_return',sender='%s'" % BACKEND]
    monitor.call_sync('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus.Monitoring',
                      'BecomeMonitor', GLib.Variant('(asu)', (rules, 0)), None, Gio.DBusCallFlags.NONE,
                      5000, None)
    print('ready', flush=True)
    GLib.MainLoop().run()


if __name__ == '__main__':
    main()
