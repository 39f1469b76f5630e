#!/usr/bin/env python3
"""A few addresses that hold every connection of a server and dial again for each one it closes
or refuses, for HOLD seconds; READY_FILE is written once every connection was tried.

  server_fill.py rtsp FIRST COUNT PER HOLD READY_FILE
    PER connections to RTSP from each of COUNT addresses from 127.0.0.FIRST on, each sending an
    OPTIONS at once and every 30 s; prints "kept= refused= closed_by_server= redialled=
    redial_refused= held_at_end=".
  server_fill.py web FIRST HOLD READY_FILE AUTH_HEADER
    Eight addresses from 127.0.0.FIRST on ask for /streamA.ts on 32 connections each and read it
    slowly (64 KiB a second); the ninth holds 16 silent connections and 16 that send a header a
    byte a second. Prints "stream_ok= stream_busy= closed= redialled= refused= most_streams="
    (most_streams: the most answers 200 held at once)."""
import resource
import selectors
import socket
import sys
import time

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
REDIAL_S = {"rtsp": 0.2, "web": 0.5}


def rtsp(first, count, per, hold, ready):
    sel = selectors.DefaultSelector()
    held = {}

    def options(cseq):
        return ("OPTIONS rtsp://127.0.0.1:8554/ RTSP/1.0\r\nCSeq: %d\r\n\r\n" % cseq).encode()

    def dial(src):
        s = socket.socket()
        try:
            s.bind((src, 0))
            s.settimeout(2)
            s.connect(("127.0.0.1", 8554))
            s.sendall(options(1))
            if not s.recv(65536):
                raise OSError("closed")
        except OSError:
            s.close()
            return False
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ, src)
        held[s] = time.time()
        return True

    refused = sum(not dial("127.0.0.%d" % a) for a in range(first, first + count) for _ in range(per))
    kept = len(held)
    open(ready, "w").close()
    start, closed, redialled, redial_refused, due = time.time(), 0, 0, 0, []
    while time.time() - start < hold:
        for key, _ in sel.select(timeout=0.2):
            try:
                d = key.fileobj.recv(65536)
            except BlockingIOError:
                continue
            except OSError:
                d = b""
            if not d:
                sel.unregister(key.fileobj)
                key.fileobj.close()
                held.pop(key.fileobj, None)
                closed += 1
                due.append((time.time() + REDIAL_S["rtsp"], key.data))
        now = time.time()
        for s, last in list(held.items()):
            if now - last >= 30:
                try:
                    s.send(options(2))
                except OSError:
                    pass
                held[s] = now
        for item in [d for d in due if d[0] <= now]:
            due.remove(item)
            redialled += 1
            if not dial(item[1]):
                redial_refused += 1
                due.append((time.time() + REDIAL_S["rtsp"], item[1]))
    print("kept=%d refused=%d closed_by_server=%d redialled=%d redial_refused=%d held_at_end=%d" %
          (kept, refused, closed, redialled, redial_refused, len(held)), flush=True)


def web(first, hold, ready, auth):
    read = ("GET /streamA.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n\r\n" % auth).encode()
    stats = dict(stream_ok=0, stream_busy=0, closed=0, redialled=0, refused=0, most_streams=0)
    conns, due = {}, []

    def dial(kind, src):
        s = socket.socket()
        try:
            s.bind((src, 0))
            s.settimeout(2)
            s.connect(("127.0.0.1", 80))
            if kind == "stream":
                s.sendall(read)
            elif kind == "slow":
                s.sendall(b"GET / HTTP/1.1\r\nX-Slow: ")
        except OSError:
            s.close()
            stats["refused"] += 1
            due.append((time.time() + REDIAL_S["web"], kind, src))
            return
        s.setblocking(False)
        conns[s] = dict(kind=kind, src=src, head=b"", status=None, last=0, sent=time.time())

    for a in range(first, first + 8):
        for _ in range(32):
            dial("stream", "127.0.0.%d" % a)
    for i in range(32):
        dial("silent" if i < 16 else "slow", "127.0.0.%d" % (first + 8))
    open(ready, "w").close()
    start = time.time()
    while time.time() - start < hold:
        now = time.time()
        for s, c in list(conns.items()):
            if c["kind"] == "stream" and c["status"] == 200 and now - c["last"] < 1:
                continue   # a slow reader
            c["last"] = now
            try:
                d = s.recv(65536)
            except BlockingIOError:
                d = None
            except OSError:
                d = b""
            if d == b"":
                s.close()
                del conns[s]
                stats["closed"] += 1
                due.append((now + REDIAL_S["web"], c["kind"], c["src"]))
                continue
            if d and c["status"] is None:
                c["head"] += d
                if b"\r\n\r\n" in c["head"]:
                    c["status"] = int(c["head"].split(b" ")[1])
                    stats["stream_ok" if c["status"] == 200 else "stream_busy"] += 1
            if c["kind"] == "slow" and now - c["sent"] >= 1:
                c["sent"] = now
                try:
                    s.send(b"x")
                except OSError:
                    pass
        stats["most_streams"] = max(stats["most_streams"], sum(1 for c in conns.values() if c["status"] == 200))
        for item in [d for d in due if d[0] <= now]:
            due.remove(item)
            stats["redialled"] += 1
            dial(item[1], item[2])
        time.sleep(0.2)
    print(" ".join("%s=%d" % kv for kv in stats.items()), flush=True)


if sys.argv[1] == "rtsp":
    rtsp(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]), sys.argv[6])
else:
    web(int(sys.argv[2]), float(sys.argv[3]), sys.argv[4], sys.argv[5])
