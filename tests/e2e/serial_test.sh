#!/usr/bin/env bash
# The serial port bridged by the TCP server: the port is a pty whose slave the test links into
# the board and whose master it holds. Bytes both ways, the status texts and counts, a second
# client replacing the first, a client that never reads, and stop restoring the port's settings.
source "$K7160_TESTLIB"

mkdir -p "$BOARD/dev"
python3 - "$BOARD" "$TEST_DIR/result" "$LOG" <<'PY' &
import os, pty, socket, sys, termios, time, urllib.error, urllib.request
board, result, log = sys.argv[1], sys.argv[2], sys.argv[3]
def wait_log(text, secs=10):
    end = time.time() + secs
    while time.time() < end:
        if text in open(log, errors="replace").read():
            return True
        time.sleep(0.1)
    return False
out = open(result, "w", buffering=1)
def ok(what, cond, detail=""):
    out.write(("ok: " if cond else "FAIL: ") + what + ("" if cond else " " + str(detail)) + "\n")

m, s = pty.openpty()
os.symlink(os.ttyname(s), board + "/dev/ttyS0")
orig = termios.tcgetattr(s)
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
        pass   # the form answers with a redirect to the page it came from
def wait_status(pred, secs=10):
    end = time.time() + secs
    st = ""
    while time.time() < end:
        st = get("Serial.Status")
        if pred(st):
            return st
        time.sleep(0.1)
    return "timeout: " + st
def read_exact(fd_or_sock, n, secs=5):
    data = b""
    end = time.time() + secs
    while len(data) < n and time.time() < end:
        if isinstance(fd_or_sock, socket.socket):
            fd_or_sock.settimeout(max(0.05, end - time.time()))
            try:
                chunk = fd_or_sock.recv(n - len(data))
            except socket.timeout:
                break
            if not chunk:
                break
        else:
            import select
            r, _, _ = select.select([fd_or_sock], [], [], max(0.05, end - time.time()))
            if not r:
                break
            chunk = os.read(fd_or_sock, n - len(data))
        data += chunk
    return data

end = time.time() + 60
while not get("Serial.Status").startswith("Stopped") and time.time() < end:
    time.sleep(0.2)
post("Serial.StreamID=3&Serial.TCPPort=7000&Serial.BaudRate=921000&Serial_Parity=2&Serial.StartMode=0")
post("Serial.State=start")
st = wait_status(lambda t: t == "Streaming, waiting for connection")
ok("server waits for a connection", st == "Streaming, waiting for connection", st)
now = termios.tcgetattr(s)
ok("line speed 921600 for 921000", now[4] == termios.B921600 and now[5] == termios.B921600, now[4:6])
ok("raw mode on the port", (now[3] & (termios.ICANON | termios.ECHO)) == 0 and (now[1] & termios.OPOST) == 0, now[1:4])

c1 = socket.create_connection(("127.0.0.1", 7000))
st = wait_status(lambda t: t.startswith("Streaming, accepted from 127.0.0.1:"))
ok("status names the accepted client", st.startswith("Streaming, accepted from 127.0.0.1:%d" % c1.getsockname()[1]), st)
to_port = bytes(range(256)) * 4
c1.sendall(to_port)
got = read_exact(m, len(to_port))
ok("TCP to port, every byte value", got == to_port, len(got))
from_port = bytes(range(255, -1, -1)) * 2
os.write(m, from_port)
got = read_exact(c1, len(from_port))
ok("port to TCP, every byte value", got == from_port, len(got))
st = wait_status(lambda t: t == "Streaming, rx:512 tx:1024")
ok("status counts the bytes", st == "Streaming, rx:512 tx:1024", st)

c2 = socket.create_connection(("127.0.0.1", 7000))
c1.settimeout(5)
try:
    eof = c1.recv(10) == b""
except Exception:
    eof = False
ok("second client replaces the first (first sees end of file)", eof)
st = wait_status(lambda t: t.startswith("Streaming, accepted from 127.0.0.1:%d" % c2.getsockname()[1]))
ok("status names the second client", st.startswith("Streaming, accepted"), st)
c2.sendall(b"hello")
ok("second client reaches the port", read_exact(m, 5) == b"hello")

# A client that never reads while the port floods it: the stop is not held up.
c2.close()
c3 = socket.create_connection(("127.0.0.1", 7000))
wait_status(lambda t: t.startswith("Streaming, accepted from 127.0.0.1:%d" % c3.getsockname()[1]))
os.set_blocking(m, False)
flood_end = time.time() + 4
while time.time() < flood_end:
    try:
        os.write(m, b"x" * 4096)
    except BlockingIOError:
        time.sleep(0.01)
    except OSError:
        break
t0 = time.time()
post("Serial.State=stop")
st = wait_status(lambda t: t == "Stopped", 10)
ok("stop with a client that never reads", st == "Stopped" and time.time() - t0 < 3, "%s after %.1f s" % (st, time.time() - t0))
c3.settimeout(5)
closed = False
try:
    end = time.time() + 20
    while time.time() < end:
        if not c3.recv(1 << 20):
            closed = True
            break
except ConnectionResetError:
    closed = True
except Exception:
    pass
ok("stop closes the connection", closed)
now = termios.tcgetattr(s)
ok("stop restores the port's settings", now == orig, (now, orig))
ok("even parity as asked", wait_log("serial: settings speed=%d parity=even" % termios.B921600, 1))

# Console: getty through the command runner, then the bridge again after a stop.
post("Serial.StreamID=8")
post("Serial.State=start")
ok("console starts getty", wait_log("cmd: /sbin/getty -n -l /bin/sh 115200 /dev/ttyS0"))
post("Serial.State=stop")
post("Serial.StreamID=3&Serial_Parity=3")
post("Serial.State=start")
wait_status(lambda t: t == "Streaming, waiting for connection")
c4 = socket.create_connection(("127.0.0.1", 7000))
wait_status(lambda t: t.startswith("Streaming, accepted"))
c4.sendall(b"again")
ok("bridge again after the console", read_exact(m, 5) == b"again")
ok("mark parity as asked", wait_log("parity=mark", 1))
post("Serial.State=stop")
ok("stopped again", wait_status(lambda t: t == "Stopped") == "Stopped")
c4.close()

# Key frames of channel A in JPEG, one each Serial.Interval.
req = urllib.request.Request(HTTP + "streamA_controls", data=b"StreamMode=3", headers={"Referer": "/x.htm"})
try:
    urllib.request.urlopen(req, timeout=5).read()
except urllib.error.HTTPError:
    pass
post("Serial.StreamID=1&Serial.Interval=500&Serial.BaudRate=4000000&Serial_Parity=0")
post("Serial.State=start")
ok("attached to channel A", wait_log("serial: attached to stream", 10))
import select
data, starts = b"", []
end = time.time() + 5
while time.time() < end:
    r, _, _ = select.select([m], [], [], 0.2)
    if r:
        try:
            chunk = os.read(m, 1 << 16)
        except BlockingIOError:
            continue
        if b"\xff\xd8\xff" in chunk:
            starts.append(time.time())
        data += chunk
post("Serial.State=stop")
pics = [p for p in data.split(b"\xff\xd8\xff") if p]
complete = [p for p in pics[:-1] if p.endswith(b"\xff\xd9")]
ok("key frames are JPEG pictures", data.startswith(b"\xff\xd8\xff") and len(complete) >= 3, (data[:4], len(pics), len(complete)))
gaps = [b - a for a, b in zip(starts, starts[1:])]
# At most one a Serial.Interval over the window, most gaps near it; a busy machine delays one
# picture or the reading of it, which shortens the next gap but not the count.
ok("about Serial.Interval apart", len(starts) <= 12 and len(gaps) >= 2 and sorted(gaps)[len(gaps) // 2] > 0.35
   and all(g > 0.1 for g in gaps), gaps)
wait_status(lambda t: t == "Stopped")

# A mode that is not one: refused, stopped.
post("Serial.StreamID=6")
post("Serial.State=start")
ok("StreamID 6 refused", wait_log("StreamID 6 is not a serial mode"))
ok("StreamID 6 shows stopped", wait_status(lambda t: t == "Stopped") == "Stopped")

# 921600 is off the table: the service ends, logged, and shutdown still completes.
post("Serial.StreamID=3&Serial.BaudRate=921600")
post("Serial.State=start")
ok("921600 ends the service", wait_log("baud rate 921600 is not supported"))
ok("921600 shows stopped", wait_status(lambda t: t == "Stopped") == "Stopped")
out.write("done\n")
PY
DRIVER=$!

start_app || finish
wait "$DRIVER"
cat "$TEST_DIR/result"
grep -q '^done$' "$TEST_DIR/result" || fail "driver did not finish"
n=$(grep -c '^FAIL' "$TEST_DIR/result"); [ "$n" -eq 0 ] || fail "$n serial check(s)"
check "logged the accepted connection" grep -q "Serial TCP accepted connection from 127.0.0.1:" "$LOG"
check "logged the stop" grep -q "serial: stopped" "$LOG"
stop_app
check "shutdown in order" [ "$APP_STATUS" = 0 ]
finish
