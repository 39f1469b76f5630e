#!/usr/bin/env python3
"""Starts N ffmpeg players copying (not decoding) one RTMP stream and notes when each picture
reaches each of them; meanwhile a raw player of our own measures, five times, the time from its
play command to the first video message and to the first keyframe.

The window: once every player has its first picture (and the probes, whose sessions come and go,
are done) this writes OUTDIR/open; the bench then measures the server over SECONDS and writes
OUTDIR/closed ("T0 T1", seconds since the epoch); a second later every player is stopped, and
what reaches a player after that is not counted. The pictures of the window are those any player
got between T0 and T1, each known by its timestamp (the players' timestamps are put on one line
by matching pictures by size and checksum); a player has everything when it got every one of
them and played past the window's end, so one that started late, stopped early, fell more than a
second behind or was cut misses some (when no player played past the window's end to show them,
one that stopped inside it missed at least what it would have got at its own rate). Reports the
pictures of the window, players with everything, the pictures the worst player missed, players
that stopped inside the window, the first stop against the window's end, the video bit rate the
players received in the window (mean of their payload over it), the probes' times (median), how
many of them got a keyframe and how many failed (timed out, cut). BENCH_THROTTLE=1 stops one
player halfway through the window, to show that such a run fails. Exit status 0 when every
player got everything and every probe got a keyframe.
Usage: rtmp_bench_players.py URL N SECONDS OUTDIR"""
import collections
import os
import random
import selectors
import signal
import socket
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import rtmp_client as rc  # noqa: E402

url, n, seconds, outdir = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
throttle = os.environ.get("BENCH_THROTTLE") == "1"
host, rest = url[len("rtmp://"):].split("/", 1)
addr, port = host.split(":")
app, stream = rest.split("/", 1)


def probe():
    s = socket.create_connection((addr, int(port)), timeout=10)
    rc.handshake(s)
    r = rc.Reader(s)
    s.sendall(rc.chunked(3, 20, rc.amf_str("connect") + rc.amf_num(1) + b"\x03" + rc.amf_key("app") +
                         rc.amf_str(app) + rc.amf_key("tcUrl") + rc.amf_str("rtmp://%s/%s" % (host, app)) +
                         b"\0\0\x09"))
    s.sendall(rc.chunked(3, 20, rc.amf_str("createStream") + rc.amf_num(2) + b"\x05"))
    time.sleep(random.uniform(0.2, 1.2))   # anywhere in the 1 s GOP
    t0 = time.time()
    s.sendall(rc.chunked(8, 20, rc.amf_str("play") + rc.amf_num(3) + b"\x05" + rc.amf_str(stream), sid=1))
    first = key = None
    while key is None and time.time() - t0 < 10:
        m = r.message(10)
        if m[1] == 1:   # a server that announces its chunk size: only 128 is read here
            if int.from_bytes(m[4][:4], "big") != 128:
                raise ValueError("chunk size")
        if m[1] == 9 and len(m[4]) > 1 and m[4][1] == 1:
            first = first or time.time() - t0
            if m[4][0] >> 4 == 1:
                key = time.time() - t0
    s.close()
    return first, key


# Each player writes a line per picture as it takes it (flushed), read here as it comes.
procs, pics, partial = [], [[] for _ in range(n)], [b""] * n
sel = selectors.DefaultSelector()
for i in range(n):
    p = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-i", url, "-map", "0:v", "-c", "copy",
                          "-t", str(seconds + 90), "-flush_packets", "1", "-f", "framecrc", "-"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    os.set_blocking(p.stdout.fileno(), False)
    sel.register(p.stdout, selectors.EVENT_READ, i)
    procs.append(p)


def pump(until):
    """Reads the players' lines until the time given: (arrival, dts, size, checksum) per picture."""
    while True:
        left = until - time.time()
        if left <= 0 or not sel.get_map():
            return
        for key, _ in sel.select(min(left, 0.1)):
            i = key.data
            now = time.time()
            try:
                data = os.read(key.fileobj.fileno(), 65536)
            except BlockingIOError:
                continue
            if not data:
                sel.unregister(key.fileobj)
                continue
            lines = (partial[i] + data).split(b"\n")
            partial[i] = lines.pop()
            for line in lines:
                f = line.split(b",")
                if line.startswith(b"#") or len(f) < 6:
                    continue
                pics[i].append((now, int(f[1]), int(f[4]), f[5].strip()))


def pump_for(secs):
    pump(time.time() + secs)


pump_for(2)
# A probe counts only with its keyframe: one that never saw one fails the run.
firsts, keys, probe_errors = [], [], 0
for _ in range(5):
    try:
        f, k = probe()
        firsts.append(f)
        if k is not None:
            keys.append(k)
    except (OSError, ValueError, EOFError, TimeoutError) as e:
        print("probe failed: %s" % e, file=sys.stderr)
        probe_errors += 1
    pump_for(0)
# The window opens once every player has a picture (or after 20 s, with those that have none).
limit = time.time() + 20
while time.time() < limit and not all(pics):
    pump_for(0.1)
opened = time.time()
with open(os.path.join(outdir, "open"), "w") as f:
    f.write("%.6f\n" % opened)
closed = os.path.join(outdir, "closed")
limit = opened + seconds + 60
while time.time() < limit and not os.path.exists(closed):
    pump_for(0.1)
    if throttle and procs[0].poll() is None and time.time() >= opened + seconds / 2:
        procs[0].send_signal(signal.SIGINT)
try:
    with open(closed) as f:
        t0, t1 = (float(v) for v in f.read().split())
except (OSError, ValueError):
    t0, t1 = opened, opened + seconds
pump_for(1)
stopped = time.time()
for p in procs:
    if p.poll() is None:
        p.send_signal(signal.SIGINT)
pump_for(2)
for p in procs:
    try:
        p.wait(5)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()

# One line of timestamps: each player's against the player with most pictures, by the offset most
# of their shared pictures (same size and checksum, come within 3 s of each other) agree on. The
# camera is a looping clip, so a picture can come round again: the arrival times tell them apart.
ref = max(range(n), key=lambda i: len(pics[i]))
by_content = collections.defaultdict(list)
for a, d, size, crc in pics[ref]:
    by_content[(size, crc)].append((a, d))
offsets = []
for i in range(n):
    votes = collections.Counter()
    for a, d, size, crc in pics[i]:
        for ra, rd in by_content.get((size, crc), ()):
            if abs(ra - a) < 3:
                votes[rd - d] += 1
    offsets.append(votes.most_common(1)[0][0] if votes else None)
have = [set(d + offsets[i] for a, d, _, _ in pics[i] if a <= stopped) if offsets[i] is not None else set() for i in range(n)]
window = set()
for i in range(n):
    if offsets[i] is not None:
        window.update(d + offsets[i] for a, d, _, _ in pics[i] if t0 <= a <= t1)
in_window = [sum(1 for a, _, _, _ in pics[i] if t0 <= a <= t1) for i in range(n)]
# A player whose last picture came before the window's end stopped inside it; when no player
# played past the end to show what it missed, it missed at least what it would have got at its
# own rate (a lone player, or all stopped).
lasts = [max((a for a, _, _, _ in pics[i] if a <= stopped), default=0) for i in range(n)]
missed = []
for i in range(n):
    m = len(window - have[i])
    if lasts[i] < t1 and all(a < t1 for a in lasts):
        before = [a for a, _, _, _ in pics[i] if t0 <= a <= lasts[i]]
        rate = (len(before) - 1) / (before[-1] - before[0]) if len(before) > 1 and before[-1] > before[0] else 0
        m = max(m, round((t1 - max(lasts[i], t0)) * rate) if rate else len(window) or 1)
    missed.append(m)
rates = [sum(s for a, _, s, _ in pics[i] if t0 <= a <= t1) * 8 / (t1 - t0) for i in range(n)] if t1 > t0 else [0]
complete = sum(1 for m in missed if m == 0) if window else 0
stopped_inside = sum(1 for a in lasts if a < t1)
ms = lambda v: statistics.median([x for x in v if x is not None]) * 1000 if any(x is not None for x in v) else -1
print("players=%d play_to_first_video_ms=%.0f play_to_keyframe_ms=%.0f window_s=%.3f window_pictures=%d "
      "pictures_min=%d no_picture=%d players_with_everything=%d/%d worst_player_missed=%d "
      "players_stopped_inside_window=%d first_stop_after_window_s=%.3f measured_bps=%.0f probes_with_keyframe=%d/5 probes_failed=%d%s" % (
          n, ms(firsts), ms(keys), t1 - t0, len(window), min(in_window), sum(1 for p in pics if not p), complete, n,
          max(missed), stopped_inside, min(lasts) - t1, statistics.mean(rates), len(keys), probe_errors,
          " throttled=player_0_stopped_halfway" if throttle else ""))
sys.exit(0 if complete == n and len(keys) == 5 else 1)
