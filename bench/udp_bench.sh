#!/usr/bin/env bash
# Mode 0 of the UDP sender at 20 Mbit/s (the camera a clip with detail and grain) beside ffmpeg
# sending the same kind of stream: the rate set and the rate measured at a local receiver,
# packets per second, sender CPU and loss, in a network namespace of its own (loopback only).
# The receiver counts transport-stream continuity breaks as loss. Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/udp_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
source "$top/bench/bench_lib.sh"
RUN=${UDP_BENCH_SECONDS:-60}
[ "$RUN" -le 120 ] || RUN=120
hz=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

bench_make_clip "$TEST_DIR/clip.mkv" || { fail "no clip made"; finish; }
start_app PLATFORM_CAPTURE_CLIP="$TEST_DIR/clip.mkv" || finish
post() { curl -s -o /dev/null -H "Referer: /x.htm" -d "$2" "http://127.0.0.1/$1"; }
post streamA_controls "StreamMode=1&BitRate=20000000"
post udpA_controls "Addr=127.0.0.1&Port=6000&StreamMode=0&StreamID=1&State=start"
wait_log "udpA: attached to stream 1" 20 || { fail "sender did not start"; finish; }
sleep 2
sender=$(grep -lx udpA /proc/$APP_PID/task/*/comm | head -1 | xargs dirname)
before=$(ticks "$APP_PID"); sb=$(awk '{print $14 + $15}' "$sender/stat"); t0=$(date +%s.%N)
out=$(bench_udp_count 6000 "$RUN")
after=$(ticks "$APP_PID"); sa=$(awk '{print $14 + $15}' "$sender/stat"); t1=$(date +%s.%N)
grams=$(grep -oE 'datagrams=[0-9]+' <<<"$out" | cut -d= -f2)
printf 'k7160 mode 0: %s %s packets/s=%.0f sender_thread_cpu=%.1f%% appliance_cpu=%.1f%% (capture and encoder included)\n' \
  "$(bench_rates 20000000 "$(bench_udp_bps "$out")")" "$out" "$(echo "$grams / ($t1 - $t0)" | bc -l)" "$(echo "($sa - $sb) / $hz / ($t1 - $t0) * 100" | bc -l)" \
  "$(echo "($after - $before) / $hz / ($t1 - $t0) * 100" | bc -l)"

# The peer: ffmpeg copying a transport stream of the same rate to UDP in real time.
ffmpeg -v error -y -f lavfi -i testsrc=size=640x480:rate=30 -t "$RUN" -c:v libx264 -b:v 20M -minrate 20M -maxrate 20M \
  -bufsize 2M -x264-params nal-hrd=cbr -g 30 -f mpegts "$TEST_DIR/peer.ts"
bench_udp_count 6001 "$((RUN + 2))" >"$TEST_DIR/peer.out" &
rx=$!
sleep 0.5
f0=$(date +%s.%N)
fcpu=$(python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:])
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print(r.ru_utime + r.ru_stime)' ffmpeg -v error -re -i "$TEST_DIR/peer.ts" -c copy -f mpegts "udp://127.0.0.1:6001?pkt_size=1316")
f1=$(date +%s.%N)
wait $rx
fgrams=$(grep -oE 'datagrams=[0-9]+' "$TEST_DIR/peer.out" | cut -d= -f2)
printf 'ffmpeg -re -c copy: %s %s packets/s=%.0f ffmpeg_cpu=%.1f%%\n' "$(bench_rates 20000000 "$(bench_udp_bps "$(cat "$TEST_DIR/peer.out")")")" "$(cat "$TEST_DIR/peer.out")" \
  "$(echo "$fgrams / ($f1 - $f0)" | bc -l)" "$(echo "$fcpu / ($f1 - $f0) * 100" | bc -l)"
stop_app
finish
