#!/usr/bin/env bash
# Fan-out cost of the live RTSP path of the whole appliance beside GStreamer's RTSP server, in a
# network namespace of its own (loopback only). The camera is a clip with detail and grain
# (PLATFORM_CAPTURE_CLIP), so channel A really runs at 2 and 8 Mbit/s. At each rate the appliance's
# own stream is recorded and GStreamer serves that file as one shared media; then 16 and 64
# TCP-interleaved clients (bench/rtsp_bench_client.cpp, one thread on epoll, the same for both)
# play from ours and from the peer in turn. One more reader holds each server's stream running
# across the runs (for ours an HTTP reader, off the RTSP thread; for the peer an ffmpeg RTSP
# client, counted as a client). Each run prints the rate set and the rate measured on the wire per
# client, CPU per client-second (ours: the RTSP thread; the peer: its whole process), each
# process's CPU, packets and frames lost, latency and the client's own CPU. Figures per client
# are left out when the measured rate is under 80% of the set one. Use an optimised appliance:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF -DK7160_BENCH=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/rtsp_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
source "$top/bench/bench_lib.sh"
SECONDS_PER_RUN=${RTSP_BENCH_SECONDS:-8}
[ "$SECONDS_PER_RUN" -le 30 ] || SECONDS_PER_RUN=30
CLIENT="$TEST_DIR/rtsp_bench_client"
g++ -O2 -std=c++20 -o "$CLIENT" "$top/bench/rtsp_bench_client.cpp" || { fail "the bench client does not build"; finish; }
bench_make_clip "$TEST_DIR/clip.mkv" || { fail "no clip made"; finish; }
PEER_PID=""; PEER_KEEPER=""
# The peer's Python does not always end on SIGTERM: a bounded wait, then SIGKILL.
stop_pid() {
  local i
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null
  for i in $(seq 1 30); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null; wait "$1" 2>/dev/null
}
stop_peer() { stop_pid "$PEER_KEEPER"; stop_pid "$PEER_PID"; PEER_PID=""; PEER_KEEPER=""; }
trap 'stop_peer; [ -n "${KEEPER:-}" ] && kill "$KEEPER" 2>/dev/null; cleanup' EXIT

start_app PLATFORM_CAPTURE_CLIP="$TEST_DIR/clip.mkv" || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
URL=rtsp://127.0.0.1:8554/streamA.h264
PEER_URL=rtsp://127.0.0.1:8655/stream
hz=$(getconf CLK_TCK)
proc_ns() { awk -v hz="$hz" '{printf "%.0f\n", ($14 + $15) * 1000000000 / hz}' "/proc/$1/stat"; }
rtp_ns() {
  local t
  for t in /proc/$APP_PID/task/*; do
    [ "$(cat "$t/comm" 2>/dev/null)" = rtp ] && { awk '{print $1}' "$t/schedstat"; return; }
  done
  echo 0
}
stops() { grep -cF "videoA: fully stopped" "$LOG"; }
wait_stopped() {   # COUNT: the encoder stopped after its last client (it takes a new rate at its next start)
  local i
  for i in $(seq 1 100); do [ "$(stops)" -gt "$1" ] && return 0; sleep 0.1; done
  return 1
}

run() {   # WHO RATE N: one run, printed; sets RUN_PROC (cores used by the serving process)
  local who=$1 rate=$2 n=$3 url=$URL pid=$APP_PID served=$3 p0 p1 s0 s1 t0 t1 secs out rc serve_ms measured
  [ "$who" = gst ] && { url=$PEER_URL; pid=$PEER_PID; served=$((n + 1)); }
  p0=$(proc_ns "$pid"); s0=$(rtp_ns); t0=$(date +%s.%N)
  out=$("$CLIENT" "$url" "$n" "$SECONDS_PER_RUN"); rc=$?
  p1=$(proc_ns "$pid"); s1=$(rtp_ns); t1=$(date +%s.%N)
  secs=$(echo "$t1 - $t0" | bc -l)
  RUN_PROC=$(echo "($p1 - $p0) / 1000000000 / $secs" | bc -l)
  serve=$RUN_PROC
  [ "$who" = k7160 ] && serve=$(echo "($s1 - $s0) / 1000000000 / $secs" | bc -l)
  serve_ms=$(echo "$serve * 1000 / $served" | bc -l)
  measured=$(grep -oE 'measured_bps=[0-9]+' <<<"$out" | cut -d= -f2)
  printf '%-5s %s clients=%d ' "$who" "$(bench_rates "$rate" "$measured")" "$n"
  if bench_rate_ok "$rate" "$measured"; then
    printf 'cpu_ms_per_client_s=%.3f process_cpu=%.1f%% | %s\n' "$serve_ms" "$(echo "$RUN_PROC * 100" | bc -l)" "$out"
  else
    printf '| %s\n' "$out"
  fi
  check "$who: $n clients at $rate: every client got every packet" [ "$rc" = 0 ]
}

KEEPER=""
for rate in 2000000 8000000; do
  curl -s -o /dev/null -H "Referer: /x.htm" -d "BitRate=$rate" http://127.0.0.1/streamA_controls_no_save
  # One HTTP reader holds the encoder running at this rate across the runs, off the RTSP thread.
  curl -s -o /dev/null http://127.0.0.1/streamA.h264 &
  KEEPER=$!
  # Our own stream at this rate, recorded for the peer: long enough for all runs of this rate.
  timeout 300 ffmpeg -nostdin -v error -rtsp_transport tcp -i "$URL" -t $((4 * SECONDS_PER_RUN + 40)) -c copy \
    -f matroska "$TEST_DIR/ours$rate.mkv" || fail "the stream at $rate was not recorded"
  /usr/bin/python3 "$top/bench/rtsp_peer_gst.py" 8655 "$TEST_DIR/ours$rate.mkv" >"$TEST_DIR/peer.log" 2>&1 &
  PEER_PID=$!
  for _ in $(seq 1 100); do grep -q ready "$TEST_DIR/peer.log" && break; sleep 0.1; done
  grep -q ready "$TEST_DIR/peer.log" || { fail "GStreamer's RTSP server did not start"; cat "$TEST_DIR/peer.log"; finish; }
  ffmpeg -nostdin -v error -rtsp_transport tcp -i "$PEER_URL" -c copy -f null - >/dev/null 2>&1 &
  PEER_KEEPER=$!
  sleep 2
  for n in 16 64; do
    run k7160 "$rate" "$n"
    run gst "$rate" "$n"
  done
  stop_peer
  before=$(stops)
  kill "$KEEPER"; wait "$KEEPER" 2>/dev/null
  wait_stopped "$before" || fail "the encoder did not stop after the runs at $rate"
done
stop_app
finish
