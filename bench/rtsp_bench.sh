#!/usr/bin/env bash
# The live RTSP path of the whole appliance, in a network namespace of its own (loopback only):
# time from PLAY to the first decodable picture, capture-to-send latency (p50, p99), and the
# appliance's CPU while 1, 16 and 64 TCP clients watch channel A at 2 and 8 Mbit/s, with a
# check that every client got every packet. Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/rtsp_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
SECONDS_PER_RUN=${RTSP_BENCH_SECONDS:-8}
[ "$SECONDS_PER_RUN" -le 30 ] || SECONDS_PER_RUN=30

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
URL=rtsp://127.0.0.1:8554/streamA.h264
ticks() { awk '{print $14 + $15}' "/proc/$APP_PID/stat"; }
hz=$(getconf CLK_TCK)

for rate in 2000000 8000000; do
  curl -s -o /dev/null -H "Referer: /x.htm" -d "BitRate=$rate" http://127.0.0.1/streamA_controls_no_save
  for n in 1 16 64; do
    before=$(ticks); t0=$(date +%s.%N)
    out=$(python3 "$top/bench/rtsp_bench_client.py" "$URL" "$n" "$SECONDS_PER_RUN")
    rc=$?
    after=$(ticks); t1=$(date +%s.%N)
    cpu=$(echo "($after - $before) / $hz / ($t1 - $t0) * 100" | bc -l)
    printf 'bitrate=%d %s appliance_cpu=%.1f%%\n' "$rate" "$out" "$cpu"
    check "$n clients at $rate: every client got every packet" [ "$rc" = 0 ]
  done
done
stop_app
finish
