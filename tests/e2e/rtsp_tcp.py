"""A small RTSP client over TCP for the end-to-end scripts: requests with their replies, and the
interleaved frames that come before, between and after them.
"""
import socket
import struct
import sys


class Client:
    def __init__(self, url):
        self.url = url
        host_port = url.split("/")[2]
        host, port = host_port.split(":") if ":" in host_port else (host_port, "554")
        self.sock = socket.create_connection((host, int(port)), timeout=15)
        self.buf = b""
        self.cseq = 0
        self.session = ""
        self.early = []   # (channel, packet) of frames that came before a reply

    def fill(self):
        d = self.sock.recv(65536)
        if not d:
            sys.exit("connection closed")
        self.buf += d

    def frame(self):
        """The next interleaved frame as (channel, packet); text between frames is skipped."""
        while True:
            while len(self.buf) < 4:
                self.fill()
            if self.buf[0:1] == b"$":
                break
            i = self.buf.find(b"\r\n\r\n")
            if i < 0:
                self.fill()
                continue
            self.buf = self.buf[i + 4:]
        n = struct.unpack(">H", self.buf[2:4])[0]
        while len(self.buf) < 4 + n:
            self.fill()
        ch, pkt = self.buf[1], self.buf[4:4 + n]
        self.buf = self.buf[4 + n:]
        return ch, pkt

    def request(self, method, uri, extra=""):
        self.cseq += 1
        if self.session:
            extra += "Session: %s\r\n" % self.session
        self.sock.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s\r\n" % (method, uri, self.cseq, extra)).encode())
        while True:
            while not self.buf or (self.buf[0:1] != b"$" and b"\r\n\r\n" not in self.buf):
                self.fill()
            if self.buf[0:1] != b"$":
                break
            self.early.append(self.frame())
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        n = 0
        for line in head.split(b"\r\n"):
            if line.lower().startswith(b"content-length:"):
                n = int(line.split(b":")[1])
            if line.lower().startswith(b"session:") and not self.session:
                self.session = line.split(b":", 1)[1].strip().split(b";")[0].decode()
        while len(self.buf) < n:
            self.fill()
        body, self.buf = self.buf[:n], self.buf[n:]
        return head.decode(), body.decode(errors="replace")

    def play(self, tracks=None):
        """Sets up the first `tracks` tracks (all when None), track i on channels 2i and 2i+1,
        and plays them; returns their control names."""
        _, sdp = self.request("DESCRIBE", self.url, "Accept: application/sdp\r\n")
        controls = [l[10:] for l in sdp.split("\r\n") if l.startswith("a=control:") and l[10:] != "*"]
        controls = controls[:tracks] if controls else [self.url]
        for i, c in enumerate(controls):
            uri = c if c.startswith("rtsp://") else self.url.rstrip("/") + "/" + c
            self.request("SETUP", uri, "Transport: RTP/AVP/TCP;unicast;interleaved=%d-%d\r\n" % (2 * i, 2 * i + 1))
        self.request("PLAY", self.url, "Range: npt=0.000-\r\n")
        return controls

    def teardown(self):
        self.cseq += 1
        self.sock.sendall(("TEARDOWN %s RTSP/1.0\r\nCSeq: %d\r\nSession: %s\r\n\r\n" %
                           (self.url, self.cseq, self.session)).encode())
