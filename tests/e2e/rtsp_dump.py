"""Plays an RTSP session over TCP (interleaved) and writes the raw RTP packets of its first
track to a file, each as a 2-byte big-endian length and the packet.

usage: rtsp_dump.py URL SECONDS OUTFILE
"""
import socket
import struct
import sys
import time

url, seconds, out_path = sys.argv[1], float(sys.argv[2]), sys.argv[3]
host_port = url.split("/")[2]
host, port = host_port.split(":") if ":" in host_port else (host_port, "554")
s = socket.create_connection((host, int(port)), timeout=15)
buf = b""


def request(method, uri, cseq, extra=""):
    global buf
    s.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s\r\n" % (method, uri, cseq, extra)).encode())
    while True:
        # interleaved data may come before the reply
        while len(buf) < 4 or (buf[0:1] != b"$" and b"\r\n\r\n" not in buf):
            buf += s.recv(65536)
        if buf[0:1] == b"$":
            n = struct.unpack(">H", buf[2:4])[0]
            while len(buf) < 4 + n:
                buf += s.recv(65536)
            buf = buf[4 + n:]
            continue
        break
    head, _, buf = buf.partition(b"\r\n\r\n")
    n = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            n = int(line.split(b":")[1])
    while len(buf) < n:
        buf += s.recv(65536)
    body, buf = buf[:n], buf[n:]
    return head.decode(), body.decode(errors="replace")


head, sdp = request("DESCRIBE", url, 1, "Accept: application/sdp\r\n")
control = url
for line in sdp.split("\r\n"):
    if line.startswith("a=control:") and line[10:] != "*":
        c = line[10:]
        control = c if c.startswith("rtsp://") else url.rstrip("/") + "/" + c
        break
head, _ = request("SETUP", control, 2, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")
session = [l.split(":", 1)[1].strip().split(";")[0] for l in head.split("\r\n")
           if l.lower().startswith("session:")][0]
request("PLAY", url, 3, "Session: %s\r\nRange: npt=0.000-\r\n" % session)
end = time.time() + seconds
with open(out_path, "wb") as out:
    while time.time() < end:
        while len(buf) < 4:
            buf += s.recv(65536)
        if buf[0:1] != b"$":
            i = buf.find(b"\r\n\r\n")
            if i < 0:
                buf += s.recv(65536)
                continue
            buf = buf[i + 4:]
            continue
        ch, n = buf[1], struct.unpack(">H", buf[2:4])[0]
        while len(buf) < 4 + n:
            buf += s.recv(65536)
        pkt, buf = buf[4:4 + n], buf[4 + n:]
        if ch == 0:
            out.write(struct.pack(">H", n) + pkt)
s.sendall(("TEARDOWN %s RTSP/1.0\r\nCSeq: 4\r\nSession: %s\r\n\r\n" % (url, session)).encode())
