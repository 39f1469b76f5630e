#!/usr/bin/env bash
# The RTMP exhaustion of an idle crowd, in a network namespace of its own (loopback only): the
# appliance runs with 1024 descriptors, and CROWD (default 1100) connections from 127.0.0.1 finish
# the handshake, send "connect" and never play. Prints the appliance's open descriptors, threads,
# RSS and log size before, while the crowd holds its connections, and after the server closed
# them, with how long the web server, RTSP and RTMP from 127.0.0.2 take to answer meanwhile.
# Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/rtmp_exhaust_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
CROWD=${RTMP_EXHAUST_CROWD:-1100}
[ "$CROWD" -le 3000 ] || CROWD=3000
E2E=$top/tests/e2e

ip addr add 127.0.0.2/32 dev lo 2>/dev/null
soft=$(ulimit -Sn)
ulimit -Sn 1024
start_app || finish
ulimit -Sn "$soft"
wait_log "RTMP server listening on port 1935" 20 || { fail "RTMP listener did not start"; finish; }
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }

figures() {   # WHEN
  printf '%-7s descriptors=%d threads=%d rss_kb=%d log_bytes=%d\n' "$1" "$(ls "/proc/$APP_PID/fd" | wc -l)" \
    "$(ls "/proc/$APP_PID/task" | wc -l)" "$(awk '/^VmRSS/ { print $2 }' "/proc/$APP_PID/status")" \
    "$(stat -c %s "$LOG")"
}
answer_s() {   # COMMAND...: seconds to an answer, or "none"
  local t0; t0=$(date +%s.%N)
  if "$@" >/dev/null 2>&1; then echo "$(date +%s.%N) - $t0" | bc; else echo none; fi
}
rtmp_answer() {
  timeout 10 python3 - "$E2E" <<'PY'
import socket, sys
sys.path.insert(0, sys.argv[1])
import rtmp_client as rc
s = socket.socket(); s.bind(("127.0.0.2", 0)); s.settimeout(5)
s.connect((rc.HOST, rc.PORT))
rc.handshake(s)
s.sendall(rc.chunked(3, 20, rc.connect_body()))
sys.exit(0 if "_result" in [rc.amf_first_string(m[4]) for m in rc.Reader(s).messages(5, 5)] else 1)
PY
}
answers() {
  printf '        web_s=%s rtsp_ffprobe_s=%s rtmp_connect_answer_from_other_address_s=%s\n' \
    "$(answer_s curl -sf -o /dev/null --max-time 10 http://127.0.0.1/)" \
    "$(answer_s timeout 10 ffprobe -v error rtsp://127.0.0.1:8554/streamA.h264)" "$(answer_s rtmp_answer)"
}

sleep 2
figures before
python3 "$E2E/rtmp_crowd.py" "$CROWD" 127.0.0.1 60 "$TEST_DIR/ready" >"$TEST_DIR/crowd.out" 2>&1 &
crowd=$!
for _ in $(seq 1 900); do [ -e "$TEST_DIR/ready" ] || ! kill -0 $crowd 2>/dev/null && break; sleep 0.1; done
figures during
answers
wait $crowd
echo "crowd of $CROWD: $(cat "$TEST_DIR/crowd.out")"
sleep 1
figures after
answers
echo "log lines: refusals=$(grep -c 'rtmp: connection from .* refused' "$LOG") accept_failures=$(grep -c 'accept: ' "$LOG") idle_closes=$(grep -c 'closed: not playing' "$LOG")"
stop_app
finish
