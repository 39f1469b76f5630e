#!/usr/bin/env bash
# Received H.264 in transport stream over UDP at 2 and 8 Mbit/s (720x576, 25 fps), and 720x480
# at 30 fps with AAC over TCP: frames the output thread decodes per second and its CPU (with
# sound also the display's A/V offset), beside `ffmpeg -i udp://... -f null -` decoding the same
# stream at the same time (both fed by one ffmpeg sender through the tee muxer, whose
# third copy a counter receives to measure the rate on the wire beside the one set), in a network
# namespace of its own. Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/received_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
source "$top/bench/bench_lib.sh"
RUN=${RECEIVED_BENCH_SECONDS:-20}
[ "$RUN" -le 60 ] || RUN=60
hz=$(getconf CLK_TCK)
post() { curl -s -o /dev/null -H "Referer: /x.htm" -d "$2" "http://127.0.0.1/$1"; }
frames() { curl -sg "http://127.0.0.1/Display.Status" | sed -nE 's/^([0-9]+) frames decoded.*/\1/p'; }
ticks() { awk '{print $14 + $15}' "$1"; }

start_app || finish
wait_log "display streamon" 20 || { fail "the output did not start"; finish; }
post display_controls "UDPPort=6100&StreamFormat=1&URL=udp"
post display_controls "State=start"
sleep 2
thread=$(grep -lx output /proc/$APP_PID/task/*/comm | head -1 | xargs dirname)
[ -n "$thread" ] || { fail "no output thread"; finish; }

for rate in 2 8 av; do
  src="$TEST_DIR/s$rate.ts"
  if [ "$rate" = av ]; then
    # Pictures with sound: the appliance takes them over TCP, as the sound is meant to be kept.
    ffmpeg -v error -y -f lavfi -i testsrc2=size=720x480:rate=30 -f lavfi -i "sine=frequency=440:sample_rate=48000" \
      -t "$((RUN + 4))" -c:v libx264 -preset veryfast -bf 0 -g 30 -b:v 2M -pix_fmt yuv420p -c:a aac -ac 2 -ar 48000 \
      -b:a 128k -f mpegts "$src"
    post display_controls "State=stop"; post display_controls "UDPPort=6100&StreamFormat=0&URL=tcp"
    post display_controls "State=start"; sleep 2
    target="[f=mpegts]tcp://127.0.0.1:6100"
  else
    ffmpeg -v error -y -f lavfi -i testsrc2=size=720x576:rate=25 -t "$((RUN + 4))" -c:v libx264 -preset veryfast -bf 0 \
      -g 25 -b:v ${rate}M -minrate ${rate}M -maxrate ${rate}M -bufsize ${rate}M -pix_fmt yuv420p -f mpegts "$src"
    target="[f=mpegts]udp://127.0.0.1:6100?pkt_size=1316"
  fi
  # The peer decoder, on its own port, for as long as the stream lasts.
  python3 -c 'import re, resource, subprocess, sys
p = subprocess.run(sys.argv[1:], stderr=subprocess.PIPE, text=True)
r = resource.getrusage(resource.RUSAGE_CHILDREN)
frames = re.findall(r"frame=\s*(\d+)", p.stderr)
print("%.3f %s" % (r.ru_utime + r.ru_stime, frames[-1] if frames else 0))' \
    ffmpeg -nostdin -hide_banner -stats -i "udp://127.0.0.1:6101?timeout=3000000&fifo_size=1000000&overrun_nonfatal=1" \
    -f null - >"$TEST_DIR/peer$rate.out" &
  peer=$!
  bench_udp_count 6102 "$((RUN + 6))" >"$TEST_DIR/wire$rate.out" &
  counter=$!
  sleep 1
  timeout $((RUN + 10)) ffmpeg -v error -re -i "$src" -c copy -map 0 -f tee \
    "$target|[f=mpegts]udp://127.0.0.1:6101?pkt_size=1316|[f=mpegts]udp://127.0.0.1:6102?pkt_size=1316" &
  sender=$!
  sleep 2
  f0=$(frames); c0=$(ticks "$thread/stat"); t0=$(date +%s.%N)
  sleep "$RUN"
  f1=$(frames); c1=$(ticks "$thread/stat"); t1=$(date +%s.%N)
  while kill -0 "$sender" 2>/dev/null; do sleep 0.2; done
  while kill -0 "$peer" 2>/dev/null; do sleep 0.2; done
  wait "$counter"
  read -r pcpu pframes <"$TEST_DIR/peer$rate.out"
  label="$rate Mbit/s"
  if [ "$rate" = av ]; then
    label="30 fps with AAC"
    wait_log "A/V offset over" 10
    grep -F "A/V offset over" "$LOG" | tail -1 | sed -E 's/^\[[ 0-9.]+\] display: /k7160 display: /'
  fi
  wire=$(bench_udp_bps "$(cat "$TEST_DIR/wire$rate.out")")
  set_bps=$((${rate/av/2} * 1000000))
  printf '%s ' "$(bench_rates "$set_bps" "$wire")"
  printf '%s: k7160 output thread %.1f frames/s cpu=%.1f%% | ffmpeg -f null %.1f frames/s cpu=%.1f%% (whole stream, %s frames)\n' \
    "$label" "$(echo "(${f1:-0} - ${f0:-0}) / ($t1 - $t0)" | bc -l)" "$(echo "($c1 - $c0) / $hz / ($t1 - $t0) * 100" | bc -l)" \
    "$(echo "${pframes:-0} / ($RUN + 4)" | bc -l)" "$(echo "${pcpu:-0} / ($RUN + 4) * 100" | bc -l)" "${pframes:-0}"
  post display_controls "State=stop"; sleep 1; post display_controls "State=start"; sleep 1
done
stop_app
finish
