#!/usr/bin/env bash
# HLS for a crowd: twenty ffmpeg players started together, from the playlist, each get every
# segment from where they start.
source "$K7160_TESTLIB"

URL=http://127.0.0.1
no_sanitizer() { ! grep -q "Sanitizer" "$LOG"; }
seconds() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1" 2>/dev/null | cut -d. -f1; }

start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }

# Twenty players at once: every one gets every segment from where it starts (ffmpeg warns when
# it has to skip segments that left the playlist) and plays 20 s.
pids=()
for i in $(seq 1 20); do
  timeout 90 ffmpeg -v warning -i "$URL/streamA.m3u8" -t 20 -c copy -f mpegts -y "$TEST_DIR/p$i.ts" \
    2>"$TEST_DIR/p$i.err" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done
short=0; warned=0
for i in $(seq 1 20); do
  s=$(seconds "$TEST_DIR/p$i.ts")
  [ "${s:-0}" -ge 18 ] || { short=$((short + 1)); echo "player $i: ${s:-0} s"; }
  [ -s "$TEST_DIR/p$i.err" ] && { warned=$((warned + 1)); head -n 2 "$TEST_DIR/p$i.err"; }
done
check "20 players started together each play 20 s ($short short)" [ "$short" = 0 ]
check "... and none skipped a segment or failed a request ($warned warned)" [ "$warned" = 0 ]

stop_app
check "clean exit" [ "$APP_STATUS" = 0 ]
check "no sanitizer report" no_sanitizer
finish
