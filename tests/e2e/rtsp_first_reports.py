"""Plays every track of an RTSP session over TCP (interleaved) and tells, per track, whether a
sender report came before the track's first RTP packet. Players time a track from RTP-Info
until its first report; one that comes later moves the track's timeline.

usage: rtsp_first_reports.py URL SECONDS
Exit status 0 when every track got packets, each after a sender report.
"""
import sys
import time

from rtsp_tcp import Client

url, seconds = sys.argv[1], float(sys.argv[2])
c = Client(url)
tracks = c.play()
# Said as it happens, so a run cut short by the caller's timeout shows how far it got.
print("playing %d tracks" % len(tracks))
end = time.time() + seconds
while time.time() < end:
    c.early.append(c.frame())
c.teardown()

# (channel, RTCP packet type or RTP marker/payload byte) of every frame, in order
frames = [(ch, pkt[1] if len(pkt) > 1 else 0) for ch, pkt in c.early]
good = bool(tracks)
for i, t in enumerate(tracks):
    first_rtp = next((k for k, f in enumerate(frames) if f[0] == 2 * i), None)
    first_sr = next((k for k, f in enumerate(frames) if f[0] == 2 * i + 1 and f[1] == 200), None)
    ok = first_rtp is not None and first_sr is not None and first_sr < first_rtp
    good &= ok
    print("%s: first RTP packet at frame %s, first sender report at frame %s%s" %
          (t, first_rtp, first_sr, "" if ok else "  <- no report before the first packet"))
sys.exit(0 if good else 1)
