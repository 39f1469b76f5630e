#!/usr/bin/env bash
# What channel A's H.264 says about itself, judged from a raw RTP dump and with ffprobe: with
# Video[0].FrameRate=10 (divisor 3 of the capture rate) the stamps step 9009 ticks, the SPS and
# ffprobe agree on 10000/1001, and the NAL units are the encoder's own: no start code inside a
# payload, no filler, no picture timing SEI on progressive pictures.
source "$K7160_TESTLIB"

RTSP=rtsp://127.0.0.1:8554
HTTP=http://127.0.0.1

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
curl -s -o /dev/null -H "Referer: /x.htm" -d "Video[0].FrameRate=10" "$HTTP/controls"

# Raw RTP over the RTSP connection (interleaved), about 4 s of it.
python3 - "$RTSP/streamA.h264" >"$TEST_DIR/rtp.txt" 2>"$TEST_DIR/rtp.err" <<'PY'
import socket, struct, sys, time
url = sys.argv[1]
s = socket.create_connection(("127.0.0.1", 8554), timeout=15)
buf = b""
def request(method, uri, cseq, extra=""):
    global buf
    s.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s\r\n" % (method, uri, cseq, extra)).encode())
    while b"\r\n\r\n" not in buf:
        buf += s.recv(65536)
    head, _, buf = buf.partition(b"\r\n\r\n")
    n = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            n = int(line.split(b":")[1])
    while len(buf) < n:
        buf += s.recv(65536)
    body, buf = buf[:n], buf[n:]
    return head.decode(), body.decode(errors="replace")
head, sdp = request("DESCRIBE", url, 1, "Accept: application/sdp\r\n")
control = url
for line in sdp.split("\r\n"):
    if line.startswith("a=control:") and line[10:] != "*":
        c = line[10:]
        control = c if c.startswith("rtsp://") else url.rstrip("/") + "/" + c
head, _ = request("SETUP", control, 2, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")
session = [l.split(":", 1)[1].strip().split(";")[0] for l in head.split("\r\n") if l.lower().startswith("session:")][0]
request("PLAY", url, 3, "Session: %s\r\nRange: npt=0.000-\r\n" % session)
end = time.time() + 4
frag = None
while time.time() < end:
    while len(buf) < 4:
        buf += s.recv(65536)
    if buf[0:1] != b"$":
        # an RTSP reply in between: skip its head
        i = buf.find(b"\r\n\r\n")
        if i < 0:
            buf += s.recv(65536)
            continue
        buf = buf[i + 4:]
        continue
    ch, n = buf[1], struct.unpack(">H", buf[2:4])[0]
    while len(buf) < 4 + n:
        buf += s.recv(65536)
    pkt, buf = buf[4:4 + n], buf[4 + n:]
    if ch != 0:
        continue
    cc = pkt[0] & 0x0F
    ts = struct.unpack(">I", pkt[4:8])[0]
    pay = pkt[12 + 4 * cc:]
    nal_type = pay[0] & 0x1F
    units = []
    if nal_type == 28:          # FU-A: the unit is printed once whole
        if pay[1] & 0x80:
            frag = bytearray([(pay[0] & 0xE0) | (pay[1] & 0x1F)]) + pay[2:]
        elif frag is not None:
            frag += pay[2:]
        if pay[1] & 0x40 and frag is not None:
            units.append(bytes(frag))
            frag = None
    elif nal_type == 24:        # STAP-A
        i = 1
        while i + 2 <= len(pay):
            m = struct.unpack(">H", pay[i:i + 2])[0]
            units.append(pay[i + 2:i + 2 + m])
            i += 2 + m
    else:
        units.append(pay)
    for u in units:
        t = u[0] & 0x1F
        sc = u.find(b"\x00\x00\x01") >= 0
        sei = u[1] if t == 6 and len(u) > 1 else -1
        print(ts, t, len(u), int(sc), sei)
request("TEARDOWN", url, 4, "Session: %s\r\n" % session)
PY
cat "$TEST_DIR/rtp.err"
units=$(wc -l <"$TEST_DIR/rtp.txt")
echo "NAL units received: $units"
check "RTP dump holds units" [ "$units" -ge 20 ]
check "no start code inside any NAL payload" [ "$(awk '$4 == 1' "$TEST_DIR/rtp.txt" | wc -l)" = 0 ]
check "no filler NAL (type 12)" [ "$(awk '$2 == 12' "$TEST_DIR/rtp.txt" | wc -l)" = 0 ]
check "no picture timing SEI when progressive" [ "$(awk '$2 == 6 && $5 == 1' "$TEST_DIR/rtp.txt" | wc -l)" = 0 ]
steps=$(awk '$2 == 1 || $2 == 5 {print $1}' "$TEST_DIR/rtp.txt" | uniq |
  awk 'NR > 1 {print $1 - prev} {prev = $1}' | sort | uniq -c | sort -rn | head -1 | awk '{print $2}')
check "RTP timestamps step 9009 (about 10 fps)" [ "${steps:-0}" = 9009 ]

rate=$(timeout 20 ffprobe -v error -rtsp_transport tcp -select_streams v:0 -show_entries stream=r_frame_rate \
  -of csv=p=0 "$RTSP/streamA.h264")
echo "ffprobe r_frame_rate: $rate"
check "ffprobe reads 10000/1001" [ "$rate" = 10000/1001 ]
check "the encoder took divisor 3" grep -qF "fdec=3" "$LOG"
check "the encoder's log says about 10 fps" \
  awk '/videoA: stopped/ { f = $4 } END { exit !(f > 8 && f < 12) }' "$LOG"

stop_app
check "appliance exits cleanly" [ "${APP_STATUS:-1}" = 0 ]
finish
