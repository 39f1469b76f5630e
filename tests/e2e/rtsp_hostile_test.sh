#!/usr/bin/env bash
# Hostile RTSP clients on the local network: one address trickling bytes on 256 connections
# cannot lock out another address or cut a client that plays; a digest answer is bound to its
# uri; an anonymous flood from one address does not evict the nonce another is answering; SETUPs
# beyond a connection's or an address's share of sessions are refused while others play; a
# session id seen on the wire does not let another connection end the session; four addresses
# holding every connection and reconnecting leave room for fresh players and never put out one
# that plays, and so do crowds of many addresses, idle, trickling requests or reading slowly,
# beside which a paused viewer plays again; RTMP, which carries no credentials, plays nothing
# while the guest may not view streams; made-up credentials forge no log line, and anonymous
# DESCRIBEs don't wash the admin's last action out of the log.
source "$K7160_TESTLIB"

ip addr add 127.0.0.2/32 dev lo 2>/dev/null
start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }

cat >"$TEST_DIR/rtsp.py" <<'PY'
import hashlib, re, socket, subprocess, sys, time

URL = "rtsp://127.0.0.1:8554/"

def connect(src="127.0.0.1"):
    s = socket.socket()
    s.bind((src, 0))
    s.settimeout(10)
    s.connect(("127.0.0.1", 8554))
    return s

def request(s, method, path, cseq, extra=""):
    s.sendall(("%s %s%s RTSP/1.0\r\nCSeq: %d\r\n%s\r\n" % (method, URL, path, cseq, extra)).encode())
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            return "closed", ""
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    m = re.search(rb"Content-Length: *(\d+)", head, re.I)
    n = int(m.group(1)) if m else 0
    while len(body) < n:
        body += s.recv(65536)
    return head.decode(errors="replace"), body.decode(errors="replace")

def status(head):
    return head.split("\r\n")[0]

def nonce_of(head):
    return re.search(r'nonce="([^"]+)"', head).group(1)

def realm_of(head):
    return re.search(r'realm="([^"]+)"', head).group(1)

def digest(user, password, realm, nonce, method, uri):
    h = lambda t: hashlib.md5(t.encode()).hexdigest()
    resp = h("%s:%s:%s" % (h("%s:%s:%s" % (user, realm, password)), nonce, h("%s:%s" % (method, uri))))
    return 'Authorization: Digest username="%s", realm="%s", nonce="%s", uri="%s", response="%s"\r\n' % (
        user, realm, nonce, uri, resp)

def trickle():
    # 256 connections from 127.0.0.1, one byte each every 2 s; then 127.0.0.2 asks for a stream.
    socks = []
    for i in range(256):
        try:
            socks.append(connect())
        except OSError:
            break
    start = time.time()
    served = None
    while time.time() - start < 14:
        for s in socks:
            try:
                s.send(b"O")
            except OSError:
                pass
        if served is None and time.time() - start > 3:
            try:
                c = connect("127.0.0.2")
                served = status(request(c, "DESCRIBE", "streamA.h264", 1, "Accept: application/sdp\r\n")[0])
                c.close()
            except OSError as e:
                served = "refused: %s" % e
        time.sleep(2)
    open_left = 0
    for s in socks:
        s.settimeout(0.5)
        try:
            if s.recv(1) != b"":
                open_left += 1
        except socket.timeout:
            open_left += 1
        except OSError:
            pass
    print("other_address=%s" % served)
    print("trickling_open_after_deadline=%d" % open_left)

def auth(user, password):
    s = connect("127.0.0.2")
    head, _ = request(s, "DESCRIBE", "streamA.h264", 1)
    print("anonymous=%s" % status(head))
    realm, nonce = realm_of(head), nonce_of(head)
    # A header made for streamA must not open streamB.
    head, _ = request(s, "DESCRIBE", "streamB.h264", 2, digest(user, password, realm, nonce, "DESCRIBE", URL + "streamA.h264"))
    print("other_uri=%s" % status(head))
    head, _ = request(s, "DESCRIBE", "streamA.h264", 3, digest(user, password, realm, nonce, "DESCRIBE", URL + "streamA.h264"))
    print("own_uri=%s" % status(head))
    # A SETUP of a track may answer for the aggregate URL.
    head, _ = request(s, "SETUP", "streamA.h264/track1", 4,
                      "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n" +
                      digest(user, password, realm, nonce, "SETUP", URL + "streamA.h264"))
    print("track_with_aggregate_uri=%s" % status(head))
    s.close()
    # 127.0.0.2 is asked for credentials, then 127.0.0.1 floods; the nonce of .2 still holds.
    v = connect("127.0.0.2")
    head, _ = request(v, "DESCRIBE", "streamB.h264", 1)
    nonce = nonce_of(head)
    for i in range(70):
        f = connect()
        request(f, "DESCRIBE", "streamB.h264", 1)
        f.close()
    head, _ = request(v, "DESCRIBE", "streamB.h264", 2, digest(user, password, realm, nonce, "DESCRIBE", URL + "streamB.h264"))
    print("after_flood=%s" % status(head))

def interleaved(s, n, limit=10):
    # Reads until n interleaved packets came (or the limit passed); returns how many came.
    got, data, end = 0, b"", time.time() + limit
    s.settimeout(1)
    while got < n and time.time() < end:
        try:
            chunk = s.recv(65536)
        except socket.timeout:
            continue
        if not chunk:
            break
        data += chunk
        while len(data) >= 4 and data[0:1] == b"$":
            size = 4 + (data[2] << 8 | data[3])
            if len(data) < size:
                break
            data, got = data[size:], got + 1
        if data and data[0:1] != b"$":
            data = data[data.find(b"$") if b"$" in data else len(data):]
    return got

def control(user, password):
    # An authorised client from another address, and another connection from the owner's own
    # address, name a playing session's id: neither ends it.
    path = URL + "streamA.h264"
    a = connect()
    head, _ = request(a, "DESCRIBE", "streamA.h264", 1)
    realm, nonce = realm_of(head), nonce_of(head)
    head, _ = request(a, "SETUP", "streamA.h264/track1", 2, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n" +
                      digest(user, password, realm, nonce, "SETUP", path))
    session = re.search(r"Session: *([^;\r]+)", head).group(1)
    request(a, "PLAY", "streamA.h264", 3, "Session: %s\r\n" % session)
    print("owner_packets_before=%d" % interleaved(a, 20))
    for src in ("127.0.0.2", "127.0.0.1"):
        b = connect(src)
        head, _ = request(b, "DESCRIBE", "streamA.h264", 1)
        n2 = nonce_of(head)
        head, _ = request(b, "DESCRIBE", "streamA.h264", 2, digest(user, password, realm, n2, "DESCRIBE", path))
        print("other_%s_describe=%s" % (src, status(head)))
        head, _ = request(b, "TEARDOWN", "streamA.h264", 3, "Session: %s\r\n" % session +
                          digest(user, password, realm, n2, "TEARDOWN", path))
        print("other_%s_teardown=%s" % (src, status(head)))
        b.close()
    print("owner_packets_after=%d" % interleaved(a, 20))
    a.close()

def heads(s, n, limit=20):
    # The status lines of the next n answers (answers without a body).
    data, end = b"", time.time() + limit
    while data.count(b"\r\n\r\n") < n and time.time() < end:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    return [h.decode(errors="replace") for h in data.split(b"\r\n\r\n")[:n]]

def setup(s, cseq, session=None):
    head, _ = request(s, "SETUP", "streamA.h264/track1", cseq, "Transport: RTP/AVP;unicast;client_port=40000-40001\r\n" +
                      ("Session: %s\r\n" % session if session else ""))
    return head

def session_id(head):
    m = re.search(r"Session: *([^;\r]+)", head)
    return m.group(1) if m else None

def play(host):
    # Pictures ffmpeg decodes from a new connection, and what it said.
    p = subprocess.run(["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", "rtsp://%s:8554/streamA.h264" % host,
                        "-frames:v", "10", "-f", "framemd5", "-"], capture_output=True, text=True, timeout=40)
    return sum(1 for l in p.stdout.splitlines() if l.startswith("0,")), p.stderr.strip().replace("\n", " | ")

def sessions():
    # 1000 SETUPs at once on one connection, as a flood would send them.
    n = 1000
    a = connect()
    start = time.time()
    a.sendall("".join("SETUP %sstreamA.h264/track1 RTSP/1.0\r\nCSeq: %d\r\n"
                      "Transport: RTP/AVP;unicast;client_port=40000-40001\r\n\r\n" % (URL, i + 1) for i in range(n)).encode())
    answers = heads(a, n)
    lines = [status(h) for h in answers]
    print("burst_ok=%d burst_refused=%d burst_answers=%d burst_seconds=%.2f" % (lines.count("RTSP/1.0 200 OK"),
          lines.count("RTSP/1.0 453 Not Enough Bandwidth"), len(lines), time.time() - start))
    owned = {a: [session_id(h) for h in answers if status(h) == "RTSP/1.0 200 OK"]}
    print("same_address_other_connection_frames=%d %s" % play("127.0.0.1"))
    # Fifteen more connections fill the address's share.
    for c in range(15):
        s = connect()
        owned[s] = [session_id(setup(s, i + 1)) for i in range(4)]
    extra = connect()
    print("address_full=%s" % status(setup(extra, 1)))
    print("address_full_player=%d %s" % play("127.0.0.1"))
    print("other_address_frames=%d %s" % play("127.0.0.2"))
    # A TEARDOWN makes room for one.
    head, _ = request(a, "TEARDOWN", "streamA.h264", n + 1, "Session: %s\r\n" % owned[a].pop())
    print("teardown=%s" % status(head))
    head = setup(extra, 2)
    print("after_teardown=%s" % status(head))
    owned[extra] = [session_id(head)]
    ended = 0
    for s, ids in owned.items():
        for k, sid in enumerate(ids):
            head, _ = request(s, "TEARDOWN", "streamA.h264", n + 2 + k, "Session: %s\r\n" % sid)
            ended += status(head) == "RTSP/1.0 200 OK"
        s.close()
    print("ended=%d" % ended)

def flood(what, n, user=None, password=None):
    # n requests, each cycle on a connection of its own, eight at a time: a Stream View user's
    # DESCRIBE/SETUP/PLAY/TEARDOWN, or a SETUP without credentials.
    import threading
    left, codes, lock, t = [n], {}, threading.Lock(), time.time()
    def cycle():
        s = connect()
        path = URL + "streamA.h264"
        auth = lambda m: ""
        if user:
            head, _ = request(s, "DESCRIBE", "streamA.h264", 1)
            realm, nonce = realm_of(head), nonce_of(head)
            auth = lambda m: digest(user, password, realm, nonce, m, path)
            head, _ = request(s, "DESCRIBE", "streamA.h264", 2, auth("DESCRIBE"))
        head, _ = request(s, "SETUP", "streamA.h264/track1", 3, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n" + auth("SETUP"))
        if user and session_id(head):
            # RTP follows the PLAY's answer on the connection: the TEARDOWN's answer is not read.
            sid = "Session: %s\r\n" % session_id(head)
            head, _ = request(s, "PLAY", "streamA.h264", 4, sid + auth("PLAY"))
            s.sendall(("TEARDOWN %sstreamA.h264 RTSP/1.0\r\nCSeq: 5\r\n%s%s\r\n" % (URL, sid, auth("TEARDOWN"))).encode())
            time.sleep(0.01)
        s.close()
        return status(head)
    def worker():
        while True:
            with lock:
                if left[0] <= 0 or time.time() - t > 150:
                    return
                left[0] -= 1
            # Eight cycles at once from one address: the address's nonces may have moved on
            # between a challenge and its answer, which asks for credentials again.
            for _ in range(3):
                try:
                    st = cycle()
                except Exception as e:
                    st = type(e).__name__
                if "401" not in st:
                    break
            with lock:
                codes[st] = codes.get(st, 0) + 1
    threads = [threading.Thread(target=worker) for _ in range(8)]
    for th in threads: th.start()
    for th in threads: th.join()
    print(sum(codes.values()), what, "in", round(time.time() - t, 1), "s, last answers", codes)

if sys.argv[1] == "trickle":
    trickle()
elif sys.argv[1] == "cycles":
    flood("cycles", int(sys.argv[2]), sys.argv[3], sys.argv[4])
elif sys.argv[1] == "setups":
    flood("SETUPs", int(sys.argv[2]))
elif sys.argv[1] == "sessions":
    sessions()
elif sys.argv[1] == "control":
    control(sys.argv[2], sys.argv[3])
else:
    auth(sys.argv[2], sys.argv[3])
PY

# A client playing over TCP from 127.0.0.1 before the trickle starts, for 16 s: the trickle
# starts once it has pictures, however long a busy machine took to get them there.
stops=$(grep -cF "videoA: fully stopped" "$LOG")
timeout 60 ffmpeg -v error -rtsp_transport tcp -i rtsp://127.0.0.1:8554/streamA.h264 -t 16 -flush_packets 1 \
  -f framemd5 "$TEST_DIR/play.md5" 2>"$TEST_DIR/play.err" &
player=$!
for _ in $(seq 1 300); do grep -q '^0,' "$TEST_DIR/play.md5" 2>/dev/null && break; sleep 0.1; done
out=$(timeout 60 python3 "$TEST_DIR/rtsp.py" trickle); echo "$out"
wait $player
frames=$(grep -c '^0,' "$TEST_DIR/play.md5")
# What the encoder made a second over that run, by its own log, once the run has ended.
for _ in $(seq 1 200); do [ "$(grep -cF "videoA: fully stopped" "$LOG")" -gt "$stops" ] && break; sleep 0.1; done
rate=$(sed -n 's/.*videoA: stopped \([0-9][0-9.e+-]*\) fps.*/\1/p' "$LOG" | sed -n "$((stops + 1))p")
echo "player frames=$frames, encoder ${rate:-?} fps"; cat "$TEST_DIR/play.err"
check "another address is served while one trickles on 256 connections" grep -q "other_address=RTSP/1.0 200" <<<"$out"
check "trickling connections are closed after the request deadline" grep -q "trickling_open_after_deadline=0$" <<<"$out"
check "the per-address limit is logged" grep -qF "connections from that address" "$LOG"
# 16 s at 30 fps is 480 pictures, 300 of them were asked for; a cut client has far fewer (the
# trickle itself loads the host). A busy machine encodes fewer: held against the encoder's rate.
never_cut() {
  [ ! -s "$TEST_DIR/play.err" ] && awk -v f="$frames" -v r="${rate:-0}" 'BEGIN { exit !(r > 0 && f >= 300 / 480 * 16 * r) }'
}
check "the playing client is never cut" never_cut
check "still serving" [ "$(timeout 20 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 rtsp://127.0.0.1:8554/streamA.h264)" = h264 ]

# Sessions are bounded per connection, per address and in all; refusals answer 453.
out=$(timeout 150 python3 "$TEST_DIR/rtsp.py" sessions); echo "$out"
check "1000 SETUPs on one connection give 4 sessions and 996 refusals" grep -q "burst_ok=4 burst_refused=996 " <<<"$out"
check "the refusals on that connection are logged once" \
  [ "$(grep -c "rtsp: SETUP from 127.0.0.1 refused: 4 sessions on its connection" "$LOG")" = 1 ]
check "another connection from that address plays" grep -q "same_address_other_connection_frames=10 $" <<<"$out"
check "a SETUP beyond the address's 64 sessions is refused" grep -q "address_full=RTSP/1.0 453 Not Enough Bandwidth" <<<"$out"
check "so is a player from that address" grep -q "address_full_player=0 .*453 Not Enough Bandwidth" <<<"$out"
check "the refusal is logged" grep -qF "rtsp: SETUP from 127.0.0.1 refused: 64 sessions from that address" "$LOG"
check "a player from another address plays meanwhile" grep -q "other_address_frames=10 $" <<<"$out"
check "a TEARDOWN makes room for a session" grep -q "after_teardown=RTSP/1.0 200 OK" <<<"$out"
check "every session that was given is ended by its owner" grep -q "ended=64$" <<<"$out"

# Four addresses hold every connection, each with an OPTIONS every 30 s, and dial again for each
# one closed: the player that was playing plays on, and fresh players from other addresses are
# served.
for a in 11 12 13 14 15 21 22 23 24 25; do ip addr add 127.0.0.$a/32 dev lo 2>/dev/null; done
timeout 60 ffmpeg -v error -rtsp_transport tcp -i rtsp://127.0.0.15:8554/streamA.h264 -t 30 -flush_packets 1 \
  -f framemd5 "$TEST_DIR/held.md5" 2>"$TEST_DIR/held.err" &
held_player=$!
for _ in $(seq 1 200); do [ "$(grep -sc '^0,' "$TEST_DIR/held.md5")" -ge 10 ] 2>/dev/null && break; sleep 0.1; done
# fresh_player ADDRESS: seconds a fresh ffmpeg from ADDRESS took to 10 pictures, or "none".
fresh_player() {
  local t0 got t
  t0=$(date +%s.%N)
  got=$(timeout 20 ffmpeg -v error -rtsp_transport tcp -i rtsp://$1:8554/streamA.h264 -frames:v 10 -f framemd5 - \
        2>/dev/null | grep -c '^0,')
  t=$(echo "$(date +%s.%N) - $t0" | bc)
  [ "$got" -ge 10 ] && echo "$t" || echo none
}
before=0
for a in 21 22; do   # the longer of two before the crowd
  t=$(fresh_player 127.0.0.$a); [ "$t" = none ] && t=20
  before=$(echo "if ($t > $before) $t else $before" | bc)
done
timeout 90 python3 "$(dirname "$K7160_TESTLIB")/server_fill.py" rtsp 11 4 64 28 "$TEST_DIR/fill.ready" >"$TEST_DIR/fill.out" 2>&1 &
filler=$!
for _ in $(seq 1 600); do [ -e "$TEST_DIR/fill.ready" ] && break; sleep 0.1; done
check "four addresses got their connections through" [ -e "$TEST_DIR/fill.ready" ]
served=0; waits=""
for a in 21 22 23 24 25; do
  t=$(fresh_player 127.0.0.$a)
  waits="$waits $t"
  [ "$t" != none ] && [ "$(echo "$t <= 2 + $before" | bc)" = 1 ] && served=$((served + 1))
done
echo "fresh RTSP players with every connection taken: $served of 5 served within 2 s + $before s, seconds:$waits"
check "fresh players from other addresses are served within 2 s more than before, while four addresses hold every connection" \
  [ "$served" = 5 ]
wait $held_player
rc=$?
read -r frames span < <(frames_span "$TEST_DIR/held.md5")
echo "the player that was playing: exit $rc, pictures $frames over $span s of 30; $(head -c 300 "$TEST_DIR/held.err")"
# Its stamps reach the 30 s it asked for; a cut player's stop far short.
held_on() { [ "$rc" = 0 ] && [ ! -s "$TEST_DIR/held.err" ] && [ "$(echo "$span >= 27" | bc)" = 1 ]; }
check "the player that was playing is never put out" held_on
wait $filler
echo "the four addresses: $(cat "$TEST_DIR/fill.out")"
check "the places taken are logged" \
  grep -qE 'rtsp: connection from 127\.0\.0\.1[1-4] idle for [0-9]+ s closed for a connection from 127\.0\.0\.2[1-5]' "$LOG"

# Digest: a user in the settings.
curl -s -o /dev/null -H "Referer: /x.htm" --data-urlencode "User[0].Name=viewer" --data-urlencode "User[0].Permission=1" \
  --data-urlencode "User[0].Password=pass7" http://127.0.0.1/controls
wait_log "rtp reload users" 10 || fail "no reload of the RTSP users"
out=$(timeout 60 python3 "$TEST_DIR/rtsp.py" auth viewer pass7); echo "$out"
check "anonymous DESCRIBE is challenged" grep -q "anonymous=RTSP/1.0 401" <<<"$out"
check "a digest for streamA does not open streamB" grep -q "other_uri=RTSP/1.0 401" <<<"$out"
check "a digest for its own uri is accepted" grep -q "own_uri=RTSP/1.0 200" <<<"$out"
check "a track SETUP may answer for the aggregate uri" grep -q "track_with_aggregate_uri=RTSP/1.0 200" <<<"$out"
check "70 anonymous DESCRIBEs from one address leave another's nonce valid" grep -q "after_flood=RTSP/1.0 200" <<<"$out"

# A session is controlled from its own connection only.
out=$(timeout 90 python3 "$TEST_DIR/rtsp.py" control viewer pass7); echo "$out"
check "the owner plays over TCP" grep -q "owner_packets_before=20$" <<<"$out"
for src in 127.0.0.2 127.0.0.1; do
  check "an authorised client from $src is served" grep -q "other_${src}_describe=RTSP/1.0 200" <<<"$out"
  check "its TEARDOWN of another connection's session is answered 454" \
    grep -q "other_${src}_teardown=RTSP/1.0 454" <<<"$out"
done
check "the session plays on" grep -q "owner_packets_after=20$" <<<"$out"
check "the refusal is logged" grep -qF "refused: the session belongs to another connection" "$LOG"

# RTMP brings no credentials: with the guest at None it plays nothing, as HTTP refuses.
rtmp_probe() { timeout 20 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 rtmp://127.0.0.1:1935/live/streamA.m3u8; }
check "RTMP plays while the guest may view" grep -q "^h264" <<<"$(rtmp_probe)"
curl -s -o /dev/null -H "Referer: /x.htm" --data-urlencode "User[1].Name=boss" --data-urlencode "User[1].Permission=5" \
  --data-urlencode "User[1].Password=boss7" --data-urlencode "GuestPermission=0" http://127.0.0.1/controls
check "the guest is at None" [ "$(curl -sg --digest -u boss:boss7 http://127.0.0.1/GuestPermission)" = 0 ]
check "HTTP refuses the guest a stream" \
  [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 http://127.0.0.1/streamA.h264)" = 401 ]
probe=$(rtmp_probe 2>&1); echo "RTMP with the guest at None: ${probe:-nothing}"
check "RTMP play is refused with the guest at None" bash -c '! grep -q "^h264" <<<"$1"' _ "$probe"
check "the refusal is logged" grep -qF "play streamA.m3u8 refused: the guest may not view streams" "$LOG"

# Credentials a client makes up can't forge a log line; 5,000 anonymous DESCRIBEs don't wash the
# Admin's last action out of the program log.
B=(--basic -u boss:boss7)
curl -s -o /dev/null "${B[@]}" --data-urlencode create_user_name=keeper --data-urlencode create_user_perm=5 \
  --data-urlencode create_user_pass=keeper7 http://127.0.0.1/controls
check "the Admin's creation is logged" grep -qF "user keeper created" "$LOG"
cat >"$TEST_DIR/describe.py" <<'PY'
import re, socket, sys, threading, time
def exchange(s, text):
    s.sendall(text)
    data = b""
    while b"\r\n\r\n" not in data:
        d = s.recv(65536)
        if not d:
            return b"closed"
        data += d
    head, _, body = data.partition(b"\r\n\r\n")
    m = re.search(rb"Content-Length: *(\d+)", head, re.I)
    n = int(m.group(1)) if m else 0
    while len(body) < n:
        body += s.recv(65536)
    return head
s = socket.create_connection(("127.0.0.1", 8554), timeout=10)
if sys.argv[1] == "forged":
    print(exchange(s, b'DESCRIBE rtsp://127.0.0.1:8554/streamA.h264 RTSP/1.0\r\nCSeq: 1\r\nAuthorization: Digest '
                   b'username="ev\x1b[2J\x08\xc2\x85il", realm="7160", nonce="00", uri="/streamA\x1b[1A.h264", '
                   b'response="00"\r\n\r\n').split(b"\r\n")[0].decode())
    sys.exit()
# Forty-eight connections at a time, well below the address's 64: a DESCRIBE waits for its source.
t = time.time(); left = [int(sys.argv[1])]; codes = {}; lock = threading.Lock()
def client():
    s = socket.create_connection(("127.0.0.1", 8554), timeout=10)
    while time.time() - t < 330:
        with lock:
            if left[0] <= 0:
                return
            left[0] -= 1
        head = exchange(s, b"DESCRIBE rtsp://127.0.0.1:8554/streamA.h264 RTSP/1.0\r\nCSeq: 2\r\n\r\n")
        if head == b"closed":
            with lock:
                left[0] += 1
            s = socket.create_connection(("127.0.0.1", 8554), timeout=10)
            continue
        with lock:
            codes[head[9:12].decode()] = codes.get(head[9:12].decode(), 0) + 1
threads = [threading.Thread(target=client) for _ in range(min(48, left[0]))]
for th in threads: th.start()
for th in threads: th.join()
n = sum(codes.values())
print(n, "DESCRIBEs in", round(time.time() - t, 1), "s, answers", codes)
PY
echo "made-up credentials: $(python3 "$TEST_DIR/describe.py" forged 2>&1)"
check "made-up credentials are logged escaped" \
  grep -qF 'DESCRIBE authentication failed for user "ev\x1b[2J\x08\xc2\x85il"' "$LOG"
check "no control byte reached the log" bash -c '! grep -qP "[\x00-\x08\x0b-\x1f\x7f]" "$1"' _ "$LOG"
# A Stream View user's sessions, one connection each: what they log is charged to that user.
timeout 200 python3 "$TEST_DIR/rtsp.py" cycles 1000 viewer pass7 >"$TEST_DIR/cycles.out" 2>&1
echo "user's cycles: $(cat "$TEST_DIR/cycles.out")"
# Without RTSP authentication every DESCRIBE starts a source, and anyone may send one.
curl -s -o /dev/null "${B[@]}" -H "Referer: /x.htm" -d RTSP_DisableAuth=1 http://127.0.0.1/controls
for _ in $(seq 1 100); do grep -q "'200'" <(python3 "$TEST_DIR/describe.py" 1 2>&1) && break; sleep 0.2; done
python3 "$TEST_DIR/describe.py" 3000 >"$TEST_DIR/flood.out" 2>&1
echo "flood: $(cat "$TEST_DIR/flood.out")"
# Each SETUP on a connection of its own: the connection's end is charged to whoever set it up.
timeout 200 python3 "$TEST_DIR/rtsp.py" setups 3000 >"$TEST_DIR/setups.out" 2>&1
echo "SETUPs: $(cat "$TEST_DIR/setups.out")"
wait_log "clients without credentials: " 30   # the count comes once the flood has been held back a while
wait_log "user viewer: " 30
curl -s "${B[@]}" --max-time 10 http://127.0.0.1/debuglog.txt >"$TEST_DIR/debuglog.txt"
echo "debuglog.txt: $(wc -c <"$TEST_DIR/debuglog.txt") bytes, $(grep -c 'session(s) ended' "$TEST_DIR/debuglog.txt") lines of connections closed with their session"
check "1,000 sessions of the user were played and ended" grep -qE "^1000 cycles .*'RTSP/1.0 200 OK': 1000" "$TEST_DIR/cycles.out"
check "3,000 anonymous DESCRIBEs were answered" grep -qE "^3000 DESCRIBEs .*'200': 3000" "$TEST_DIR/flood.out"
check "3,000 anonymous SETUPs were answered" grep -qE "^3000 SETUPs .*'RTSP/1.0 200 OK': 3000" "$TEST_DIR/setups.out"
check "they leave the Admin's creation in debuglog.txt" grep -qF "user keeper created" "$TEST_DIR/debuglog.txt"
check "what was held back from clients without credentials is counted" \
  grep -qE "clients without credentials: [0-9]+ lines held back" "$TEST_DIR/debuglog.txt"
check "what was held back from the user is counted" grep -qE "user viewer: [0-9]+ lines held back" "$TEST_DIR/debuglog.txt"


# Last, as their anonymous lines use up the log budget of clients without credentials that the
# checks above read: the device open again, RTSP still without authentication.
curl -s -o /dev/null "${B[@]}" -H "Referer: /x.htm" -d GuestPermission=5 http://127.0.0.1/controls
check "the guest is Admin again" [ "$(curl -sg "${B[@]}" http://127.0.0.1/GuestPermission)" = 5 ]
# Crowds of many addresses, each connection dialled again half a second after it is closed or
# refused: 256 addresses with an idle connection each (an OPTIONS, then silence), 64 with four
# players reading 512 bytes a second, 256 with two requests trickled a byte a second. Once the
# crowd's connections are old enough to give way, fresh players and page loads from other
# addresses are served within 2 s more than the longest of three of the same before any crowd.
# Beside the idle crowd, a viewer that paused on an address where two more players play, plays
# again 25 s later.
rtsp_base=$(fresh_baseline rtsp 127.0.0.50); page_base=$(fresh_baseline web 127.0.0.50)
echo "before the crowds: fresh RTSP player $rtsp_base s, page load $page_base s"
# The test camera's simple picture makes a stream of some 70 kbit/s: a player that reads 512
# bytes a second takes well under a tenth of it, as 2 KiB a second does of a camera's Mbit/s.
export CROWD_READ_RATE=512
for crowd in "idle 256 1 12" "trickle 64 4 22" "slowloris 256 2 12"; do
  read -r how addrs per settle <<<"$crowd"
  echo "RTSP crowd: $addrs addresses x $per $how connections"
  if [ "$how" = idle ]; then
    rm -f "$TEST_DIR/paused.ready"
    timeout 90 python3 "$(dirname "$K7160_TESTLIB")/server_fill.py" paused 127.0.0.60 25 "$TEST_DIR/paused.ready" \
      >"$TEST_DIR/paused.out" 2>&1 &
    paused=$!
    for _ in $(seq 1 300); do [ -e "$TEST_DIR/paused.ready" ] || ! kill -0 $paused 2>/dev/null && break; sleep 0.1; done
  fi
  crowd_start rtsp "$how" "$addrs" "$per" $((settle + 25)) "$settle"
  crowd_fresh "$addrs x $per $how RTSP connections" rtsp "$rtsp_base" 51
  crowd_fresh "$addrs x $per $how RTSP connections" web "$page_base" 54
  if [ "$how" = idle ]; then
    wait $paused
    out=$(cat "$TEST_DIR/paused.out"); echo "  the paused viewer: $out"
    check "a viewer paused on an address holding three connections plays again beside the crowd" \
      grep -qE 'first_packets=[1-9][0-9]* resumed=RTSP/1.0_200_OK after_packets=[1-9]' <<<"$out"
  fi
  crowd_end
done

stop_app
check "appliance exits cleanly" [ "${APP_STATUS:-1}" = 0 ]
finish
