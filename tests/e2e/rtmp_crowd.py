#!/usr/bin/env python3
"""An idle RTMP crowd from one address: N connections that finish the handshake, send "connect"
and never play. Writes READY_FILE once every connection was tried, then holds them until the
server has closed each one it kept, or HOLD seconds have passed. Prints
"kept=K refused=R closed_by_server=C last_close_s=T" (T: seconds from READY to the last close).
With "reconnect" the crowd dials again, a fifth of a second later, for every connection the
server closed or refused, until HOLD seconds have passed, and adds "redialled=D
redial_refused=F held_at_end=H".
Usage: rtmp_crowd.py N SOURCE_ADDRESS HOLD READY_FILE [reconnect]"""
import os
import resource
import selectors
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rtmp_client as rc  # noqa: E402

n, source, hold, ready = int(sys.argv[1]), sys.argv[2], float(sys.argv[3]), sys.argv[4]
reconnect = len(sys.argv) > 5 and sys.argv[5] == "reconnect"
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, n + 64)), hard))

c1, _ = rc.digest_c1()


def dial_wave(count):
    """Dials `count` connections at once; returns the ones the server kept and how many it refused."""
    wave, kept, refused = [], [], 0
    for _ in range(count):
        s = socket.socket()
        s.bind((source, 0))
        s.settimeout(2)
        try:
            s.connect((rc.HOST, rc.PORT))
            s.sendall(b"\x03" + c1)
            wave.append(s)
        except OSError:
            refused += 1
            s.close()
    for s in wave:
        try:
            ans = rc.recv_exact(s, 3073, timeout=2)
            s.sendall(ans[1:1537] + rc.chunked(3, 20, rc.connect_body()))
            kept.append(s)
        except (OSError, EOFError, TimeoutError, ValueError):
            refused += 1
            s.close()
    return kept, refused


kept, refused = [], 0
give_up = time.time() + 30   # a server that stopped accepting must not hold the crowd for long
# In waves, so the listener's short backlog is not the limit of the crowd.
for start in range(0, n, 50):
    if time.time() > give_up:
        refused += n - start
        break
    k, r = dial_wave(min(50, n - start))
    kept += k
    refused += r
open(ready, "w").close()

t0 = time.time()
sel = selectors.DefaultSelector()


def watch(socks):
    for s in socks:
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)


watch(kept)
held = len(kept)
closed, last, redialled, redial_refused, due = 0, None, 0, 0, []
while (reconnect or closed < len(kept)) and time.time() - t0 < hold:
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
            closed += 1
            held -= 1
            last = time.time() - t0
            due.append(time.time() + 0.2)
    now = time.time()
    ready_now = [t for t in due if t <= now] if reconnect else []
    if ready_now:
        due = [t for t in due if t > now]
        k, r = dial_wave(len(ready_now))
        watch(k)
        held += len(k)
        redialled += len(ready_now)
        redial_refused += r
        due += [time.time() + 0.2] * r
line = "kept=%d refused=%d closed_by_server=%d last_close_s=%s" % (
    len(kept), refused, closed, "%.1f" % last if last is not None else "-")
if reconnect:
    line += " redialled=%d redial_refused=%d held_at_end=%d" % (redialled, redial_refused, held)
print(line, flush=True)
