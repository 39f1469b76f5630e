#!/usr/bin/env bash
# The serial bridge's UDP and TCP client modes toward a peer in a namespace of its own behind a
# veth pair, datagrams from a stranger kept off the port, and a taken port retried without a
# busy loop.
source "$K7160_TESTLIB"

ip link add v0 type veth peer name v1
ip addr add 198.18.0.1/24 dev v0
ip link set v0 up
unshare --net sleep 120 &
PEER_NS=$!
sleep 0.2
ip link set v1 netns "$PEER_NS"
inpeer() { nsenter --net=/proc/$PEER_NS/ns/net "$@"; }
inpeer ip link set lo up
inpeer ip addr add 198.18.0.2/24 dev v1
inpeer ip addr add 198.18.0.3/24 dev v1
inpeer ip link set v1 up

mkdir -p "$BOARD/dev"
python3 - "$BOARD" "$TEST_DIR/result" "$LOG" "$PEER_NS" <<'PY' &
import os, pty, select, socket, subprocess, sys, time, urllib.error, urllib.request
board, result, log, peer_ns = sys.argv[1:5]
out = open(result, "w", buffering=1)
def ok(what, cond, detail=""):
    out.write(("ok: " if cond else "FAIL: ") + what + ("" if cond else " " + str(detail)) + "\n")
m, s = pty.openpty()
os.symlink(os.ttyname(s), board + "/dev/ttyS0")
HTTP = "http://127.0.0.1/"
def get(name):
    try:
        return urllib.request.urlopen(HTTP + name, timeout=5).read().decode()
    except Exception as e:
        return "error " + str(e)
def post(body):
    req = urllib.request.Request(HTTP + "controls", data=body.encode(), headers={"Referer": "/x.htm"})
    try:
        urllib.request.urlopen(req, timeout=5).read()
    except urllib.error.HTTPError:
        pass
def wait_status(pred, secs=10):
    end = time.time() + secs
    st = ""
    while time.time() < end:
        st = get("Serial.Status")
        if pred(st):
            return st
        time.sleep(0.1)
    return "timeout: " + st
def read_port(n, secs=5):
    data = b""
    end = time.time() + secs
    while len(data) < n:
        r, _, _ = select.select([m], [], [], max(0, end - time.time()))
        if not r:
            break
        data += os.read(m, n - len(data))
    return data
def peer(code):
    return subprocess.Popen(["nsenter", "--net=/proc/%s/ns/net" % peer_ns, "python3", "-c", code],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)

end = time.time() + 60
while not get("Serial.Status").startswith("Stopped") and time.time() < end:
    time.sleep(0.2)

# UDP toward the peer.
post("Serial.StreamID=5&Serial_TCPAddr=198.18.0.2&Serial.TCPPort=7100&Serial.BaudRate=115200&Serial.StartMode=0")
post("Serial.State=start")
st = wait_status(lambda t: t == "Streaming, connected to 198.18.0.2:7100")
ok("UDP connected to the peer", st == "Streaming, connected to 198.18.0.2:7100", st)
p = peer("""
import socket
x = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); x.bind(("198.18.0.3", 7100))
x.sendto(b"STRANGER", ("198.18.0.1", 7100))
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("198.18.0.2", 7100))
u.sendto(b"peer-to-port", ("198.18.0.1", 7100))
u.settimeout(8)
print(u.recvfrom(100)[0].decode())
""")
got = read_port(12)
ok("UDP peer to port", got == b"peer-to-port", got)
time.sleep(0.3)
os.write(m, b"port-to-peer")
o, e = p.communicate(timeout=15)
ok("UDP port to peer", o.decode().strip() == "port-to-peer", (o, e))
extra = read_port(1, 0.5)
ok("UDP from a stranger never reaches the port", extra == b"", extra)
post("Serial.State=stop")
wait_status(lambda t: t == "Stopped")

# TCP client toward the peer.
p = peer("""
import socket
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind(("198.18.0.2", 7101)); l.listen(1); l.settimeout(15)
c, a = l.accept()
c.sendall(b"hello-port")
c.settimeout(8)
print(c.recv(100).decode())
""")
time.sleep(0.5)
post("Serial.TCPPort=7101&Serial.StreamID=4")
post("Serial.State=start")
got = read_port(10, 15)
ok("TCP client connected", "Connected to 198.18.0.2:7101" in open(log, errors="replace").read())
ok("TCP client: peer to port", got == b"hello-port", got)
os.write(m, b"hello-peer")
o, e = p.communicate(timeout=15)
ok("TCP client: port to peer", o.decode().strip() == "hello-peer", (o, e))
post("Serial.State=stop")
ok("TCP client stopped", wait_status(lambda t: t == "Stopped") == "Stopped")

# A port already taken, StartMode 1: retried, spaced by the wait.
taken = socket.socket()
taken.bind(("0.0.0.0", 7200))
taken.listen(1)
before = open(log, errors="replace").read().count("serial: restarting in 5 s")
post("Serial.StreamID=3&Serial.TCPPort=7200&Serial.StartMode=1")
post("Serial.State=start")
time.sleep(11)
tries = open(log, errors="replace").read().count("serial: restarting in 5 s") - before
ok("taken port retried, spaced by the wait", 2 <= tries <= 3, tries)
taken.close()
st = wait_status(lambda t: t == "Streaming, waiting for connection", 10)
ok("port freed: the server comes up", st == "Streaming, waiting for connection", st)
post("Serial.State=stop")
ok("stopped", wait_status(lambda t: t == "Stopped") == "Stopped")
out.write("done\n")
PY
DRIVER=$!

start_app || finish
wait "$DRIVER"
cat "$TEST_DIR/result"
grep -q '^done$' "$TEST_DIR/result" || fail "driver did not finish"
n=$(grep -c '^FAIL' "$TEST_DIR/result"); [ "$n" -eq 0 ] || fail "$n serial check(s)"
stop_app
check "shutdown in order" [ "$APP_STATUS" = 0 ]
kill "$PEER_NS" 2>/dev/null
finish
