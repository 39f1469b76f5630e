#!/usr/bin/env bash
# One transport stream (channel A, H.264 and AAC, the camera a clip with detail and grain) at 2
# and 8 Mbit/s to 1, 16 and 64 HTTP clients beside as many RTSP clients over TCP on the same
# stream, in one run of the whole appliance in a namespace of its own (loopback only). The peer:
# nginx serving the same bytes (a recording of the row at that rate) to as many clients, paced at
# the row's rate (limit_rate). Ours over HTTP, nginx and ours over RTSP take turns at each count,
# round by round. Each client program opens its window once every client has its first picture
# and measures the server's CPU over it in schedstat nanoseconds. Per run: the rate set and the
# rate measured per client on the wire; the headline, the marginal CPU per client-second of the
# thread that serves the clients (the web server's polling thread, the RTSP thread; nginx's whole
# process), the run with N clients against the one with one client of the same kind and round,
# (cpu_N/window_N - cpu_1/window_1) / (N - 1), from the serving_ns and window_s both runs print;
# the same of the whole process (process_ns); the serving thread's CPU per client-second over the
# whole run, fixed cost included; and the client's report: HTTP: every picture any client got in
# the window, by PTS, and every transport packet by continuity counter; RTSP: every RTP packet,
# every transport packet in order and pictures to the window's end. A run counts only when every
# client got everything, none of the counted threads ended inside the window (its time would be
# lost) and the measured rate is at least 80% of the set one; otherwise it is printed FAILED and
# gives no figure. Then per rate and count, beside the load average, the median [range] of each
# server's marginal costs over the rounds that counted and of ours over nginx's in the rounds
# where both did, with how many rounds each rests on; then the time to list a card of 1,000 and
# of 10,000 recordings (page 1 with sizes, and the fast view of all). HTTP clients of the row
# share one muxed output. HTTP_BENCH_SECONDS (8), HTTP_BENCH_ROUNDS (3), HTTP_BENCH_COUNTS
# ("1 16 64") and HTTP_BENCH_RATES ("2000000 8000000") change the runs; BENCH_THROTTLE=1 makes
# one client of each run stop reading halfway through the window, and every such run must fail.
# Use an optimised appliance:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DK7160_TESTS=OFF -DK7160_BENCH=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/http_streams_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
source "$top/bench/bench_lib.sh"
SECONDS_PER_RUN=${HTTP_BENCH_SECONDS:-8}
[ "$SECONDS_PER_RUN" -le 30 ] || SECONDS_PER_RUN=30
# One client first: the marginal cost is each count against it.
COUNTS=${HTTP_BENCH_COUNTS:-1 16 64}
ROUNDS=${HTTP_BENCH_ROUNDS:-3}
[ "$ROUNDS" -le 9 ] || ROUNDS=9
RATES=${HTTP_BENCH_RATES:-2000000 8000000}
KINDS="http nginx rtsp"
declare -A MARGINAL ONE_P ONE_T ONE_W
HTTP_CLIENT="$TEST_DIR/http_stream_client"
RTSP_CLIENT="$TEST_DIR/rtsp_bench_client"
g++ -O2 -std=c++20 -o "$HTTP_CLIENT" "$top/bench/http_stream_client.cpp" || { fail "the HTTP client does not build"; finish; }
g++ -O2 -std=c++20 -o "$RTSP_CLIENT" "$top/bench/rtsp_bench_client.cpp" || { fail "the RTSP client does not build"; finish; }

bench_make_clip "$TEST_DIR/clip.mkv" || { fail "no clip made"; finish; }
start_app PLATFORM_CAPTURE_CLIP="$TEST_DIR/clip.mkv" || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
NGINX_PID=""
trap '[ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null; [ -n "${keeper:-}" ] && kill "$keeper" 2>/dev/null; cleanup' EXIT
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

# run KIND N: one run; sets RUN_OUT and RUN_RC. The client measures the server's CPU over its
# window (schedstat nanoseconds): of the whole process and of the thread that serves the clients
# (the web server's polling thread, the RTSP thread; nginx is its one process).
run() {
  case $1 in
    http) RUN_OUT=$("$HTTP_CLIENT" 80 /streamA.ts "$2" "$SECONDS_PER_RUN" "$APP_PID" MHD-single) ;;
    nginx) RUN_OUT=$("$HTTP_CLIENT" 8081 /row.ts "$2" "$SECONDS_PER_RUN" "$NGINX_PID" "") ;;
    rtsp) RUN_OUT=$("$RTSP_CLIENT" rtsp://127.0.0.1:8554/streamA.ts "$2" "$SECONDS_PER_RUN" "$APP_PID" rtp) ;;
  esac
  RUN_RC=$?
  RUN_OUT=$(tr '\n' ' ' <<<"$RUN_OUT")
}
field() { grep -oE "(^| )$1=[-0-9.]+" <<<"$2" | head -1 | cut -d= -f2; }

# one KIND RATE N ROUND: one run, printed; a run that counts notes its marginal cost in MARGINAL.
one() {
  local kind=$1 rate=$2 n=$3 round=$4 measured win pns tns pgone tgone why="" marginal=none pmarginal=none
  run "$kind" "$n"
  measured=$(field measured_bps "$RUN_OUT"); win=$(field window_s "$RUN_OUT")
  pns=$(field process_cpu_ns "$RUN_OUT"); tns=$(field threads_cpu_ns "$RUN_OUT")
  pgone=$(field process_gone "$RUN_OUT"); tgone=$(field threads_gone "$RUN_OUT")
  printf 'round %d %-5s %s clients=%d ' "$round" "$kind" "$(bench_rates "$rate" "$measured")" "$n"
  # Both clients check every client's delivery: pictures and continuity counters over HTTP,
  # RTP sequence and the transport packets' continuity counters over RTSP.
  [ "$RUN_RC" = 0 ] || why+="; not every client got everything$(w=$(field worst_client_missed "$RUN_OUT"); [ -n "$w" ] && echo " (worst missed $w pictures)")"
  [ -n "$pns" ] && [ -n "$tns" ] || why+="; no CPU figure"
  [ "${pgone:-0}" = 0 ] && [ "${tgone:-0}" = 0 ] || why+="; counted threads ended inside the window (process ${pgone:-0}, serving ${tgone:-0})"
  bench_rate_ok "$rate" "$measured" || why+="; under 80% of the set rate"
  if [ -z "$why" ]; then
    if [ "$n" = 1 ]; then
      ONE_P[$kind $rate $round]=$pns; ONE_T[$kind $rate $round]=$tns; ONE_W[$kind $rate $round]=$win
    elif [ -n "${ONE_W[$kind $rate $round]:-}" ]; then
      # The headline: what a client more costs the serving thread, against one client.
      marginal=$(bench_marginal "$tns" "${ONE_T[$kind $rate $round]}" "$win" "${ONE_W[$kind $rate $round]}" "$n")
      pmarginal=$(bench_marginal "$pns" "${ONE_P[$kind $rate $round]}" "$win" "${ONE_W[$kind $rate $round]}" "$n")
      [ "$marginal" = none ] || MARGINAL[$kind $rate $n $round]=$marginal
    fi
    printf 'marginal_ms_per_client_s=%s serving_ns=%s process_marginal_ms_per_client_s=%s process_ns=%s process_cpu=%.1f%% serving_thread_ms_per_client_s=%.3f | %s\n' \
      "$marginal" "$tns" "$pmarginal" "$pns" "$(echo "$pns / 10000000 / $win" | bc -l)" \
      "$(echo "$tns / 1000000 / $win / $n" | bc -l)" "$RUN_OUT"
  else
    printf 'FAILED (%s): no figure | %s\n' "${why#; }" "$RUN_OUT"
  fi
  case $kind in
    http) check "round $round: $n HTTP clients at $rate: each got every picture of the window, no gap" [ "$RUN_RC" = 0 ] ;;
    rtsp) check "round $round: $n RTSP transport-stream clients at $rate: each got every packet, in order" [ "$RUN_RC" = 0 ] ;;
  esac
}
# summary RATE N: each server's marginal cost, median [range] of the rounds that gave one, and
# ours over nginx's in the rounds where both did, beside the load average.
summary() {
  local kind r v line ratios k
  line=$(printf 'median [range]: rate=%d clients=%d %s marginal_ms_per_client_s:' "$1" "$2" "$(bench_load)")
  for kind in $KINDS; do
    v=""; k=0
    for r in $(seq 1 "$ROUNDS"); do
      [ -n "${MARGINAL[$kind $1 $2 $r]:-}" ] && { v+=" ${MARGINAL[$kind $1 $2 $r]}"; k=$((k + 1)); }
    done
    line+=$(printf ' %s=%s (%d of %d rounds)' "$kind" "$(bench_stats "$v")" "$k" "$ROUNDS")
  done
  for kind in http rtsp; do
    ratios=""; k=0
    for r in $(seq 1 "$ROUNDS"); do
      if [ -n "${MARGINAL[$kind $1 $2 $r]:-}" ] && [ -n "${MARGINAL[nginx $1 $2 $r]:-}" ]; then
        ratios+=" $(bench_ratio "${MARGINAL[$kind $1 $2 $r]}" "${MARGINAL[nginx $1 $2 $r]}")"; k=$((k + 1))
      fi
    done
    line+=$(printf ' ratio_%s_nginx=%s (%d of %d rounds)' "$kind" "$(bench_stats "$ratios")" "$k" "$ROUNDS")
  done
  echo "$line"
}

stops() { grep -cF "videoA: fully stopped" "$LOG"; }
for rate in $RATES; do
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
  echo "machine $(bench_load)"
  # The servers take turns at each count, round by round, so that the load of the machine falls
  # on all of them alike.
  for round in $(seq 1 "$ROUNDS"); do
    for n in $COUNTS; do
      for kind in $KINDS; do one "$kind" "$rate" "$n" "$round"; done
    done
  done
  for n in $COUNTS; do [ "$n" -gt 1 ] && summary "$rate" "$n"; done
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
