#!/usr/bin/env bash
# A clean first picture for every client, judged with a raw interleaved RTP reader: over 20
# sessions, fresh and joining a running channel, the first H.264 units are SPS, PPS and an IDR,
# no packet is stamped before the RTP-Info rtptime (nor numbered before its seq), and the first
# picture is complete within one GOP of PLAY. Then a size change: the DESCRIBE after it carries
# the SPS/PPS that the stream sends.
source "$K7160_TESTLIB"

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }

cat >"$TEST_DIR/reader.py" <<'PY'
import base64, random, re, socket, sys, threading, time

BASE = "rtsp://127.0.0.1:8554/"
GOP_S = 1.0            # GOPSize 30 at 29.97 fps
GOP_PICTURES = 30

def recv_response(s, buf):
    while b"\r\n\r\n" not in buf[0]:
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed")
        buf[0] += chunk
    head, _, rest = buf[0].partition(b"\r\n\r\n")
    m = re.search(rb"Content-Length: *(\d+)", head, re.I)
    n = int(m.group(1)) if m else 0
    while len(rest) < n:
        rest += s.recv(65536)
    buf[0] = rest[n:]
    return head.decode(errors="replace"), rest[:n].decode(errors="replace")

def request(s, buf, text):
    s.sendall(text.encode())
    return recv_response(s, buf)

def sprop(sdp):
    m = re.search(r"sprop-parameter-sets=([^;\r\n]+)", sdp)
    return [base64.b64decode(x) for x in m.group(1).split(",")] if m else []

def session(name, tracks, seconds):
    """Plays NAME over TCP; returns a verdict dict for its H.264 track (channel 0)."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)   # a busy test machine must not make it lag
    s.settimeout(15)
    s.connect(("127.0.0.1", 8554))
    buf = [b""]
    head, sdp = request(s, buf, "DESCRIBE %s%s RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n" % (BASE, name))
    sess = ""
    for t in range(tracks):
        head, _ = request(s, buf, "SETUP %s%s/track%d RTSP/1.0\r\nCSeq: %d\r\n%sTransport: RTP/AVP/TCP;unicast;interleaved=%d-%d\r\n\r\n"
                          % (BASE, name, t + 1, 2 + t, ("Session: %s\r\n" % sess) if sess else "", 2 * t, 2 * t + 1))
        sess = re.search(r"Session: *([^;\r\n]+)", head).group(1)
    t_play = time.time()
    head, _ = request(s, buf, "PLAY %s%s RTSP/1.0\r\nCSeq: 9\r\nSession: %s\r\nRange: npt=0.000-\r\n\r\n" % (BASE, name, sess))
    # How long this machine took to answer PLAY, a measure of how late it runs just now.
    play_s = time.time() - t_play
    info = {}
    for part in re.search(r"RTP-Info: *([^\r\n]+)", head).group(1).split(","):
        url = re.search(r"url=([^;]+)", part).group(1)
        ch = 2 * (int(re.search(r"track(\d+)", url).group(1)) - 1)
        info[ch] = (int(re.search(r"seq=(\d+)", part).group(1)), int(re.search(r"rtptime=(\d+)", part).group(1)))
    units, early, early_seq, first_pic, sps_inband, lost, prev_seq = [], 0, 0, None, None, 0, None
    pic_ts = []
    data = buf[0]
    s.settimeout(0.5)
    end = time.time() + seconds
    # Past the time asked for while no picture is whole yet, up to a bound a busy machine meets.
    while time.time() < end or (first_pic is None and time.time() < t_play + 15):
        while len(data) >= 4 and data[0:1] == b"$":
            n = data[2] << 8 | data[3]
            if len(data) < 4 + n:
                break
            ch, pkt, data = data[1], data[4:4 + n], data[4 + n:]
            if ch not in info or len(pkt) < 13:
                continue
            seq, ts = pkt[2] << 8 | pkt[3], int.from_bytes(pkt[4:8], "big")
            if ((ts - info[ch][1]) & 0xffffffff) >= 0x80000000:
                early += 1
            if ((seq - info[ch][0]) & 0xffff) >= 0x8000:
                early_seq += 1
            if ch != 0:
                continue
            if prev_seq is not None:
                lost += ((seq - prev_seq) & 0xffff) - 1
            prev_seq = seq
            t = pkt[12] & 0x1f
            if t == 28:
                if pkt[13] & 0x80:
                    units.append(pkt[13] & 0x1f)
            elif t < 24:
                units.append(t)
                if t == 7 and sps_inband is None:
                    sps_inband = bytes(pkt[12:])
            if first_pic is None and (pkt[1] & 0x80) and 5 in units:
                first_pic = time.time() - t_play
            if pkt[1] & 0x80 and 5 in units:
                pic_ts.append(ts)
        if data and data[0:1] != b"$":
            i = data.find(b"$")
            data = data[i:] if i >= 0 else b""
        try:
            chunk = s.recv(1 << 20)
        except socket.timeout:
            continue
        if not chunk:
            break
        data += chunk
    try:
        s.sendall(("TEARDOWN %s%s RTSP/1.0\r\nCSeq: 10\r\nSession: %s\r\n\r\n" % (BASE, name, sess)).encode())
    except OSError:
        pass
    s.close()
    slices = [u for u in units if u in (1, 5, 7, 8)]
    start_ok = len(slices) >= 3 and slices[0] == 7 and slices[1] == 8 and slices[2] == 5
    # A GOP's length in time at the rate the pictures came: a busy machine's capture skips some,
    # which stretches the 30 pictures of a GOP.
    gop_s = GOP_S
    if len(pic_ts) >= 3:
        gop_s = max(GOP_S, GOP_PICTURES * ((pic_ts[-1] - pic_ts[0]) & 0xffffffff) / 90000 / (len(pic_ts) - 1))
    return {"start": start_ok, "units": units[:6], "early": early, "early_seq": early_seq, "first_pic": first_pic,
            "sprop": sprop(sdp), "sps": sps_inband, "lost": lost, "gop_s": gop_s, "play_s": play_s}

def safe_session(*a):
    try:
        return session(*a)
    except Exception as e:
        print("session failed: %r" % e)
        return {"start": False, "units": [], "early": -1, "early_seq": -1, "first_pic": None, "sprop": [], "sps": None}

def verdict(label, r):
    gop_s = r.get("gop_s", GOP_S) + r.get("play_s", 0)
    ok = r["start"] and r["early"] == 0 and r["early_seq"] == 0 and r["first_pic"] is not None and r["first_pic"] <= gop_s + 0.5
    print("%s %s units=%s early_ts=%d early_seq=%d first_picture=%s gop=%.2f" % (label, "ok" if ok else "BAD", r["units"],
          r["early"], r["early_seq"], "%.2f" % r["first_pic"] if r["first_pic"] is not None else "none", gop_s))
    return ok

mode = sys.argv[1]
if mode == "sessions":
    good = 0
    for i in range(10):                      # fresh: nobody else watches channel A
        good += verdict("fresh%d" % i, safe_session("streamA.h264" if i % 2 == 0 else "streamA.h264_aac", 1 if i % 2 == 0 else 2, 2.0))
    # joining: a client keeps channel A running; others join at random points of the GOP.
    stop = threading.Event()
    bg = threading.Thread(target=lambda: session("streamA.h264", 1, 40.0), daemon=True)
    bg.start()
    time.sleep(1.5)
    for i in range(10):
        time.sleep(random.uniform(0.05, 0.9))
        good += verdict("join%d" % i, safe_session("streamA.h264" if i % 2 == 0 else "streamA.h264_aac", 1 if i % 2 == 0 else 2, 2.0))
    print("good=%d of 20" % good)
elif mode == "lag":
    # A client beside a stalled one loses nothing; the stalled one, after its stall, resumes at
    # an SPS after every gap.
    healthy = {}
    def run_healthy():
        healthy.update(safe_session("streamA.h264", 1, 28.0))
    th = threading.Thread(target=run_healthy)
    th.start()
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
    s.settimeout(15)
    s.connect(("127.0.0.1", 8554))
    buf = [b""]
    request(s, buf, "DESCRIBE %sstreamA.h264 RTSP/1.0\r\nCSeq: 1\r\n\r\n" % BASE)
    head, _ = request(s, buf, "SETUP %sstreamA.h264/track1 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n" % BASE)
    sess = re.search(r"Session: *([^;\r\n]+)", head).group(1)
    request(s, buf, "PLAY %sstreamA.h264 RTSP/1.0\r\nCSeq: 3\r\nSession: %s\r\n\r\n" % (BASE, sess))
    def read_for(seconds, data, out):
        end = time.time() + seconds
        s.settimeout(0.2)
        while time.time() < end:
            try:
                chunk = s.recv(1 << 20)
            except socket.timeout:
                continue
            if not chunk:
                break
            data += chunk
            while len(data) >= 4 and data[0:1] == b"$":
                n = data[2] << 8 | data[3]
                if len(data) < 4 + n:
                    break
                if data[1] == 0 and n > 13:
                    out.append(data[4:4 + n])
                data = data[4 + n:]
        return data
    pkts = []
    data = read_for(1.0, buf[0], pkts)
    time.sleep(20.0)                      # stalled: reads nothing, until the kernel's buffers are full
    data = read_for(5.0, data, pkts)
    gaps, resumed_at_sps, prev = 0, 0, None
    for p in pkts:
        seq = p[2] << 8 | p[3]
        if prev is not None and ((seq - prev) & 0xffff) != 1:
            gaps += 1
            t = p[12] & 0x1f
            resumed_at_sps += t == 7
        prev = seq
    th.join()
    print("stalled_gaps=%d resumed_at_sps=%d healthy_start=%s healthy_lost=%s" % (gaps, resumed_at_sps, healthy.get("start"),
                                                                               healthy.get("lost")))
elif mode == "sprop":
    r = safe_session("streamA.h264", 1, 2.0)
    same = bool(r["sprop"]) and r["sps"] is not None and r["sprop"][0] == r["sps"]
    print("sprop_matches_stream=%s sprop_sps=%s inband_sps=%s" % (same, r["sprop"][0].hex() if r["sprop"] else None,
                                                                  r["sps"].hex() if r["sps"] else None))
PY

out=$(timeout 240 python3 "$TEST_DIR/reader.py" sessions); echo "$out"
check "20 of 20 sessions start at SPS, PPS, IDR, never before RTP-Info, picture within a GOP" grep -q "good=20 of 20" <<<"$out"

# A client that stops reading for 20 s falls more than a GOP behind: it skips to the
# next keyframe (a counted, logged drop) and resumes at an SPS; the client beside it loses nothing.
# The encoder takes the rate at its next start: wait until the last client (and the source a
# DESCRIBE keeps for a few seconds) has let it stop.
encoder_stopped() { [ "$(grep -E 'videoA: (fully stopped|idx=)' "$LOG" | tail -n 1 | grep -c 'fully stopped')" = 1 ]; }
wait_stopped() { local i; for i in $(seq 1 200); do encoder_stopped && return 0; sleep 0.1; done; return 1; }
wait_stopped || fail "channel A did not stop after the sessions"
# The encoder pads nothing, so a mostly still test picture would stay far below any bit rate:
# an intra picture every frame keeps the stream at its rate and the stalled client's backlog large.
curl -s -o /dev/null -H "Referer: /x.htm" -d "BitRate=8000000&GOPSize=1" http://127.0.0.1/streamA_controls_no_save
out=$(timeout 60 python3 "$TEST_DIR/reader.py" lag); echo "$out"
check "the stalled client skipped ahead" grep -qE "stalled_gaps=[1-9]" <<<"$out"
check "after every skip it resumed at an SPS" bash -c '[[ "$1" =~ stalled_gaps=([0-9]+)\ resumed_at_sps=([0-9]+) ]] && [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ]' _ "$out"
check "the skip is logged" grep -qF "skipping to the next keyframe" "$LOG"
check "the client beside it lost nothing" grep -q "healthy_start=True healthy_lost=0" <<<"$out"
wait_stopped || fail "channel A did not stop after the stalled client"
curl -s -o /dev/null -H "Referer: /x.htm" -d "BitRate=2000000&GOPSize=30" http://127.0.0.1/streamA_controls_no_save

# The channel's size changes: the next DESCRIBE describes the stream as it now is.
out=$(timeout 30 python3 "$TEST_DIR/reader.py" sprop); echo "$out"
check "before the change, the SDP's SPS is the stream's" grep -q "sprop_matches_stream=True" <<<"$out"
curl -s -o /dev/null -H "Referer: /x.htm" -d "Video[0].Width=320&Video[0].Height=240" http://127.0.0.1/controls
sleep 4
out=$(timeout 30 python3 "$TEST_DIR/reader.py" sprop); echo "$out"
check "after a size change, DESCRIBE carries the new SPS/PPS" grep -q "sprop_matches_stream=True" <<<"$out"
check "and the stream is 320x240" [ "$(timeout 20 ffprobe -v error -rtsp_transport tcp -show_entries stream=width,height -of csv=p=0 rtsp://127.0.0.1:8554/streamA.h264)" = "320,240" ]

stop_app
check "appliance exits cleanly" [ "${APP_STATUS:-1}" = 0 ]
finish
