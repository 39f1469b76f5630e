#!/usr/bin/env bash
# RTMP play of the whole appliance against nginx's RTMP module, in a network namespace of its
# own (loopback only): 1, 16 and 64 ffmpeg players copying channel A at 2 and 8 Mbit/s (the
# camera is a clip with detail and grain), interleaved, with the rate set and the video rate the
# players measured, the server's CPU (the scheduler's run time in nanoseconds, from schedstat, of
# ours: its RTMP session threads; nginx: every thread of its one worker process; each serves one
# session more, the push from us to nginx), whether every player got every picture from its
# first keyframe, and the time from a play command to the first video message and to the first
# keyframe (a raw player of our own). The headline is the marginal CPU per player-second: the
# run with N players against the one with one player of the same round, (cpu_N/window_N -
# cpu_1/window_1) / (N - 1); the CPU per player-second of the whole run (cpu_N / N / window) and
# the nanoseconds counted (cpu_ns) stand beside it. Per rate and count, the median and range of
# the rounds' marginal costs and of ours over nginx's, with the load average. nginx serves the
# same stream, pushed to it from the appliance by one ffmpeg. CPU figures are left out when the
# measured rate is under 80% of the set one. RTMP_BENCH_SECONDS (8), RTMP_BENCH_ROUNDS (1) and
# RTMP_BENCH_COUNTS ("1 16 64") change the runs. Use an optimised build:
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

# Established connections to a local port.
connections() { ss -Htn state established "( sport = :$1 )" | wc -l; }
declare -A CPU_NS WINDOW MARGINAL
run() {   # NAME PID THREADNAME URL N RATE ROUND
  local before after t0 t1 out rc ns measured port catchups marginal=none
  catchups=$(grep -c "catching up" "$LOG")
  rm -rf "$TEST_DIR/players"; mkdir -p "$TEST_DIR/players"
  python3 "$top/bench/rtmp_bench_players.py" "$4" "$5" $((SECONDS_PER_RUN + 26)) "$TEST_DIR/players" \
    >"$TEST_DIR/players.out" &
  local players=$!
  # The window opens once every player is connected (beside the push) and playing and the
  # latency probes are done (their sessions come and go: nginx's one process would count them,
  # our session threads not), and closes before the first player leaves.
  port=${4#rtmp://127.0.0.1:}; port=${port%%/*}
  for _ in $(seq 1 100); do [ "$(connections "$port")" -gt "$5" ] && break; sleep 0.1; done
  for _ in $(seq 1 200); do [ -e "$TEST_DIR/players/probed" ] && break; sleep 0.1; done
  sleep 1
  # The scheduler's run time: the tick counts of /proc/PID/stat sample who is on the CPU at each
  # tick, and came out at a half to an eighth of it for threads that run a few microseconds a frame.
  before=$(bench_snap "$2" "$3"); t0=$(date +%s.%N)
  sleep "$SECONDS_PER_RUN"
  after=$(bench_snap "$2" "$3"); t1=$(date +%s.%N)
  wait "$players"; rc=$?
  out=$(cat "$TEST_DIR/players.out")
  read -r ns _ <<<"$(bench_ns "$before" "$after")"
  CPU_NS[$1 $5 $7]=$ns; WINDOW[$1 $5 $7]=$(echo "$t1 - $t0" | bc -l)
  measured=$(grep -oE 'measured_bps=[0-9]+' <<<"$out" | cut -d= -f2)
  # Late frames (a second behind the clock) our sessions skipped to a keyframe, the push included.
  catchups=$(($(grep -c "catching up" "$LOG") - catchups))
  printf 'round %d %-6s %s players=%d late_skips_k7160=%d ' "$7" "$1" "$(bench_rates "$6" "$measured")" "$5" "$catchups"
  if bench_rate_ok "$6" "$measured"; then
    # The headline: what a player more costs, against the run with one player of the same round
    # (the fixed cost of the stream and of the push falls out).
    [ -n "${CPU_NS[$1 1 $7]:-}" ] &&
      marginal=$(bench_marginal "$ns" "${CPU_NS[$1 1 $7]}" "${WINDOW[$1 $5 $7]}" "${WINDOW[$1 1 $7]}" "$5")
    [ "$marginal" = none ] || MARGINAL[$1 $6 $5 $7]=$marginal
    printf 'marginal_ms_per_player_s=%s server_cpu=%.1f%% cpu_ms_per_player_s=%.3f cpu_ns=%d window_s=%.3f | %s\n' \
      "$marginal" "$(echo "$ns / 10000000 / ${WINDOW[$1 $5 $7]}" | bc -l)" \
      "$(echo "$ns / 1000000 / ${WINDOW[$1 $5 $7]} / $5" | bc -l)" "$ns" "${WINDOW[$1 $5 $7]}" "$out"
  else
    unset "CPU_NS[$1 $5 $7]"
    printf '| %s\n' "$out"
  fi
  check "$1 with $5 players at $6: every player got pictures" [ "$rc" = 0 ]
  check "$1 with $5 players at $6: every player got everything from its first keyframe" \
    grep -q "players_with_everything=$5/$5" <<<"$out"
}
# summary RATE N: the marginal cost per player-second of each server, median [range] of the
# rounds, and ours over nginx's round by round, beside the load average.
summary() {
  local r ours="" theirs="" ratios=""
  for r in $(seq 1 "$ROUNDS"); do
    ours+=" ${MARGINAL[k7160 $1 $2 $r]:-}"; theirs+=" ${MARGINAL[nginx $1 $2 $r]:-}"
    ratios+=" $(bench_ratio "${MARGINAL[k7160 $1 $2 $r]:-}" "${MARGINAL[nginx $1 $2 $r]:-}")"
  done
  printf 'median [range] of %d rounds: rate=%d players=%d %s k7160_marginal_ms_per_player_s=%s nginx_marginal_ms_per_player_s=%s ratio=%s\n' \
    "$ROUNDS" "$1" "$2" "$(bench_load)" "$(bench_stats "$ours")" "$(bench_stats "$theirs")" "$(bench_stats "$ratios")"
}
stops() { grep -cF "videoA: fully stopped" "$LOG"; }
for rate in 2000000 8000000; do
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
