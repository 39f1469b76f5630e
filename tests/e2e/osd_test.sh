#!/usr/bin/env bash
# On-screen text through a real decoder: channel A in H.264 at a high bit rate with
# Video[0].OSD showing the frame counter; frames ffmpeg decodes from RTSP show a dark box with
# bright digits in style 0 and the reverse in style 5, the digits change from frame to frame,
# and a Y beyond the frame is stored back clamped.
source "$K7160_TESTLIB"

HTTP=http://127.0.0.1
RTSP=rtsp://127.0.0.1:8554
post() { curl -s -o /dev/null -H "Referer: /x.htm" --data-urlencode "$1" "$HTTP/controls"; }
get() { curl -sg "$HTTP/$1"; }

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
post "Video[0].BitRate=12000000"
post "Video[0].OSD.X=16"
post "Video[0].OSD.Y=16"
post "Video[0].OSD.Message=^c"
post "Video[0].OSD.Transparent=0"
post "Video[0].OSD.Enabled=1"

# grab NAME: 10 decoded frames of channel A as 8-bit luma in NAME.gray (size in NAME.size),
# each picture as it came: raw video is otherwise filled to a constant rate with repeats where
# a busy machine's capture skipped a picture.
grab() {
  timeout 40 ffprobe -v error -rtsp_transport tcp -show_entries stream=width,height -of csv=p=0 "$RTSP/streamA.h264" \
    >"$TEST_DIR/$1.size"
  timeout 40 ffmpeg -v error -rtsp_transport tcp -i "$RTSP/streamA.h264" -frames:v 10 -fps_mode passthrough -f rawvideo -pix_fmt gray \
    "$TEST_DIR/$1.gray" 2>"$TEST_DIR/$1.err"
}
# judge NAME CHECK: the box of the 7 counter digits at (16, 16), 56 x 13 pixels, per frame:
# mean, share of bright (> 180) and dark (< 70) pixels, and the digits' pixels to tell frames apart.
judge() {
  python3 - "$TEST_DIR/$1" "$2" <<'PY'
import sys
base, check = sys.argv[1], sys.argv[2]
w, h = (int(v) for v in open(base + ".size").read().strip().split(","))
data = open(base + ".gray", "rb").read()
frames = [data[i:i + w * h] for i in range(0, len(data) - w * h + 1, w * h)]
def box(f):
    return [f[(16 + r) * w + 16 + c] for r in range(13) for c in range(56)]
stats = []
for f in frames:
    b = box(f)
    stats.append((sum(b) / len(b), sum(v > 180 for v in b) / len(b), sum(v < 70 for v in b) / len(b)))
digits = [bytes(f[(16 + r) * w + 16 + 48 + c] > 128 for r in range(13) for c in range(8)) for f in frames]
ok = len(frames) >= 8 and eval(check)
print("%s: %d frames %dx%d; box mean/bright/dark %s; last digits distinct %d" % (
    base.rsplit("/", 1)[1], len(frames), w, h, ["%.0f/%.2f/%.2f" % s for s in stats[:3]], len(set(digits))))
sys.exit(0 if ok else 1)
PY
}

grab style0
cat "$TEST_DIR/style0.err"
check "style 0 decodes without a message" [ ! -s "$TEST_DIR/style0.err" ]
check "style 0: a dark box with bright glyphs" judge style0 \
  "all(m < 90 and 0.08 < br < 0.5 and dk > 0.5 for m, br, dk in stats)"
check "the last digit changes from frame to frame" judge style0 \
  "all(digits[i] != digits[i + 1] for i in range(len(digits) - 1))"

post "Video[0].OSD.Transparent=5"
sleep 1
grab style5
check "style 5: a bright box with dark glyphs" judge style5 \
  "all(m > 160 and 0.08 < dk < 0.5 and br > 0.5 for m, br, dk in stats)"

# A Y beyond the frame: the commit lays the channel out again and stores it back clamped.
post "Video[0].OSD.Y=576"
for _ in $(seq 1 50); do [ "$(get "Video[0].OSD.Y")" != 576 ] && break; sleep 0.1; done
height=$(cut -d, -f2 "$TEST_DIR/style0.size")
check "Y 576 stored back as $((height - 13))" [ "$(get "Video[0].OSD.Y")" = $((height - 13)) ]

# Bad input: control characters, high-bit bytes and a trailing "^"; 159 characters of tags;
# positions beyond their limits. Clamped or refused, and the channel goes on decoding.
curl -s -o /dev/null -H "Referer: /x.htm" --data-binary $'Video[0].OSD.Message=%01%1b%09ab%e9%ff%80^c^' "$HTTP/controls"
sleep 0.5
grab bad1
check "control and high-bit bytes: still decoding" [ ! -s "$TEST_DIR/bad1.err" -a -s "$TEST_DIR/bad1.gray" ]
tags="$(printf '^d^t^c%.0s' $(seq 1 26))^d^"
post "Video[0].OSD.Message=$tags"
# (a read by name gives at most 80 characters)
check "159 characters of tags stored" [ "$(get "Video[0].OSD.Message")" = "${tags:0:80}" -a ${#tags} = 159 ]
post "Video[0].OSD.Enabled=2"
post "Video[0].OSD.X=9999"
check "X beyond its limit refused" [ "$(get "Video[0].OSD.X")" -le 720 ]
post "Video[0].OSD.X=640"
sleep 1.5
grab bad2
check "tags at the right edge in 16x16: still decoding" [ ! -s "$TEST_DIR/bad2.err" -a -s "$TEST_DIR/bad2.gray" ]
check "the appliance kept running" kill -0 "$APP_PID"

stop_app
check "appliance exits cleanly" [ "${APP_STATUS:-1}" = 0 ]
finish
