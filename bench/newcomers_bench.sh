#!/usr/bin/env bash
# Fresh clients against a few addresses that hold every connection, in a network namespace of its
# own (loopback only). Three attacks, one after the other, each for HOLD seconds (default 25, under
# the 30 s after which RTMP and the web server close idle connections themselves):
#   RTMP: two addresses with 128 idle connections each (handshake and "connect", never "play");
#   RTSP: four addresses with 64 connections each, an OPTIONS at once and every 30 s;
#   web:  eight addresses reading /streamA.ts on 32 connections each, a ninth with 16 silent
#         connections and 16 that send a header a byte a second;
# each connection the server closes or refuses is dialled again. Meanwhile FRESH (default 7)
# clients from addresses of their own ask one after another: RTMP handshake and "connect" to its
# answer, RTSP OPTIONS (curl) to its answer, a page (curl) to its answer, each timed by the client
# from its connect; one ffprobe per server confirms that a fresh player plays (the codecs it found).
# Prints per server the seconds a fresh client waited
# (median [min-max]) and how many were served, the same without an attack, what the attack held,
# and how many of its connections the server closed for newcomers (from the log lines, with the
# counts they say they held back).
# Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/newcomers_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
source "$top/bench/bench_lib.sh"
E2E=$top/tests/e2e
HOLD=${NEWCOMERS_HOLD:-25}
[ "$HOLD" -le 120 ] || HOLD=120
FRESH=${NEWCOMERS_FRESH:-7}
[ "$FRESH" -le 20 ] || FRESH=20

for a in $(seq 2 140); do ip addr add 127.0.0.$a/32 dev lo 2>/dev/null; done
start_app || finish
wait_log "RTMP server listening on port 1935" 20 || { fail "RTMP listener did not start"; finish; }
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }

# rtmp_connect ADDRESS: seconds from connect to the answer of "connect", or "none".
rtmp_connect() {
  timeout 15 python3 - "$E2E" "$1" <<'PY' 2>/dev/null || echo none
import socket, sys, time
sys.path.insert(0, sys.argv[1])
import rtmp_client as rc
s = socket.socket(); s.bind((sys.argv[2], 0)); s.settimeout(10)
t0 = time.monotonic()
s.connect((rc.HOST, rc.PORT))
rc.handshake(s)
s.sendall(rc.chunked(3, 20, rc.connect_body()))
ok = "_result" in [rc.amf_first_string(m[4]) for m in rc.Reader(s).messages(5, 10)]
print("%.3f" % (time.monotonic() - t0) if ok else "none")
PY
}
# answer_s KIND ADDRESS: seconds a fresh client from ADDRESS waited for its answer, or "none".
answer_s() {
  local out
  case $1 in
    rtmp) rtmp_connect "$2"; return ;;
    rtsp) out=$(curl -s -o /dev/null -w '%{http_code} %{time_total}' --max-time 15 --interface "$2" -X OPTIONS \
                rtsp://127.0.0.1:8554/streamA.h264) ;;
    web) out=$(curl -s -o /dev/null -w '%{http_code} %{time_total}' --max-time 15 --interface "$2" http://127.0.0.1/) ;;
  esac
  case $out in 200\ *|303\ *) echo "${out#* }" ;; *) echo none ;; esac
}
plays() {   # KIND ADDRESS: the codecs a fresh ffprobe finds, or "none"
  local url=rtmp://$2:1935/live/liveA
  [ "$1" = rtsp ] && url=rtsp://$2:8554/streamA.h264
  local c; c=$(timeout 20 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$url" 2>/dev/null | paste -sd,)
  echo "${c:-none}"
}
# fresh KIND FIRST_ADDRESS: FRESH clients one after another from their own addresses.
fresh() {
  local i waits="" w served=0
  for i in $(seq 0 $((FRESH - 1))); do
    w=$(answer_s "$1" "127.0.0.$(($2 + i))")
    waits="$waits $w"
    [ "$w" != none ] && served=$((served + 1))
  done
  echo "fresh_wait_s=$(bench_stats "$waits") served=$served/$FRESH"
}
# logged FIRST_LINE REGEX: what the log lines since FIRST_LINE matching REGEX count: one each with
# what it says it held back, or the N of a line that only reports N held back.
logged() {
  tail -n +"$1" "$LOG" | grep -E "$2" | awk '{
    if (match($0, /: [0-9]+ more (sessions|connections)/)) n += substr($0, RSTART + 2) + 0
    else { n++; if (match($0, /\([0-9]+ more since/)) n += substr($0, RSTART + 1) + 0 } } END { print n + 0 }'
}

bench_load
echo "no attack:"
echo "  rtmp $(fresh rtmp 100)"
echo "  rtsp $(fresh rtsp 100)"
echo "  web  $(fresh web 100)"

echo "RTMP: two addresses, 128 idle connections each, for $HOLD s:"
from=$(($(wc -l <"$LOG") + 1))
pids=()
for a in 2 3; do
  python3 "$E2E/rtmp_crowd.py" 128 127.0.0.$a "$HOLD" "$TEST_DIR/rtmp$a.ready" reconnect >"$TEST_DIR/rtmp$a.out" 2>&1 &
  pids+=($!)
done
for _ in $(seq 1 600); do [ -e "$TEST_DIR/rtmp2.ready" -a -e "$TEST_DIR/rtmp3.ready" ] && break; sleep 0.1; done
echo "  rtmp $(fresh rtmp 10) plays=$(plays rtmp 127.0.0.30)"
wait "${pids[@]}"
echo "  held: $(cat "$TEST_DIR/rtmp2.out") | $(cat "$TEST_DIR/rtmp3.out")"
echo "  closed_for_newcomers=$(logged "$from" 'rtmp: session from .* closed for a connection from|rtmp: [0-9]+ more sessions not playing')" \
  "refused=$(logged "$from" 'rtmp: connection from .* refused|rtmp: [0-9]+ more connections refused')"

echo "RTSP: four addresses, 64 connections each with an OPTIONS every 30 s, for $HOLD s:"
from=$(($(wc -l <"$LOG") + 1))
python3 "$E2E/server_fill.py" rtsp 40 4 64 "$HOLD" "$TEST_DIR/rtsp.ready" >"$TEST_DIR/rtsp.out" 2>&1 &
filler=$!
for _ in $(seq 1 600); do [ -e "$TEST_DIR/rtsp.ready" ] && break; sleep 0.1; done
echo "  rtsp $(fresh rtsp 50) plays=$(plays rtsp 127.0.0.60)"
wait $filler
echo "  held: $(cat "$TEST_DIR/rtsp.out")"
echo "  closed_for_newcomers=$(logged "$from" 'rtsp: connection from .* closed for a connection from')" \
  "refused=$(logged "$from" 'rtsp: connection from .* refused: 256 connections open')"

echo "web: eight addresses reading streams on 32 connections each, a ninth with 32 idle or trickling, for $HOLD s:"
from=$(($(wc -l <"$LOG") + 1))
python3 "$E2E/server_fill.py" web 70 "$HOLD" "$TEST_DIR/web.ready" "X-Bench: 1" >"$TEST_DIR/web.out" 2>&1 &
filler=$!
for _ in $(seq 1 600); do [ -e "$TEST_DIR/web.ready" ] && break; sleep 0.1; done
sleep 2   # the readers' answers begin
echo "  web  $(fresh web 80)"
wait $filler
echo "  held: $(cat "$TEST_DIR/web.out")"
echo "  closed_for_newcomers=$(logged "$from" 'httpd: connection from .* closed for a connection from')" \
  "refused=$(logged "$from" 'httpd: connection from .* refused:')" \
  "streams_refused=$(logged "$from" 'httpd: stream for .* refused')"
bench_load
stop_app
finish
