"""Plays an RTSP session over TCP (interleaved) and writes the raw RTP packets of its first
track to a file, each as a 2-byte big-endian length and the packet.

usage: rtsp_dump.py URL SECONDS OUTFILE
"""
import struct
import sys
import time

from rtsp_tcp import Client

url, seconds, out_path = sys.argv[1], float(sys.argv[2]), sys.argv[3]
c = Client(url)
c.play(tracks=1)
end = time.time() + seconds
with open(out_path, "wb") as out:
    while time.time() < end:
        ch, pkt = c.frame()
        if ch == 0:
            out.write(struct.pack(">H", len(pkt)) + pkt)
c.teardown()
