#!/usr/bin/env bash
# GStreamer's rtspsrc against every audio and video session, over UDP and over TCP, round after
# round, optionally beside stress-ng loading every CPU: per round and session the decoded video
# and audio buffers that reached the sinks, and whether rtspsrc failed to link a stream. The
# pipelines are those of tests/e2e/audio_test.sh. Runs in namespaces of its own (loopback only).
#   GST_MATRIX_ROUNDS=20 GST_MATRIX_LOAD=8 K7160_BIN=build-test/k7160 bench/gst_matrix_bench.sh
# GST_MATRIX_COLD_REGISTRY=1 starts without a GStreamer plugin registry, as a new machine does.
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-test/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
ROUNDS=${GST_MATRIX_ROUNDS:-20}
[ "$ROUNDS" -le 50 ] || ROUNDS=50
LOAD=${GST_MATRIX_LOAD:-0}
RTSP=rtsp://127.0.0.1:8554

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
if [ -n "${GST_MATRIX_COLD_REGISTRY:-}" ]; then
  # As on a new machine: no plugin registry yet, the first round's pipelines build it.
  export GST_REGISTRY="$TEST_DIR/registry.bin"
else
  gst-inspect-1.0 >/dev/null 2>&1   # as the test does: built before the first round's 20 s
fi
stressor=""
if [ "$LOAD" -gt 0 ]; then
  # Bounded: it ends by itself even if this script is killed.
  stress-ng --cpu "$LOAD" --timeout $((ROUNDS * 60)) --quiet &
  stressor=$!
fi

# gst-elements: rtpbin udpsrc rtph264depay rtpmp4gdepay rtpL16depay h264parse aacparse avdec_h264 avdec_aac
gst() {   # TRANSPORT SESSION OUT MEDIA...
  local proto=$1 session=$2 out=$3 branches="" m
  shift 3
  for m in "$@"; do
    branches="$branches s. ! application/x-rtp,media=$m ! queue ! decodebin ! fakesink name=${m}sink silent=false"
  done
  # shellcheck disable=SC2086
  timeout 20 gst-launch-1.0 -v rtspsrc location="$RTSP/$session" protocols="$proto" name=s $branches >"$out" 2>&1
}
count() { grep -c "$2sink:sink) (" "$1"; }

bad_rounds=0
failures=0
for round in $(seq 1 "$ROUNDS"); do
  line="round $round:"
  round_bad=0
  for proto in udp tcp; do
    pids=""
    for s in streamA.h264_aac streamB.h264_aac streamA.h264_pcm streamB.h264_pcm; do
      gst "$proto" "$s" "$TEST_DIR/$proto-$s.txt" video audio &
      pids="$pids $!"
    done
    for s in streamC.aac streamC.pcm; do
      gst "$proto" "$s" "$TEST_DIR/$proto-$s.txt" audio &
      pids="$pids $!"
    done
    # shellcheck disable=SC2086
    wait $pids
    for s in streamA.h264_aac streamB.h264_aac streamA.h264_pcm streamB.h264_pcm streamC.aac streamC.pcm; do
      f="$TEST_DIR/$proto-$s.txt"
      v=$(count "$f" video); a=$(count "$f" audio)
      linked=$(grep -c "Delayed linking failed" "$f")
      case $s in streamC.*) ok=$([ "$a" -ge 60 ] && echo 1 || echo 0) ;;
        *) ok=$([ "$v" -ge 60 ] && [ "$a" -ge 60 ] && echo 1 || echo 0) ;; esac
      if [ "$ok" != 1 ] || [ "$linked" != 0 ]; then
        round_bad=1; failures=$((failures + 1))
        line="$line $proto/$s FAILED(v=$v a=$a link-failures=$linked)"
        cp "$f" "$TEST_DIR/failed-$round-$proto-$s.txt"
      else
        line="$line $proto/$s v=$v a=$a"
      fi
    done
  done
  echo "$line"
  bad_rounds=$((bad_rounds + round_bad))
done
[ -n "$stressor" ] && kill "$stressor" 2>/dev/null
echo "rounds=$ROUNDS load_workers=$LOAD host_load=\"$(cut -d' ' -f1-3 /proc/loadavg)\" failed_rounds=$bad_rounds failed_pipelines=$failures"
for f in "$TEST_DIR"/failed-*; do
  [ -e "$f" ] || continue
  echo "---- $(basename "$f")"; grep -iE "error|warning|linking" "$f" | head -5
done
stop_app
check "the matrix passed every round" [ "$bad_rounds" = 0 ]
finish
