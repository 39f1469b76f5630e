#!/usr/bin/env bash
# One transport stream (channel A, H.264 and AAC, the camera a clip with detail and grain) at 2
# and 8 Mbit/s to 1, 16 and 64 HTTP clients beside as many RTSP clients over TCP on the same
# stream, in one run of the whole appliance in a namespace of its own (loopback only). The peer:
# nginx serving the same bytes (a recording of the row at that rate) to as many clients, paced at
# the row's rate (limit_rate). Ours over HTTP, ours over RTSP and nginx take turns at each count,
# round by round (ours first in odd rounds, nginx first in even ones). Each client program opens
# its window once every client has its first picture and measures the server's CPU over it in
# nanoseconds: each server runs in a cgroup of its own, whose counter holds every thread that
# ever ran in it (ended ones included); the serving part is that less the threads left out, each
# by its schedstat (ours over HTTP: all but the web server's polling thread and the live readers'
# sweeper; over RTSP: all but the RTSP thread; nginx: nothing left out). Per run: the rate set and
# the rate measured per client on the wire; the headline, the marginal CPU per client-second of
# the serving part, the run with N clients against the one with one client of the same kind and
# round, (cpu_N/window_N - cpu_1/window_1) / (N - 1), from the serving_ns and window_s both runs
# print; beside it the same per megabyte more delivered, (cpu_N/window_N - cpu_1/window_1) /
# (the bytes per second all N clients received - those of the one), since the two servers'
# clients may not take the same rate; the same of the whole process (process_ns); the serving
# part's CPU per client-second and per megabyte over the whole run, fixed cost included; and the
# client's report: HTTP: every picture any client got in the window, by PTS, and every transport
# packet by continuity counter; RTSP: every RTP packet, every transport packet in order and
# pictures to the window's end. A run counts on delivery alone: every client got everything and
# the measured rate is at least 80% of the set one; otherwise it is printed FAILED with each of
# its reasons and gives no figure. Then per rate and count, beside the load average, the median
# [range] of each server's marginal costs (per client-second and per megabyte) over the rounds
# that counted and of ours over nginx's in the rounds where both did, with how many rounds each
# rests on, and the rate each side's clients received; then the time to list a card of 1,000 and
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
KINDS="http rtsp nginx"
declare -A MARGINAL MARGINAL_MB BPS ONE_P ONE_T ONE_W ONE_B
HTTP_CLIENT="$TEST_DIR/http_stream_client"
RTSP_CLIENT="$TEST_DIR/rtsp_bench_client"
g++ -O2 -std=c++20 -o "$HTTP_CLIENT" "$top/bench/http_stream_client.cpp" || { fail "the HTTP client does not build"; finish; }
g++ -O2 -std=c++20 -o "$RTSP_CLIENT" "$top/bench/rtsp_bench_client.cpp" || { fail "the RTSP client does not build"; finish; }

bench_make_clip "$TEST_DIR/clip.mkv" || { fail "no clip made"; finish; }
bench_cg_init
start_app PLATFORM_CAPTURE_CLIP="$TEST_DIR/clip.mkv" || finish
OUR_COUNTER=$(bench_counter k7160 "$APP_PID")
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
NGINX_PID=""
trap '[ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null; [ -n "${keeper:-}" ] && kill "$keeper" 2>/dev/null; cleanup; bench_cg_cleanup' EXIT
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
  NGINX_COUNTER=$(bench_counter nginx "$NGINX_PID")
  for _ in $(seq 1 50); do curl -s -o /dev/null -r 0-0 http://127.0.0.1:8081/row.ts && return 0; sleep 0.1; done
  return 1
}

# run KIND N: one run; sets RUN_OUT and RUN_RC. The client measures the server's CPU over its
# window in nanoseconds: the whole, from the server's cgroup (every thread that ran in it, ended
# ones included), and the serving part, the whole less the threads left out (each by its
# schedstat): ours over HTTP every thread but the web server's polling thread and the live
# readers' sweeper (which comes and goes), over RTSP every thread but the RTSP thread; nginx
# leaves out nothing.
run() {
  case $1 in
    http) RUN_OUT=$("$HTTP_CLIENT" 80 /streamA.ts "$2" "$SECONDS_PER_RUN" "$APP_PID" MHD-single,live-sweep "$OUR_COUNTER") ;;
    nginx) RUN_OUT=$("$HTTP_CLIENT" 8081 /row.ts "$2" "$SECONDS_PER_RUN" "$NGINX_PID" "" "$NGINX_COUNTER") ;;
    rtsp) RUN_OUT=$("$RTSP_CLIENT" rtsp://127.0.0.1:8554/streamA.ts "$2" "$SECONDS_PER_RUN" "$APP_PID" rtp "$OUR_COUNTER") ;;
  esac
  RUN_RC=$?
  RUN_OUT=$(tr '\n' ' ' <<<"$RUN_OUT")
}
field() { bench_field "$@"; }

# one KIND RATE N ROUND: one run, printed; a run that counts notes its marginal costs in MARGINAL
# (per client-second) and MARGINAL_MB (per megabyte delivered), and its clients' rate in BPS.
one() {
  local kind=$1 rate=$2 n=$3 round=$4 measured win pns tns why="" marginal=none pmarginal=none mb=none ended
  run "$kind" "$n"
  measured=$(field measured_bps "$RUN_OUT"); win=$(field window_s "$RUN_OUT")
  pns=$(field process_cpu_ns "$RUN_OUT"); tns=$(field threads_cpu_ns "$RUN_OUT")
  ended=$(field left_out_gone "$RUN_OUT")
  printf 'round %d %-5s %s clients=%d serving_threads_ended=%d left_out_ended=%d ' "$round" "$kind" \
    "$(bench_rates "$rate" "$measured")" "$n" "$(field serving_gone "$RUN_OUT")" "${ended:-0}"
  # A run counts on delivery alone: pictures and continuity counters over HTTP, RTP sequence and
  # the transport packets' continuity counters over RTSP; each reason it does not is printed.
  if [ "$kind" = rtsp ]; then why=$(bench_rtsp_why "$n" "$RUN_RC" "$RUN_OUT"); else why=$(bench_http_why "$n" "$RUN_RC" "$RUN_OUT"); fi
  [ -n "$pns" ] && [ -n "$tns" ] || why+="; no CPU figure"
  bench_rate_ok "$rate" "$measured" || why+="; under 80% of the set rate"
  if [ -z "$why" ]; then
    BPS[$kind $rate $n]="${BPS[$kind $rate $n]:-} $measured"
    if [ "$n" = 1 ]; then
      ONE_P[$kind $rate $round]=$pns; ONE_T[$kind $rate $round]=$tns; ONE_W[$kind $rate $round]=$win; ONE_B[$kind $rate $round]=$measured
    elif [ -n "${ONE_W[$kind $rate $round]:-}" ]; then
      # The headline: what a client more costs the serving part, against one client; and the
      # same per megabyte more delivered.
      marginal=$(bench_marginal "$tns" "${ONE_T[$kind $rate $round]}" "$win" "${ONE_W[$kind $rate $round]}" "$n")
      mb=$(bench_marginal_mb "$tns" "${ONE_T[$kind $rate $round]}" "$win" "${ONE_W[$kind $rate $round]}" \
        "$measured" "${ONE_B[$kind $rate $round]}" "$n")
      pmarginal=$(bench_marginal "$pns" "${ONE_P[$kind $rate $round]}" "$win" "${ONE_W[$kind $rate $round]}" "$n")
      [ "$marginal" = none ] || MARGINAL[$kind $rate $n $round]=$marginal
      [ "$mb" = none ] || MARGINAL_MB[$kind $rate $n $round]=$mb
    fi
    printf 'marginal_ms_per_client_s=%s marginal_ms_per_mb=%s serving_ns=%s process_marginal_ms_per_client_s=%s process_ns=%s process_cpu=%.1f%% serving_ms_per_client_s=%.3f serving_ms_per_mb=%.3f | %s\n' \
      "$marginal" "$mb" "$tns" "$pmarginal" "$pns" "$(echo "$pns / 10000000 / $win" | bc -l)" \
      "$(echo "$tns / 1000000 / $win / $n" | bc -l)" "$(echo "$tns / 1000000 / ($measured * $n * $win / 8 / 1000000)" | bc -l)" "$RUN_OUT"
  else
    printf 'FAILED (%s): no figure | %s\n' "${why#; }" "$RUN_OUT"
  fi
  case $kind in
    http) check "round $round: $n HTTP clients at $rate: each got every picture of the window, no gap" [ "$RUN_RC" = 0 ] ;;
    rtsp) check "round $round: $n RTSP transport-stream clients at $rate: each got every packet, in order" [ "$RUN_RC" = 0 ] ;;
  esac
}
# summary RATE N: each server's marginal cost per client-second and per megabyte delivered,
# median [range] of the rounds that gave one, ours over nginx's in the rounds where both did,
# and the rate each side's clients received, beside the load average.
summary() {
  local kind r v line ratios k fig
  line=$(printf 'median [range]: rate=%d clients=%d %s' "$1" "$2" "$(bench_load)")
  for fig in MARGINAL MARGINAL_MB; do
    local -n a=$fig
    line+=$([ "$fig" = MARGINAL ] && echo ' marginal_ms_per_client_s:' || echo ' marginal_ms_per_mb:')
    for kind in $KINDS; do
      v=""; k=0
      for r in $(seq 1 "$ROUNDS"); do
        [ -n "${a[$kind $1 $2 $r]:-}" ] && { v+=" ${a[$kind $1 $2 $r]}"; k=$((k + 1)); }
      done
      line+=$(printf ' %s=%s (%d of %d rounds)' "$kind" "$(bench_stats "$v")" "$k" "$ROUNDS")
    done
    for kind in http rtsp; do
      ratios=""; k=0
      for r in $(seq 1 "$ROUNDS"); do
        if [ -n "${a[$kind $1 $2 $r]:-}" ] && [ -n "${a[nginx $1 $2 $r]:-}" ]; then
          ratios+=" $(bench_ratio "${a[$kind $1 $2 $r]}" "${a[nginx $1 $2 $r]}")"; k=$((k + 1))
        fi
      done
      line+=$(printf ' ratio_%s_nginx=%s (%d of %d rounds)' "$kind" "$(bench_stats "$ratios")" "$k" "$ROUNDS")
    done
  done
  line+=' measured_bps:'
  for kind in $KINDS; do line+=$(printf ' %s=%s' "$kind" "$(bench_stats "${BPS[$kind $1 $2]:-}" %.0f)"); done
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
  echo "CPU counters: ours $OUR_COUNTER nginx $NGINX_COUNTER"
  # The servers take turns at each count, round by round, ours first in odd rounds and nginx
  # first in even ones, so that the load of the machine falls on all of them alike.
  for round in $(seq 1 "$ROUNDS"); do
    order=$KINDS
    [ $((round % 2)) = 1 ] || order=$(tr ' ' '\n' <<<"$KINDS" | tac | tr '\n' ' ')
    for n in $COUNTS; do
      for kind in $order; do one "$kind" "$rate" "$n" "$round"; done
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
