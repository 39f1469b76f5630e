#!/usr/bin/env bash
# Soak: the appliance under 32 RTSP (TCP, with keep-alives), 8 RTMP, 4 HLS and 4 MJPEG clients
# while channel A's bit rate changes every 10 s, for SOAK_MINUTES (15 by default), in a network
# namespace of its own. Prints RSS, descriptors and threads each minute and each client's
# pictures (bench/soak_clients.py). A bench, not a test: it asserts nothing about the figures.
# With the sanitized build, LeakSanitizer reports what is still allocated at the end:
#   SOAK_MINUTES=5 K7160_BIN=build-test/k7160 bench/soak.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
MINUTES=${SOAK_MINUTES:-15}

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
python3 "$top/bench/soak_clients.py" "$APP_PID" "$MINUTES" "$TEST_DIR"
stop_app
echo "exit status $APP_STATUS"
if grep -q "LeakSanitizer" "$LOG"; then
  echo "LeakSanitizer:"; grep -A12 "ERROR: LeakSanitizer" "$LOG" | head -n 60
  grep "SUMMARY" "$LOG"
fi
finish
