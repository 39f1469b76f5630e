#!/usr/bin/env bash
# GStreamer's player against every audio and video session, over UDP and over TCP, round after
# round, optionally beside stress-ng loading the CPUs: per round and session the decoded video
# and audio buffers that reached the sinks. The players are those of tests/e2e/audio_test.sh
# (tests/e2e/gst.sh). Runs in namespaces of its own (loopback only).
#   GST_MATRIX_ROUNDS=20 GST_MATRIX_LOAD=8 K7160_BIN=build-test/k7160 bench/gst_matrix_bench.sh
# GST_MATRIX_COLD_REGISTRY=1 starts without a GStreamer plugin registry, as a new machine does.
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-test/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
source "$top/tests/e2e/gst.sh"
ROUNDS=${GST_MATRIX_ROUNDS:-20}
[ "$ROUNDS" -le 50 ] || ROUNDS=50
LOAD=${GST_MATRIX_LOAD:-0}
RTSP=rtsp://127.0.0.1:8554

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
if [ -n "${GST_MATRIX_COLD_REGISTRY:-}" ]; then
  # As on a new machine: no plugin registry yet, the first round's players build it.
  export GST_REGISTRY="$TEST_DIR/registry.bin"
else
  gst_registry
fi
stressor=""
if [ "$LOAD" -gt 0 ]; then
  # Bounded: it ends by itself even if this script is killed.
  stress-ng --cpu "$LOAD" --timeout $((ROUNDS * 75)) --quiet &
  stressor=$!
fi

bad_rounds=0
failures=0
load_max=0
for round in $(seq 1 "$ROUNDS"); do
  line="round $round:"
  round_bad=0
  for proto in udp tcp; do
    gst_all "$proto" "$TEST_DIR/$proto"
    load_now=$(cut -d' ' -f1 /proc/loadavg)
    load_max=$(awk -v a="$load_max" -v b="$load_now" 'BEGIN { print (b > a ? b : a) }')
    for s in $GST_AV_SESSIONS $GST_AUDIO_SESSIONS; do
      f="$TEST_DIR/$proto-$s.txt"
      v=$(gst_count "$f" video); a=$(gst_count "$f" audio)
      if { [[ " $GST_AUDIO_SESSIONS " = *" $s "* ]] || gst_has "$f" video >/dev/null; } && gst_has "$f" audio >/dev/null; then
        line="$line $proto/$s v=$v a=$a"
      else
        round_bad=1; failures=$((failures + 1))
        line="$line $proto/$s FAILED(v=$v a=$a)"
        cp "$f" "$TEST_DIR/failed-$round-$proto-$s.txt"
      fi
    done
  done
  echo "$line load=$load_now"
  bad_rounds=$((bad_rounds + round_bad))
done
[ -n "$stressor" ] && kill "$stressor" 2>/dev/null
echo "rounds=$ROUNDS load_workers=$LOAD host_load=\"$(cut -d' ' -f1-3 /proc/loadavg)\" peak_load=$load_max failed_rounds=$bad_rounds failed_pipelines=$failures"
for f in "$TEST_DIR"/failed-*; do
  [ -e "$f" ] || continue
  echo "---- $(basename "$f")"; grep -iE "error|warning" "$f" | head -5
done
stop_app
check "the matrix passed every round" [ "$bad_rounds" = 0 ]
finish
