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
# Then crowds of many addresses (from 127.0.1.1 on), each connection dialled again half a second
# after it is closed or refused, against each server in turn: for each size in NEWCOMERS_CROWDS
# (ADDRESSESxPER, default "16x4 64x4 256x1 256x2") and each behaviour in NEWCOMERS_BEHAVIOURS
# (default "idle slowloris trickle": set up then silent; a handshake or request trickled a byte a
# second; players or stream readers taking NEWCOMERS_READ_RATE bytes a second, default 512, under
# a tenth of the test camera's stream of some 70 kbit/s). Once the crowd tried every connection
# and 12 s more passed (22 s for trickling players, judged over 10 s windows), FRESH fresh
# players of the server (web: page loads) and FRESH page loads are timed from their connect to
# their play's answer or whole page; beside the crowd, from before it comes, a browser loads
# /index.htm every 8 s on one kept-alive connection, an HLS reader fetches the playlist every
# second and each segment once, an RTSP viewer on an address where two more players play pauses
# and plays again 28 s later, and a 2 MB firmware image that is refused after its check is
# uploaded at 64 KiB/s from an address holding two more connections. Prints what each waited
# and what the crowd held.
# Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/newcomers_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
export K7160_SRC=$top
source "$K7160_TESTLIB"
source "$top/bench/bench_lib.sh"
E2E=$top/tests/e2e
HOLD=${NEWCOMERS_HOLD:-25}
[ "$HOLD" -le 120 ] || HOLD=120
FRESH=${NEWCOMERS_FRESH:-7}
export CROWD_READ_RATE=${NEWCOMERS_READ_RATE:-512}
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

# The legitimate clients beside a crowd of many addresses: started before it, read after it.
legit_start() {   # SECONDS (how long the crowd holds)
  rm -f "$TEST_DIR/paused.ready"
  python3 "$E2E/server_fill.py" browser 127.0.0.90 "$1" 8 /index.htm "$TEST_DIR/browser.out" &
  legit=($!)
  python3 "$E2E/server_fill.py" hls 127.0.0.91 "$1" "$TEST_DIR/hls.out" &
  legit+=($!)
  timeout 120 python3 "$E2E/server_fill.py" paused 127.0.0.92 28 "$TEST_DIR/paused.ready" >"$TEST_DIR/paused.out" 2>&1 &
  legit+=($!)
  timeout 120 python3 "$E2E/server_fill.py" upload 127.0.0.93 "$TEST_DIR/bad.img" "X-Bench: 1" 65536 \
    >"$TEST_DIR/upload.out" 2>&1 &
  legit+=($!)
  for _ in $(seq 1 300); do [ -e "$TEST_DIR/paused.ready" ] && break; sleep 0.1; done
}
legit_end() {
  wait "${legit[@]}"
  echo "    browser: $(cat "$TEST_DIR/browser.out" 2>/dev/null)"
  echo "    hls: $(cat "$TEST_DIR/hls.out" 2>/dev/null)"
  echo "    paused_rtsp: $(cat "$TEST_DIR/paused.out" 2>/dev/null)"
  echo "    upload: $(cat "$TEST_DIR/upload.out" 2>/dev/null)"
}
# many_fresh SERVER FIRST: FRESH fresh clients one after another from their own addresses.
many_fresh() {
  local i w waits="" served=0
  for i in $(seq 0 $((FRESH - 1))); do
    w=$(fresh_wait "$1" "127.0.0.$(($2 + i))")
    waits="$waits $w"
    [ "$w" != none ] && served=$((served + 1))
  done
  echo "fresh_wait_s=$(bench_stats "$waits") served=$served/$FRESH"
}
python3 "$E2E/server_fill.py" badimage "$TEST_DIR/bad.img" 8192
echo "crowds of many addresses, no crowd first:"
for kind in rtmp rtsp web; do echo "  $kind $(many_fresh $kind 100)"; done
for server in rtmp rtsp web; do
  for how in ${NEWCOMERS_BEHAVIOURS:-idle slowloris trickle}; do
    for size in ${NEWCOMERS_CROWDS:-16x4 64x4 256x1 256x2}; do
      settle=12; [ "$how" = trickle ] && settle=22
      hold=$((settle + 35))
      echo "$server: ${size%x*} addresses x ${size#*x} $how connections, for $hold s:"
      legit_start "$hold"
      crowd_start "$server" "$how" "${size%x*}" "${size#*x}" "$hold" "$settle"
      [ "$server" != web ] && echo "    $server $(many_fresh "$server" 100)"
      echo "    web $(many_fresh web 120)"
      legit_end
      crowd_end
    done
  done
done
bench_load
stop_app
finish
