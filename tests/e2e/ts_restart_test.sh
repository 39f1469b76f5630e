#!/usr/bin/env bash
# A client reading channel A's transport stream (RTSP session vstreamA.ts, the RTP payloads
# taken raw) while a changed setting restarts the encoder: the
# restart is marked by the discontinuity flag of a PCR, no empty PES of the end marker is
# muxed, and neither PCR nor video PTS ever step back.
source "$K7160_TESTLIB"

HTTP=http://127.0.0.1

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
python3 "$K7160_SRC/tests/e2e/rtsp_dump.py" rtsp://127.0.0.1:8554/vstreamA.ts 24 "$TEST_DIR/rtp.bin" &
reader=$!
wait_log "videoA: idx=0 snapshot=0" 20 || fail "channel A did not start"
# The change only once the reader has the stream: a restart at once could come before the
# reader's first packet, and its flagged PCR with it.
for _ in $(seq 1 100); do [ "$(stat -c %s "$TEST_DIR/rtp.bin" 2>/dev/null || echo 0)" -ge 16384 ] && break; sleep 0.1; done
curl -s -o /dev/null -H "Referer: /x.htm" -d "Video[0].IntraFrameQP=30" "$HTTP/controls"
# The change is committed within about ten seconds and restarts stream 1.
check "the change restarts channel A" wait_log "i=1" 14
wait $reader
python3 - "$TEST_DIR/rtp.bin" "$TEST_DIR/a.ts" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read()
out = open(sys.argv[2], "wb")
i = 0
while i + 2 <= len(d):
    n = struct.unpack(">H", d[i:i + 2])[0]
    pkt = d[i + 2:i + 2 + n]
    i += 2 + n
    out.write(pkt[12 + 4 * (pkt[0] & 0x0F):])
PY

python3 - "$TEST_DIR/a.ts" >"$TEST_DIR/scan.txt" <<'PY'
import sys
d = open(sys.argv[1], "rb").read()
i = d.find(b"\x47")
pcrs, pts, empty = [], [], 0
while i + 188 <= len(d):
    p = d[i:i + 188]
    i += 188
    if p[0] != 0x47:
        continue
    pid = ((p[1] & 0x1F) << 8) | p[2]
    afc = (p[3] >> 4) & 3
    pay = 4
    if afc & 2:
        if p[4] > 0 and p[5] & 0x10:
            base = (p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7)
            pcrs.append((base, 1 if p[5] & 0x80 else 0))
        pay = 5 + p[4]
    if pid == 0x1011 and p[1] & 0x40 and afc & 1:
        pes = p[pay:]
        hl = pes[8]
        if pes[7] & 0x80:
            b = pes[9:14]
            pts.append(((b[0] & 0x0E) << 29) | (b[1] << 22) | ((b[2] & 0xFE) << 14) | (b[3] << 7) | (b[4] >> 1))
        if len(pes) <= 9 + hl:
            empty += 1
back = lambda v: sum(1 for a, b in zip(v, v[1:]) if b <= a)
print("pcrs", len(pcrs), "flagged", sum(f for _, f in pcrs), "pcr_back", back([v for v, _ in pcrs]))
print("pts", len(pts), "pts_back", back(pts), "empty", empty)
PY
cat "$TEST_DIR/scan.txt"
field() { awk -v k="$1" '{for (i = 1; i < NF; i++) if ($i == k) print $(i + 1)}' "$TEST_DIR/scan.txt"; }
check "the stream holds video" [ "$(field pts)" -ge 300 ]
# The change's restart at least; never more flags than the encoder had stops.
stops=$(grep -cF "videoA: fully stopped" "$LOG")
check "the restart is flagged on a PCR" [ "$(field flagged)" -ge 1 ]
check "only restarts are flagged" [ "$(field flagged)" -le "$stops" ]
check "PCR never steps back" [ "$(field pcr_back)" = 0 ]
check "video PTS never steps back" [ "$(field pts_back)" = 0 ]
check "no empty video PES" [ "$(field empty)" = 0 ]

stop_app
check "appliance exits cleanly" [ "${APP_STATUS:-1}" = 0 ]
finish
