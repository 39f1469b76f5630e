#!/usr/bin/env bash
# Hostile RTMP clients: 1,100 idle connections from one address (handshake and "connect", never
# "play") against an appliance with 1024 descriptors leave the web server, RTSP and a new RTMP
# player from another address answered within 2 s, hold a bounded number of sessions, are
# closed when they never play, and keep the log small; a player that joins just as the
# channel's last player leaves plays like any other.
source "$K7160_TESTLIB"

E2E=$(dirname "$K7160_TESTLIB")
ip addr add 127.0.0.2/32 dev lo 2>/dev/null
soft=$(ulimit -Sn)
ulimit -Sn 1024
start_app || finish
ulimit -Sn "$soft"
check "the appliance has 1024 descriptors" grep -qE '^Max open files +1024 ' "/proc/$APP_PID/limits"
wait_log "RTMP server listening on port 1935" 20 || { fail "RTMP listener did not start"; finish; }
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }

# Seconds (with fractions) a command takes; its output goes to OUT.
timed() {   # OUT COMMAND...
  local out=$1 t0; shift
  t0=$(date +%s.%N)
  "$@" >"$out" 2>&1
  echo "$(date +%s.%N) - $t0" | bc
}
within2() { [ "$(echo "$1 < 2" | bc)" = 1 ]; }
# Handshake, "connect" and its answer from a second address, in Python's own sockets.
rtmp_answer() {
  python3 - "$E2E" <<'PY'
import socket, sys
sys.path.insert(0, sys.argv[1])
import rtmp_client as rc
s = socket.socket(); s.bind(("127.0.0.2", 0)); s.settimeout(2)
s.connect((rc.HOST, rc.PORT))
rc.handshake(s)
s.sendall(rc.chunked(3, 20, rc.connect_body()))
r = rc.Reader(s)
print(" ".join(rc.amf_first_string(m[4]) for m in r.messages(5, 2)))
PY
}

python3 "$E2E/rtmp_crowd.py" 1100 127.0.0.1 45 "$TEST_DIR/ready" >"$TEST_DIR/crowd.out" 2>&1 &
crowd=$!
for _ in $(seq 1 600); do [ -e "$TEST_DIR/ready" ] || ! kill -0 $crowd 2>/dev/null && break; sleep 0.1; done
check "the crowd got its connections through" [ -e "$TEST_DIR/ready" ]
fds=$(ls "/proc/$APP_PID/fd" | wc -l); threads=$(ls "/proc/$APP_PID/task" | wc -l)
echo "with the crowd held: descriptors=$fds threads=$threads sessions=$(grep -c 'RTMP accepted connection from 127.0.0.1' "$LOG")"
check "the crowd holds a bounded number of descriptors and threads" [ "$fds" -lt 400 -a "$threads" -lt 250 ]

t=$(timed "$TEST_DIR/web.out" curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://127.0.0.1/)
echo "web server: $(cat "$TEST_DIR/web.out") in $t s"
check "the web server answers within 2 s" bash -c '[ "$(cat "$1")" = 200 ] && [ "$(echo "$2 < 2" | bc)" = 1 ]' _ "$TEST_DIR/web.out" "$t"
t=$(timed "$TEST_DIR/rtsp.out" timeout 5 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 \
  rtsp://127.0.0.1:8554/streamA.h264)
echo "RTSP: $(tr '\n' ' ' <"$TEST_DIR/rtsp.out") in $t s"
check "RTSP answers within 2 s" bash -c 'grep -q "^h264" "$1" && [ "$(echo "$2 < 2" | bc)" = 1 ]' _ "$TEST_DIR/rtsp.out" "$t"
t=$(timed "$TEST_DIR/rtmp.out" rtmp_answer)
echo "RTMP from 127.0.0.2: $(cat "$TEST_DIR/rtmp.out") in $t s"
check "a new RTMP player from another address is answered within 2 s" \
  bash -c 'grep -q "_result onBWDone" "$1" && [ "$(echo "$2 < 2" | bc)" = 1 ]' _ "$TEST_DIR/rtmp.out" "$t"
frames=$(timeout 20 ffmpeg -nostdin -v error -i rtmp://127.0.0.2:1935/live/streamA.m3u8 -t 2 -map 0:v -c copy \
  -f framecrc - 2>/dev/null | grep -vc '^#')
check "and it plays (pictures: $frames)" [ "${frames:-0}" -ge 30 ]

# A player that joins as the channel's last player leaves: the newcomer starts, the one playing
# is cut at a moment that moves across the newcomer's start, so its attach falls anywhere
# around the end of the run.
race_fail=0
for i in $(seq 0 7); do
  ffmpeg -nostdin -v error -i rtmp://127.0.0.2:1935/live/streamA.m3u8 -t 30 -map 0:v -c copy -f framecrc \
    "$TEST_DIR/last.crc" 2>/dev/null &
  last=$!
  for _ in $(seq 1 100); do [ "$(grep -vc '^#' "$TEST_DIR/last.crc" 2>/dev/null)" -ge 10 ] && break; sleep 0.1; done
  timeout 20 ffmpeg -nostdin -v error -i rtmp://127.0.0.2:1935/live/streamA.m3u8 -t 2 -map 0:v -c copy \
    -f framecrc "$TEST_DIR/join.crc" 2>"$TEST_DIR/join.err" &
  join=$!
  sleep "0.$((i * 4))"
  kill -KILL $last; wait $last 2>/dev/null
  wait $join; rc=$?
  got=$(grep -vc '^#' "$TEST_DIR/join.crc" 2>/dev/null)
  echo "join $i (last player cut after 0.$((i * 4)) s): exit $rc, pictures ${got:-0}"
  [ "$rc" = 0 ] && [ "${got:-0}" -ge 30 ] || race_fail=$((race_fail + 1))
done
check "a player joining as the last one leaves plays (failed $race_fail of 8)" [ "$race_fail" = 0 ]

wait $crowd
out=$(cat "$TEST_DIR/crowd.out"); echo "crowd: $out"
kept=$(grep -oE 'kept=[0-9]+' <<<"$out" | cut -d= -f2)
closed=$(grep -oE 'closed_by_server=[0-9]+' <<<"$out" | cut -d= -f2)
check "one address keeps at most 128 sessions, the rest are refused" \
  bash -c '[ "${1:-0}" -ge 1 ] && [ "$1" -le 128 ] && grep -q "refused=$((1100 - $1)) " <<<"$2"' _ "$kept" "$out"
check "every session that never played was closed" [ -n "$kept" ] && [ "${closed:-0}" = "$kept" ]
size=$(stat -c %s "$LOG")
refusals=$(grep -c 'rtmp: connection from .* refused' "$LOG"); accepts=$(grep -c 'accept: ' "$LOG")
echo "log: $size bytes, refusal lines $refusals, accept failures $accepts"
check "the log stays small" [ "$size" -lt 1000000 -a "$refusals" -le 60 -a "$accepts" -le 60 ]
stop_app
finish
