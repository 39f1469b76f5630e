#!/usr/bin/env bash
# Fan-out cost of the live RTSP path of the whole appliance beside GStreamer's RTSP server, in a
# network namespace of its own (loopback only). The camera is a clip with detail and grain
# (PLATFORM_CAPTURE_CLIP), so channel A really runs at 2 and 8 Mbit/s. At each rate the appliance's
# own stream is recorded (and looped, so the file outlasts a run) and GStreamer serves that file
# as one shared media, started afresh for each of its runs; then 16 and 64 TCP-interleaved clients (bench/rtsp_bench_client.cpp,
# one thread on epoll, the same for both) play from ours and from the peer in turn, for several
# interleaved rounds. One more reader holds each server's stream running across the runs (for ours
# an HTTP reader; for the peer an ffmpeg RTSP client), so "no client" means the server doing all
# its other work: ours captures and encodes, the peer reads its file.
#
# CPU per client-second = (the server process's CPU, /proc/PID/stat, over the window in which all
# N clients play - its CPU over the same time with no bench client, measured just before) / (N x
# window), the CPU with no client being measured before and after the run and averaged. Each run
# prints the rate set and the rate measured on the wire per client, clients served and complete
# (every packet), CPU per client-second, and the client's figures; then per
# rate and count the median of the rounds for both servers and their ratio. Figures per client
# are left out when the measured rate is under 80% of the set one, and a count at which the peer
# does not keep every client playing is not compared. Use an optimised appliance:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DK7160_TESTS=OFF -DK7160_BENCH=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/rtsp_bench.sh
# RTSP_BENCH_SECONDS (8), RTSP_BENCH_ROUNDS (3) and RTSP_BENCH_COUNTS ("16 64") change the runs.
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
source "$top/bench/bench_lib.sh"
SECONDS_PER_RUN=${RTSP_BENCH_SECONDS:-8}
[ "$SECONDS_PER_RUN" -le 30 ] || SECONDS_PER_RUN=30
ROUNDS=${RTSP_BENCH_ROUNDS:-3}
[ "$ROUNDS" -le 9 ] || ROUNDS=9
COUNTS=${RTSP_BENCH_COUNTS:-16 64}
IDLE_SECONDS=4
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
# A fresh peer for each of its runs: once a crowd of clients has left it, GStreamer's server here
# now and then streams to nobody any more (its process idle, every new client waiting).
start_peer() {   # RATE
  /usr/bin/python3 "$top/bench/rtsp_peer_gst.py" 8655 "$TEST_DIR/ours$1.mkv" >"$TEST_DIR/peer.log" 2>&1 &
  PEER_PID=$!
  for _ in $(seq 1 100); do grep -q ready "$TEST_DIR/peer.log" && break; sleep 0.1; done
  grep -q ready "$TEST_DIR/peer.log" || { fail "GStreamer's RTSP server did not start"; cat "$TEST_DIR/peer.log"; finish; }
  ffmpeg -nostdin -v error -rtsp_transport tcp -i "$PEER_URL" -c copy -f null - >/dev/null 2>&1 &
  PEER_KEEPER=$!
  sleep 2
}
stop_peer() { stop_pid "$PEER_KEEPER"; stop_pid "$PEER_PID"; PEER_PID=""; PEER_KEEPER=""; }
trap 'stop_peer; [ -n "${KEEPER:-}" ] && kill "$KEEPER" 2>/dev/null; cleanup' EXIT

start_app PLATFORM_CAPTURE_CLIP="$TEST_DIR/clip.mkv" || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
URL=rtsp://127.0.0.1:8554/streamA.h264
PEER_URL=rtsp://127.0.0.1:8655/stream
hz=$(getconf CLK_TCK)
proc_s() { awk -v hz="$hz" '{sub(/^.*\) /, ""); printf "%.4f\n", ($12 + $13) / hz}' "/proc/$1/stat"; }
stops() { grep -cF "videoA: fully stopped" "$LOG"; }
wait_stopped() {   # COUNT: the encoder stopped after its last client (it takes a new rate at its next start)
  local i
  for i in $(seq 1 100); do [ "$(stops)" -gt "$1" ] && return 0; sleep 0.1; done
  return 1
}
# CPU (s) of the appliance's RTSP thread alone, for a figure without the encoder's drift.
rtp_s() {
  local t
  for t in /proc/$APP_PID/task/*; do
    [ "$(cat "$t/comm" 2>/dev/null)" = rtp ] && { awk '{printf "%.4f\n", $1 / 1e9}' "$t/schedstat"; return; }
  done
  echo 0
}
field() { grep -oE "(^| )$1=[-0-9.]+" <<<"$2" | head -1 | cut -d= -f2; }

declare -A COST SERVED COMPLETE
run() {   # WHO RATE N ROUND: one run, printed; notes its cost per client-second in COST
  local who=$1 rate=$2 n=$3 round=$4 url=$URL pid=$APP_PID i0 i1 i2 i3 t0 t1 t2 t3 t4 t5 r0 r1 idle out rc measured cpu win ms key
  local thread=""
  [ "$who" = gst ] && { url=$PEER_URL; pid=$PEER_PID; }
  # No client just before and just after the run: the encoder's own load drifts.
  i0=$(proc_s "$pid"); t0=$(date +%s.%N)
  sleep "$IDLE_SECONDS"
  i1=$(proc_s "$pid"); t1=$(date +%s.%N)
  r0=$(rtp_s); t4=$(date +%s.%N)
  out=$("$CLIENT" "$url" "$n" "$SECONDS_PER_RUN" "$pid"); rc=$?
  r1=$(rtp_s); t5=$(date +%s.%N)
  sleep 1   # the clients' sessions end
  i2=$(proc_s "$pid"); t2=$(date +%s.%N)
  sleep "$IDLE_SECONDS"
  i3=$(proc_s "$pid"); t3=$(date +%s.%N)
  idle=$(echo "($i1 - $i0 + $i3 - $i2) / ($t1 - $t0 + $t3 - $t2)" | bc -l)
  measured=$(field measured_bps "$out"); cpu=$(field server_cpu_s "$out"); win=$(field window_s "$out")
  key="$who $rate $n"
  SERVED[$key]="${SERVED[$key]:-} $(field served "$out")"
  COMPLETE[$key]="${COMPLETE[$key]:-} $(field complete "$out")"
  printf 'round %d %-5s %s clients=%d idle_cpu=%.1f%% ' "$round" "$who" "$(bench_rates "$rate" "$measured")" "$n" \
    "$(echo "$idle * 100" | bc -l)"
  if bench_rate_ok "$rate" "$measured" && [ -n "$cpu" ] && [ -n "$win" ]; then
    ms=$(echo "($cpu - $idle * $win) * 1000 / ($n * $win)" | bc -l)
    COST[$key]="${COST[$key]:-} $ms"
    # Ours: the RTSP thread alone over the whole run (set-up included), per client-second.
    [ "$who" = k7160 ] && thread=$(printf ' rtsp_thread_ms_per_client_s=%.3f' "$(echo "($r1 - $r0) * 1000 / ($n * ($t5 - $t4))" | bc -l)")
    printf 'cpu_ms_per_client_s=%.3f%s server_cpu=%.1f%% | %s\n' "$ms" "$thread" "$(echo "$cpu * 100 / $win" | bc -l)" \
      "$(tr '\n' ' ' <<<"$out")"
  else
    printf '| %s\n' "$(tr '\n' ' ' <<<"$out")"
  fi
  if [ "$who" = k7160 ]; then
    check "ours: $n clients at $rate: every client got every packet" [ "$rc" = 0 ]
  elif [ "$rc" != 0 ]; then
    echo "note: GStreamer did not serve all $n clients completely at $rate (served=$(field served "$out") complete=$(field complete "$out"))"
    grep -v '^ready' "$TEST_DIR/peer.log" | tail -3
    kill -0 "$PEER_KEEPER" 2>/dev/null || echo "note: the peer's keeper ended"
  fi
}

median() { tr ' ' '\n' <<<"$1" | grep -v '^$' | sort -g | awk '{v[NR]=$1} END {if (NR) printf "%.3f", NR % 2 ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
all_equal() { local v; for v in $1; do [ "$v" = "$2" ] || return 1; done; }

summary() {   # RATE N
  local rate=$1 n=$2 ours gst
  ours=$(median "${COST[k7160 $rate $n]:-}"); gst=$(median "${COST[gst $rate $n]:-}")
  printf 'median of %d rounds: rate=%d clients=%d k7160_cpu_ms_per_client_s=%s gst_cpu_ms_per_client_s=%s' \
    "$ROUNDS" "$rate" "$n" "${ours:-none}" "${gst:-none}"
  printf ' k7160_served=[%s ] k7160_complete=[%s ] gst_served=[%s ] gst_complete=[%s ]' "${SERVED[k7160 $rate $n]:-}" \
    "${COMPLETE[k7160 $rate $n]:-}" "${SERVED[gst $rate $n]:-}" "${COMPLETE[gst $rate $n]:-}"
  if ! all_equal "${SERVED[gst $rate $n]:-x}" "$n"; then
    printf ' (GStreamer did not serve all %d clients: not compared)\n' "$n"
  elif [ -n "$ours" ] && [ -n "$gst" ]; then
    printf ' ratio=%.2f\n' "$(echo "$ours / $gst" | bc -l)"
  else
    printf '\n'
  fi
}

# The peer plays its file in real time from its start through one run.
LOOPS=$(( (2 * IDLE_SECONDS + SECONDS_PER_RUN + 30) / 20 ))
KEEPER=""
for rate in 2000000 8000000; do
  curl -s -o /dev/null -H "Referer: /x.htm" -d "BitRate=$rate" http://127.0.0.1/streamA_controls_no_save
  # One HTTP reader holds the encoder running at this rate across the runs, off the RTSP thread.
  curl -s -o /dev/null http://127.0.0.1/streamA.h264 &
  KEEPER=$!
  # Our own stream at this rate, recorded for the peer and looped to outlast its runs.
  timeout 120 ffmpeg -nostdin -v error -rtsp_transport tcp -i "$URL" -t 20 -c copy -f matroska "$TEST_DIR/rec$rate.mkv" ||
    fail "the stream at $rate was not recorded"
  ffmpeg -nostdin -v error -y -stream_loop "$LOOPS" -i "$TEST_DIR/rec$rate.mkv" -c copy -f matroska "$TEST_DIR/ours$rate.mkv" ||
    fail "the recording at $rate was not looped"
  for round in $(seq 1 "$ROUNDS"); do
    for n in $COUNTS; do
      run k7160 "$rate" "$n" "$round"
      start_peer "$rate"
      run gst "$rate" "$n" "$round"
      stop_peer
    done
  done
  for n in $COUNTS; do summary "$rate" "$n"; done
  before=$(stops)
  kill "$KEEPER"; wait "$KEEPER" 2>/dev/null
  wait_stopped "$before" || fail "the encoder did not stop after the runs at $rate"
done
stop_app
finish
