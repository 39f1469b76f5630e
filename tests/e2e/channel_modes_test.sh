#!/usr/bin/env bash
# Channels and the players that use them: channel B, set to JPEG, serves JPEG again soon after
# an RTSP H.264 client leaves; the JPEG rows of an H.264 channel answer one clear refusal;
# transport-stream RTSP sessions joined into a running channel decode from their first
# picture in ffmpeg; L16 RTP timestamps rise by the samples carried with 32 clients playing, and
# jump only as far as the sound did where a loaded machine lost some; an H.264 and L16 session
# beside them keeps one timeline per track; sound the card drops in an overrun shows as a jump.
source "$K7160_TESTLIB"

URL=http://127.0.0.1
RTSP=rtsp://127.0.0.1:8554
code() { curl -sg -o /dev/null -w '%{http_code}' "$@"; }
no_sanitizer() { ! grep -q "Sanitizer" "$LOG"; }
is_jpeg() { python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); sys.exit(0 if d[:2]==b"\xff\xd8" and d[-2:]==b"\xff\xd9" else 1)' "$1"; }
now_ms() { date +%s%3N; }

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }

# --- channel B returns to JPEG ------------------------------------------------------------------
check "channel B is set to JPEG" [ "$(curl -sg "$URL/Video[1].StreamMode")" = 3 ]
curl -s --max-time 10 -o "$TEST_DIR/b0.jpg" "$URL/streamB.jpg"
check "channel B gives a snapshot" is_jpeg "$TEST_DIR/b0.jpg"
timeout 40 ffmpeg -v error -rtsp_transport tcp -i "$RTSP/streamB.h264" -t 5 -f null - 2>"$TEST_DIR/b264.err" &
b264=$!
wait_log "changing 1 to H.264 from JPEG" 20
check "while RTSP plays H.264 the setting says so" [ "$(curl -sg "$URL/Video[1].StreamMode")" = 2 ]
wait "$b264"
left=$(now_ms)
check "the RTSP client played channel B" [ ! -s "$TEST_DIR/b264.err" ]
# The first request after the client left gets a picture: the encoder is back in JPEG.
curl -s --max-time 10 -o "$TEST_DIR/b1.jpg" "$URL/streamB.jpg"
got=$(now_ms)
echo "JPEG again $(( got - left )) ms after the RTSP client left"
check "channel B serves a JPEG snapshot again at the first request" is_jpeg "$TEST_DIR/b1.jpg"
# Two seconds on an idle machine; the bound allows for a loaded one.
check "... within a few seconds ($(( got - left )) ms)" [ $(( got - left )) -le 5000 ]
check "... the setting reads JPEG again" [ "$(curl -sg "$URL/Video[1].StreamMode")" = 3 ]
curl -s --max-time 3 -o "$TEST_DIR/b.mjpg" "$URL/streamB.mjpg"
check "... and MJPEG gives pictures" python3 -c '
import sys; d = open(sys.argv[1], "rb").read(); sys.exit(0 if d[:2] == b"\xff\xd8" and d.count(b"\xff\xd9\xff\xd8") >= 2 else 1)' "$TEST_DIR/b.mjpg"

# --- JPEG rows of an H.264 channel --------------------------------------------------------------
ja=$(curl -s -o "$TEST_DIR/a.jpg.body" -w '%{http_code}' "$URL/streamA.jpg")
jm=$(curl -s --max-time 5 -o "$TEST_DIR/a.mjpg.body" -w '%{http_code}' "$URL/streamA.mjpg")
echo "streamA.jpg: $ja $(cat "$TEST_DIR/a.jpg.body") / streamA.mjpg: $jm $(cat "$TEST_DIR/a.mjpg.body")"
check "streamA.jpg and streamA.mjpg answer alike" cmp -s "$TEST_DIR/a.jpg.body" "$TEST_DIR/a.mjpg.body"
both_404() { [ "$ja" = 404 ] && [ "$jm" = 404 ]; }
check "... with 404" both_404
check "... and the reason" grep -q 'Channel A is set to H.264+AAC MPEG-TS; this stream carries JPEG' "$TEST_DIR/a.jpg.body"
check "... and the log says why" grep -q 'streamA.mjpg: channel A is set to H.264+AAC MPEG-TS; this stream carries JPEG' "$LOG"

# --- transport-stream sessions joined into a running channel ------------------------------------
rtsp_player() { timeout $(($1 + 40)) ffmpeg -v error -rtsp_transport tcp -i "$RTSP/$row" -t "$1" -f null -; }
for row in streamA.ts vstreamA.ts; do
  dirty=$(joiners_dirty rtsp_player 10)
  check "$row: the first client and 10 joiners decode without a decoder error ($dirty dirty)" [ "$dirty" = 0 ]
done

# --- L16 timestamps with 32 clients -------------------------------------------------------------
pids=()
for i in $(seq 1 32); do
  timeout 60 python3 "$K7160_SRC/tests/e2e/rtsp_dump.py" "$RTSP/streamC.pcm" 6 "$TEST_DIR/pcm$i.rtp" \
    2>"$TEST_DIR/pcm$i.err" &
  pids+=($!)
done
# A second player of the same session beside ffmpeg notes where each track's first sender report
# comes: ffmpeg times a track from RTP-Info until then, and moves it when the report comes.
timeout 40 python3 -u "$K7160_SRC/tests/e2e/rtsp_first_reports.py" "$RTSP/streamA.h264_pcm" 5 >"$TEST_DIR/reports.out" 2>&1 &
reports=$!
timeout 40 ffmpeg -v warning -rtsp_transport tcp -i "$RTSP/streamA.h264_pcm" -t 5 -f null - 2>"$TEST_DIR/hpcm.err"
hpcm_status=$?
for p in "${pids[@]}"; do wait "$p"; done
wait "$reports"; reports_status=$?
cat "$TEST_DIR/reports.out"
cat "$TEST_DIR"/pcm*.err | sort | uniq -c | head -n 5
check "32 L16 clients: every timestamp rises by the samples carried, or jumps as far as lost sound" \
  python3 "$K7160_SRC/tests/e2e/pcm_ts_check.py" l16 "$TEST_DIR"/pcm*.rtp
no_dts_complaint() { ! grep -q 'non monotonically' "$TEST_DIR/hpcm.err"; }
check "ffmpeg played streamA.h264_pcm beside them" [ "$hpcm_status" = 0 ]
check "... with no dts complaint" no_dts_complaint
check "... every track's first sender report came before its first packet" [ "$reports_status" = 0 ]

# --- L16 across an overrun --------------------------------------------------------------------
# The appliance held up longer than the card's buffer (320 ms) but under half a second: the
# sound thread overruns and the card drops what came meanwhile; the timestamps must jump with it.
pids=()
for i in 1 2 3 4; do
  timeout 60 python3 "$K7160_SRC/tests/e2e/rtsp_dump.py" "$RTSP/streamC.pcm" 5 "$TEST_DIR/held$i.rtp" \
    2>"$TEST_DIR/held$i.err" &
  pids+=($!)
done
playing() { for i in 1 2 3 4; do [ -s "$TEST_DIR/held$i.rtp" ] || return 1; done; }
for _ in $(seq 1 150); do playing && break; sleep 0.1; done
sleep 1
overruns=$(grep -c "overrun!!!" "$LOG")
kill -STOP "$APP_PID"; sleep 0.35; kill -CONT "$APP_PID"
for p in "${pids[@]}"; do wait "$p"; done
python3 "$K7160_SRC/tests/e2e/pcm_ts_check.py" l16 "$TEST_DIR"/held*.rtp >"$TEST_DIR/held.out"; held_status=$?
cat "$TEST_DIR/held.out"
check "held up 0.35 s: the sound thread overran" [ "$(grep -c "overrun!!!" "$LOG")" -gt "$overruns" ]
check "... every L16 timestamp still says where its sound lies" [ "$held_status" = 0 ]
check "... and the dumps show the jump" grep -q " [1-9][0-9]* losses timed right" "$TEST_DIR/held.out"

stop_app
check "clean exit" [ "$APP_STATUS" = 0 ]
check "no sanitizer report" no_sanitizer
finish
