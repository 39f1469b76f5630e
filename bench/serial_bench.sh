#!/usr/bin/env bash
# The serial bridge's relay beside socat bridging the same kind of pty to TCP: throughput from a
# TCP client to the pty and back, and the round-trip latency of small messages, in a network
# namespace of its own (loopback only). Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/serial_bench.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
MB=${SERIAL_BENCH_MB:-8}
[ "$MB" -le 64 ] || MB=64

# Measures one bridge over a pty whose master it holds: throughput from a TCP client to the
# pty and back, and the round-trip latency of 200 16-byte messages echoed by the pty side.
cat >"$TEST_DIR/measure.py" <<'PY'
import os, pty, select, socket, subprocess, sys, threading, time, tty, urllib.request
which, board, mb = sys.argv[1], sys.argv[2], int(sys.argv[3])
master, slave = pty.openpty(); tty.setraw(slave)
if which == "k7160":
    os.makedirs(board + "/dev", exist_ok=True)
    os.symlink(os.ttyname(slave), board + "/dev/ttyS0")
    def post(body):
        req = urllib.request.Request("http://127.0.0.1/controls", data=body.encode(), headers={"Referer": "/x.htm"})
        try: urllib.request.urlopen(req, timeout=5).read()
        except Exception: pass
    post("Serial.StreamID=3&Serial.TCPPort=7000&Serial.BaudRate=921000&Serial.StartMode=0")
    post("Serial.State=start")
    port, name, peer = 7000, "k7160 serial bridge", None
    for _ in range(100):
        st = urllib.request.urlopen("http://127.0.0.1/Serial.Status", timeout=5).read().decode()
        if st.startswith("Streaming"): break
        time.sleep(0.1)
else:
    port, name = 7001, "socat"
    peer = subprocess.Popen(["socat", "TCP-LISTEN:7001,reuseaddr,nodelay", os.ttyname(slave) + ",raw,echo=0"])
    time.sleep(0.5)
c = socket.create_connection(("127.0.0.1", port)); c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
time.sleep(0.5)
def drain_fd(fd, n):
    got = 0
    while got < n:
        r, _, _ = select.select([fd], [], [], 5)
        if not r: break
        got += len(os.read(fd, 65536))
    return got
def drain_sock(s, n):
    got = 0; s.settimeout(5)
    while got < n:
        try: d = s.recv(65536)
        except socket.timeout: break
        if not d: break
        got += len(d)
    return got
total = mb << 20; block = b"\x55" * 4096
res = {}
t = threading.Thread(target=lambda: res.update(to_pty=drain_fd(master, total))); t.start()
t0 = time.time()
for _ in range(total // len(block)): c.sendall(block)
t.join(); t1 = time.time()
t = threading.Thread(target=lambda: res.update(to_tcp=drain_sock(c, total))); t.start()
t2 = time.time(); sent = 0
while sent < total:
    select.select([], [master], [], 5)
    sent += os.write(master, block)
t.join(); t3 = time.time()
lat = []
for i in range(200):
    msg = b"%016d" % i; a = time.time(); c.sendall(msg)
    got = b""
    while len(got) < 16:
        r, _, _ = select.select([master], [], [], 5)
        if not r: break
        got += os.read(master, 16 - len(got))
    os.write(master, got); back = b""
    c.settimeout(5)
    while len(back) < 16:
        d = c.recv(16 - len(back))
        if not d: break
        back += d
    lat.append((time.time() - a) * 1e6)
lat.sort()
print("%s: tcp->pty %.1f MB/s (%d of %d bytes), pty->tcp %.1f MB/s (%d bytes), round trip p50 %.0f us p99 %.0f us" % (
    name, res.get("to_pty", 0) / (t1 - t0) / 1e6, res.get("to_pty", 0), total,
    res.get("to_tcp", 0) / (t3 - t2) / 1e6, res.get("to_tcp", 0), lat[len(lat) // 2], lat[int(len(lat) * 0.99)]))
c.close()
if peer: peer.terminate()
PY

start_app || finish
python3 "$TEST_DIR/measure.py" k7160 "$BOARD" "$MB"
python3 "$TEST_DIR/measure.py" socat "$BOARD" "$MB"
stop_app
finish
