#!/usr/bin/env bash
# Fan-out cost of the live RTSP path of the whole appliance beside GStreamer's RTSP server, in a
# network namespace of its own (loopback only). The camera is a clip with detail and grain
# (PLATFORM_CAPTURE_CLIP), so channel A really runs at 2 and 8 Mbit/s. At each rate the appliance's
# own stream is recorded (and looped, so the file outlasts a run) and GStreamer serves that file
# as one shared media, unseekable like a live source (bench/rtsp_peer_gst.py), started afresh for
# each of its runs; then 16 and 64 TCP-interleaved clients (bench/rtsp_bench_client.cpp, one
# thread on epoll, the same for both) play from ours and from the peer in turn, for several
# interleaved rounds. One RTSP client more (ffmpeg over TCP) plays from each server across the
# runs, so "no client" means the server packetising its stream and sending it to one client: what
# is left is what each further client costs. For ours an HTTP reader also holds the encoder at the
# rate across the runs.
#
# What is counted: the CPU of the part of each server that serves clients. Each server runs in a
# cgroup of its own (bench_counter), whose counter holds every thread that ever ran in it, so the
# threads a server starts and ends as it serves (GStreamer's pool workers) are in the figure; from
# it the threads left out on purpose are taken away, each read from its own schedstat
# (nanoseconds). Ours: every thread but the RTSP thread "rtp" (which takes the encoder's frames,
# packetises them, writes them to every connection and answers RTSP and RTCP) is left out: the
# encoder and the rest of the appliance, long-lived, whose load swings with the encoder's own
# (the whole process is printed beside for reference, as process_cpu). GStreamer: only the file
# reader ("matroskademux0:", a queue cuts it off from the rest) is left out, i.e. the parser and
# payloader, the thread that writes to the TCP clients, the RTSP client threads, the pool workers
# that come and go (serving_threads_ended: those seen to end inside a window, their time in the
# figure), RTCP and the main loop are counted. A left-out thread is looked at every
# 0.1 s: one that ended inside a window would bring what it ran after its last look into the
# figure (left_out_ended, none expected). A run's validity rests on delivery alone.
#
# The headline, the marginal CPU per client-second = (the serving part's CPU over the window in
# which all N clients play - its CPU over the same time with no bench client) / (N x window):
# N+1 clients against the one that holds the stream. The CPU with no bench client is measured
# just before and after the run and averaged. The window opens once every client has its first
# picture (until its keyframe comes a client is sent nothing), so the rate measured on the wire
# is the rate sent. Every CPU figure is in nanoseconds; each run prints the nanoseconds its
# figure rests on (rests_on_ns, the bench clients' share over the window). Each run prints the
# rate set and the rate measured on the wire per client, clients served and complete (every
# packet), the marginal CPU per client-second and per picture a client got, and the client's
# figures; then per rate and count the median of the rounds, with their range, for both
# servers, and the ratio ours/GStreamer's round by round (median and range), per client-second
# and per picture (on a busy machine our encoder drops pictures, which a client-second of ours
# then does not carry), beside the machine's load average. Ours runs first in odd rounds, the
# peer in even ones. A run in which any client missed a packet or a picture gives no figure (a
# server that drops data looks cheaper than it is), nor does one whose measured rate is under 80%
# of the set one: it prints FAILED with each of its reasons; the servers are compared only when
# every round of both served every client completely.
# Use an optimised appliance:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DK7160_TESTS=OFF -DK7160_BENCH=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/rtsp_bench.sh
# RTSP_BENCH_SECONDS (8), RTSP_BENCH_ROUNDS (3), RTSP_BENCH_COUNTS ("16 64") and RTSP_BENCH_RATES
# ("2000000 8000000") change the runs.
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
RATES=${RTSP_BENCH_RATES:-2000000 8000000}
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
# A fresh peer for each of its runs, so that no run inherits the state another left it in.
start_peer() {   # RATE
  /usr/bin/python3 "$top/bench/rtsp_peer_gst.py" 8655 "$TEST_DIR/ours$1.mkv" >"$TEST_DIR/peer.log" 2>&1 &
  PEER_PID=$!
  PEER_COUNTER=$(bench_counter peer "$PEER_PID")
  for _ in $(seq 1 100); do grep -q ready "$TEST_DIR/peer.log" && break; sleep 0.1; done
  grep -q ready "$TEST_DIR/peer.log" || { fail "GStreamer's RTSP server did not start"; cat "$TEST_DIR/peer.log"; finish; }
  ffmpeg -nostdin -v error -rtsp_transport tcp -i "$PEER_URL" -c copy -f null - >/dev/null 2>&1 &
  PEER_KEEPER=$!
  sleep 2
}
stop_peer() { stop_pid "$PEER_KEEPER"; stop_pid "$PEER_PID"; PEER_PID=""; PEER_KEEPER=""; }
trap 'stop_peer; [ -n "${RTSP_KEEPER:-}" ] && kill "$RTSP_KEEPER" 2>/dev/null; [ -n "${KEEPER:-}" ] && kill "$KEEPER" 2>/dev/null; cleanup; bench_cg_cleanup' EXIT

bench_cg_init
start_app PLATFORM_CAPTURE_CLIP="$TEST_DIR/clip.mkv" || finish
OUR_COUNTER=$(bench_counter k7160 "$APP_PID")
echo "CPU counters: ours $OUR_COUNTER"
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
URL=rtsp://127.0.0.1:8554/streamA.h264
PEER_URL=rtsp://127.0.0.1:8655/stream
stops() { grep -cF "videoA: fully stopped" "$LOG"; }
wait_stopped() {   # COUNT: the encoder stopped after its last client (it takes a new rate at its next start)
  local i
  for i in $(seq 1 100); do [ "$(stops)" -gt "$1" ] && return 0; sleep 0.1; done
  return 1
}
# The threads that serve clients, as the client's THREADS filter names them; the others are left out.
OUR_THREADS=rtp
PEER_THREADS='!matroskademux0'
field() { bench_field "$@"; }

declare -A COST FRAME_COST SERVED COMPLETE ROUNDS_OK RATE_SEEN
run() {   # WHO RATE N ROUND: one run, printed; notes its cost per client-second in COST
  local who=$1 rate=$2 n=$3 round=$4 url=$URL pid=$APP_PID threads=$OUR_THREADS counter=$OUR_COUNTER
  local before after idle_ns idle_s idle pidle out rc measured cpu_ns win net ms us key frames ended served why
  [ "$who" = gst ] && { url=$PEER_URL; pid=$PEER_PID; threads=$PEER_THREADS; counter=$PEER_COUNTER; }
  # No bench client just before and just after the run: the serving part, then the whole.
  before=$(bench_window "$counter" "$pid" "$IDLE_SECONDS" "$threads" "")
  out=$("$CLIENT" "$url" "$n" "$SECONDS_PER_RUN" "$pid" "$threads" "$counter"); rc=$?
  sleep 1   # the clients' sessions end
  after=$(bench_window "$counter" "$pid" "$IDLE_SECONDS" "$threads" "")
  # The serving part's CPU with no bench client (ns), and per second.
  idle_ns=$(( $(sed -n 1p <<<"$before" | cut -d' ' -f1) + $(sed -n 1p <<<"$after" | cut -d' ' -f1) ))
  idle_s=$(echo "$(sed -n 3p <<<"$before" | awk '{ print $2 - $1 }') + $(sed -n 3p <<<"$after" | awk '{ print $2 - $1 }')" | bc -l)
  idle=$(echo "$idle_ns / 1000000000 / $idle_s" | bc -l)
  pidle=$(echo "($(sed -n 2p <<<"$before" | cut -d' ' -f1) + $(sed -n 2p <<<"$after" | cut -d' ' -f1)) / 1000000000 / $idle_s" | bc -l)
  # Left-out threads that ended inside a window (none expected): what each ran after its last
  # look counts as serving.
  ended=$(field left_out_gone "$out")
  ended=$(( ${ended:-0} + $(sed -n 1p <<<"$before" | cut -d' ' -f3) + $(sed -n 1p <<<"$after" | cut -d' ' -f3) ))
  # Serving threads that ended inside a window: their time is in the figure.
  served=$(field serving_gone "$out")
  served=$(( ${served:-0} + $(sed -n 1p <<<"$before" | cut -d' ' -f4) + $(sed -n 1p <<<"$after" | cut -d' ' -f4) ))
  measured=$(field measured_bps "$out"); cpu_ns=$(field threads_cpu_ns "$out"); win=$(field window_s "$out")
  frames=$(field client_frames "$out")
  key="$who $rate $n"
  SERVED[$key]="${SERVED[$key]:-} $(field served "$out")"
  COMPLETE[$key]="${COMPLETE[$key]:-} $(field complete "$out")"
  RATE_SEEN[$key]="${RATE_SEEN[$key]:-} ${measured:-0}"
  printf 'round %d %-5s %s clients=%d idle_serving_cpu=%.2f%% idle_serving_ns=%d idle_process_cpu=%.1f%% serving_threads_ended=%d left_out_ended=%d ' \
    "$round" "$who" "$(bench_rates "$rate" "$measured")" "$n" "$(echo "$idle * 100" | bc -l)" "$idle_ns" \
    "$(echo "$pidle * 100" | bc -l)" "$served" "$ended"
  # A run counts on delivery alone: each reason it does not is printed.
  why=$(bench_rtsp_why "$n" "$rc" "$out")
  bench_rate_ok "$rate" "$measured" || why+="; under 80% of the set rate"
  [ -n "$cpu_ns" ] && [ -n "$win" ] || why+="; no CPU figure"
  [ "${frames:-0}" -gt 0 ] || why+="; no picture in the window"
  if [ -z "$why" ]; then
    # What the N bench clients added to the serving part over the window (ns).
    net=$(echo "$cpu_ns - $idle * 1000000000 * $win" | bc -l)
    ms=$(echo "$net / 1000000 / ($n * $win)" | bc -l)
    # The same per picture the clients got: our encoder drops pictures on a busy machine.
    us=$(echo "$net / 1000 / $frames" | bc -l)
    COST[$key $round]=$ms; FRAME_COST[$key $round]=$us
    ROUNDS_OK[$key]=$(( ${ROUNDS_OK[$key]:-0} + 1 ))
    printf 'marginal_ms_per_client_s=%.3f cpu_us_per_client_frame=%.2f rests_on_ns=%.0f serving_cpu=%.1f%% process_cpu=%.1f%% | %s\n' \
      "$ms" "$us" "$net" "$(echo "$cpu_ns / 10000000 / $win" | bc -l)" \
      "$(echo "$(field process_cpu_ns "$out") / 10000000 / $win" | bc -l)" "$(tr '\n' ' ' <<<"$out")"
  else
    printf 'FAILED (%s): no figure | %s\n' "${why#; }" "$(tr '\n' ' ' <<<"$out")"
  fi
  if [ "$who" = k7160 ]; then
    check "ours: $n clients at $rate: every client got every packet" [ "$rc" = 0 ]
  elif [ "$rc" != 0 ]; then
    grep -v '^ready' "$TEST_DIR/peer.log" | tail -3
    kill -0 "$PEER_KEEPER" 2>/dev/null || echo "note: the peer's keeper ended"
  fi
}

# values RATE N WHO ARRAY: the figures of the rounds that gave one; ratios RATE N ARRAY: ours over
# GStreamer's, round by round.
values() { local r; local -n a=$4; for r in $(seq 1 "$ROUNDS"); do echo "${a[$3 $1 $2 $r]:-}"; done | tr '\n' ' '; }
ratios() {
  local r; local -n a=$3
  for r in $(seq 1 "$ROUNDS"); do
    bench_ratio "${a[k7160 $1 $2 $r]:-}" "${a[gst $1 $2 $r]:-}"; echo
  done | tr '\n' ' '
}

summary() {   # RATE N
  local rate=$1 n=$2 ok_ours ok_gst
  ok_ours=${ROUNDS_OK[k7160 $rate $n]:-0}; ok_gst=${ROUNDS_OK[gst $rate $n]:-0}
  # Each figure: the median of the rounds, with their range in brackets.
  printf 'median [range] of %d rounds: rate=%d clients=%d %s' "$ROUNDS" "$rate" "$n" "$(bench_load)"
  printf ' k7160_marginal_ms_per_client_s=%s gst_marginal_ms_per_client_s=%s' \
    "$(bench_stats "$(values "$rate" "$n" k7160 COST)")" "$(bench_stats "$(values "$rate" "$n" gst COST)")"
  printf ' k7160_cpu_us_per_client_frame=%s gst_cpu_us_per_client_frame=%s' \
    "$(bench_stats "$(values "$rate" "$n" k7160 FRAME_COST)")" "$(bench_stats "$(values "$rate" "$n" gst FRAME_COST)")"
  # The encoder may fall short of its rate on a busy machine while the peer plays its recording:
  # a client-second of ours may then carry fewer bytes.
  printf ' k7160_measured_bps=%s gst_measured_bps=%s' "$(bench_stats "${RATE_SEEN[k7160 $rate $n]:-}" %.0f)" \
    "$(bench_stats "${RATE_SEEN[gst $rate $n]:-}" %.0f)"
  printf ' k7160_served=[%s ] k7160_complete=[%s ] gst_served=[%s ] gst_complete=[%s ]' "${SERVED[k7160 $rate $n]:-}" \
    "${COMPLETE[k7160 $rate $n]:-}" "${SERVED[gst $rate $n]:-}" "${COMPLETE[gst $rate $n]:-}"
  if [ "$ok_ours" != "$ROUNDS" ] || [ "$ok_gst" != "$ROUNDS" ]; then
    printf ' (figures from %d of our rounds and %d of GStreamer'"'"'s: every round of both must serve every client completely at the set rate: not compared)\n' \
      "$ok_ours" "$ok_gst"
  else
    # Ours over GStreamer's, round by round (the servers take turns within a round).
    printf ' ratio=%s ratio_per_frame=%s\n' "$(bench_stats "$(ratios "$rate" "$n" COST)")" \
      "$(bench_stats "$(ratios "$rate" "$n" FRAME_COST)")"
  fi
}

# The peer plays its file in real time from its start through one run.
LOOPS=$(( (2 * IDLE_SECONDS + SECONDS_PER_RUN + 30) / 20 ))
KEEPER=""; RTSP_KEEPER=""
for rate in $RATES; do
  echo "machine $(bench_load)"
  curl -s -o /dev/null -H "Referer: /x.htm" -d "BitRate=$rate" http://127.0.0.1/streamA_controls_no_save
  # One HTTP reader holds the encoder running at this rate across the runs, off the RTSP thread.
  curl -s -o /dev/null http://127.0.0.1/streamA.h264 &
  KEEPER=$!
  # Our own stream at this rate, recorded for the peer and looped to outlast its runs.
  timeout 120 ffmpeg -nostdin -v error -rtsp_transport tcp -i "$URL" -t 20 -c copy -f matroska "$TEST_DIR/rec$rate.mkv" ||
    fail "the stream at $rate was not recorded"
  ffmpeg -nostdin -v error -y -stream_loop "$LOOPS" -i "$TEST_DIR/rec$rate.mkv" -c copy -f matroska "$TEST_DIR/ours$rate.mkv" ||
    fail "the recording at $rate was not looped"
  # Our one RTSP client across the runs, as the peer has its own.
  ffmpeg -nostdin -v error -rtsp_transport tcp -i "$URL" -c copy -f null - >/dev/null 2>&1 &
  RTSP_KEEPER=$!
  sleep 2
  for round in $(seq 1 "$ROUNDS"); do
    for n in $COUNTS; do
      # Ours first in odd rounds, the peer first in even ones: the machine's drift falls on both.
      if [ $((round % 2)) = 1 ]; then run k7160 "$rate" "$n" "$round"; fi
      start_peer "$rate"
      run gst "$rate" "$n" "$round"
      stop_peer
      if [ $((round % 2)) = 0 ]; then run k7160 "$rate" "$n" "$round"; fi
    done
  done
  for n in $COUNTS; do summary "$rate" "$n"; done
  before=$(stops)
  kill "$RTSP_KEEPER" 2>/dev/null; wait "$RTSP_KEEPER" 2>/dev/null; RTSP_KEEPER=""
  kill "$KEEPER"; wait "$KEEPER" 2>/dev/null
  wait_stopped "$before" || fail "the encoder did not stop after the runs at $rate"
done
stop_app
finish
