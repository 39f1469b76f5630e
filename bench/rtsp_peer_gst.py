#!/usr/bin/python3
"""GStreamer's RTSP server as the peer of bench/rtsp_bench.sh: one shared media at
rtsp://127.0.0.1:PORT/stream playing a recorded file of the appliance's own H.264 (Matroska) in
real time to every client. Prints "ready" when it listens. Usage: rtsp_peer_gst.py PORT FILE

It stands in for a live source. A seekable shared media is sought back to the start by every
PLAY that carries "Range: npt=0.000-" (as ffmpeg's and the bench's clients send), which flushes
the pipeline under the clients already playing: they lose packets or stall. Publishing the clock
with its offset in the SDP makes the media unseekable, so a PLAY joins the running stream. The
queue behind the demuxer leaves the file reader alone in its thread ("matroskademux0:"), which
the bench does not count as serving clients."""
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
factory.set_launch('( filesrc location="%s" ! matroskademux ! queue ! h264parse config-interval=-1 ! '
                   'rtph264pay name=pay0 pt=96 )' % path)
factory.set_shared(True)
factory.set_publish_clock_mode(GstRtspServer.RTSPPublishClockMode.CLOCK_AND_OFFSET)
server.get_mount_points().add_factory("/stream", factory)
if server.attach(None) == 0:
    sys.exit("cannot listen on port %s" % port)
print("ready", flush=True)
GLib.MainLoop().run()
