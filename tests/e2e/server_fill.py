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
    (most_streams: the most answers 200 held at once).
  server_fill.py crowd SERVER BEHAVIOUR ADDRESSES PER HOLD READY_FILE [AUTH_HEADER]
    PER connections from each of ADDRESSES addresses from 127.0.1.1 on (250 to a /24) to SERVER
    (rtmp, rtsp or web), each dialled again half a second after the server closes or refuses it,
    for HOLD seconds. BEHAVIOUR: "idle" sets up (RTMP handshake and "connect"; RTSP OPTIONS; a
    page on every other web connection, nothing on the rest) and is silent; "slowloris" sends
    the start of a handshake or request, then a byte a second; "trickle" plays (RTMP liveA,
    RTSP streamA.h264 over TCP, web /streamA.ts) and reads 2 KiB a second (CROWD_READ_RATE
    bytes, if set in the environment). Prints "set_up= refused= closed_by_server= most_held=
    held_at_end=".
  server_fill.py browser SOURCE SECONDS PERIOD PATH OUT [AUTH_HEADER]
    A browser on one kept-alive connection (reopened only when the server closed it) loading
    PATH every PERIOD s; writes "loads= ok= reopened= max_s= waits=" to OUT.
  server_fill.py hls SOURCE SECONDS OUT [AUTH_HEADER]
    An HLS reader on one kept-alive connection: /streamA.m3u8 every second and each segment it
    names once; writes "fetches= failed= segments= max_s= reopened=" to OUT.
  server_fill.py paused SOURCE PAUSE READY_FILE
    An RTSP viewer from an address that holds two more connections, players that read all they
    are sent: PLAY over TCP, PAUSE
    (READY_FILE written then), PLAY again PAUSE s later; prints "first_packets= resumed=
    after_packets= resume_s=".
  server_fill.py upload SOURCE IMAGE AUTH_HEADER RATE
    An upload of IMAGE to /firmware at RATE bytes a second from an address holding two more
    (silent) connections; prints "answer= upload_s= sent=".
  server_fill.py badimage FILE COPIES
    Writes a firmware image of COPIES times 256 bytes whose data CRC is wrong: the device reads
    it whole, checks it and writes nothing.
  server_fill.py fresh SERVER SOURCE [AUTH_HEADER]
    A fresh client: seconds from its connect to the answer of its PLAY (RTSP streamA.h264 over
    TCP) or "play" (RTMP liveA), or to the whole answer 200 of /index.htm (web); "none" if that
    or the player's first picture or sound did not come within 10 s each (the first picture
    waits for a key frame, which the server does not decide)."""
import http.client
import os
import re
import resource
import selectors
import socket
import sys
import threading
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


PORTS = {"rtmp": 1935, "rtsp": 8554, "web": 80}
RTSP_URL = "rtsp://127.0.0.1:8554/streamA.h264"


def crowd_address(i):
    return "127.0.%d.%d" % (1 + i // 250, 1 + i % 250)


def recv_head(s, end=b"\r\n\r\n"):
    """The answer's head (and what came after it) of an RTSP or HTTP request."""
    data = b""
    while end not in data:
        d = s.recv(65536)
        if not d:
            raise OSError("closed")
        data += d
    return data


def read_answer(s):
    """An answer's head and its whole body (by its Content-Length)."""
    data = recv_head(s)
    head, _, body = data.partition(b"\r\n\r\n")
    m = re.search(rb"Content-Length: *(\d+)", head, re.I)
    while m and len(body) < int(m.group(1)):
        d = s.recv(65536)
        if not d:
            raise OSError("closed")
        body += d
    return head, body


def rtsp_request(s, method, url, cseq, extra=""):
    s.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s\r\n" % (method, url, cseq, extra)).encode())
    head, body = read_answer(s)
    if not head.startswith(b"RTSP/1.0 200"):
        raise OSError(head.split(b"\r\n")[0].decode(errors="replace"))
    return head.decode(errors="replace"), body.decode(errors="replace")


def rtsp_play(s, cseq=1):
    """DESCRIBE, SETUP of every track over TCP and PLAY; returns the session id and the next CSeq."""
    _, sdp = rtsp_request(s, "DESCRIBE", RTSP_URL, cseq, "Accept: application/sdp\r\n")
    session, ch = None, 0
    for control in re.findall(r"^a=control:(\S+)", sdp, re.M):
        if control == "*":
            continue
        url = control if control.startswith("rtsp:") else RTSP_URL + "/" + control
        cseq += 1
        head, _ = rtsp_request(s, "SETUP", url, cseq, "Transport: RTP/AVP/TCP;unicast;interleaved=%d-%d\r\n%s" % (
            ch, ch + 1, "Session: %s\r\n" % session if session else ""))
        session = re.search(r"Session: *([^;\r\n]+)", head, re.I).group(1)
        ch += 2
    cseq += 1
    rtsp_request(s, "PLAY", RTSP_URL, cseq, "Session: %s\r\nRange: npt=0.000-\r\n" % session)
    return session, cseq + 1


def open_to(server, src, rcvbuf=0):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.bind((src, 0))
    s.settimeout(5)
    s.connect(("127.0.0.1", PORTS[server]))
    return s


def set_up(server, behaviour, s, n, auth):
    """What a crowd connection sends before it holds its place."""
    if server == "rtmp":
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import rtmp_client as rc
        if behaviour == "slowloris":
            s.sendall(b"\x03" + rc.digest_c1()[0][:16])
            return
        rc.handshake(s)
        s.sendall(rc.chunked(3, 20, rc.connect_body()))
        r = rc.Reader(s)
        r.messages(5)
        if behaviour == "trickle":
            s.sendall(rc.chunked(3, 20, rc.amf_str("createStream") + rc.amf_num(2) + b"\x05"))
            s.sendall(rc.chunked(8, 20, rc.amf_str("play") + rc.amf_num(3) + b"\x05" + rc.amf_str("liveA"), sid=1))
        return r
    elif server == "rtsp":
        if behaviour == "slowloris":
            s.sendall(b"OPTIONS rtsp://127.0.0.1:8554/ RTSP/1.0\r\nCSeq: 1\r\nX-Slow: ")
        elif behaviour == "idle":
            rtsp_request(s, "OPTIONS", "rtsp://127.0.0.1:8554/", 1)
        else:
            rtsp_play(s)
    else:
        host = "Host: 127.0.0.1\r\n%s" % (auth + "\r\n" if auth else "")
        if behaviour == "slowloris":
            s.sendall(("GET / HTTP/1.1\r\n%sX-Slow: " % host).encode())
        elif behaviour == "trickle":
            s.sendall(("GET /streamA.ts HTTP/1.1\r\n%s\r\n" % host).encode())
            if b" 200 " not in recv_head(s).split(b"\r\n")[0]:
                raise OSError("refused")
        elif n % 2 == 0:
            s.sendall(("GET / HTTP/1.1\r\n%s\r\n" % host).encode())
            recv_head(s)


def crowd(server, behaviour, addresses, per, hold, ready, auth):
    threading.stack_size(256 << 10)
    lock = threading.Lock()
    st = dict(set_up=0, refused=0, closed_by_server=0, most_held=0, held=0, tried=0)
    rate = int(os.environ.get("CROWD_READ_RATE", 2048))
    end = time.time() + hold

    def count(key, d=1):
        with lock:
            st[key] += d
            st["most_held"] = max(st["most_held"], st["held"])

    def worker(src, n):
        first = True
        while time.time() < end:
            s = None
            try:
                s = open_to(server, src, 8192 if behaviour == "trickle" else 0)
                set_up(server, behaviour, s, n, auth)
            except (OSError, EOFError, ValueError, AttributeError, TimeoutError):
                count("refused")
                if s:
                    s.close()
                s = None
            if first:
                first = False
                count("tried")
            if s:
                count("set_up")
                count("held")
                closed = False
                while not closed and time.time() < end:
                    try:
                        if behaviour == "idle":
                            s.settimeout(max(0.1, min(5, end - time.time())))
                            closed = not s.recv(65536)
                        elif behaviour == "slowloris":
                            time.sleep(1)
                            s.send(b"x")
                        else:
                            time.sleep(1)
                            s.settimeout(0.5)
                            closed = not s.recv(rate)
                    except socket.timeout:
                        pass
                    except OSError:
                        closed = True
                s.close()
                count("held", -1)
                if closed:
                    count("closed_by_server")
            time.sleep(0.5)

    threads = [threading.Thread(target=worker, args=(crowd_address(a), a * per + i), daemon=True)
               for a in range(addresses) for i in range(per)]
    give_up = min(end, time.time() + 60)
    for t in threads:
        t.start()
    while st["tried"] < len(threads) and time.time() < give_up:
        time.sleep(0.1)
    open(ready, "w").close()
    time.sleep(max(0, end - time.time() - 1))
    held = st["held"]   # a second before the end, while every connection still holds
    for t in threads:
        t.join(max(0, end - time.time()) + 10)
    st.pop("held")
    st.pop("tried")
    print(" ".join("%s=%d" % kv for kv in st.items()), "held_at_end=%d" % held, flush=True)


class SourceHTTPConnection(http.client.HTTPConnection):
    """Counts the times it opens its connection."""
    opened = 0

    def connect(self):
        SourceHTTPConnection.opened += 1
        super().connect()


def http_get(c, path, auth):
    t0 = time.monotonic()
    try:
        c.request("GET", path, headers={"Authorization": auth.split(": ", 1)[1]} if auth else {})
        r = c.getresponse()
        body = r.read()
        return r.status, body, time.monotonic() - t0
    except (OSError, http.client.HTTPException):
        c.close()
        return None, b"", time.monotonic() - t0


def browser(src, seconds, period, path, out, auth):
    c = SourceHTTPConnection("127.0.0.1", 80, timeout=15, source_address=(src, 0))
    end, waits, ok = time.time() + seconds, [], 0
    while time.time() < end:
        t0 = time.time()
        status, _, t = http_get(c, path, auth)
        waits.append(t)
        ok += status == 200
        time.sleep(max(0, period - (time.time() - t0)))
    open(out, "w").write("loads=%d ok=%d reopened=%d max_s=%.2f waits=%s\n" % (
        len(waits), ok, SourceHTTPConnection.opened - 1, max(waits), ",".join("%.2f" % w for w in waits)))


def hls(src, seconds, out, auth):
    c = SourceHTTPConnection("127.0.0.1", 80, timeout=15, source_address=(src, 0))
    end, fetches, failed, seen, most, why = time.time() + seconds, 0, 0, set(), 0.0, []
    while time.time() < end:
        status, body, t = http_get(c, "/streamA.m3u8", auth)
        fetches, failed, most = fetches + 1, failed + (status != 200), max(most, t)
        if status != 200:
            why.append("playlist:%s" % status)
            body = b""
        for seg in re.findall(rb"^([^#\s][^\s]*)", body, re.M):
            if seg not in seen:
                seen.add(seg)
                status, _, t = http_get(c, "/" + seg.decode().lstrip("/"), auth)
                fetches, failed, most = fetches + 1, failed + (status != 200), max(most, t)
                if status != 200:
                    why.append("%s:%s" % (seg.decode(), status))
        time.sleep(1)
    open(out, "w").write("fetches=%d failed=%d segments=%d max_s=%.2f reopened=%d %s\n" % (
        fetches, failed, len(seen), most, SourceHTTPConnection.opened - 1, " ".join(why)))


def interleaved(s, seconds):
    """RTP packets that arrive on an interleaved connection within SECONDS."""
    s.settimeout(0.5)
    end, data, n = time.time() + seconds, b"", 0
    while time.time() < end:
        try:
            d = s.recv(65536)
        except socket.timeout:
            continue
        if not d:
            break
        data += d
        while len(data) >= 4 and data[0:1] == b"$" and len(data) >= 4 + int.from_bytes(data[2:4], "big"):
            data = data[4 + int.from_bytes(data[2:4], "big"):]
            n += 1
        if data and data[0:1] != b"$":
            i = data.find(b"$")   # an answer's text between packets
            data = data[i:] if i >= 0 else b""
    return n


def drain(s, end):
    s.settimeout(1)
    while time.time() < end:
        try:
            if not s.recv(65536):
                return
        except socket.timeout:
            pass
        except OSError:
            return


def paused(src, pause, ready):
    try:
        # Two more players from its address (a second player open, or others behind the same NAT).
        for _ in range(2):
            e = open_to("rtsp", src)
            rtsp_play(e)
            threading.Thread(target=drain, args=(e, time.time() + pause + 10), daemon=True).start()
        s = open_to("rtsp", src)
        session, cseq = rtsp_play(s)
    except (OSError, AttributeError) as e:
        print("first_packets=0 resumed=no(not_set_up:%s) after_packets=0" % str(e).replace(" ", "_"), flush=True)
        return
    first = interleaved(s, 2)
    s.sendall(("PAUSE %s RTSP/1.0\r\nCSeq: %d\r\nSession: %s\r\n\r\n" % (RTSP_URL, cseq, session)).encode())
    time.sleep(1)
    interleaved(s, 0.5)   # what was in flight, the answer with it
    open(ready, "w").close()
    time.sleep(pause)
    t0, resumed = time.monotonic(), "no"
    try:
        s.sendall(("PLAY %s RTSP/1.0\r\nCSeq: %d\r\nSession: %s\r\n\r\n" % (RTSP_URL, cseq + 1, session)).encode())
        s.settimeout(10)
        head = recv_head(s)
        resumed = head.split(b"\r\n")[0].decode(errors="replace").replace(" ", "_") if b"RTSP/1.0" in head else "no"
    except OSError as e:
        resumed = "no(%s)" % e
    t = time.monotonic() - t0
    after = interleaved(s, 3)
    print("first_packets=%d resumed=%s after_packets=%d resume_s=%.2f" % (first, resumed, after, t), flush=True)


def upload(src, image, auth, rate):
    data, rate = open(image, "rb").read(), int(rate)
    extra = [open_to("web", src) for _ in range(2)]   # silent
    s = open_to("web", src)
    s.settimeout(60)
    t0, sent, answer = time.monotonic(), 0, "none"
    try:
        s.sendall(("POST /firmware HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\nReferer: /admin_update.htm\r\n"
                   "Content-Length: %d\r\n\r\n" % (auth, len(data))).encode())
        step = rate // 8
        for i in range(0, len(data), step):
            s.sendall(data[i:i + step])
            sent += len(data[i:i + step])
            time.sleep(max(0, t0 + sent / rate - time.monotonic()))
        answer = recv_head(s).split(b" ")[1].decode()
    except OSError as e:
        answer = "none(%s)" % e
    print("answer=%s upload_s=%.2f sent=%d" % (answer, time.monotonic() - t0, sent), flush=True)
    extra.clear()


def fresh(server, src, auth):
    t0 = time.monotonic()
    try:
        s = open_to(server, src)
        s.settimeout(10)
        if server == "web":
            s.sendall(("GET /index.htm HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (auth + "\r\n" if auth else "")).encode())
            head, _ = read_answer(s)
            ok = b" 200 " in head.split(b"\r\n")[0]
            t = time.monotonic() - t0
        elif server == "rtsp":
            rtsp_play(s)
            t = time.monotonic() - t0
            ok = b"$" in recv_head(s, b"$")
        else:
            r = set_up("rtmp", "trickle", s, 0, "")
            r.message(10)
            t, end, ok = time.monotonic() - t0, time.monotonic() + 10, False
            while not ok and time.monotonic() < end:
                ok = r.message(10)[1] in (8, 9)
    except (OSError, EOFError, ValueError, AttributeError, TimeoutError):
        ok = False
    print("%.3f" % t if ok else "none", flush=True)


def bad_image(path, copies):
    import struct
    import zlib
    data = bytes((i * 131 + 7) & 0xFF for i in range(256)) * copies
    hdr = bytearray(64)
    struct.pack_into('>I', hdr, 0, 0x27051956)
    struct.pack_into('>I', hdr, 12, len(data))
    struct.pack_into('>I', hdr, 24, (zlib.crc32(data) ^ 1) & 0xFFFFFFFF)
    open(path, 'wb').write(bytes(hdr) + data)


a = sys.argv
if a[1] == "rtsp":
    rtsp(int(a[2]), int(a[3]), int(a[4]), float(a[5]), a[6])
elif a[1] == "web":
    web(int(a[2]), float(a[3]), a[4], a[5])
elif a[1] == "crowd":
    crowd(a[2], a[3], int(a[4]), int(a[5]), float(a[6]), a[7], a[8] if len(a) > 8 else "")
elif a[1] == "browser":
    browser(a[2], float(a[3]), float(a[4]), a[5], a[6], a[7] if len(a) > 7 else "")
elif a[1] == "hls":
    hls(a[2], float(a[3]), a[4], a[5] if len(a) > 5 else "")
elif a[1] == "paused":
    paused(a[2], float(a[3]), a[4])
elif a[1] == "fresh":
    fresh(a[2], a[3], a[4] if len(a) > 4 else "")
elif a[1] == "upload":
    upload(a[2], a[3], a[4], a[5])
elif a[1] == "badimage":
    bad_image(a[2], int(a[3]))
