#!/usr/bin/env python3
"""Starts N ffmpeg players copying (not decoding) one RTMP stream for S seconds; meanwhile a raw
player of our own measures, five times, the time from its play command to the first video
message and to the first keyframe. Reports those (median), the pictures each ffmpeg player got
(minimum), how many got none, how many got everything from their first keyframe on, and the
video bit rate the players received (mean over players of their payload over the time their
pictures span). Usage: rtmp_bench_players.py URL N SECONDS OUTDIR"""
import os
import random
import socket
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import rtmp_client as rc  # noqa: E402

url, n, seconds, outdir = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
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


procs = []
for i in range(n):
    out = open(os.path.join(outdir, "p%d.crc" % i), "wb")
    procs.append(subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-i", url, "-map", "0:v", "-c", "copy",
                                   "-t", str(seconds), "-f", "framecrc", "-"], stdout=out, stderr=subprocess.DEVNULL))
time.sleep(2)
firsts, keys = [], []
for _ in range(5):
    try:
        f, k = probe()
        firsts.append(f)
        keys.append(k)
    except (OSError, ValueError, EOFError, TimeoutError) as e:
        print("probe failed: %s" % e, file=sys.stderr)
# The bench's CPU window opens now.
open(os.path.join(outdir, "probed"), "w").close()
deadline = time.time() + seconds + 30
for p in procs:
    try:
        p.wait(max(0.1, deadline - time.time()))
    except subprocess.TimeoutExpired:
        p.kill()
counts, rates, packets = [], [], []
for i in range(n):
    with open(os.path.join(outdir, "p%d.crc" % i), "rb") as f:
        rows = [line.split(b",") for line in f if not line.startswith(b"#")]
    rows = [r for r in rows if len(r) > 5]
    counts.append(len(rows))
    # Size and checksum of each packet (side data, as on a first packet, follows them).
    packets.append([(r[4].strip(), r[5].strip()) for r in rows])
    dts = [int(r[1]) for r in rows]
    if len(dts) > 1 and dts[-1] > dts[0]:
        # Bits over the time the pictures span (one frame's worth per picture).
        rates.append(sum(int(r[4]) for r in rows) * 8 / ((dts[-1] - dts[0]) / 1000 * len(dts) / (len(dts) - 1)))


def agrees(a, b):
    """b holds the packets of a from b's first one on (or the other way round), none missing.
    The camera is a looping clip: the same packet can come round again, so every place it
    occurs is tried."""
    if not a or not b:
        return False
    for x, y in ((a, b), (b, a)):
        for at in (i for i, p in enumerate(x) if p == y[0]):
            k = min(len(x) - at, len(y))
            if x[at:at + k] == y[:k]:
                return True
    return False


# Everything: the same pictures as the player that got the most, none missing where they overlap
# (the source's own gaps are in every player's stream alike).
ref = max(packets, key=len)
complete = sum(1 for p in packets if agrees(ref, p))
ms = lambda v: statistics.median([x for x in v if x is not None]) * 1000 if any(x is not None for x in v) else -1
print("players=%d play_to_first_video_ms=%.0f play_to_keyframe_ms=%.0f pictures_min=%d no_picture=%d "
      "players_with_everything=%d/%d measured_bps=%.0f" % (
          n, ms(firsts), ms(keys), min(counts), sum(1 for c in counts if c == 0), complete, n,
          statistics.mean(rates) if rates else 0))
sys.exit(0 if all(counts) and len(keys) == 5 else 1)
