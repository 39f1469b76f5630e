"""Follows an HLS playlist the way a strict player would and checks it against RFC 8216.

usage: hls_check.py URL SECONDS

Reloads the playlist about twice per target duration and fetches every segment once, at the
time it is first listed. Checks: the header tags; every EXTINF, rounded up, at most
EXT-X-TARGETDURATION, which never changes; the media sequence never goes back and a number
always names the same URI and duration; a playlist that dropped a segment still lasts three
target durations (or names all the server holds); each segment is whole transport stream beginning with the PAT, and its
pictures last as long as its EXTINF says; a segment dropped from the playlist is still served,
the same bytes, when fetched within a few seconds. Prints what it saw; exits 1 on the first
broken rule.
"""
import json
import math
import subprocess
import sys
import tempfile
import time
import urllib.request

url, seconds = sys.argv[1], float(sys.argv[2])
base = url.rsplit("/", 1)[0] + "/"


def fail(msg):
    print("FAIL:", msg, flush=True)
    sys.exit(1)


def get(u):
    with urllib.request.urlopen(u, timeout=30) as r:
        return r.status, r.read()


def parse(text):
    lines = text.splitlines()
    if not lines or lines[0] != "#EXTM3U":
        fail("playlist does not begin with #EXTM3U: %r" % text[:40])
    tags, segs, dur, disc = {}, [], None, False
    for ln in lines[1:]:
        if not ln:
            continue
        if ln.startswith("#EXTINF:"):
            dur = float(ln[8:].split(",")[0])
        elif ln == "#EXT-X-DISCONTINUITY":
            disc = True
        elif ln.startswith("#EXT-X-"):
            k, _, v = ln.partition(":")
            tags[k] = v
        elif ln.startswith("#"):
            continue
        else:
            if dur is None:
                fail("URI %s without EXTINF" % ln)
            segs.append((ln, dur, disc))
            dur, disc = None, False
    for k in ("#EXT-X-TARGETDURATION", "#EXT-X-MEDIA-SEQUENCE"):
        if k not in tags:
            fail("no %s" % k)
    if any(d != int(d) for _, d, _ in segs) and int(tags.get("#EXT-X-VERSION", "1")) < 3:
        fail("decimal EXTINF needs EXT-X-VERSION 3")
    return int(tags["#EXT-X-TARGETDURATION"]), int(tags["#EXT-X-MEDIA-SEQUENCE"]), segs


def video_span(data):
    """Seconds from the first picture to the last, and the longest gap between two pictures."""
    with tempfile.NamedTemporaryFile(suffix=".ts") as f:
        f.write(data)
        f.flush()
        out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                              "packet=pts_time", "-of", "json", f.name], capture_output=True, text=True).stdout
    pts = sorted(float(p["pts_time"]) for p in json.loads(out).get("packets", []) if "pts_time" in p)
    if len(pts) < 2:
        return 0.0, 0.0, len(pts)
    return pts[-1] - pts[0], max(b - a for a, b in zip(pts, pts[1:])), len(pts)


# A player fetches what it was told of within a few seconds; the server keeps a dropped
# segment at least this long after the playlist that last named it.
HOLD_S = 6.0
# The most the server names (its ten slots less the one being cut and the one kept for late
# fetches): after an overlong segment it may not reach three target durations.
MAX_LISTED = 8
known = {}          # seq -> (uri, duration)
fetched = {}        # seq -> bytes
last_listed = {}    # seq -> time of the last playlist naming it
held = 0
last_seq, target, first_seen, reloads = None, None, None, 0
end = time.time() + seconds
while time.time() < end:
    status, body = get(url)
    if status != 200:
        fail("playlist answered %d" % status)
    t, seq, segs = parse(body.decode())
    reloads += 1
    if not segs:
        fail("a playlist without segments")
    if target is not None and t != target:
        fail("EXT-X-TARGETDURATION changed from %d to %d" % (target, t))
    target = t
    if last_seq is not None and seq < last_seq:
        fail("media sequence went back from %d to %d" % (last_seq, seq))
    if first_seen is None:
        first_seen = seq
    listed = {}
    for i, (uri, d, _) in enumerate(segs):
        n = seq + i
        listed[n] = uri
        if math.ceil(d) > t:
            fail("segment %d lasts %.3f s, over the target duration %d" % (n, d, t))
        if n in known and known[n] != (uri, d):
            fail("number %d named %s now, %s before" % (n, (uri, d), known[n]))
        known[n] = (uri, d)
        if n not in fetched:
            status, data = get(base + uri)
            if status != 200 or not data or len(data) % 188 or any(data[k] != 0x47 for k in range(0, len(data), 188)):
                fail("segment %d (%s) is not whole transport stream (%d bytes)" % (n, uri, len(data)))
            if (data[1] & 0x1F) << 8 | data[2] != 0:
                fail("segment %d does not begin with the PAT" % n)
            fetched[n] = data
        last_listed[n] = time.time()
    # Dropped since the last reload, and fetched within HOLD_S of the playlist that last named
    # it: still served, unchanged.
    if last_seq is not None:
        for n in range(last_seq, seq):
            if n in fetched and time.time() - last_listed[n] <= HOLD_S:
                status, data = get(base + known[n][0])
                if status != 200 or data != fetched[n]:
                    fail("segment %d was dropped from the playlist and is no longer served as it was" % n)
                held += 1
        if seq > first_seen and sum(d for _, d, _ in segs) < 3 * t and len(segs) < MAX_LISTED:
            fail("a playlist that dropped segments lasts %.3f s, under three target durations (%d)"
                 % (sum(d for _, d, _ in segs), t))
    last_seq = seq
    time.sleep(t / 2.0)

# Durations afterwards, so that the reloads keep their pace on a busy machine: a segment lasts
# from its first picture to the next segment's, longer than its pictures' span by one picture's
# time, which is at most the longest gap.
for n in sorted(fetched):
    d = known[n][1]
    span, gap, frames = video_span(fetched[n])
    print("segment %d %s EXTINF %.3f pictures span %.3f s (%d frames)" % (n, known[n][0], d, span, frames), flush=True)
    if not span - 0.02 <= d <= span + gap + 0.02:
        fail("segment %d: EXTINF %.3f s, pictures span %.3f s with gaps up to %.3f s (%d frames)"
             % (n, d, span, gap, frames))
if len(fetched) < seconds / (2 * target):
    fail("only %d segments in %.0f s" % (len(fetched), seconds))
missing = [n for n in range(min(fetched), max(fetched) + 1) if n not in fetched]
if missing:
    fail("segments %s were never listed" % missing)
print("hls_check: %d reloads, segments %d..%d, target %d s, %d dropped segments fetched again unchanged"
      % (reloads, min(fetched), max(fetched), target, held))
