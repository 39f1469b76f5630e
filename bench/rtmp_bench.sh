#!/usr/bin/env bash
# RTMP play of the whole appliance against nginx's RTMP module, in a network namespace of its
# own (loopback only): 1, 16 and 64 ffmpeg players copying channel A at 2 and 8 Mbit/s (the
# camera is a clip with detail and grain), with the rate set and the video rate the players
# measured, the server's CPU per session, and the time from a play command to the first video
# message and to the first keyframe (measured by a raw player of our own while the ffmpeg players
# run). nginx serves the same stream, pushed to it from the appliance by one ffmpeg. CPU per
# session is left out when the measured rate is under 80% of the set one. Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/rtmp_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
source "$top/bench/bench_lib.sh"
SECONDS_PER_RUN=${RTMP_BENCH_SECONDS:-8}
[ "$SECONDS_PER_RUN" -le 30 ] || SECONDS_PER_RUN=30
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

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
cpu_during() {   # PID SECONDS: percent of one core
  local b a; b=$(ticks "$1"); sleep "$2"; a=$(ticks "$1")
  echo "($a - $b) / $hz / $2 * 100" | bc -l
}
run() {   # NAME PID URL N BASE RATE
  local before after t0 t1 out rc cpu measured
  mkdir -p "$TEST_DIR/players"
  before=$(ticks "$2"); t0=$(date +%s.%N)
  out=$(python3 "$top/bench/rtmp_bench_players.py" "$3" "$4" "$SECONDS_PER_RUN" "$TEST_DIR/players"); rc=$?
  after=$(ticks "$2"); t1=$(date +%s.%N)
  cpu=$(echo "($after - $before) / $hz / ($t1 - $t0) * 100 - $5" | bc -l)
  measured=$(grep -oE 'measured_bps=[0-9]+' <<<"$out" | cut -d= -f2)
  printf '%-6s %s players=%d ' "$1" "$(bench_rates "$6" "$measured")" "$4"
  if bench_rate_ok "$6" "$measured"; then
    printf 'sessions_cpu=%.1f%% cpu_per_session=%.2f%% | %s\n' "$cpu" "$(echo "$cpu / $4" | bc -l)" "$out"
  else
    printf '| %s\n' "$out"
  fi
  check "$1 with $4 players at $6: every player got pictures" [ "$rc" = 0 ]
}
stops() { grep -cF "videoA: fully stopped" "$LOG"; }
for rate in 2000000 8000000; do
  # The encoder takes the rate at its next start: the pusher of the previous rate has gone.
  curl -s -o /dev/null -H "Referer: /x.htm" -d "BitRate=$rate" http://127.0.0.1/streamA_controls_no_save
  ffmpeg -nostdin -v error -i rtmp://127.0.0.1:1935/live/streamA.m3u8 -map 0:v -c copy -f flv \
    rtmp://127.0.0.1:1936/live/streamA >"$TEST_DIR/push.log" 2>&1 &
  PUSH_PID=$!
  sleep 3
  # The appliance's own load (capture, encoder, the one session feeding nginx) is subtracted from
  # its figures, so that both servers' numbers count the sessions alone.
  base=$(cpu_during "$APP_PID" 5)
  printf 'k7160 baseline at %d bit/s (encoder + one session) cpu=%.1f%%\n' "$rate" "$base"
  for n in 1 16 64; do
    run k7160 "$APP_PID" rtmp://127.0.0.1:1935/live/streamA.m3u8 "$n" "$base" "$rate"
    run nginx "$NGINX_PID" rtmp://127.0.0.1:1936/live/streamA "$n" 0 "$rate"
  done
  before=$(stops)
  kill "$PUSH_PID"; wait "$PUSH_PID" 2>/dev/null; PUSH_PID=""
  for _ in $(seq 1 100); do [ "$(stops)" -gt "$before" ] && break; sleep 0.1; done
done
stop_peers
stop_app
finish
