#!/usr/bin/env bash
# The UDP/TCP stream senders judged from the receiving end: plain UDP transport stream in ffprobe
# and in whole packets, the counted and headed layouts field by field, TCP with one connection per
# start (ffmpeg listening plays it) and with a receiver that goes away, refusals ignored or not, a
# destination that never answers ARP, multicast RTP played from its RTSP session, and a changed
# port followed. Destinations are loopback, a group routed on lo, or a veth neighbour that does
# not exist.
source "$K7160_TESTLIB"

HTTP=http://127.0.0.1
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo
ip link add v0 type veth peer name v1
ip addr add 198.18.0.1/24 dev v0
ip link set v0 up
ip link set v1 up

post() { curl -s -o /dev/null -H "Referer: /x.htm" -d "$2" "$HTTP/$1"; }
status() { curl -sg "$HTTP/UDP[0].Status"; }
wait_status() {   # PATTERN SECONDS
  local i
  for i in $(seq 1 $(($2 * 10))); do status | grep -qE -- "$1" && return 0; sleep 0.1; done
  echo "status: $(status)"; return 1
}

# Receives datagrams on a port (or group) for a while and writes them, length-prefixed, to a file.
listen_udp() {   # PORT SECONDS FILE [GROUP]
  python3 - "$@" <<'PY'
import socket, struct, sys, time
port, secs, out = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
group = sys.argv[4] if len(sys.argv) > 4 else None
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
# Seconds of stream held while a busy machine keeps this reader waiting: no datagram is lost here.
s.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 8 << 20)
s.bind((group or "127.0.0.1", port))
if group:
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(group) + socket.inet_aton("127.0.0.1"))
s.settimeout(0.2)
end = time.time() + secs
with open(out, "wb") as f:
    while time.time() < end:
        try:
            d = s.recv(65536)
        except socket.timeout:
            continue
        f.write(struct.pack("<I", len(d)) + d)
PY
}

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
check "a sender that was never started reads Stopped" [ "$(status)" = "Stopped" ]

# Mode 0: channel A's transport stream as plain datagrams.
post streamA_controls "StreamMode=0"
post udpA_controls "Addr=127.0.0.1&Port=5000&StreamMode=0&StreamID=1&State=start"
check "mode 0 streams" wait_status "^Streaming UDP [0-9]+ bytes sent" 15
codecs=$(timeout 20 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "udp://127.0.0.1:5000?timeout=10000000" | sort | tr '\n' ' ')
echo "mode 0 codecs: $codecs"
check "ffprobe finds H.264 in the datagrams" grep -q h264 <<<"$codecs"
post udpA_controls "Port=5001"
sleep 2
listen_udp 5001 3 "$TEST_DIR/m0.bin"
check "mode 0: whole transport packets in each datagram, none lost between them" python3 - "$TEST_DIR/m0.bin" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read(); sizes = []; bad = []; cc = {}; jumps = 0
while d:
    n = struct.unpack("<I", d[:4])[0]; p = d[4:4 + n]; d = d[4 + n:]; sizes.append(n)
    if n % 188 or any(p[i] != 0x47 for i in range(0, n, 188)):
        bad.append(n)
        continue
    for i in range(0, n, 188):
        pid = (p[i + 1] & 0x1F) << 8 | p[i + 2]
        if pid == 0x1FFF or not p[i + 3] & 0x10:
            continue
        c = p[i + 3] & 0x0F
        if pid in cc and c != (cc[pid] + 1) & 0x0F:
            jumps += 1
        cc[pid] = c
print("mode 0: %d datagrams, largest %d, %d not whole packets (sizes %s), %d continuity jumps"
      % (len(sizes), max(sizes or [0]), len(bad), bad[:5], jumps))
# UDPPacketSize 1460 leaves 1432 bytes: seven packets.
sys.exit(0 if len(sizes) > 50 and not bad and max(sizes) == 1316 and not jumps else 1)
PY

# Mode 1 on the elementary stream: a two-byte counter, the same on every packet of a frame,
# one up from frame to frame.
post streamA_controls "StreamMode=2"
post udpA_controls "Port=5002&StreamMode=1"
sleep 2
# Windows long enough for the pictures counted below at a busy machine's lower rate.
listen_udp 5002 8 "$TEST_DIR/m1.bin"
check "mode 1 counters" python3 - "$TEST_DIR/m1.bin" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read(); pk = []
while d:
    n = struct.unpack("<I", d[:4])[0]; pk.append(d[4:4 + n]); d = d[4 + n:]
counters = [struct.unpack("<H", p[:2])[0] for p in pk]
frames = []
for c in counters:
    if not frames or frames[-1] != c: frames.append(c)
steps = set((b - a) & 0xffff for a, b in zip(frames, frames[1:]))
starts = sum(1 for p in pk if p[2:6] == b"\0\0\0\1")
print("mode 1: %d packets, %d frames, steps %s, largest %d" % (len(pk), len(frames), steps, max(len(p) for p in pk)))
# The listener may join in the middle of the first frame.
sys.exit(0 if len(frames) > 60 and steps == {1} and max(len(p) for p in pk) <= 1432 and starts >= len(frames) - 1 else 1)
PY

# Mode 2: frame headers, picture info and, with the PCM queue, audio summaries.
post udpA_controls "Port=5003&StreamMode=2"
sleep 2
listen_udp 5003 8 "$TEST_DIR/m2.bin"
check "mode 2 headers and picture info" python3 - "$TEST_DIR/m2.bin" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read(); pk = []
while d:
    n = struct.unpack("<I", d[:4])[0]; pk.append(d[4:4 + n]); d = d[4 + n:]
video = [p for p in pk if p[1] == 0]
summ = [p for p in pk if p[1] == 1]
errors = []; frames = 0; cur = None; last_time = None; times = []
for p in video:
    idx, counter, total = p[4], struct.unpack("<I", p[8:12])[0], struct.unpack("<I", p[12:16])[0]
    if idx == 1:
        if cur and not cur["done"]: errors.append("frame %d not finished" % cur["counter"])
        pi = p[16:60]
        if pi[:8] != b"\0\0\1\xb2\1\0\0\1" or pi[16:20] != b"\x0c\1\0\3": errors.append("picture info fixed bytes")
        if struct.unpack("<I", pi[8:12])[0] != total - 12: errors.append("picture info length")
        if struct.unpack("<I", pi[20:24])[0] != counter: errors.append("picture info counter")
        if pi[24] != 64 or pi[25] != 9 or pi[27] != 30: errors.append("resolution/rate %d %d %d" % (pi[24], pi[25], pi[27]))
        sec, usec = struct.unpack("<I", pi[12:16])[0], struct.unpack("<I", pi[32:36])[0]
        if struct.unpack("<I", pi[28:32])[0] != sec or usec % 10000 or usec >= 1000000: errors.append("time fields")
        t = sec + usec / 1e6
        # Forward, under 2 s: a busy machine's capture skips pictures, which lengthens some steps.
        if last_time is not None and not (0 <= t - last_time < 2): errors.append("time step %.3f" % (t - last_time))
        last_time = t
        times.append(t)
        cur = {"counter": counter, "got": len(p) - 60, "total": total - 44, "idx": 1, "done": p[2] == 1}
        frames += 1
    else:
        if cur is None: continue
        if counter != cur["counter"] or idx != (cur["idx"] + 1) % 256: errors.append("packet order")
        cur["idx"] = idx; cur["got"] += len(p) - 16; cur["done"] = p[2] == 1
    if len(p) > 1472: errors.append("packet of %d bytes" % len(p))
    if cur and cur["done"] and cur["got"] != cur["total"]: errors.append("frame %d: %d of %d bytes" % (cur["counter"], cur["got"], cur["total"]))
steps = sorted(b - a for a, b in zip(times, times[1:]))
# Most steps a picture's time, and the times span no more than the 8 s heard.
if steps and not (steps[len(steps) // 2] < 0.2 and times[-1] - times[0] < 9): errors.append("times %s" % steps[-5:])
for p in summ:
    if len(p) != 1068 or struct.unpack("<I", p[12:16])[0] != 1052 or p[20:24] != b"\2\0\0\1": errors.append("summary layout")
print("mode 2: %d frames, %d summaries, %d errors %s" % (frames, len(summ), len(errors), errors[:5]))
sys.exit(0 if frames > 60 and not errors else 1)
PY

# Mode 2 from UDP[0] sending channel B's stream: the picture info still names channel A's size.
post streamB_controls "StreamMode=2&Resolution=352x240"
post udpA_controls "Port=5007&StreamID=2"
sleep 2
listen_udp 5007 8 "$TEST_DIR/m2b.bin"
check "mode 2 of stream 2 on UDP[0]: picture info byte 24 is the code of channel A" python3 - "$TEST_DIR/m2b.bin" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read(); codes = []
while d:
    n = struct.unpack("<I", d[:4])[0]; p = d[4:4 + n]; d = d[4 + n:]
    if p[1] == 0 and p[4] == 1 and len(p) >= 60: codes.append(p[16 + 24])
print("stream 2 on UDP[0]: %d frames, resolution codes %s" % (len(codes), sorted(set(codes))))
sys.exit(0 if len(codes) > 30 and set(codes) == {64} else 1)
PY
post udpA_controls "StreamID=1"

# Mode 4: TCP to a receiver that reads a little and goes away mid-frame.
post udpA_controls "Port=5004&StreamMode=4"
python3 - <<'PY' &
import socket
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind(("127.0.0.1", 5004)); l.listen(1); l.settimeout(15)
c, _ = l.accept(); got = 0
while got < 200000:
    d = c.recv(65536)
    if not d: break
    got += len(d)
open("/dev/stderr", "w").write("tcp receiver got %d bytes\n" % got)
c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
c.close()
PY
tcp=$!
check "mode 4 streams over TCP" wait_status "^Streaming TCP [0-9]+ bytes sent" 15
wait $tcp
check "a receiver gone mid-frame ends the connection with the write error" wait_status "\(write\)|\(connect\)|Connecting" 10
check "the appliance is still serving" [ -n "$(curl -sg "$HTTP/UDP[0].StreamMode")" ]

# A start posted with a changed setting (the setting is committed after the start): one
# connection per start. Whether a second one came depends on when the sender's thread runs, so
# several starts are counted.
post udpA_controls "State=stop"
wait_status "^Stopped" 15
python3 - "$TEST_DIR/tcp.done" >"$TEST_DIR/tcp.out" <<'PY' &
import os, socket, sys, time
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind(("127.0.0.1", 5009)); l.listen(16); l.settimeout(0.2)
print("ready", flush=True)
# Bounded by the script's end, not by a time a busy machine may need for eight starts; what
# waits to be accepted at the end is counted too.
conns, end = [], time.time() + 600
while time.time() < end and not os.path.exists(sys.argv[1]):
    try:
        conns.append(l.accept()[0])
    except socket.timeout:
        pass
l.settimeout(0)
try:
    while True:
        conns.append(l.accept()[0])
except OSError:
    pass
print("tcp receiver: %d connections" % len(conns), flush=True)
PY
tcp=$!
for _ in $(seq 1 50); do grep -q ready "$TEST_DIR/tcp.out" && break; sleep 0.1; done
starts=0
from_line=$(($(wc -l <"$LOG") + 1))
# Each start and stop is waited for in the sender's own log: the status reads "Stopped" as soon as
# a stop is asked, and a start asked before the sender took that stop shows the last
# connection's "Streaming TCP" until it does. A stop posted then would undo the start unseen.
log_count() { grep -caF -- "$1" "$LOG"; }
wait_more() {   # TEXT COUNT SECONDS: until more than COUNT lines hold TEXT
  local i
  for i in $(seq 1 $(($3 * 10))); do [ "$(log_count "$1")" -gt "$2" ] && return 0; sleep 0.1; done
  echo "no new \"$1\" within $3 s"; return 1
}
# The changed setting is one TCP does not use, so that a start taken before its commit would
# connect to the receiver too.
post udpA_controls "Port=5009&StreamMode=4"
for i in 1 2 3 4 5 6 7 8; do
  post udpA_controls "RetryTimeout=$((i * 1000))"
  began=$(log_count "udpA starting, mode 4")
  post udpA_controls "RetryTimeout=$((i * 1000 + 500))&State=start"
  starts=$((starts + 1))
  wait_more "udpA starting, mode 4" "$began" 20
  ended=$(log_count "udpA: stopped")
  post udpA_controls "State=stop"
  wait_more "udpA: stopped" "$ended" 20
done
touch "$TEST_DIR/tcp.done"
wait $tcp
cat "$TEST_DIR/tcp.out"
# What the sender said meanwhile, for a count that is off.
grep -qx "tcp receiver: $starts connections" "$TEST_DIR/tcp.out" || tail -n +"$from_line" "$LOG" | grep -aE 'udpA|connect|TCP'
check "one connection per start ($starts starts)" grep -qx "tcp receiver: $starts connections" "$TEST_DIR/tcp.out"
# ffmpeg listening plays the first connection it gets.
ff_clean() { [ "$ff_rc" = 0 ] && [ ! -s "$TEST_DIR/fflisten.err" ]; }
for i in 1 2 3; do
  post udpA_controls "Port=5000"
  timeout 40 ffmpeg -v error -i "tcp://127.0.0.1:5008?listen&listen_timeout=20000" -t 2 -f null - \
    2>"$TEST_DIR/fflisten.err" &
  ff=$!
  for _ in $(seq 1 50); do ss -ltn | grep -q ':5008 ' && break; sleep 0.1; done
  post udpA_controls "Port=5008&State=start"
  wait $ff; ff_rc=$?
  head -n 3 "$TEST_DIR/fflisten.err"
  post udpA_controls "State=stop"
  wait_status "^Stopped" 10
  ff_clean || break
done
check "ffmpeg listening on TCP plays the stream on the first try, three times (exit $ff_rc)" ff_clean

# Nobody on the port, no retry time-out: refusals are ignored and the sender streams on.
post udpA_controls "Port=5005&StreamMode=0&RetryTimeout=0&State=start"
check "refusals ignored without a retry time-out" wait_status "^Streaming UDP" 10
b1=$(status | grep -oE '[0-9]+'); sleep 2; b2=$(status | grep -oE '[0-9]+')
check "bytes keep counting with nobody listening" [ "${b2:-0}" -gt "${b1:-0}" ]

# A destination that never answers ARP, with a retry time-out of 2 s: host time-out, stopped.
t0=$(date +%s)
post udpA_controls "Addr=198.18.0.2&Port=5006&RetryTimeout=2"
check "host time-out logged" wait_log "udpA: destination host timeout" 15
t1=$(date +%s)
check "after about the retry time-out" [ $((t1 - t0)) -ge 2 ]
sleep 1
check "the sender stays stopped" [ "$(status)" = "Stopped" ]

# Mode 3: multicast RTP to a group routed on lo, played from its RTSP session.
post udpA_controls "Addr=239.255.7.7&Port=5010&StreamMode=3&RetryTimeout=0&State=start"
check "multicast status" wait_status "^Streaming Multicast RTP" 15
check "multicast started" wait_log "multicast rstp streaming 0 started" 15
sdp=$(python3 - <<'PY'
import socket
s = socket.create_connection(("127.0.0.1", 8554), timeout=10)
s.sendall(b"DESCRIBE rtsp://127.0.0.1:8554/multicastA.h264_aac RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n")
d = b""
while b"\r\n\r\n" not in d or len(d.split(b"\r\n\r\n", 1)[1]) < int([l for l in d.split(b"\r\n") if l.lower().startswith(b"content-length")][0].split(b":")[1]):
    c = s.recv(4096)
    if not c: break
    d += c
print(d.split(b"\r\n\r\n", 1)[1].decode())
PY
)
echo "$sdp"
check "SDP: video on 5010, payload 96" grep -q "^m=video 5010 RTP/AVP 96" <<<"$sdp"
check "SDP: audio on 5012, payload 111" grep -q "^m=audio 5012 RTP/AVP 111" <<<"$sdp"
check "SDP: the group with TTL 255" grep -q "^c=IN IP4 239.255.7.7/255" <<<"$sdp"
# 40 pictures, however long a busy machine takes to encode them; a bound one meets.
timeout 60 ffmpeg -v error -rtsp_transport udp_multicast -i rtsp://127.0.0.1:8554/multicastA.h264 -frames:v 40 \
  -f framemd5 "$TEST_DIR/mc.md5" 2>"$TEST_DIR/mc.err"
mcframes=$(grep -c '^0,' "$TEST_DIR/mc.md5"); echo "multicast frames=$mcframes"; head -5 "$TEST_DIR/mc.err"
check "ffmpeg decodes the multicast video" [ "$mcframes" -ge 40 ]
# A new port restarts the multicast toward it.
post udpA_controls "Port=5020"
check "the changed port restarts the multicast" wait_log "ports 5020 5021 5022 5023" 10
listen_udp 5020 2 "$TEST_DIR/moved.bin" 239.255.7.7
check "packets reach the new port" [ -s "$TEST_DIR/moved.bin" ]
check "still streaming after the restart" [ "$(status)" = "Streaming Multicast RTP" ]
post udpA_controls "State=stop"
check "multicast finished on stop" wait_log "multicast rstp streaming 0 finished" 15
sleep 0.5
listen_udp 5020 2 "$TEST_DIR/after.bin" 239.255.7.7
check "nothing on the group after the stop" [ ! -s "$TEST_DIR/after.bin" ]

# Odd settings: a unicast address in mode 3 is reported and run all the same; the last port
# wraps its companions to 0 and 1.
post udpA_controls "Addr=127.0.0.1&Port=65535&StreamMode=3&State=start"
check "a unicast address in mode 3 is reported" wait_status "^Invalid Multicast Address 127.0.0.1" 10
check "and run anyway" wait_log "ports 65535 0 1 2" 10
post udpA_controls "State=stop"
check "stopped again" wait_status "^Stopped" 15

# UDPPacketSize 1 leaves no payload: mode 1 falls back to the default.
post controls "UDPPacketSize=1"
post udpA_controls "Addr=127.0.0.1&Port=5030&StreamMode=1&State=start"
sleep 2
listen_udp 5030 6 "$TEST_DIR/small.bin"
check "a packet size of 1 gives default-sized datagrams" python3 - "$TEST_DIR/small.bin" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read(); sizes = []
while d:
    n = struct.unpack("<I", d[:4])[0]; sizes.append(n); d = d[4 + n:]
print("packet size 1: %d datagrams, largest %d" % (len(sizes), max(sizes or [0])))
sys.exit(0 if sizes and max(sizes) == 1400 else 1)
PY
post controls "UDPPacketSize=1460"

# A TCP receiver that accepts and never reads: a stop is honoured within seconds. The receiver
# holds on for a minute, so a sender stuck in its write would be stopped by nothing sooner.
python3 - <<'PY' &
import socket, time
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
l.bind(("127.0.0.1", 5040)); l.listen(1); l.settimeout(30)
c, _ = l.accept(); time.sleep(60)
PY
stall=$!
post udpA_controls "Port=5040&StreamMode=4"
check "TCP to a receiver that never reads" wait_status "^Streaming TCP" 15
sleep 1
stops=$(grep -c "udpA: stopped" "$LOG")
t0=$(date +%s%N)
post udpA_controls "State=stop"
for _ in $(seq 1 150); do [ "$(grep -c "udpA: stopped" "$LOG")" -gt "$stops" ] && break; sleep 0.1; done
t1=$(date +%s%N)
echo "stop took $(((t1 - t0) / 1000000)) ms"
check "stop honoured within seconds, not held by the receiver" [ $(((t1 - t0) / 1000000)) -le 8000 ]
kill $stall 2>/dev/null; wait $stall 2>/dev/null

stop_app
check "shutdown in order" [ "$APP_STATUS" = 0 ]
finish
