#!/usr/bin/env bash
# RTMP play of the whole appliance against nginx's RTMP module, in a network namespace of its
# own (loopback only): 1, 16 and 64 ffmpeg players copying channel A at 2 and 8 Mbit/s (the
# camera is a clip with detail and grain), interleaved round by round (ours first in odd rounds,
# nginx first in even ones), with the rate set and the video rate the players measured, the
# server's CPU, whether every player got every picture, and the time from a play command to the
# first video message and to the first keyframe (a raw player of our own). The server's CPU: each
# server runs in a cgroup of its own, whose counter holds every thread that ever ran in it, the
# session threads that end inside the window included (nanoseconds); of ours every thread but its
# RTMP session threads is left out (the encoder and the rest, long-lived, each taken away by its
# schedstat); of nginx nothing (its one worker process). Each serves one session more, the push
# from us to nginx. The window opens once every player has its first picture and lasts
# RTMP_BENCH_SECONDS; every player plays on past it (bench/rtmp_bench_players.py). A run counts
# on delivery alone: every player got every picture any player got in the window, every latency
# probe got its keyframe, and the measured rate is at least 80% of the set one; otherwise it is
# printed FAILED with each of its reasons (with the pictures the worst player missed), and gives
# no figure. The headline is the marginal CPU per player-second: the run with N players against
# the one with one player of the same round, (cpu_N/window_N - cpu_1/window_1) / (N - 1), from the
# cpu_ns and window_s both runs print; the CPU per player-second of the whole run
# (cpu_N / N / window) stands beside it. Per rate and count, the median and range of the
# marginal costs of the rounds that counted, and of ours over nginx's in the rounds where both
# did, with how many rounds each rests on and the load average. nginx serves the same stream,
# pushed to it from the appliance by one ffmpeg. RTMP_BENCH_SECONDS (8), RTMP_BENCH_ROUNDS (1),
# RTMP_BENCH_COUNTS ("1 16 64") and RTMP_BENCH_RATES ("2000000 8000000") change the runs;
# BENCH_THROTTLE=1 stops one player halfway through each window, and every such run must fail.
# Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/rtmp_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
source "$top/bench/bench_lib.sh"
SECONDS_PER_RUN=${RTMP_BENCH_SECONDS:-8}
[ "$SECONDS_PER_RUN" -le 30 ] || SECONDS_PER_RUN=30
ROUNDS=${RTMP_BENCH_ROUNDS:-1}
[ "$ROUNDS" -le 5 ] || ROUNDS=5
# One player first: the marginal cost is each count against it.
COUNTS=${RTMP_BENCH_COUNTS:-1 16 64}
RATES=${RTMP_BENCH_RATES:-2000000 8000000}
NGINX_PID=""; PUSH_PID=""
stop_peers() {
  [ -n "$PUSH_PID" ] && kill "$PUSH_PID" 2>/dev/null
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null
  PUSH_PID=""; NGINX_PID=""
}
trap 'stop_peers; cleanup; bench_cg_cleanup' EXIT

bench_make_clip "$TEST_DIR/clip.mkv" || { fail "no clip made"; finish; }
bench_cg_init
start_app PLATFORM_CAPTURE_CLIP="$TEST_DIR/clip.mkv" || finish
OUR_COUNTER=$(bench_counter k7160 "$APP_PID")
wait_log "RTMP server listening on port 1935" 20 || { fail "RTMP listener did not start"; finish; }

mkdir -p "$TEST_DIR/nginx/logs"
cat >"$TEST_DIR/nginx/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
user root;
worker_processes 1;
pid $TEST_DIR/nginx/nginx.pid;
error_log $TEST_DIR/nginx/logs/error.log;
events { worker_connections 1024; }
rtmp { server { listen 127.0.0.1:1936; chunk_size 128; application live { live on; } } }
CONF
nginx -p "$TEST_DIR/nginx" -c "$TEST_DIR/nginx/nginx.conf" &
NGINX_PID=$!
NGINX_COUNTER=$(bench_counter nginx "$NGINX_PID")
echo "CPU counters: ours $OUR_COUNTER nginx $NGINX_COUNTER"
sleep 1

declare -A CPU_NS WINDOW MARGINAL
field() { bench_field "$@"; }
run() {   # NAME PID THREADS COUNTER URL N RATE ROUND
  local cpu t0 t1 out rc ns threads gone served win measured catchups marginal=none why="" v
  catchups=$(grep -c "catching up" "$LOG")
  rm -rf "$TEST_DIR/players"; mkdir -p "$TEST_DIR/players"
  python3 "$top/bench/rtmp_bench_players.py" "$5" "$6" "$SECONDS_PER_RUN" "$TEST_DIR/players" \
    >"$TEST_DIR/players.out" &
  local players=$!
  # The players say when every one of them has its first picture (the latency probes, whose
  # sessions come and go, are done by then).
  for _ in $(seq 1 600); do [ -e "$TEST_DIR/players/open" ] && break; sleep 0.1; done
  # The server's counter (every thread that ran in the window, session threads that ended
  # included) less the threads left out, each by its schedstat.
  cpu=$(bench_window "$4" "$2" "$SECONDS_PER_RUN" "$3")
  read -r ns threads gone served <<<"$(sed -n 1p <<<"$cpu")"
  read -r t0 t1 <<<"$(sed -n 2p <<<"$cpu")"
  echo "$t0 $t1" >"$TEST_DIR/players/closed"
  wait "$players"; rc=$?
  out=$(cat "$TEST_DIR/players.out")
  win=$(echo "$t1 - $t0" | bc -l)
  measured=$(field measured_bps "$out")
  # Late frames (a second behind the clock) our sessions skipped to a keyframe, the push included.
  catchups=$(($(grep -c "catching up" "$LOG") - catchups))
  printf 'round %d %-6s %s players=%d late_skips_k7160=%d cpu_ns=%d serving_threads_ended=%d left_out_threads=%d left_out_ended=%d window_s=%.3f ' \
    "$8" "$1" "$(bench_rates "$7" "$measured")" "$6" "$catchups" "$ns" "$served" "$threads" "$gone" "$win"
  # A run counts on delivery alone: each reason it does not is printed.
  [ "$(field window_pictures "$out")" != 0 ] || why+="; no picture in the window"
  v=$(grep -oE 'players_with_everything=[0-9]+' <<<"$out" | cut -d= -f2)
  [ "${v:-0}" = "$6" ] || why+="; $(( $6 - ${v:-0} )) of $6 players missed pictures (worst missed $(field worst_player_missed "$out"))"
  v=$(field probes_failed "$out")
  [ "${v:-0}" = 0 ] || why+="; $v of 5 latency probes failed (timed out or cut)"
  v=$(( 5 - ${v:-0} - $(grep -oE 'probes_with_keyframe=[0-9]+' <<<"$out" | cut -d= -f2) ))
  [ "$v" = 0 ] || why+="; $v of 5 latency probes saw no keyframe"
  [ "$rc" = 0 ] || [ -n "$why" ] || why+="; the players failed (status $rc)"
  bench_rate_ok "$7" "$measured" || why+="; under 80% of the set rate"
  if [ -z "$why" ]; then
    CPU_NS[$1 $6 $8]=$ns; WINDOW[$1 $6 $8]=$win
    # The headline: what a player more costs, against the run with one player of the same round
    # (the fixed cost of the stream and of the push falls out).
    [ -n "${CPU_NS[$1 1 $8]:-}" ] &&
      marginal=$(bench_marginal "$ns" "${CPU_NS[$1 1 $8]}" "$win" "${WINDOW[$1 1 $8]}" "$6")
    [ "$marginal" = none ] || MARGINAL[$1 $7 $6 $8]=$marginal
    printf 'marginal_ms_per_player_s=%s server_cpu=%.1f%% cpu_ms_per_player_s=%.3f | %s\n' \
      "$marginal" "$(echo "$ns / 10000000 / $win" | bc -l)" "$(echo "$ns / 1000000 / $win / $6" | bc -l)" "$out"
  else
    printf 'FAILED (%s): no figure | %s\n' "${why#; }" "$out"
  fi
  check "$1 with $6 players at $7: every player got every picture of the window" [ "$rc" = 0 ]
}
# summary RATE N: the marginal cost per player-second of each server, median [range] of the
# rounds that gave one, and ours over nginx's in the rounds where both did, beside the load average.
summary() {
  local r ours="" theirs="" ratios="" k=0 g=0 b=0
  for r in $(seq 1 "$ROUNDS"); do
    [ -n "${MARGINAL[k7160 $1 $2 $r]:-}" ] && { ours+=" ${MARGINAL[k7160 $1 $2 $r]}"; k=$((k + 1)); }
    [ -n "${MARGINAL[nginx $1 $2 $r]:-}" ] && { theirs+=" ${MARGINAL[nginx $1 $2 $r]}"; g=$((g + 1)); }
    if [ -n "${MARGINAL[k7160 $1 $2 $r]:-}" ] && [ -n "${MARGINAL[nginx $1 $2 $r]:-}" ]; then
      ratios+=" $(bench_ratio "${MARGINAL[k7160 $1 $2 $r]}" "${MARGINAL[nginx $1 $2 $r]}")"; b=$((b + 1))
    fi
  done
  printf 'median [range]: rate=%d players=%d %s k7160_marginal_ms_per_player_s=%s (%d of %d rounds) nginx_marginal_ms_per_player_s=%s (%d of %d rounds) ratio=%s (%d of %d rounds)%s\n' \
    "$1" "$2" "$(bench_load)" "$(bench_stats "$ours")" "$k" "$ROUNDS" "$(bench_stats "$theirs")" "$g" "$ROUNDS" \
    "$(bench_stats "$ratios")" "$b" "$ROUNDS" \
    "$([ "$b" = "$ROUNDS" ] || echo ' (a round without a figure: a run of it, or its one-player run, FAILED)')"
}
stops() { grep -cF "videoA: fully stopped" "$LOG"; }
for rate in $RATES; do
  # The encoder takes the rate at its next start: the pusher of the previous rate has gone.
  curl -s -o /dev/null -H "Referer: /x.htm" -d "BitRate=$rate" http://127.0.0.1/streamA_controls_no_save
  # Sound too when the channel has it: our players get it, so nginx's must.
  ffmpeg -nostdin -v error -i rtmp://127.0.0.1:1935/live/streamA.m3u8 -map 0:v -map '0:a?' -c copy -f flv \
    rtmp://127.0.0.1:1936/live/streamA >"$TEST_DIR/push.log" 2>&1 &
  PUSH_PID=$!
  sleep 3
  # Other work on the machine starves the encoder: frames a second late send every player into
  # catch-up, ours and (through the push) nginx's alike.
  echo "machine $(bench_load)"
  for round in $(seq 1 "$ROUNDS"); do
    for n in $COUNTS; do
      # Ours first in odd rounds, nginx first in even ones: the machine's drift falls on both.
      [ $((round % 2)) = 1 ] && run k7160 "$APP_PID" rtmpSession "$OUR_COUNTER" rtmp://127.0.0.1:1935/live/streamA.m3u8 "$n" "$rate" "$round"
      run nginx "$NGINX_PID" "" "$NGINX_COUNTER" rtmp://127.0.0.1:1936/live/streamA "$n" "$rate" "$round"
      [ $((round % 2)) = 0 ] && run k7160 "$APP_PID" rtmpSession "$OUR_COUNTER" rtmp://127.0.0.1:1935/live/streamA.m3u8 "$n" "$rate" "$round"
    done
  done
  for n in $COUNTS; do [ "$n" -gt 1 ] && summary "$rate" "$n"; done
  before=$(stops)
  kill "$PUSH_PID"; wait "$PUSH_PID" 2>/dev/null; PUSH_PID=""
  for _ in $(seq 1 100); do [ "$(stops)" -gt "$before" ] && break; sleep 0.1; done
done
stop_peers
stop_app
finish
