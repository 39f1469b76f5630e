#!/usr/bin/env bash
# Received streams shown on the video output, sent by ffmpeg: H.264 in transport stream over
# UDP (the dumped picture against ffmpeg's own decode), over TCP, to a multicast group, from
# one sender only; H.264, MPEG-4 and JPEG elementary streams; MP4 from our own writer over TCP;
# MPEG-2 refused; an invalid format; three TCP senders in a row, the first silent; a new port
# followed; the return to idle without a failed copy set-up; senders of bad TS and MP4 that stop
# nobody but themselves.
source "$K7160_TESTLIB"

HTTP=http://127.0.0.1
PORT=5600
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo
ip addr add 127.0.0.2/8 dev lo 2>/dev/null
ip addr add 127.0.0.3/8 dev lo 2>/dev/null

post() { curl -s -o /dev/null -H "Referer: /x.htm" -d "$2" "$HTTP/$1"; }
status() { curl -sg "$HTTP/Display.Status"; }
wait_status() {   # PATTERN SECONDS
  local i
  for i in $(seq 1 $(($2 * 10))); do status | grep -qE -- "$1" && return 0; sleep 0.1; done
  echo "status: $(status)"; return 1
}
frames() { status | sed -nE 's/^([0-9]+) frames decoded.*/\1/p'; }
# rising: the decoded-frame count grows (read twice, a second apart).
rising() {
  local a b
  a=$(frames); sleep 1.5; b=$(frames)
  echo "frames decoded: ${a:-none} then ${b:-none}"
  [ -n "$a" ] && [ -n "$b" ] && [ "$b" -gt "$a" ]
}
count_log() { grep -cF -- "$1" "$LOG" 2>/dev/null; }
wait_count() {   # TEXT N SECONDS: more than N lines hold TEXT
  local i
  for i in $(seq 1 $(($3 * 10))); do [ "$(count_log "$1")" -gt "$2" ] && return 0; sleep 0.1; done
  return 1
}
dump() {
  local i
  touch "$BOARD/video/display_dump"
  for i in $(seq 1 50); do [ -e "$BOARD/video/display_dump" ] || break; sleep 0.1; done
  cp "$BOARD/video/display_frame.raw" "$TEST_DIR/$1.raw" && cp "$BOARD/video/display_frame.txt" "$TEST_DIR/$1.txt"
}
# matches NAME REF W H FMT: the picture centred in the dumped frame against ffmpeg's decode
# (REF: raw frame in FMT, nv12 or uyvy422); 95% of the luma samples within 10 levels.
matches() {
  python3 - "$TEST_DIR/$1" "$2" "$3" "$4" "$5" <<'PY'
import sys
base, ref, pw, ph, fmt = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
w, h, line, cc = open(base + ".txt").read().split()[:4]
w, h, line = int(w), int(h), int(line)
raw = open(base + ".raw", "rb").read()
r = open(ref, "rb").read()
x0, y0 = ((w - pw) // 2) & ~1, ((h - ph) // 2) & ~1
def luma(buf, x, y, stride, packed):
    return buf[y * stride + 2 * x + 1] if packed else buf[y * stride + x]
packed_out = cc == "UYVY"
packed_ref = fmt == "uyvy422"
good = total = 0
for y in range(4, ph - 4, 3):
    for x in range(4, pw - 4, 3):
        a = luma(raw, x0 + x, y0 + y, line, packed_out)
        b = luma(r, x, y, pw * (2 if packed_ref else 1), packed_ref)
        total += 1
        good += abs(a - b) <= 10
share = good / total
print("frame %s (%s %dx%d): %.1f%% of luma samples within 10 of ffmpeg's decode" % (base, cc, w, h, 100 * share))
sys.exit(0 if share >= 0.95 else 1)
PY
}
SENDER=""
# 90 s: the checks while it sends take a busy machine longer; stop_send ends it sooner.
send() {   # ffmpeg output arguments: loops the input for at most 90 s in the background
  stop_send
  timeout 90 ffmpeg -nostdin -loglevel error -re -stream_loop -1 "$@" >/dev/null 2>&1 &
  SENDER=$!
}
stop_send() { [ -n "$SENDER" ] && { kill "$SENDER" 2>/dev/null; while kill -0 "$SENDER" 2>/dev/null; do sleep 0.1; done; }; SENDER=""; }
# start_output FORMAT URL: sets the input and starts stream 3 afresh.
start_output() {
  post display_controls "State=stop"
  post display_controls "UDPPort=$PORT&StreamFormat=$1&URL=$2"
  post display_controls "State=start"
  sleep 1.5   # the settings commit restarts the stream once more
}

# Inputs: a still picture (colour bars) so that any decoded frame is the reference frame.
SRC="-f lavfi -i smptebars=size=352x288:rate=25 -t 4"
X264="-c:v libx264 -bf 0 -g 25 -pix_fmt yuv420p -preset veryfast"
ffmpeg -nostdin -loglevel error $SRC $X264 -f mpegts "$TEST_DIR/h264.ts" || fail "making h264.ts"
ffmpeg -nostdin -loglevel error $SRC $X264 -f h264 "$TEST_DIR/h264.264" || fail "making h264.264"
ffmpeg -nostdin -loglevel error $SRC -c:v mpeg4 -bf 0 -g 25 -q:v 3 -f m4v "$TEST_DIR/mpeg4.m4v" || fail "making mpeg4.m4v"
ffmpeg -nostdin -loglevel error $SRC -c:v mjpeg -q:v 3 -pix_fmt yuvj422p -f mjpeg "$TEST_DIR/image.mjpeg" || fail "making image.mjpeg"
ffmpeg -nostdin -loglevel error $SRC -c:v mpeg2video -bf 0 -f mpegts "$TEST_DIR/mpeg2.ts" || fail "making mpeg2.ts"
ffmpeg -nostdin -loglevel error -i "$TEST_DIR/h264.ts" -frames:v 1 -f rawvideo -pix_fmt nv12 "$TEST_DIR/h264.nv12"
ffmpeg -nostdin -loglevel error -i "$TEST_DIR/mpeg4.m4v" -frames:v 1 -f rawvideo -pix_fmt nv12 "$TEST_DIR/mpeg4.nv12"
ffmpeg -nostdin -loglevel error -i "$TEST_DIR/image.mjpeg" -frames:v 1 -f rawvideo -pix_fmt uyvy422 "$TEST_DIR/image.uyvy"

start_app || finish
wait_log "display streamon" 20 || { fail "the output did not start"; finish; }
for _ in $(seq 1 100); do [ -n "$(status)" ] && break; sleep 0.1; done   # the web server answers
check "stream 3 reads Stopped before a start" [ "$(status)" = "Stopped" ]

# The video decoder chip's registers through DebugData (addresses up to 0xffff).
curl -s -o /dev/null -H "Referer: /x.htm" --data-urlencode "DebugAddr=0x0a" "$HTTP/controls"
curl -s -o /dev/null -H "Referer: /x.htm" --data-urlencode "DebugData=0x5a" "$HTTP/controls"
check "DebugData writes and reads a decoder-chip register" [ "$(curl -sg "$HTTP/DebugData")" = 0x0000005a ]

# H.264 in transport stream over UDP.
start_output 1 udp
check "UDP: listening" wait_status "^Listening\.\.\. UDP \(low-latency\)$" 10
send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "udp://127.0.0.1:$PORT?pkt_size=1316"
check "UDP TS: frames decoded" wait_status "^[1-9][0-9]* frames decoded, [0-9]+ bytes received from 127\.0\.0\.1$" 15
check "UDP TS: the count rises" rising
dump udp
check "UDP TS: the shown picture is ffmpeg's decode" matches udp "$TEST_DIR/h264.nv12" 352 288 nv12
stop_send

# A format with audio but a stream without: pictures are shown, not held for an audio clock
# that never starts.
start_output 0 udp
send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "udp://127.0.0.1:$PORT?pkt_size=1316"
check "no audio: frames decoded" wait_status "^[1-9][0-9]* frames decoded" 15
check "no audio: the count rises" rising
sleep 0.5; dump noaudio
check "no audio: the picture is shown" matches noaudio "$TEST_DIR/h264.nv12" 352 288 nv12
stop_send

# The same over TCP; the status names the peer.
start_output 1 tcp
check "TCP: listening" wait_status "^Listening\.\.\. TCP $" 10
send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "tcp://127.0.0.1:$PORT"
check "TCP: accepted, the peer named" wait_log "Output TCP accepted connection from 127.0.0.1" 10
check "TCP: the status names the peer" wait_status "^[0-9]+ frames decoded, [0-9]+ bytes received from 127\.0\.0\.1$" 10
check "TCP TS: the count rises" rising
dump tcp
check "TCP TS: the shown picture is ffmpeg's decode" matches tcp "$TEST_DIR/h264.nv12" 352 288 nv12
stop_send

# Three TCP senders in a row, the first silent: it is dropped after a second, and the two
# after it are accepted and decoded.
python3 - "$PORT" <<'PY' &
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
time.sleep(6)
PY
SILENT=$!
check "silent sender: dropped after a second" wait_log "closing stream rc=0 timeout=1000 revents=0x0" 10
check "silent sender: listening again" wait_status "^Listening\.\.\. TCP" 10
for n in 2 3; do
  accepted=$(count_log "Output TCP accepted connection")
  decoded=$(count_log "dim 352x288")
  send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "tcp://127.0.0.1:$PORT"
  check "sender $n after the silent one: accepted" wait_count "Output TCP accepted connection" "$accepted" 10
  check "sender $n after the silent one: decoded" wait_count "dim 352x288" "$decoded" 15
  check "sender $n after the silent one: the status counts its frames" wait_status "^[1-9][0-9]* frames decoded" 10
  stop_send
  check "sender $n gone: listening again" wait_status "^Listening\.\.\. TCP" 10
done
kill "$SILENT" 2>/dev/null

# A new port on a TCP input: the status and the socket follow it.
PORT=5601
post display_controls "UDPPort=$PORT"
# The old port's status reads the same, so wait for the new port itself to listen.
listening_on() {
  local i
  for i in $(seq 1 "$2"0); do
    [ -n "$(ss -Hltn "sport = :$1")" ] && return 0
    sleep 0.1
  done
  return 1
}
check "new port: a socket listens on it" listening_on "$PORT" 10
check "new port: listening" wait_status "^Listening\.\.\. TCP" 10
accepted=$(count_log "Output TCP accepted connection")
send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "tcp://127.0.0.1:$PORT"
check "new port: the sender is accepted" wait_count "Output TCP accepted connection" "$accepted" 10
check "new port: frames decoded" wait_status "^[1-9][0-9]* frames decoded" 15
stop_send
check "back to idle after the streams: the idle picture's copy is set up" [ "$(count_log "Failed to configure framecopy")" = 0 ]
PORT=5600

# A multicast group on lo.
start_output 1 239.1.2.3
send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "udp://239.1.2.3:$PORT?pkt_size=1316&localaddr=127.0.0.1&ttl=1"
check "multicast: frames decoded" wait_status "^[1-9][0-9]* frames decoded" 15
check "multicast: the count rises" rising
stop_send

# A source filter: datagrams from another sender are not taken.
start_output 1 127.0.0.2
send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "udp://127.0.0.1:$PORT?pkt_size=1316&localaddr=127.0.0.3"
sleep 3
check "source filter: another sender's datagrams are not kept" wait_status "^(Listening\.\.\. UDP|0 frames decoded, 0 bytes received)" 2
send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "udp://127.0.0.1:$PORT?pkt_size=1316&localaddr=127.0.0.2"
check "source filter: the named sender is decoded" wait_status "^[1-9][0-9]* frames decoded, [0-9]+ bytes received from 127\.0\.0\.2$" 15
stop_send

# Elementary streams over TCP.
start_output 2 tcp
send -i "$TEST_DIR/h264.264" -c copy -f h264 "tcp://127.0.0.1:$PORT"
check "H.264 ES: frames decoded" wait_status "^[1-9][0-9]* frames decoded" 15
check "H.264 ES: the count rises" rising
dump h264es
check "H.264 ES: the shown picture is ffmpeg's decode" matches h264es "$TEST_DIR/h264.nv12" 352 288 nv12
stop_send

start_output 10 tcp
send -i "$TEST_DIR/mpeg4.m4v" -c copy -f m4v "tcp://127.0.0.1:$PORT"
check "MPEG-4 ES: frames decoded" wait_status "^[1-9][0-9]* frames decoded" 15
check "MPEG-4 ES: the count rises" rising
dump mpeg4es
check "MPEG-4 ES: the shown picture is ffmpeg's decode" matches mpeg4es "$TEST_DIR/mpeg4.nv12" 352 288 nv12
stop_send

start_output 3 tcp
send -i "$TEST_DIR/image.mjpeg" -c copy -f mjpeg "tcp://127.0.0.1:$PORT"
check "JPEG: frames decoded" wait_status "^[1-9][0-9]* frames decoded" 15
check "JPEG: the count rises" rising
dump jpeg
check "JPEG: the shown picture is ffmpeg's decode" matches jpeg "$TEST_DIR/image.uyvy" 352 288 uyvy422
stop_send

# MPEG-2 video in a transport stream: refused, and the stream stops.
start_output 1 udp
send -i "$TEST_DIR/mpeg2.ts" -c copy -f mpegts "udp://127.0.0.1:$PORT?pkt_size=1316"
check "MPEG-2: the decoder is refused by name" wait_log "failed to create video decoder mpeg2dec" 15
check "MPEG-2: the stream stops" wait_status "^Stopped$" 10
stop_send

# A format that cannot be shown: nothing is decoded and the stream reads stopped.
before=$(count_log "dim 352x288")
start_output 4 udp
send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "udp://127.0.0.1:$PORT?pkt_size=1316"
check "invalid format: refused" wait_log "invalid format" 10
check "invalid format: stopped" wait_status "^Stopped$" 10
sleep 1
check "invalid format: nothing decoded" [ "$(count_log "dim 352x288")" = "$before" ]
stop_send

# A sender of bad data ends its own connection only. mutate SRC OUT WHAT SIZE: the first top-level
# MP4 box of type WHAT given SIZE; WHAT "ts": the first four bytes after the header of every
# packet that starts a table or PES (PAT, PMT, video) set to SIZE.
mutate() {
  python3 - "$@" <<'PY'
import struct, sys
src, out, what, size = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
d = bytearray(open(src, "rb").read())
hit = 0
if what == "ts":
    for pos in range(0, len(d) - 188 + 1, 188):
        if d[pos] == 0x47 and d[pos + 1] & 0x40 and not d[pos + 3] & 0x20:
            struct.pack_into(">I", d, pos + 4, size)
            hit += 1
else:
    pos = 0
    while pos + 8 <= len(d) and not hit:
        n, t = struct.unpack(">I4s", d[pos:pos + 8])
        if t == what.encode():
            struct.pack_into(">I", d, pos, size)
            hit = 1
        pos += n if n >= 8 else len(d)
open(out, "wb").write(d)
sys.exit(0 if hit else "nothing of %s in %s" % (what, src))
PY
}
# tcp_send FILE / udp_send FILE: the file whole over one connection, closed after; or in datagrams
# of seven packets.
tcp_send() {
  python3 - "$PORT" "$1" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
try:
    s.sendall(open(sys.argv[2], "rb").read())
except OSError:
    pass   # an input that ended this sender early may have reset it
s.close()
PY
}
udp_send() {
  python3 - "$PORT" "$1" <<'PY'
import socket, sys, time
d = open(sys.argv[2], "rb").read()
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i in range(0, len(d), 1316):
    s.sendto(d[i:i + 1316], ("127.0.0.1", int(sys.argv[1])))
    time.sleep(0.001)
PY
}
# A TCP sender's end, at once or after its last bytes were read.
senders_ended() { echo $(($(count_log "closing stream rc=") + $(count_log "Output TCP sender 127.0.0.1 ended: "))); }
wait_senders_ended() {   # N SECONDS
  local i
  for i in $(seq 1 $(($2 * 10))); do [ "$(senders_ended)" -gt "$1" ] && return 0; sleep 0.1; done
  return 1
}
not_stopped() { [ "$(status)" != Stopped ] || { echo "status: Stopped"; return 1; }; }

# TS over TCP and UDP with those fields at 0 and 7: the input goes on, and a good sender after is
# decoded.
start_output 1 tcp
for size in 0 7; do
  mutate "$TEST_DIR/h264.ts" "$TEST_DIR/bad.ts" ts "$size" || fail "making bad.ts"
  wait_status "^Listening\.\.\. TCP" 10
  before=$(senders_ended)
  tcp_send "$TEST_DIR/bad.ts"
  check "TS over TCP, fields of $size: the connection ends" wait_senders_ended "$before" 10
  check "TS over TCP, fields of $size: listening again" wait_status "^Listening\.\.\. TCP" 10
done
send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "tcp://127.0.0.1:$PORT"
check "TS over TCP after the bad senders: frames decoded" wait_status "^[1-9][0-9]* frames decoded" 15
stop_send
start_output 1 udp
for size in 0 7; do
  mutate "$TEST_DIR/h264.ts" "$TEST_DIR/bad.ts" ts "$size" || fail "making bad.ts"
  udp_send "$TEST_DIR/bad.ts"
  sleep 1
  check "TS over UDP, fields of $size: the input is not stopped" not_stopped
done
send -i "$TEST_DIR/h264.ts" -c copy -f mpegts "udp://127.0.0.1:$PORT?pkt_size=1316"
check "TS over UDP after the bad datagrams: frames decoded" wait_status "^[1-9][0-9]* frames decoded" 15
check "TS over UDP after the bad datagrams: the count rises" rising
stop_send

# MP4 over TCP, init movie first and one sample per fragment.
ffmpeg -nostdin -loglevel error -i "$TEST_DIR/h264.ts" -c copy -movflags empty_moov+frag_every_frame+default_base_moof \
  -f mp4 "$TEST_DIR/frag.mp4" || fail "making frag.mp4"
start_output 14 tcp
send -i "$TEST_DIR/frag.mp4" -c copy -movflags empty_moov+frag_every_frame+default_base_moof -f mp4 "tcp://127.0.0.1:$PORT"
check "MP4: the video track is found" wait_log "mp4 video format h264dec" 20
check "MP4: frames decoded" wait_status "^[1-9][0-9]* frames decoded" 15
check "MP4: the count rises" rising
dump mp4
check "MP4: the shown picture is ffmpeg's decode" matches mp4 "$TEST_DIR/h264.nv12" 352 288 nv12
stop_send

# MP4 senders whose ftyp, moov, moof or mdat has size 0 (the box runs to the end of what was
# sent) or 7 (bad input): each ends its own connection with the reason logged, and the input
# waits for the next sender; Display.State is left alone throughout.
for box in ftyp moov moof mdat; do
  for size in 0 7; do
    mutate "$TEST_DIR/frag.mp4" "$TEST_DIR/bad.mp4" "$box" "$size" || fail "making bad.mp4"
    check "MP4 $box of size $size: listening before it" wait_status "^Listening\.\.\. TCP" 10
    ended=$(count_log "Output TCP sender 127.0.0.1 ended: ")
    tcp_send "$TEST_DIR/bad.mp4"
    check "MP4 $box of size $size: its connection ended with the reason logged" \
      wait_count "Output TCP sender 127.0.0.1 ended: " "$ended" 10
    check "MP4 $box of size $size: listening again" wait_status "^Listening\.\.\. TCP" 10
  done
done
decoded=$(count_log "dim 352x288")
send -i "$TEST_DIR/frag.mp4" -c copy -movflags empty_moov+frag_every_frame+default_base_moof -f mp4 "tcp://127.0.0.1:$PORT"
check "MP4 after the bad senders: decoded" wait_count "dim 352x288" "$decoded" 15
check "MP4 after the bad senders: the count rises" rising
stop_send

stop_app
check "appliance exits cleanly" [ "${APP_STATUS:-1}" = 0 ]
finish
