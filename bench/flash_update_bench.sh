#!/usr/bin/env bash
# Firmware update of the largest image (7.5 MiB) on the flash stand-in: how long the check and
# the erase and write take (from the appliance's log), and the latency of settings reads made
# back to back meanwhile, against the same reads before the upload, in one run. The appliance
# runs in a namespace of its own; everything stops by itself. Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && bench/flash_update_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"

URL=http://127.0.0.1
ADMIN=(--basic -u admin:secret7)
IDLE_SECONDS=${IDLE_SECONDS:-2}
ROUNDS=${ROUNDS:-5}        # each update restarts the appliance: one image per start
SAMPLERS=${SAMPLERS:-2}

# The largest image the appliance takes: header and data 0x780000 bytes, with a right CRC;
# new data each round, so that each is an update.
make_image() {
  python3 - "$1" <<'PY'
import os, struct, sys, zlib
total = 0x780000
data = os.urandom(total - 64)
hdr = bytearray(64)
struct.pack_into('>IIII', hdr, 0, 0x27051956, 0, 1765000000, len(data))
struct.pack_into('>I', hdr, 24, zlib.crc32(data) & 0xFFFFFFFF)
hdr[32:32 + 11] = b'bench image'
open(sys.argv[1], 'wb').write(bytes(hdr) + data)
PY
}

# sample OUT: settings reads back to back, a new connection each as a polling page makes them,
# with the wall-clock time of each; ends at the stop file or after 60 s.
sample() {
  python3 - "$1" "$TEST_DIR/stop" <<'PY'
import base64, http.client, sys, time, os
out, stop = open(sys.argv[1], 'w'), sys.argv[2]
auth = 'Basic ' + base64.b64encode(b'admin:secret7').decode()
end = time.time() + 60
while time.time() < end and not os.path.exists(stop):
    t0 = time.time()
    try:
        c = http.client.HTTPConnection('127.0.0.1', 80, timeout=5)
        c.request('GET', '/Video%5B0%5D.BitRate', headers={'Authorization': auth})
        ok = c.getresponse().read() == b'2000000'
        c.close()
    except OSError:
        ok = False
    out.write('%.6f %.6f %d\n' % (t0, time.time() - t0, ok))
out.close()
PY
}

for round in $(seq 1 "$ROUNDS"); do
  [ -f "$LOG" ] && mv "$LOG" "$TEST_DIR/k7160.log.$((round - 1))"
  start_app || finish
  wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }
  curl -s -o /dev/null --data-urlencode "User[0].Name=admin" --data-urlencode "User[0].Permission=5" \
    --data-urlencode "User[0].Password=secret7" --data-urlencode "GuestPermission=0" $URL/controls
  check "round $round: the setting reads before the run" \
    [ "$(curl -sg "${ADMIN[@]}" "$URL/Video[0].BitRate")" = 2000000 ]
  make_image "$TEST_DIR/big.img"
  rm -f "$TEST_DIR/stop"
  pids=()
  for s in $(seq 1 "$SAMPLERS"); do sample "$TEST_DIR/samples.$round.$s" & pids+=($!); done
  sleep "$IDLE_SECONDS"
  echo "$(date +%s.%N)" >"$TEST_DIR/post.$round"
  code=$(curl -s -m 60 -o /dev/null -w '%{http_code}' "${ADMIN[@]}" -H 'Referer: /admin_update.htm' \
    -H 'Content-Type: application/octet-stream' --data-binary "@$TEST_DIR/big.img" "$URL/firmware")
  echo "$(date +%s.%N)" >>"$TEST_DIR/post.$round"
  check "round $round: the image was taken ($code)" [ "$code" = 303 ]
  check "round $round: the image was checked and written" \
    wait_log "flash_thread: waiting for web page to see message" 60
  sleep 0.5
  touch "$TEST_DIR/stop"
  for p in "${pids[@]}"; do
    for _ in $(seq 1 100); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill "$p" 2>/dev/null
  done
  # The page takes the message; the appliance then restarts.
  status=$(curl -sg -m 2 "${ADMIN[@]}" "$URL/FirmwareStatus")
  check "round $round: FirmwareStatus reads the restart text ($status)" [ "$status" = Restarting ]
  for _ in $(seq 1 100); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$APP_PID" 2>/dev/null && stop_app
  APP_PID=""
done
mv "$LOG" "$TEST_DIR/k7160.log.$ROUNDS"

python3 - "$TEST_DIR" "$ROUNDS" <<'PY'
import glob, re, sys
d, rounds = sys.argv[1], int(sys.argv[2])
def stamp(log, text, near):
    # Log stamps are the wall clock's seconds modulo 100000.
    base = near - near % 100000
    for line in open(log, errors='replace'):
        m = re.match(r'\[\s*(\d+)\.(\d{6})\] (.*)', line)
        if m and text in m.group(3):
            t = base + int(m.group(1)) + int(m.group(2)) / 1e6
            return t + 100000 if t < near - 50000 else t - 100000 if t > near + 50000 else t
    sys.exit('no log line: ' + text)
times = {k: [] for k in ('upload', 'check', 'erase', 'write')}
lat = {k: [] for k in ('idle', 'upload', 'check', 'erase+write')}
bad = dict.fromkeys(lat, 0)
for r in range(1, rounds + 1):
    post_start, post_end = map(float, open('%s/post.%d' % (d, r)).read().split())
    log = '%s/k7160.log.%d' % (d, r)
    verify = stamp(log, 'flash_thread: fw total=', post_start)
    erase = stamp(log, 'flash_kernel_image: erasing', post_start)
    write = stamp(log, 'flash_kernel_image: writing', post_start)
    done = stamp(log, 'flash_thread: waiting for web page to see message', post_start)
    times['upload'].append(post_end - post_start)
    times['check'].append(erase - verify)
    times['erase'].append(write - erase)
    times['write'].append(done - write)
    phases = [('idle', 0, post_start), ('upload', post_start, verify), ('check', verify, erase),
              ('erase+write', erase, done)]
    for f in glob.glob('%s/samples.%d.*' % (d, r)):
        for l in open(f):
            t0, dt, ok = l.split()
            for name, a, b in phases:
                if a <= float(t0) < b:
                    lat[name].append(float(dt) * 1000)
                    bad[name] += ok != '1'
print('image 7864320 bytes, %d rounds (median, min-max):' % rounds)
for k, v in times.items():
    v = sorted(v)
    print('  %-7s %8.1f ms  (%.1f-%.1f)' % (k, v[len(v) // 2] * 1000, v[0] * 1000, v[-1] * 1000))
print('%-13s %6s %9s %9s %9s %6s' % ('settings read', 'reads', 'median ms', 'p95 ms', 'max ms', 'failed'))
for name, v in lat.items():
    v.sort()
    if not v:
        print('%-13s %6d %9s %9s %9s %6d' % (name, 0, '-', '-', '-', bad[name]))
        continue
    pick = lambda q: v[min(len(v) - 1, int(q * len(v)))]
    print('%-13s %6d %9.2f %9.2f %9.2f %6d' % (name, len(v), pick(0.5), pick(0.95), v[-1], bad[name]))
PY
finish
