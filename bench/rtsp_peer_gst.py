#!/usr/bin/python3
"""GStreamer's RTSP server as the peer of bench/rtsp_bench.sh: one shared media at
rtsp://127.0.0.1:PORT/stream playing a recorded file of the appliance's own H.264 (Matroska) in
real time to every client. Prints "ready" when it listens. Usage: rtsp_peer_gst.py PORT FILE"""
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

port, path = sys.argv[1], sys.argv[2]
Gst.init(None)
server = GstRtspServer.RTSPServer()
server.set_address("127.0.0.1")
server.set_service(port)
server.set_backlog(128)   # every client of a run connects at once
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch('( filesrc location="%s" ! matroskademux ! h264parse config-interval=-1 ! '
                   'rtph264pay name=pay0 pt=96 )' % path)
factory.set_shared(True)
server.get_mount_points().add_factory("/stream", factory)
if server.attach(None) == 0:
    sys.exit("cannot listen on port %s" % port)
print("ready", flush=True)
GLib.MainLoop().run()
