#!/usr/bin/env bash
# Mode 0 of the UDP sender at 20 Mbit/s beside ffmpeg sending the same kind of stream: packets
# per second, sender CPU and loss at a local receiver, in a network namespace of its own
# (loopback only). The receiver counts transport-stream continuity breaks as loss. Use an
# optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/udp_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
RUN=${UDP_BENCH_SECONDS:-60}
[ "$RUN" -le 120 ] || RUN=120
hz=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# Receives for a while on a port; prints datagrams, bytes and continuity breaks per PID.
receive() {   # PORT SECONDS
  python3 - "$@" <<'PY'
import socket, sys, time
port, secs = int(sys.argv[1]), float(sys.argv[2])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
s.bind(("127.0.0.1", port)); s.settimeout(0.2)
cc = {}; grams = 0; size = 0; breaks = 0; pending = b""
end = time.time() + secs
while time.time() < end:
    try:
        d = s.recv(65536)
    except socket.timeout:
        continue
    grams += 1; size += len(d); pending += d
    while len(pending) >= 188:
        if pending[0] != 0x47:
            # Lost bytes: count one break and find the next packet start.
            breaks += 1
            k = pending.find(b"\x47", 1)
            pending = pending[k:] if k > 0 else b""
            cc.clear()
            continue
        p, pending = pending[:188], pending[188:]
        pid = (p[1] & 0x1f) << 8 | p[2]
        if pid == 0x1fff or not (p[3] & 0x10): continue
        c = p[3] & 15
        if pid in cc and c != (cc[pid] + 1) & 15: breaks += 1
        cc[pid] = c
print("datagrams=%d bytes=%d continuity_breaks=%d" % (grams, size, breaks))
PY
}

start_app || finish
post() { curl -s -o /dev/null -H "Referer: /x.htm" -d "$2" "http://127.0.0.1/$1"; }
post streamA_controls "StreamMode=1&BitRate=20000000"
post udpA_controls "Addr=127.0.0.1&Port=6000&StreamMode=0&StreamID=1&State=start"
wait_log "udpA: attached to stream 1" 20 || { fail "sender did not start"; finish; }
sleep 2
sender=$(grep -lx udpA /proc/$APP_PID/task/*/comm | head -1 | xargs dirname)
before=$(ticks "$APP_PID"); sb=$(awk '{print $14 + $15}' "$sender/stat"); t0=$(date +%s.%N)
out=$(receive 6000 "$RUN")
after=$(ticks "$APP_PID"); sa=$(awk '{print $14 + $15}' "$sender/stat"); t1=$(date +%s.%N)
grams=$(grep -oE 'datagrams=[0-9]+' <<<"$out" | cut -d= -f2)
printf 'k7160 mode 0: %s packets/s=%.0f sender_thread_cpu=%.1f%% appliance_cpu=%.1f%% (capture and encoder included)\n' \
  "$out" "$(echo "$grams / ($t1 - $t0)" | bc -l)" "$(echo "($sa - $sb) / $hz / ($t1 - $t0) * 100" | bc -l)" \
  "$(echo "($after - $before) / $hz / ($t1 - $t0) * 100" | bc -l)"

# The peer: ffmpeg copying a transport stream of the same rate to UDP in real time.
ffmpeg -v error -y -f lavfi -i testsrc=size=640x480:rate=30 -t "$RUN" -c:v libx264 -b:v 20M -minrate 20M -maxrate 20M \
  -bufsize 2M -x264-params nal-hrd=cbr -g 30 -f mpegts "$TEST_DIR/peer.ts"
receive 6001 "$((RUN + 2))" >"$TEST_DIR/peer.out" &
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
printf 'ffmpeg -re -c copy: %s packets/s=%.0f ffmpeg_cpu=%.1f%%\n' "$(cat "$TEST_DIR/peer.out")" \
  "$(echo "$fgrams / ($f1 - $f0)" | bc -l)" "$(echo "$fcpu / ($f1 - $f0) * 100" | bc -l)"
stop_app
finish
