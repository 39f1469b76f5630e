#!/usr/bin/env bash
# A clip with moving detail and grain as the camera (PLATFORM_CAPTURE_CLIP): channel A's H.264,
# as an RTSP client receives it, lands within 10% of the bit rate it is set to, at 2 and 8 Mbit/s.
# The rate is judged per picture at the capture's 29.97 pictures a second, so that pictures a
# loaded test machine drops before the encoder do not count against the encoder.
source "$K7160_TESTLIB"

CLIP="$TEST_DIR/clip.mkv"
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=720x480:rate=30000/1001" -vf "noise=alls=24:allf=t+u" \
  -frames:v 60 -c:v libx264 -preset ultrafast -crf 16 -g 60 -pix_fmt yuv420p "$CLIP" || { fail "no clip made"; finish; }

start_app PLATFORM_CAPTURE_CLIP="$CLIP" || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
post() { curl -s -o /dev/null -H "Referer: /x.htm" -d "$2" "http://127.0.0.1/$1"; }
stops() { grep -cF "videoA: fully stopped" "$LOG"; }

# Bit rate of the received video after the first 2 s in which the rate control settles; prints
# "bits_per_s_of_stream_time pictures bits_per_s_at_29.97_pictures".
received_rate() {   # FILE
  ffprobe -v error -select_streams v -show_entries packet=pts_time,size -of csv=p=0 "$1" | python3 -c '
import sys
rows = [tuple(map(float, l.split(",")[:2])) for l in sys.stdin if l.count(",") >= 1 and "N/A" not in l]
rows.sort()
t0 = rows[0][0] + 2 if rows else 0
w = [r for r in rows if r[0] >= t0]
span = (w[-1][0] - w[0][0]) * len(w) / (len(w) - 1) if len(w) > 1 else 0
bits = sum(r[1] for r in w) * 8
print("%.0f %d %.0f" % (bits / span if span else 0, len(w), bits * 30000 / 1001 / len(w) if w else 0))'
}

for rate in 2000000 8000000; do
  # The encoder takes the new rate at its next start: the previous client's stream has to end.
  if [ "$rate" != 2000000 ]; then
    for _ in $(seq 1 100); do [ "$(stops)" -gt "$before" ] && break; sleep 0.1; done
  fi
  before=$(stops)
  post streamA_controls_no_save "BitRate=$rate"
  # A count of pictures rather than 12 s: a busy machine's encoder makes fewer in a time.
  timeout 120 ffmpeg -nostdin -v error -rtsp_transport tcp -i rtsp://127.0.0.1:8554/streamA.h264 -frames:v 220 -c copy \
    -f mpegts "$TEST_DIR/rx$rate.ts" 2>"$TEST_DIR/rx$rate.err"
  read -r wire pictures bits < <(received_rate "$TEST_DIR/rx$rate.ts")
  echo "set=$rate received_bits_per_s=$wire pictures=$pictures bits_per_s_at_29.97=$bits"
  cat "$TEST_DIR/rx$rate.err"
  check "$rate bit/s: enough pictures to judge" [ "${pictures:-0}" -ge 150 ]
  check "$rate bit/s: received rate within 10%" python3 -c "import sys; sys.exit(abs(${bits:-0} - $rate) > $rate / 10)"
done
grep -q "capture clip $CLIP replaces the test picture" "$LOG" || fail "the clip was not taken as the camera"
stop_app
finish
