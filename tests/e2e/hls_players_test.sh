#!/usr/bin/env bash
# HLS in real players: a strict playlist check from a fresh device's first segment, VLC alone (as
# an unprivileged user, starting from the playlist) plays a minute, and ffmpeg plays a minute beside
# the strict check.
source "$K7160_TESTLIB"

URL=http://127.0.0.1
no_sanitizer() { ! grep -q "Sanitizer" "$LOG"; }
# Seconds of video in a recording.
seconds() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1" 2>/dev/null | cut -d. -f1; }

start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }

# The strict check as the first player of a fresh device, from the playlist's first segment.
timeout 100 python3 "$K7160_SRC/tests/e2e/hls_check.py" "$URL/streamA.m3u8" 30 >"$TEST_DIR/first.out" 2>&1
first_rc=$?
grep -E '^FAIL|^hls_check' "$TEST_DIR/first.out"
check "a fresh playlist keeps its target duration and the rules a strict player checks" [ "$first_rc" = 0 ]

# VLC alone: nobody else pulls segments. It decodes to a dummy output and keeps a copy of what
# it received.
mkdir -p "$TEST_DIR/vlc"
chmod 755 "$TEST_DIR"
chown nobody "$TEST_DIR/vlc"
setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$TEST_DIR/vlc" \
  timeout 100 cvlc -v -I dummy -V dummy -A dummy --no-video-title-show --run-time=60 --play-and-exit \
  --sout "#duplicate{dst=display,dst=std{access=file,mux=ts,dst=$TEST_DIR/vlc/got.ts}}" \
  "$URL/streamA.m3u8" vlc://quit >"$TEST_DIR/vlc.log" 2>&1
vlc_rc=$?
echo "VLC exit $vlc_rc"
vlc_s=$(seconds "$TEST_DIR/vlc/got.ts")
echo "VLC kept ${vlc_s:-0} s"
# A failed run says why in VLC's own words (or the shell's, for a command that did not start).
if [ "$vlc_rc" -ne 0 ] || [ "${vlc_s:-0}" -lt 50 ]; then
  echo "---- VLC's log (last 25 lines) ----"; tail -n 25 "$TEST_DIR/vlc.log"
fi
check "VLC alone plays the playlist a minute (${vlc_s:-0} s)" [ "${vlc_s:-0}" -ge 50 ]
# What VLC passed on holds pictures all along (a loaded machine captures fewer than 30 a
# second).
pics=$(ffprobe -v error -select_streams v -count_frames -show_entries stream=nb_read_frames -of csv=p=0 \
       "$TEST_DIR/vlc/got.ts" | head -n 1 | tr -dc 0-9)
ffmpeg -v error -i "$TEST_DIR/vlc/got.ts" -f null - 2>&1 | head -n 3
check "... and its pictures (${pics:-0})" [ "${pics:-0}" -ge $(( ${vlc_s:-0} * 10 )) ]

# ffmpeg for a minute, with the strict check following the same playlist.
timeout 100 ffmpeg -v error -i "$URL/streamA.m3u8" -t 60 -c copy -f mpegts -y "$TEST_DIR/ff.ts" \
  2>"$TEST_DIR/ff.err" &
ff_pid=$!
timeout 150 python3 "$K7160_SRC/tests/e2e/hls_check.py" "$URL/streamA.m3u8" 45 >"$TEST_DIR/check.out" 2>&1
check_rc=$?
grep -E '^FAIL|^hls_check' "$TEST_DIR/check.out"
check "the playlist keeps the rules a strict player checks" [ "$check_rc" = 0 ]
wait "$ff_pid"
ff_s=$(seconds "$TEST_DIR/ff.ts")
ff_ok() { [ "${ff_s:-0}" -ge 55 ] && [ ! -s "$TEST_DIR/ff.err" ]; }
check "ffmpeg plays the playlist a minute (${ff_s:-0} s) without an error" ff_ok

stop_app
check "clean exit" [ "$APP_STATUS" = 0 ]
check "no sanitizer report" no_sanitizer
finish
