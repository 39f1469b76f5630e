#!/usr/bin/env bash
# Fan-out cost of the live RTSP path of the whole appliance, in a network namespace of its own
# (loopback only): 1, 16 and 64 TCP-interleaved clients on channel A at 2 and 8 Mbit/s, each run
# printing the RTSP thread's CPU per client-second and the whole process's CPU beyond one client,
# p50/p99 capture-to-send latency, frames and packets lost per client, and the client's own CPU.
# The client (bench/rtsp_bench_client.cpp, one thread on epoll) is built here. Use an optimised
# appliance:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF -DK7160_BENCH=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/rtsp_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
SECONDS_PER_RUN=${RTSP_BENCH_SECONDS:-8}
[ "$SECONDS_PER_RUN" -le 30 ] || SECONDS_PER_RUN=30
CLIENT="$(dirname "$K7160_BIN")/rtsp_bench_client"
g++ -O2 -std=c++20 -o "$CLIENT" "$top/bench/rtsp_bench_client.cpp" || { fail "the bench client does not build"; finish; }

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
URL=rtsp://127.0.0.1:8554/streamA.h264
hz=$(getconf CLK_TCK)
# The whole process, threads that ended included.
proc_ns() { awk -v hz="$hz" '{printf "%.0f\n", ($14 + $15) * 1000000000 / hz}' "/proc/$APP_PID/stat"; }
rtp_ns() {
  local t
  for t in /proc/$APP_PID/task/*; do
    [ "$(cat "$t/comm" 2>/dev/null)" = rtp ] && { awk '{print $1}' "$t/schedstat"; return; }
  done
  echo 0
}

for rate in 2000000 8000000; do
  curl -s -o /dev/null -H "Referer: /x.htm" -d "BitRate=$rate" http://127.0.0.1/streamA_controls_no_save
  one=""; rtp_one=""
  for n in 1 16 64; do
    # A short warm-up run lets the encoder settle at the new rate.
    "$CLIENT" "$URL" 1 1 >/dev/null 2>&1
    p0=$(proc_ns); r0=$(rtp_ns); t0=$(date +%s.%N)
    out=$("$CLIENT" "$URL" "$n" "$SECONDS_PER_RUN")
    rc=$?
    p1=$(proc_ns); r1=$(rtp_ns); t1=$(date +%s.%N)
    secs=$(echo "$t1 - $t0" | bc -l)
    rtp_s=$(echo "($r1 - $r0) / 1000000000 / $secs" | bc -l)     # cores used by the RTSP thread
    proc_s=$(echo "($p1 - $p0) / 1000000000 / $secs" | bc -l)    # cores used by the whole process
    [ "$n" = 1 ] && { one=$proc_s; rtp_one=$rtp_s; }
    # Per client-second: the RTSP thread's share, and what each client beyond the first adds
    # (the encoders' cost is the same for one client or 64).
    rtp_ms=$(echo "$rtp_s * 1000 / $n" | bc -l)
    rtp_marginal=$(echo "($rtp_s - $rtp_one) * 1000 / ($n - 1 + ($n == 1))" | bc -l)
    marginal=$(echo "($proc_s - $one) * 1000 / ($n - 1 + ($n == 1))" | bc -l)
    printf 'bitrate=%d clients=%d cpu_ms_per_client_s: rtp_thread=%.3f rtp_marginal=%.3f process_marginal=%.3f process_cpu=%.1f%% | %s\n' \
      "$rate" "$n" "$rtp_ms" "$rtp_marginal" "$marginal" "$(echo "$proc_s * 100" | bc -l)" "$out"
    check "$n clients at $rate: every client got every packet" [ "$rc" = 0 ]
  done
done
stop_app
finish
