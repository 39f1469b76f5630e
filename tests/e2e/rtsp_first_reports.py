"""Plays every track of an RTSP session over TCP (interleaved) and tells, per track, whether a
sender report came before the track's first RTP packet. Players time a track from RTP-Info
until its first report; one that comes later moves the track's timeline.

usage: rtsp_first_reports.py URL SECONDS
Exit status 0 when every track got packets, each after a sender report.
"""
import socket
import struct
import sys
import time

url, seconds = sys.argv[1], float(sys.argv[2])
host, port = url.split("/")[2].split(":")
s = socket.create_connection((host, int(port)), timeout=15)
buf = b""
frames = []   # (channel, payload type byte) of every interleaved frame, in order


def fill():
    global buf
    d = s.recv(65536)
    if not d:
        sys.exit("connection closed")
    buf += d


def take_frame():
    global buf
    while len(buf) < 4:
        fill()
    n = struct.unpack(">H", buf[2:4])[0]
    while len(buf) < 4 + n:
        fill()
    frames.append((buf[1], buf[5] if n > 1 else 0))
    buf = buf[4 + n:]


def request(method, uri, cseq, extra=""):
    global buf
    s.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s\r\n" % (method, uri, cseq, extra)).encode())
    while True:
        while not buf or (buf[0:1] != b"$" and b"\r\n\r\n" not in buf):
            fill()
        if buf[0:1] != b"$":
            break
        take_frame()
    head, _, buf = buf.partition(b"\r\n\r\n")
    n = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            n = int(line.split(b":")[1])
    while len(buf) < n:
        fill()
    body, buf = buf[:n], buf[n:]
    return head.decode(), body.decode(errors="replace")


_, sdp = request("DESCRIBE", url, 1, "Accept: application/sdp\r\n")
tracks = [l[10:] for l in sdp.split("\r\n") if l.startswith("a=control:") and l[10:] != "*"]
session = ""
for i, t in enumerate(tracks):
    uri = t if t.startswith("rtsp://") else url.rstrip("/") + "/" + t
    head, _ = request("SETUP", uri, 2 + i, "Transport: RTP/AVP/TCP;unicast;interleaved=%d-%d\r\n%s" %
                      (2 * i, 2 * i + 1, "Session: %s\r\n" % session if session else ""))
    session = [l.split(":", 1)[1].strip().split(";")[0] for l in head.split("\r\n")
               if l.lower().startswith("session:")][0]
request("PLAY", url, 9, "Session: %s\r\nRange: npt=0.000-\r\n" % session)
end = time.time() + seconds
while time.time() < end:
    if buf[0:1] not in (b"", b"$"):
        i = buf.find(b"\r\n\r\n")
        if i < 0:
            fill()
            continue
        buf = buf[i + 4:]
        continue
    take_frame()
s.sendall(("TEARDOWN %s RTSP/1.0\r\nCSeq: 10\r\nSession: %s\r\n\r\n" % (url, session)).encode())

good = bool(tracks)
for i, t in enumerate(tracks):
    first_rtp = next((k for k, f in enumerate(frames) if f[0] == 2 * i), None)
    first_sr = next((k for k, f in enumerate(frames) if f[0] == 2 * i + 1 and f[1] == 200), None)
    ok = first_rtp is not None and first_sr is not None and first_sr < first_rtp
    good &= ok
    print("%s: first RTP packet at frame %s, first sender report at frame %s%s" %
          (t, first_rtp, first_sr, "" if ok else "  <- no report before the first packet"))
sys.exit(0 if good else 1)
