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

# Raw RTP over the RTSP connection (interleaved), about 12 s of it, one line per NAL unit:
# RTP timestamp, unit type, length, start code inside (0/1), SEI payload type (-1: no SEI).
# The client joins after the keyframe its DESCRIBE waited for and, at 10 fps with a GOP of 30,
# can wait up to 3 s for the next one.
stops=$(grep -cF "videoA: fully stopped" "$LOG")
# The units also go, with start codes, to rtp.h264. A busy machine encodes fewer pictures a
# second: the dump is long enough for the units counted below at a lower rate.
python3 "$K7160_SRC/tests/e2e/rtsp_dump.py" "$RTSP/streamA.h264" 12 "$TEST_DIR/rtp.bin" 2>"$TEST_DIR/rtp.err"
python3 - "$TEST_DIR/rtp.bin" "$TEST_DIR/rtp.h264" >"$TEST_DIR/rtp.txt" 2>>"$TEST_DIR/rtp.err" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read()
annexb = open(sys.argv[2], "wb")
i, frag = 0, None
while i + 2 <= len(d):
    n = struct.unpack(">H", d[i:i + 2])[0]
    pkt = d[i + 2:i + 2 + n]
    i += 2 + n
    cc = pkt[0] & 0x0F
    ts = struct.unpack(">I", pkt[4:8])[0]
    pay = pkt[12 + 4 * cc:]
    nal_type = pay[0] & 0x1F
    units = []
    if nal_type == 28:          # FU-A: the unit is judged once whole
        if pay[1] & 0x80:
            frag = bytearray([(pay[0] & 0xE0) | (pay[1] & 0x1F)]) + pay[2:]
        elif frag is not None:
            frag += pay[2:]
        if pay[1] & 0x40 and frag is not None:
            units.append(bytes(frag))
            frag = None
    elif nal_type == 24:        # STAP-A
        k = 1
        while k + 2 <= len(pay):
            m = struct.unpack(">H", pay[k:k + 2])[0]
            units.append(pay[k + 2:k + 2 + m])
            k += 2 + m
    else:
        units.append(pay)
    for u in units:
        annexb.write(b"\0\0\0\1" + u)
        t = u[0] & 0x1F
        print(ts, t, len(u), int(u.find(b"\x00\x00\x01") >= 0), u[1] if t == 6 and len(u) > 1 else -1)
PY
cat "$TEST_DIR/rtp.err"
units=$(wc -l <"$TEST_DIR/rtp.txt")
echo "NAL units received: $units"
check "RTP dump holds units" [ "$units" -ge 20 ]
check "no start code inside any NAL payload" [ "$(awk '$4 == 1' "$TEST_DIR/rtp.txt" | wc -l)" = 0 ]
check "no filler NAL (type 12)" [ "$(awk '$2 == 12' "$TEST_DIR/rtp.txt" | wc -l)" = 0 ]
check "no picture timing SEI when progressive" [ "$(awk '$2 == 6 && $5 == 1' "$TEST_DIR/rtp.txt" | wc -l)" = 0 ]
# The shortest step: a busy machine's capture skips pictures, which makes some steps longer.
steps=$(awk '$2 == 1 || $2 == 5 {print $1}' "$TEST_DIR/rtp.txt" | uniq |
  awk 'NR > 1 {print $1 - prev} {prev = $1}' | sort -n | head -1)
check "RTP timestamps step 9009 (about 10 fps)" [ "${steps:-0}" = 9009 ]
# Pictures a second of stream time in the dump, what the encoder made in that window.
dump_rate=$(awk '$2 == 1 || $2 == 5 {print $1}' "$TEST_DIR/rtp.txt" | uniq |
  awk 'NR == 1 {first = $1} {last = $1; n++} END { if (n > 1) printf "%.2f", (n - 1) * 90000 / (last - first) }')
echo "pictures a second in the dump: ${dump_rate:-none}"
# The encoder's own figure for the dump's session, once it has stopped. By pattern: the stamp's
# padding makes the field count vary with the uptime.
for _ in $(seq 1 200); do [ "$(grep -cF "videoA: fully stopped" "$LOG")" -gt "$stops" ] && break; sleep 0.1; done
fps=$(sed -n 's/.*videoA: stopped \([0-9][0-9.]*\) fps.*/\1/p' "$LOG" | sed -n "$((stops + 1))p")

# From the received units: a live session's stamps skip where a busy machine's capture skipped,
# and ffprobe would take the rate they allow over the one the SPS gives.
rate=$(timeout 20 ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 "$TEST_DIR/rtp.h264")
echo "ffprobe r_frame_rate: $rate"
check "ffprobe reads 10000/1001" [ "$rate" = 10000/1001 ]
check "the encoder took divisor 3" grep -qF "fdec=3" "$LOG"
# Never above 10; below it only as far as what arrived was (a busy machine encodes fewer).
check "the encoder's log says about 10 fps (${fps:-none})" \
  awk -v f="${fps:-0}" -v r="${dump_rate:-0}" 'BEGIN { exit !(f > 0.8 * r && r > 0 && f < 12) }'

stop_app
check "appliance exits cleanly" [ "${APP_STATUS:-1}" = 0 ]
finish
