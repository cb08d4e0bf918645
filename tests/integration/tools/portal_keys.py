#!/usr/bin/python3
"""portal_keys.py CODE[,CODE...]: holds keys down through the desktop portal's RemoteDesktop
keyboard (KWin offers no virtual-keyboard protocol) until SIGTERM, then lets them go in reverse
order and exits. CODEs are evdev key codes (29 Control_L, 56 Alt_L, 57 space). Prints "held"
once the keys are down. Needs python3-dbus and python3-gi."""
import signal
import sys
import time

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
rd = dbus.Interface(bus.get_object('org.freedesktop.portal.Desktop', '/org/freedesktop/portal/desktop'),
                    'org.freedesktop.portal.RemoteDesktop')
sender = bus.get_unique_name()[1:].replace('.', '_')
count = [0]


def request(method, *args, options):
    """A portal call that answers through its Request object; (code, results)."""
    count[0] += 1
    token = 'keys%d' % count[0]
    path = '/org/freedesktop/portal/desktop/request/%s/%s' % (sender, token)
    loop, out = GLib.MainLoop(), {}
    match = bus.add_signal_receiver(lambda code, results: (out.update(r=(int(code), results)), loop.quit()),
                                    'Response', 'org.freedesktop.portal.Request', path=path)
    method(*args, dict(options, handle_token=token))
    GLib.timeout_add_seconds(10, loop.quit)
    loop.run()
    match.remove()
    return out.get('r', (-1, {}))


code, res = request(rd.CreateSession, options={'session_handle_token': 'keys%d' % time.monotonic_ns()})
if code != 0:
    sys.exit('portal_keys: no session (%d)' % code)
session = res['session_handle']
request(rd.SelectDevices, session, options={'types': dbus.UInt32(1)})
code, res = request(rd.Start, session, '', options={})
if code != 0:
    sys.exit('portal_keys: not started (%d)' % code)
codes = [int(c) for c in sys.argv[1].split(',')]
for c in codes:
    rd.NotifyKeyboardKeycode(session, {}, dbus.Int32(c), dbus.UInt32(1))
print('held', flush=True)
loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
loop.run()
# All at once, not one round trip each: a key still held when the program pastes (about 0.1 s
# after the release) would be part of its chord, and a modifier let go in the middle of the
# chord would end the program's own.
for c in reversed(codes):
    rd.NotifyKeyboardKeycode(session, {}, dbus.Int32(c), dbus.UInt32(0),
                             reply_handler=lambda: None, error_handler=lambda e: None)
loop = GLib.MainLoop()
GLib.timeout_add(300, loop.quit)  # the events leave before the session closes with us
loop.run()
