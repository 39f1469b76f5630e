#!/usr/bin/env bash
# RTMP play of the whole appliance against nginx's RTMP module, in a network namespace of its
# own (loopback only): 1, 16 and 64 ffmpeg players copying channel A at 2 and 8 Mbit/s (the
# camera is a clip with detail and grain), interleaved round by round, with the rate set and the
# video rate the players measured, the server's CPU (the scheduler's run time in nanoseconds, from
# schedstat, of ours: its RTMP session threads; nginx: every thread of its one worker process;
# each serves one session more, the push from us to nginx), whether every player got every
# picture, and the time from a play command to the first video message and to the first keyframe
# (a raw player of our own). The window opens once every player has its first picture and lasts
# RTMP_BENCH_SECONDS; every player plays on past it (bench/rtmp_bench_players.py). A run counts
# only when every player got every picture any player got in the window, when none of the counted
# threads ended inside it (its time would be lost) and when the measured rate is at least 80% of
# the set one; otherwise it is printed FAILED, with the pictures the worst player missed, and
# gives no figure. The headline is the marginal CPU per player-second: the run with N players
# against the one with one player of the same round, (cpu_N/window_N - cpu_1/window_1) / (N - 1),
# from the cpu_ns and window_s both runs print; the CPU per player-second of the whole run
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
trap 'stop_peers; cleanup' EXIT

bench_make_clip "$TEST_DIR/clip.mkv" || { fail "no clip made"; finish; }
start_app PLATFORM_CAPTURE_CLIP="$TEST_DIR/clip.mkv" || finish
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
sleep 1

declare -A CPU_NS WINDOW MARGINAL
field() { grep -oE "(^| )$1=[-0-9.]+" <<<"$2" | head -1 | cut -d= -f2; }
run() {   # NAME PID THREADNAME URL N RATE ROUND
  local cpu t0 t1 out rc ns threads gone win measured catchups marginal=none why=""
  catchups=$(grep -c "catching up" "$LOG")
  rm -rf "$TEST_DIR/players"; mkdir -p "$TEST_DIR/players"
  python3 "$top/bench/rtmp_bench_players.py" "$4" "$5" "$SECONDS_PER_RUN" "$TEST_DIR/players" \
    >"$TEST_DIR/players.out" &
  local players=$!
  # The players say when every one of them has its first picture (the latency probes, whose
  # sessions come and go, are done by then).
  for _ in $(seq 1 600); do [ -e "$TEST_DIR/players/open" ] && break; sleep 0.1; done
  # The scheduler's run time: the tick counts of /proc/PID/stat sample who is on the CPU at each
  # tick, and came out at a half to an eighth of it for threads that run a few microseconds a frame.
  cpu=$(bench_window "$2" "$SECONDS_PER_RUN" "$3")
  read -r ns threads gone <<<"$(sed -n 1p <<<"$cpu")"
  read -r t0 t1 <<<"$(sed -n 2p <<<"$cpu")"
  echo "$t0 $t1" >"$TEST_DIR/players/closed"
  wait "$players"; rc=$?
  out=$(cat "$TEST_DIR/players.out")
  win=$(echo "$t1 - $t0" | bc -l)
  measured=$(field measured_bps "$out")
  # Late frames (a second behind the clock) our sessions skipped to a keyframe, the push included.
  catchups=$(($(grep -c "catching up" "$LOG") - catchups))
  printf 'round %d %-6s %s players=%d late_skips_k7160=%d cpu_ns=%d threads=%d threads_ended=%d window_s=%.3f ' \
    "$7" "$1" "$(bench_rates "$6" "$measured")" "$5" "$catchups" "$ns" "$threads" "$gone" "$win"
  [ "$rc" = 0 ] || why+="; not every player got every picture of the window (worst missed $(field worst_player_missed "$out"))"
  [ "$gone" = 0 ] || why+="; $gone counted threads ended inside the window"
  bench_rate_ok "$6" "$measured" || why+="; under 80% of the set rate"
  if [ -z "$why" ]; then
    CPU_NS[$1 $5 $7]=$ns; WINDOW[$1 $5 $7]=$win
    # The headline: what a player more costs, against the run with one player of the same round
    # (the fixed cost of the stream and of the push falls out).
    [ -n "${CPU_NS[$1 1 $7]:-}" ] &&
      marginal=$(bench_marginal "$ns" "${CPU_NS[$1 1 $7]}" "$win" "${WINDOW[$1 1 $7]}" "$5")
    [ "$marginal" = none ] || MARGINAL[$1 $6 $5 $7]=$marginal
    printf 'marginal_ms_per_player_s=%s server_cpu=%.1f%% cpu_ms_per_player_s=%.3f | %s\n' \
      "$marginal" "$(echo "$ns / 10000000 / $win" | bc -l)" "$(echo "$ns / 1000000 / $win / $5" | bc -l)" "$out"
  else
    printf 'FAILED (%s): no figure | %s\n' "${why#; }" "$out"
  fi
  check "$1 with $5 players at $6: every player got every picture of the window" [ "$rc" = 0 ]
  check "$1 with $5 players at $6: no counted thread ended inside the window" [ "$gone" = 0 ]
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
      run k7160 "$APP_PID" rtmpSession rtmp://127.0.0.1:1935/live/streamA.m3u8 "$n" "$rate" "$round"
      run nginx "$NGINX_PID" "" rtmp://127.0.0.1:1936/live/streamA "$n" "$rate" "$round"
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
