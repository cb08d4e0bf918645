#!/usr/bin/python3
"""mutter_shot.py OUT.png: one frame of mutter's virtual monitor as a PNG. A headless mutter
offers no screencopy protocol; its own ScreenCast interface records the monitor into a PipeWire
stream (WirePlumber links it), of which gst-launch-1.0 keeps one frame. Needs python3-dbus,
python3-gi, gstreamer1.0-pipewire and gstreamer1.0-tools."""
import subprocess
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
MUTTER = 'org.gnome.Mutter.ScreenCast'
cast = dbus.Interface(bus.get_object(MUTTER, '/org/gnome/Mutter/ScreenCast'), MUTTER)
session = dbus.Interface(bus.get_object(MUTTER, cast.CreateSession(dbus.Dictionary({}, signature='sv'))),
                         MUTTER + '.Session')
# cursor-mode 0: no pointer drawn over what the tests look at.
stream = session.RecordMonitor('Meta-0', dbus.Dictionary({'cursor-mode': dbus.UInt32(0)}, signature='sv'))
loop, node = GLib.MainLoop(), {}
bus.add_signal_receiver(lambda n: (node.update(id=int(n)), loop.quit()), 'PipeWireStreamAdded',
                        MUTTER + '.Stream', path=stream)
session.Start()
GLib.timeout_add_seconds(5, loop.quit)
loop.run()
if 'id' not in node:
    sys.exit('mutter_shot: no PipeWire stream within 5 s')
grab = subprocess.run(['timeout', '10', 'gst-launch-1.0', '-q', 'pipewiresrc', 'path=%d' % node['id'],
                       'num-buffers=1', '!', 'videoconvert', '!', 'pngenc', '!', 'filesink',
                       'location=' + sys.argv[1]],
                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
session.Stop()
if grab.returncode:
    sys.exit('mutter_shot: gst-launch-1.0 failed (%d): %s' % (grab.returncode, grab.stderr.strip()[-300:]))
