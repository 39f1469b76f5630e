#!/usr/bin/env python3
"""A byte-level RTMP player for the end-to-end test: checks the handshake's answer, the reply
sequences of connect, createStream and play, the first media messages and the 128-byte chunking,
and how the server treats a bad C2, a silent peer, split and chunked commands and AMF3.
Prints "ok: ..." or "FAIL: ..." per check."""
import hashlib
import hmac
import os
import socket
import struct
import sys
import time

HOST, PORT = "127.0.0.1", 1935
FP_KEY = b"Genuine Adobe Flash Player 001"
FMS_KEY = b"Genuine Adobe Flash Media Server 001" + bytes([
    0xF0, 0xEE, 0xC2, 0x4A, 0x80, 0x68, 0xBE, 0xE8, 0x2E, 0x00, 0xD0, 0xD1, 0x02, 0x9E, 0x7E, 0x57,
    0x6E, 0xEC, 0x5D, 0x2D, 0x29, 0x80, 0x6F, 0xAB, 0x93, 0xB8, 0xE6, 0x36, 0xCF, 0xEB, 0x31, 0xAE])
failures = 0


def check(what, cond, detail=""):
    global failures
    if cond:
        print("ok: " + what)
    else:
        failures += 1
        print("FAIL: " + what + (" (" + str(detail) + ")" if detail != "" else ""))


def hm(key, data):
    return hmac.new(key, data, hashlib.sha256).digest()


def amf_str(s):
    b = s.encode()
    return b"\x02" + struct.pack(">H", len(b)) + b


def amf_key(s):
    b = s.encode()
    return struct.pack(">H", len(b)) + b


def amf_num(v):
    return b"\x00" + struct.pack(">d", v)


def connect_body(pad=0):
    return (amf_str("connect") + amf_num(1) + b"\x03" + amf_key("app") + amf_str("live") +
            amf_key("tcUrl") + amf_str("rtmp://127.0.0.1:1935/live" + "x" * pad) + b"\x00\x00\x09")


def chunked(cs, mtype, body, sid=0, chunk=128):
    out = bytes([cs]) + b"\0\0\0" + struct.pack(">I", len(body))[1:] + bytes([mtype]) + struct.pack("<I", sid)
    for i in range(0, len(body), chunk):
        if i:
            out += bytes([0xC0 | cs])
        out += body[i:i + chunk]
    return out


def amf_first_string(body):
    if len(body) >= 3 and body[0] == 2:
        n = struct.unpack(">H", body[1:3])[0]
        return body[3:3 + n].decode(errors="replace")
    return ""


def amf_number_after(body, key):
    k = amf_key(key)
    i = body.find(k)
    if i < 0 or body[i + len(k)] != 0:
        return None
    return struct.unpack(">d", body[i + len(k) + 1:i + len(k) + 9])[0]


class Reader:
    """Our side reads chunks of at most 128 bytes, as the server never announces another size."""

    def __init__(self, sock):
        self.s = sock
        self.buf = b""
        self.st = {}

    def _need(self, n, deadline):
        while len(self.buf) < n:
            left = deadline - time.time()
            if left <= 0:
                raise TimeoutError
            self.s.settimeout(left)
            d = self.s.recv(65536)
            if not d:
                raise EOFError
            self.buf += d

    def _take(self, n, deadline):
        self._need(n, deadline)
        d, self.buf = self.buf[:n], self.buf[n:]
        return d

    def message(self, timeout=5.0):
        deadline = time.time() + timeout
        while True:
            b = self._take(1, deadline)[0]
            fmt, cs = b >> 6, b & 0x3F
            if cs < 2:
                raise ValueError("extended chunk stream id %d from the server" % cs)
            st = self.st.setdefault(cs, {"ts": 0, "len": 0, "type": 0, "sid": 0, "body": b"", "ext": False})
            h = self._take([11, 7, 3, 0][fmt], deadline)
            if fmt <= 2:
                st["ts"] = int.from_bytes(h[0:3], "big")
                st["ext"] = st["ts"] == 0xFFFFFF
            if fmt <= 1:
                st["len"] = int.from_bytes(h[3:6], "big")
                st["type"] = h[6]
            if fmt == 0:
                st["sid"] = struct.unpack("<I", h[7:11])[0]
            if st["ext"]:
                st["ts"] = int.from_bytes(self._take(4, deadline), "big")
            n = min(128, st["len"] - len(st["body"]))
            st["body"] += self._take(n, deadline)
            if len(st["body"]) == st["len"]:
                body, st["body"] = st["body"], b""
                return (cs, st["type"], st["ts"], st["sid"], body)

    def messages(self, count, timeout=5.0):
        return [self.message(timeout) for _ in range(count)]

    def quiet(self, seconds):
        """True when no further message arrives within the time."""
        try:
            self.message(seconds)
            return False
        except TimeoutError:
            return True


def recv_exact(s, n, timeout=10):
    s.settimeout(timeout)
    d = b""
    while len(d) < n:
        x = s.recv(n - len(d))
        if not x:
            raise EOFError
        d += x
    return d


def digest_c1():
    c1 = bytearray(os.urandom(1536))
    c1[0:8] = b"\0\0\0\0\x09\x00\x7c\x02"
    off = sum(c1[8:12]) % 728 + 12
    c1[off:off + 32] = hm(FP_KEY, bytes(c1[:off] + c1[off + 32:]))
    return bytes(c1), off


def handshake(s, echo=True, verify=False):
    c1, off = digest_c1()
    s.sendall(b"\x03" + c1)
    ans = recv_exact(s, 3073)
    s0, s1, s2 = ans[0], ans[1:1537], ans[1537:]
    if verify:
        check("S0 is version 3", s0 == 3, s0)
        check("S1 begins with time 0 and four zero bytes", s1[0:8] == b"\0" * 8, s1[0:8].hex())
        soff = sum(s1[8:12]) % 728 + 12
        check("S1 carries the server digest where a layout-B client looks",
              hm(FMS_KEY[:36], s1[:soff] + s1[soff + 32:]) == s1[soff:soff + 32])
        key = hm(FMS_KEY, c1[off:off + 32])
        check("S2 ends with the digest keyed from our C1 digest", hm(key, s2[:1504]) == s2[1504:])
    if echo:
        s.sendall(s1)
    else:
        c2 = bytearray(os.urandom(1536))
        c2[1504:] = hm(hm(FP_KEY, s1[12:44]), bytes(c2[:1504]))   # a digest answer, no echo
        s.sendall(bytes(c2))
    return s1


def new_session():
    s = socket.create_connection((HOST, PORT), timeout=10)
    handshake(s)
    return s, Reader(s)


def kinds(msgs):
    return [(m[0], m[1], amf_first_string(m[4]) if m[1] in (18, 20) else "") for m in msgs]


CONNECT_KINDS = [(2, 5, ""), (2, 6, ""), (2, 4, ""), (3, 20, "_result"), (3, 20, "onBWDone")]


def play_session(stream, width, height, audio_expected):
    s = socket.create_connection((HOST, PORT), timeout=10)
    handshake(s, verify=True)
    r = Reader(s)
    s.sendall(chunked(3, 20, connect_body()))
    m = r.messages(5)
    check("connect answered in order", kinds(m) == CONNECT_KINDS, kinds(m))
    check("window acknowledgement size 2500000", m[0][4] == struct.pack(">I", 2500000), m[0][4].hex())
    check("peer bandwidth 2500000, limit 2", m[1][4] == struct.pack(">IB", 2500000, 2), m[1][4].hex())
    check("stream begin 0", m[2][4] == b"\0\0\0\0\0\0", m[2][4].hex())
    check("connect _result succeeds", b"NetConnection.Connect.Success" in m[3][4] and b"FMS/3,0,24,53" in m[3][4])
    check("replies on message stream 0", all(x[3] == 0 for x in m))
    s.sendall(chunked(3, 20, amf_str("createStream") + amf_num(2) + b"\x05"))
    m = r.messages(1)
    check("createStream answered with stream 1",
          kinds(m) == [(3, 20, "_result")] and m[0][4].endswith(amf_num(1)), m[0][4].hex())
    s.sendall(chunked(8, 20, amf_str("play") + amf_num(3) + b"\x05" + amf_str(stream), sid=1))
    m = r.messages(4)
    check("play answered in order", kinds(m) == [(2, 4, ""), (20, 20, "onStatus"), (20, 20, "onStatus"),
                                                 (20, 18, "onMetaData")], kinds(m))
    check("stream begin 1", m[0][4] == b"\0\0\0\0\0\1", m[0][4].hex())
    check("reset then start", b"NetStream.Play.Reset" in m[1][4] and b"NetStream.Play.Start" in m[2][4])
    w, h = amf_number_after(m[3][4], "width"), amf_number_after(m[3][4], "height")
    check("metadata gives the channel's size", (w, h) == (width, height), (w, h))
    video, audio = [], []
    behind = 0   # how far audio lags the video message sent before it, in ms
    deadline = time.time() + 10
    while time.time() < deadline and (len(video) < 40 or (audio_expected and len(audio) < 20)):
        x = r.message()
        if x[3] != 1 or x[0] not in (20, 21):
            check("media on chunk streams 20/21, message stream 1", False, x[:4])
        if x[1] == 8 and video:
            behind = max(behind, video[-1][2] - x[2])
        (video if x[1] == 9 else audio if x[1] == 8 else []).append(x)
    check("video arrives", len(video) >= 40, len(video))
    v0 = video[0]
    check("first video message is the AVC sequence header", v0[4][:5] == b"\x17\0\0\0\0" and v0[4][5] == 1,
          v0[4][:8].hex())
    sps_len = struct.unpack(">H", v0[4][11:13])[0]
    check("configuration record: one SPS, one PPS", v0[4][10] == 0xE1 and v0[4][13 + sps_len] == 1)
    check("then the keyframe", video[1][4][:2] == b"\x17\x01", video[1][4][:5].hex())
    first_ts = min([x[2] for x in video + audio])
    check("media timestamps start at 0", first_ts == 0, first_ts)
    # A stamp from before the start would wrap to about 49 days.
    check("no media stamped before the start", max(x[2] for x in video + audio) < 60000,
          max(x[2] for x in video + audio))
    vts = [x[2] for x in video]
    check("video timestamps rise", all(b >= a for a, b in zip(vts, vts[1:])) and vts[-1] > vts[0], vts[:5])
    # Every picture's units parse exactly: with larger chunks than 128 the reader would have
    # misread headers long before.
    ok = True
    for x in video[1:]:
        if x[4][1] == 0:   # the configuration record again before a later keyframe
            continue
        p, body = 5, x[4]
        while p + 4 <= len(body):
            p += 4 + struct.unpack(">I", body[p:p + 4])[0]
        ok = ok and p == len(body)
    check("NAL units length-prefixed, 128-byte chunks reassemble", ok and max(len(x[4]) for x in video) > 128)
    if audio_expected:
        # The sound thread captures 48 kHz stereo: AAC LC, 48 kHz, 2 channels.
        check("first audio message is the AAC configuration", audio and audio[0][4] == b"\xAF\0\x11\x90",
              audio[0][4].hex() if audio else "none")
        check("then raw AAC", len(audio) > 1 and all(x[4][:2] == b"\xAF\x01" and len(x[4]) > 2 for x in audio[1:]))
        ats = [x[2] for x in audio]
        check("audio timestamps rise", all(b >= a for a, b in zip(ats, ats[1:])) and ats[-1] > ats[0], ats[:5])
        # Audio up to 9600 ticks older than the first picture may go out before it, from 0.
        check("the first picture at most 107 ms after the first audio", 0 <= video[0][2] - min(audio[0][2], video[0][2]) <= 107,
              (audio[0][2], video[0][2]))
        check("audio never more than 107 ms behind the picture before it", behind <= 107, behind)
    else:
        check("no audio when the channel's RTMP audio is off", not audio, len(audio))
    s.close()


def bad_c2():
    s = socket.create_connection((HOST, PORT), timeout=10)
    handshake(s, echo=False)
    s.settimeout(5)
    try:
        closed = s.recv(1) == b""
    except (ConnectionResetError, TimeoutError, socket.timeout):
        closed = False
    check("a C2 that does not echo S1 is refused", closed)
    s.close()


def c0_only():
    s = socket.create_connection((HOST, PORT), timeout=10)
    t0 = time.time()
    s.sendall(b"\x03")
    s.settimeout(15)
    try:
        closed = s.recv(1) == b""
    except ConnectionResetError:
        closed = True
    dt = time.time() - t0
    check("a peer that sends only C0 is dropped after about 5 s", closed and 4.5 <= dt <= 7.5, "%.1f s" % dt)
    s.close()


def split_and_chunked():
    s, r = new_session()
    wire = chunked(3, 20, connect_body())
    s.sendall(wire[:20])
    check("no answer to half a connect", r.quiet(0.5))
    s.sendall(wire[20:])
    m = r.messages(5)
    check("a connect split across two reads is answered", kinds(m) == CONNECT_KINDS, kinds(m))
    check("and answered once", r.quiet(1.0))
    ref = m[3][4]
    body = connect_body(300 - len(connect_body()))
    wire = chunked(3, 20, body)
    check("the 300-byte command goes as three chunks", len(body) == 300 and wire.count(bytes([0xC3])) >= 2)
    s.sendall(wire)
    m = r.messages(5)
    check("a 300-byte command in three chunks is answered", kinds(m) == CONNECT_KINDS, kinds(m))
    check("and answered once", r.quiet(1.0))
    s.sendall(chunked(3, 17, b"\0" + connect_body()))
    m = r.messages(5)
    check("an AMF3 command is answered like its AMF0 form", kinds(m) == CONNECT_KINDS and m[3][4] == ref,
          kinds(m))
    s.close()


def no_connection(port, seconds):
    """Listens where a pushing consumer would connect; none may come."""
    ls = socket.socket()
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind((HOST, port))
    ls.listen(4)
    ls.settimeout(seconds)
    try:
        ls.accept()
        came = True
    except (TimeoutError, socket.timeout):
        came = False
    check("no connection to the push URL", not came)


if __name__ == "__main__":
    what = sys.argv[1]
    if what == "play":
        play_session(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5] == "1")
    elif what == "bad-c2":
        bad_c2()
    elif what == "c0-only":
        c0_only()
    elif what == "no-connection":
        no_connection(int(sys.argv[2]), float(sys.argv[3]))
    elif what == "hold":   # an idle session that stays until the server goes
        s, r = new_session()
        s.sendall(chunked(3, 20, connect_body()))
        r.messages(5)
        print("holding", flush=True)
        s.settimeout(60)
        try:
            while s.recv(4096):
                pass
        except OSError:
            pass
    elif what == "commands":
        split_and_chunked()
    sys.exit(1 if failures else 0)
