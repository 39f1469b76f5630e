#!/usr/bin/env python3
"""N RTSP clients over TCP interleaved on one live channel (loopback only).

Reports: time from PLAY to the first decodable picture (an IDR slice complete), capture stamp
to RTP send latency (from the RTCP sender report's wall-clock mapping; the presentation time
of a frame is its capture time), and whether every client received every frame.
usage: rtsp_bench_client.py URL CLIENTS SECONDS
"""
import select, socket, struct, sys, time

url, clients, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
assert clients <= 64 and seconds <= 30, "bounded runs only"
host, port = "127.0.0.1", int(url.split(":")[2].split("/")[0])
assert url.startswith("rtsp://127.0.0.1:"), "loopback only"


def request(sock, buf, text):
    sock.sendall(text.encode())
    while b"\r\n\r\n" not in buf[0]:
        chunk = sock.recv(65536)
        if not chunk:
            raise SystemExit("connection closed")
        buf[0] += chunk
    head, _, rest = buf[0].partition(b"\r\n\r\n")
    n = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            n = int(line.split(b":")[1])
    while len(rest) < n:
        rest += sock.recv(65536)
    buf[0] = rest[n:]
    return head.decode(errors="replace"), rest[:n]


class Client:
    def __init__(self, i):
        self.sock = socket.create_connection((host, port), timeout=20)
        self.buf = [b""]
        self.seqs, self.frames, self.first_idr = [], 0, None
        self.sr = None            # (ntp seconds, rtp timestamp)
        self.pending = []         # (rtp timestamp, arrival) before the first SR
        self.latencies = []
        self.idr_parts = False
        request(self.sock, self.buf, "DESCRIBE %s RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n" % url)
        head, _ = request(self.sock, self.buf, "SETUP %s/track1 RTSP/1.0\r\nCSeq: 2\r\n"
                          "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n" % url)
        self.session = [l.split(":", 1)[1].strip().split(";")[0] for l in head.split("\r\n") if l.lower().startswith("session:")][0]

    def play(self):
        self.t_play = time.time()
        head, _ = request(self.sock, self.buf, "PLAY %s RTSP/1.0\r\nCSeq: 3\r\nSession: %s\r\n\r\n" % (url, self.session))
        self.sock.setblocking(False)

    def feed(self, now):
        try:
            chunk = self.sock.recv(1 << 20)
        except BlockingIOError:
            return
        self.buf[0] += chunk
        b = self.buf[0]
        off = 0
        while len(b) - off >= 4 and b[off] == 0x24:
            ch, n = b[off + 1], struct.unpack(">H", b[off + 2:off + 4])[0]
            if len(b) - off < 4 + n:
                break
            pkt = b[off + 4:off + 4 + n]
            off += 4 + n
            if ch == 0:
                self.rtp(pkt, now)
            elif ch == 1 and len(pkt) >= 20 and pkt[1] == 200:
                sec, frac, rtp = struct.unpack(">IIi", pkt[8:20])
                self.sr = (sec - 2208988800 + frac / 2 ** 32, rtp & 0xffffffff)
                for ts, t in self.pending:
                    self.latency(ts, t)
                self.pending = []
        self.buf[0] = b[off:]

    def latency(self, ts, t):
        ntp, rtp = self.sr
        d = ((ts - rtp + 2 ** 31) % 2 ** 32 - 2 ** 31) / 90000.0
        self.latencies.append(t - (ntp + d))

    def rtp(self, pkt, now):
        seq, ts = struct.unpack(">HI", pkt[2:8])
        self.seqs.append(seq)
        nal = pkt[12] & 0x1f
        if nal == 28:
            nal = pkt[13] & 0x1f
        if nal == 5:
            self.idr_parts = True
        if pkt[1] & 0x80:   # end of a picture
            self.frames += 1
            if self.idr_parts and self.first_idr is None:
                self.first_idr = now - self.t_play
            self.idr_parts = False
            if self.sr:
                self.latency(ts, now)
            else:
                self.pending.append((ts, now))


cs = [Client(i) for i in range(clients)]
for c in cs:
    c.play()
end = time.time() + seconds
socks = {c.sock.fileno(): c for c in cs}
while time.time() < end:
    r, _, _ = select.select(list(socks), [], [], 0.1)
    now = time.time()
    for fd in r:
        socks[fd].feed(now)
for c in cs:
    c.sock.setblocking(True)
    try:
        c.sock.sendall(("TEARDOWN %s RTSP/1.0\r\nCSeq: 4\r\nSession: %s\r\n\r\n" % (url, c.session)).encode())
    except OSError:
        pass
    c.sock.close()


def pct(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(len(v) * p))] * 1000 if v else float("nan")


lost = 0
for c in cs:
    for a, b in zip(c.seqs, c.seqs[1:]):
        lost += ((b - a) & 0xffff) - 1
frames = [c.frames for c in cs]
first = [c.first_idr for c in cs if c.first_idr is not None]
lat = cs[0].latencies
print("clients=%d frames min=%d max=%d lost_packets=%d play_to_first_picture_ms p50=%.0f max=%.0f "
      "latency_ms p50=%.1f p99=%.1f" % (clients, min(frames), max(frames), lost, pct(first, 0.5), pct(first, 1.0),
                                          pct(lat, 0.5), pct(lat, 0.99)))
sys.exit(0 if lost == 0 and len(first) == clients else 1)
