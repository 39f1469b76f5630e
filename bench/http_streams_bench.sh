#!/usr/bin/env bash
# One transport stream (channel A, H.264 and AAC, the camera a clip with detail and grain) at 2
# and 8 Mbit/s to 1, 16 and 64 HTTP clients beside as many RTSP clients over TCP on the same
# stream, in one run of the whole appliance in a namespace of its own (loopback only): the rate
# set and the rate measured per client on the wire, the process's CPU per client-second beyond the
# first client, the serving thread's CPU per client-second (the web server's polling thread, or
# the RTSP thread), whether every client got everything, and pictures or packets missed or lost
# per client; CPU figures are left out when the
# measured rate is under 80% of the set one. The peer: nginx serving the same bytes (a recording
# of the row at that rate) to as many clients, paced at the row's rate (limit_rate), with its
# whole process's CPU per client-second. Then the time to list a card of 1,000 and of 10,000
# recordings (page 1 with sizes, and the fast view of all). HTTP clients of the row share one
# muxed output. Use an optimised appliance:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DK7160_TESTS=OFF -DK7160_BENCH=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/http_streams_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
source "$top/bench/bench_lib.sh"
SECONDS_PER_RUN=${HTTP_BENCH_SECONDS:-8}
[ "$SECONDS_PER_RUN" -le 30 ] || SECONDS_PER_RUN=30
HTTP_CLIENT="$TEST_DIR/http_stream_client"
RTSP_CLIENT="$TEST_DIR/rtsp_bench_client"
g++ -O2 -std=c++20 -o "$HTTP_CLIENT" "$top/bench/http_stream_client.cpp" || { fail "the HTTP client does not build"; finish; }
g++ -O2 -std=c++20 -o "$RTSP_CLIENT" "$top/bench/rtsp_bench_client.cpp" || { fail "the RTSP client does not build"; finish; }

bench_make_clip "$TEST_DIR/clip.mkv" || { fail "no clip made"; finish; }
start_app PLATFORM_CAPTURE_CLIP="$TEST_DIR/clip.mkv" || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
hz=$(getconf CLK_TCK)
proc_ns() { awk -v hz="$hz" '{printf "%.0f\n", ($14 + $15) * 1000000000 / hz}' "/proc/$APP_PID/stat"; }
# CPU time of the thread that serves the clients: the web server's polling thread or the RTSP thread.
thread_ns() {
  local t
  for t in /proc/$APP_PID/task/*; do
    [ "$(cat "$t/comm" 2>/dev/null)" = "$1" ] && { awk '{print $1}' "$t/schedstat"; return; }
  done
  echo 0
}

NGINX_PID=""
trap '[ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null; [ -n "${keeper:-}" ] && kill "$keeper" 2>/dev/null; cleanup' EXIT
nginx_ns() { awk -v hz="$hz" '{printf "%.0f\n", ($14 + $15) * 1000000000 / hz}' "/proc/$NGINX_PID/stat"; }
# nginx serving FILE paced at BYTES_PER_S on 127.0.0.1:8081.
start_nginx() {   # FILE BYTES_PER_S
  mkdir -p "$TEST_DIR/nginx/logs" "$TEST_DIR/nginx/www"
  ln -sf "$1" "$TEST_DIR/nginx/www/row.ts"
  cat >"$TEST_DIR/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
user root;
worker_processes 1;
pid $TEST_DIR/nginx/nginx.pid;
error_log $TEST_DIR/nginx/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  server { listen 127.0.0.1:8081; root $TEST_DIR/nginx/www; location / { limit_rate $2; } }
}
CONF
  nginx -p "$TEST_DIR/nginx" -c "$TEST_DIR/nginx/nginx.conf" &
  NGINX_PID=$!
  for _ in $(seq 1 50); do curl -s -o /dev/null -r 0-0 http://127.0.0.1:8081/row.ts && return 0; sleep 0.1; done
  return 1
}

run() {   # KIND N: one run; sets RUN_CPU (cores used by the process) and RUN_THREAD (by the serving thread)
  local kind=$1 n=$2 p0 p1 t0 t1 s0 s1 out rc name=MHD-single
  [ "$kind" = rtsp ] && name=rtp
  if [ "$kind" = nginx ]; then
    p0=$(nginx_ns); t0=$(date +%s.%N)
    out=$("$HTTP_CLIENT" 8081 /row.ts "$n" "$SECONDS_PER_RUN"); rc=$?
    p1=$(nginx_ns); t1=$(date +%s.%N)
    RUN_CPU=$(echo "($p1 - $p0) / 1000000000 / ($t1 - $t0)" | bc -l)
    RUN_THREAD=$RUN_CPU; RUN_OUT=$out; RUN_RC=$rc
    return
  fi
  p0=$(proc_ns); s0=$(thread_ns $name); t0=$(date +%s.%N)
  if [ "$kind" = http ]; then
    out=$("$HTTP_CLIENT" 80 /streamA.ts "$n" "$SECONDS_PER_RUN"); rc=$?
  else
    out=$("$RTSP_CLIENT" rtsp://127.0.0.1:8554/streamA.ts "$n" "$SECONDS_PER_RUN"); rc=$?
  fi
  p1=$(proc_ns); s1=$(thread_ns $name); t1=$(date +%s.%N)
  RUN_CPU=$(echo "($p1 - $p0) / 1000000000 / ($t1 - $t0)" | bc -l)
  RUN_THREAD=$(echo "($s1 - $s0) / 1000000000 / ($t1 - $t0)" | bc -l)
  RUN_OUT=$out; RUN_RC=$rc

}

stops() { grep -cF "videoA: fully stopped" "$LOG"; }
for rate in 2000000 8000000; do
  curl -s -o /dev/null -H "Referer: /x.htm" -d "BitRate=$rate" http://127.0.0.1/streamA_controls_no_save
  # One reader of the raw row holds the encoder at this rate across the runs.
  curl -s -o /dev/null http://127.0.0.1/streamA.h264 &
  keeper=$!
  sleep 2
  # The row as the clients get it, for nginx to serve at the same pace.
  # Twice a run's length, so that no client reaches its end within a run.
  curl -s --max-time $((2 * SECONDS_PER_RUN + 6)) -o "$TEST_DIR/row$rate.ts" http://127.0.0.1/streamA.ts
  pace=$(( $(stat -c %s "$TEST_DIR/row$rate.ts") / (2 * SECONDS_PER_RUN + 6) ))
  start_nginx "$TEST_DIR/row$rate.ts" "$pace" || fail "nginx did not start"
  for kind in http nginx rtsp; do
    one=""
    for n in 1 16 64; do
      run "$kind" "$n"
      measured=$(grep -oE 'measured_bps=[0-9]+' <<<"$RUN_OUT" | cut -d= -f2)
      printf '%s %s clients=%d ' "$kind" "$(bench_rates "$rate" "$measured")" "$n"
      [ "$n" = 1 ] && one=$RUN_CPU
      # The HTTP client judges by pictures; the RTSP client's own figures stand after the bar.
      got=no; [ "$RUN_RC" = 0 ] && got=yes; [ "$kind" = rtsp ] && got="(rtsp client's)"
      if bench_rate_ok "$rate" "$measured"; then
        marginal=$(echo "($RUN_CPU - $one) * 1000 / ($n - 1 + ($n == 1))" | bc -l)
        printf 'process_cpu=%.1f%% process_ms_per_extra_client_s=%.3f serving_thread_ms_per_client_s=%.3f every_client_got_everything=%s | %s\n' \
          "$(echo "$RUN_CPU * 100" | bc -l)" "$marginal" "$(echo "$RUN_THREAD * 1000 / $n" | bc -l)" "$got" "$RUN_OUT"
      else
        printf 'every_client_got_everything=%s | %s\n' "$got" "$RUN_OUT"
      fi
      [ "$kind" = http ] && check "$n HTTP clients at $rate: each got every picture after its join, no gap" [ "$RUN_RC" = 0 ]
    done
  done
  kill "$NGINX_PID"; wait "$NGINX_PID" 2>/dev/null; NGINX_PID=""
  before=$(stops)
  kill "$keeper"; wait "$keeper" 2>/dev/null
  for _ in $(seq 1 100); do [ "$(stops)" -gt "$before" ] && break; sleep 0.1; done
done

# File lists of a card holding 1,000 and then 10,000 recordings.
touch "$BOARD/dev/mmcblk0p1"
wait_log "simulated: mount -o ro,usefree /dev/mmcblk0p1 /media/mmc" 5 || fail "card not mounted"
mkdir -p "$BOARD/media/mmc/DCIM/100MEDIA"
made=0
for total in 1000 10000; do
  python3 - "$BOARD/media/mmc/DCIM/100MEDIA" "$made" "$total" <<'PY'
import sys
d, a, b = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(a, b):
    open(f"{d}/rec{i}.mp4", "wb").close()
PY
  made=$total
  for view in "" "?p=all_fast"; do
    t=$(curl -s -o "$TEST_DIR/list.html" -w '%{time_total}' "http://127.0.0.1/filelist_mmc$view")
    printf 'list files=%d view=%s seconds=%s rows=%d\n' "$total" "${view:-page1}" "$t" \
      "$(grep -c 'name="delete_file"' "$TEST_DIR/list.html")"
  done
done
stop_app
finish
