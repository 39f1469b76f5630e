#!/usr/bin/env bash
# Live streams over HTTP judged with ffprobe, ffmpeg, VLC, GStreamer and curl: the stream rows
# decode and each names its type, the PCM row's type and the README's player lines for it, joiners of a running TS, FLV or
# raw H.264 row decode from their first byte, HLS plays
# through its rotating segments, JPEG rows give whole pictures in their framing, the H.264 rows of
# a JPEG channel are refused without starting anything, and the guest at level None is challenged.
source "$K7160_TESTLIB"

URL=http://127.0.0.1
code() { curl -sg -o /dev/null -w '%{http_code}' "$@"; }
post() { curl -s -o /dev/null -H "Referer: /x.htm" --data "$2" "$URL/$1"; }
codecs() { ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$1" | grep -v '^$' | sort -u | tr '\n' ' '; }
no_sanitizer() { ! grep -q "Sanitizer" "$LOG"; }

start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }

# Channel A carries H.264 and AAC in its default mode. Each row is decoded for 10 s by ffmpeg,
# all at once.
declare -A want=([streamA.ts]="aac h264 " [streamA_vid.ts]="h264 " [streamA.flv]="aac h264 "
                 [streamA.h264]="h264 " [streamA.aac]="aac ")
declare -A fmt=([streamA.ts]=mpegts [streamA_vid.ts]=mpegts [streamA.flv]=flv [streamA.h264]=h264 [streamA.aac]=adts)
pids=()
for row in "${!want[@]}"; do
  in=${fmt[$row]}; [ "$in" = adts ] && in=aac
  timeout 40 ffmpeg -v error -f "$in" -i "$URL/$row" -t 10 -c copy -f "${fmt[$row]}" -y "$TEST_DIR/$row" \
    2>"$TEST_DIR/$row.err" &
  pids+=($!)
done
# HLS alongside: the player follows the playlist for 30 s.
timeout 60 ffmpeg -v error -i "$URL/streamA.m3u8" -t 30 -f null - 2>"$TEST_DIR/hls.err" &
hls_pid=$!
for p in "${pids[@]}"; do wait "$p"; done
for row in "${!want[@]}"; do
  check "$row: ffprobe finds $(echo ${want[$row]})" [ "$(codecs "$TEST_DIR/$row")" = "${want[$row]}" ]
  in=${fmt[$row]}; [ "$in" = adts ] && in=aac
  errs=$(ffmpeg -v error -f "$in" -i "$TEST_DIR/$row" -f null - 2>&1 | head -n 3)
  check "$row: 10 s decode without an error" [ -z "$errs" ]
  dur=$(ffprobe -v error -show_entries format=duration -of csv=p=0 -f "$in" "$TEST_DIR/$row" 2>/dev/null)
  [ "$row" = streamA.h264 ] || check "$row: about 10 s long ($dur)" awk -v d="${dur:-0}" 'BEGIN{exit !(d > 8)}'
done
wait "$hls_pid"
check "HLS: ffmpeg plays the playlist 30 s without an error" [ ! -s "$TEST_DIR/hls.err" ]
check "HLS: the segments were fetched by the player" grep -q "starting hls thread" "$LOG"

# Each row's type names what it carries (players choose their demuxer by it).
declare -A types=([streamA.ts]=video/mp2t [streamA_vid.ts]=video/mp2t [streamA.flv]=video/x-flv
                  [streamA.h264]=video/h264 [streamA.aac]=audio/aac [streamA.m3u8]=application/x-mpegurl)
for row in "${!types[@]}"; do
  t=$(curl -s --max-time 8 -o /dev/null -w '%{content_type}' "$URL/$row" | tr A-Z a-z)
  check "$row is answered as ${types[$row]} ($t)" [ "$t" = "${types[$row]}" ]
done

# The PCM row, read as raw 16-bit stereo at 48 kHz, holds the simulated card's samples.
curl -s --max-time 4 -o "$TEST_DIR/c.pcm" "$URL/streamC.pcm"
ffmpeg -v error -f s16le -ar 48000 -ac 2 -i "$TEST_DIR/c.pcm" -y "$TEST_DIR/c.wav"
check "streamC.pcm: about 4 s of sound" [ "$(stat -c %s "$TEST_DIR/c.pcm")" -gt 500000 ]
check "streamC.pcm: the card's samples" /usr/bin/python3 "$K7160_SRC/tests/e2e/audio_tones.py" exact "$TEST_DIR/c.wav"

# The PCM row says what it holds, and the README's line for each player plays the card's tones from
# it (ffmpeg and GStreamer copy the samples as they are; VLC goes through its mixer).
# gst-elements: souphttpsrc rawaudioparse audioconvert wavenc
ctype=$(curl -s --max-time 2 -o /dev/null -w '%{content_type}' "$URL/streamC.pcm")
check "streamC.pcm is answered as raw S16LE stereo at 48 kHz ($ctype)" \
  [ "$ctype" = "audio/x-raw; format=S16LE; rate=48000; channels=2" ]
readme_line() { grep -E "^    $1 .*streamC\.pcm" "$K7160_SRC/README.md" | head -n 1 | sed 's/^ *//; s#HOST#127.0.0.1#g'; }
ff=$(readme_line ffmpeg); vl=$(readme_line vlc); gs=$(readme_line gst-launch-1.0)
check "the README gives streamC.pcm lines for ffmpeg, VLC and GStreamer" [ -n "$ff" -a -n "$vl" -a -n "$gs" ]
mkdir -p "$TEST_DIR/pcm" && chmod 777 "$TEST_DIR/pcm" && chmod 755 "$TEST_DIR"
# The three players at once.
(cd "$TEST_DIR/pcm" && timeout 30 ${ff/#ffmpeg/ffmpeg -nostdin -v error -y}) &
ff_pid=$!
setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$TEST_DIR/pcm" timeout 30 \
  ${vl/#vlc/cvlc -I dummy --aout afile --audiofile-file=$TEST_DIR/pcm/vlc.wav --audiofile-format=s16 --audiofile-wav --run-time=6 --play-and-exit} \
  >"$TEST_DIR/pcm/vlc.log" 2>&1 &
vl_pid=$!
gs=${gs/#gst-launch-1.0/gst-launch-1.0 -e}
timeout -s INT -k 5 6 ${gs/%autoaudiosink/wavenc ! filesink location=$TEST_DIR/pcm/gst.wav} >"$TEST_DIR/pcm/gst.log" 2>&1
wait "$ff_pid" "$vl_pid"
check "README's ffmpeg line: the card's samples" \
  /usr/bin/python3 "$K7160_SRC/tests/e2e/audio_tones.py" exact "$TEST_DIR/pcm/c.wav"
check "README's VLC line: both tones, no gap" \
  /usr/bin/python3 "$K7160_SRC/tests/e2e/audio_tones.py" tones "$TEST_DIR/pcm/vlc.wav" 2
check "README's GStreamer line: the card's samples" \
  /usr/bin/python3 "$K7160_SRC/tests/e2e/audio_tones.py" exact "$TEST_DIR/pcm/gst.wav"

# Segments one by one: each starts with a keyframe and lasts about a GOP or more.
for i in 0 1 2; do
  curl -s --max-time 30 -o "$TEST_DIR/seg$i.ts" "$URL/streamA$i.ts"
  curl -s -o /dev/null "$URL/streamA.m3u8"
  k=$(ffprobe -v error -select_streams v -show_frames -read_intervals '%+#1' -show_entries frame=key_frame \
      -of csv=p=0 "$TEST_DIR/seg$i.ts" | head -n 1)
  check "segment $i starts with a keyframe" [ "$k" = 1 ]
  n=$(ffprobe -v error -select_streams v -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$TEST_DIR/seg$i.ts" | tr -dc 0-9)
  check "segment $i holds more than 30 frames ($n)" [ "${n:-0}" -gt 30 ]
done
pl=$(curl -s "$URL/streamA.m3u8")
check "the playlist names at most eight segments" [ "$(grep -c '^streamA[0-9].ts$' <<<"$pl")" -le 8 ]
check "the playlist counts the dropped ones" grep -q '^#EXT-X-MEDIA-SEQUENCE:[0-9]' <<<"$pl"
# Nobody fetches playlists now: the worker stops after five segments and starts again on request.
idle() { [ "$(grep -c "starting hls thread" "$LOG")" = "$(grep -c "stopping hls thread" "$LOG")" ]; }
for _ in $(seq 1 600); do idle && break; sleep 0.1; done
check "the unwatched worker stops" idle
before=$(grep -c "starting hls thread" "$LOG")
check "a segment request starts it again" [ "$(code --max-time 30 "$URL/streamA0.ts")" = 200 ]
check "... and the worker started" [ "$(grep -c "starting hls thread" "$LOG")" -gt "$before" ]

# Clients joining a running TS or FLV row read its one muxed output from a keyframe with the
# tables (TS) or the file header (FLV) first: each decodes from its first byte without an error.
# The null output recasts FLV's millisecond stamps to the frame rate onMetaData names, so two
# pictures a loaded machine captured close together land in one slot there: ffmpeg's complaint
# about its own output is not counted; every decoding error is.
http_player() {
  timeout $(($1 + 40)) ffmpeg -v error -f "${fmt[$row]}" -i "$URL/$row" -t "$1" -f null - 2>&1 >/dev/null |
    grep -v 'non monotonically increasing dts to muxer' >&2
  return 0
}
for row in streamA.ts streamA.flv; do
  dirty=$(joiners_dirty http_player 5)
  check "$row: the first client and 5 joiners decode without an error ($dirty dirty)" [ "$dirty" = 0 ]
done

# The raw H.264 row likewise: while one client holds it, each joiner starts at a keyframe with its
# parameter sets (SPS, PPS, then the IDR slice), and ffmpeg and VLC decode it from there.
row=streamA.h264
curl -s --max-time 40 -o /dev/null "$URL/$row" &
holder=$!
sleep 2
for i in 1 2 3; do
  curl -s --max-time 2 -o "$TEST_DIR/join$i.h264" "$URL/$row"
  sleep 0.$(( RANDOM % 9 + 1 ))
done
first_nals() {   # FILE: the NAL unit types up to the first slice
  python3 - "$1" <<'PY'
import re, sys
d = open(sys.argv[1], 'rb').read()
types = []
for m in re.finditer(b'\x00\x00\x01', d):
    if m.end() < len(d):
        t = d[m.end()] & 0x1f
        types.append(t)
        if t in (1, 5):
            break
print(' '.join(map(str, types)))
PY
}
for i in 1 2 3; do
  nals=$(first_nals "$TEST_DIR/join$i.h264")
  check "$row joiner $i starts with SPS, PPS and an IDR slice (NAL types: $nals)" \
    bash -c "grep -qE '(^| )7 8( 6)* 5$' <<<'$nals'"
done
# VLC, unprivileged, joins the held row alongside the ffmpeg joiners and shows its pictures. (Neither
# its count of lost pictures nor its decoder's complaints judge the join: its probe prints two as the
# first client too, and it loses some pacing a row that carries no timestamps.)
chmod 755 "$TEST_DIR"; mkdir -p "$TEST_DIR/vlc"; chown nobody "$TEST_DIR/vlc"
(sleep 12; echo stats; sleep 1; echo quit) |
  setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$TEST_DIR/vlc" \
    timeout 40 cvlc -I rc --rc-fake-tty -V dummy -A dummy "$URL/$row" >"$TEST_DIR/vlc-h264.log" 2>&1 &
vlc_pid=$!
dirty=$(joiners_dirty http_player 4)
check "$row: the first client and 4 joiners decode without an error ($dirty dirty)" [ "$dirty" = 0 ]
wait "$vlc_pid"
vlc_stat() { awk -F: -v k="$1" '$1 ~ "^\\| " k " *$" { gsub(/[ \r]/, "", $2); v = $2 } END { print v + 0 }' \
  "$TEST_DIR/vlc-h264.log"; }
shown=$(vlc_stat "frames displayed"); lost=$(vlc_stat "frames lost")
bad=$(grep -cE 'decode_slice_header error|non-existing PPS|no frame!' "$TEST_DIR/vlc-h264.log")
echo "VLC joining $row: $shown pictures displayed, $lost lost, $bad decoder messages"
check "VLC joining $row shows pictures ($shown)" [ "$shown" -ge 60 ]
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null

# JPEG mode on channel B: a snapshot is one whole JPEG; back-to-back and multipart parse.
post streamB_controls "StreamMode=3"
sleep 2
curl -s --max-time 10 -o "$TEST_DIR/snap.jpg" "$URL/streamB.jpg"
check "snapshot is one complete JPEG" python3 - "$TEST_DIR/snap.jpg" <<'PY'
import sys
d = open(sys.argv[1], 'rb').read()
sys.exit(0 if d[:2] == b'\xff\xd8' and d[-2:] == b'\xff\xd9' and d.count(b'\xff\xd9') >= 1 else 1)
PY
check "snapshot decodes" [ -z "$(ffmpeg -v error -i "$TEST_DIR/snap.jpg" -f null - 2>&1)" ]
curl -s --max-time 6 -o "$TEST_DIR/b2b.mjpg" "$URL/streamB.mjpg"
curl -s --max-time 6 -D "$TEST_DIR/mp.hdr" -o "$TEST_DIR/mp.bin" "$URL/streamB.mjpg?multipart=TRUE"
boundary=$(sed -n 's/^Content-Type: multipart\/x-mixed-replace; boundary=\([^;[:space:]]*\).*/\1/Ip' "$TEST_DIR/mp.hdr")
check "multipart content type with its boundary ($boundary)" [ -n "$boundary" ]
check "back-to-back and multipart JPEGs are whole, each part after \"--\" and the boundary" \
  python3 - "$TEST_DIR/b2b.mjpg" "$TEST_DIR/mp.bin" "$boundary" <<'PY'
import re, sys
b2b = open(sys.argv[1], 'rb').read()
frames = [f for f in b2b.split(b'\xff\xd9\xff\xd8') if f]
assert len(frames) >= 3 and b2b.startswith(b'\xff\xd8'), len(frames)
mp = open(sys.argv[2], 'rb').read()
delimiter = b'--' + sys.argv[3].encode()
assert mp.startswith(delimiter + b'\r\n'), mp[:40]
pos, parts = 0, 0
while True:
    m = re.compile(rb'(\r\n\r\n)?' + re.escape(delimiter) + rb'\r\nContent-Type: image/jpeg\r\nContent-Length: (\d+)\r\n\r\n').match(mp, pos)
    if not m:
        break
    assert (m.group(1) is None) == (parts == 0)
    n = int(m.group(2)); body = mp[m.end():m.end() + n]
    if len(body) < n:
        break   # cut by the client's time limit
    assert body[:2] == b'\xff\xd8' and body[-2:] == b'\xff\xd9', parts
    parts += 1; pos = m.end() + n
assert parts >= 3, parts
PY
ctype=$(curl -s --max-time 3 -o /dev/null -w '%{content_type}' "$URL/streamB.mjpg")
check "back-to-back JPEGs are answered as motion JPEG ($ctype)" [ "$ctype" = video/x-motion-jpeg ]
# ffmpeg with the boundary taken from the header, as strict players take it, and as it comes.
for row in "streamB.mjpg?multipart=true" streamB.mjpg; do
  opt=; [ "$row" = streamB.mjpg ] || opt="-strict_mime_boundary 1"
  got=$(timeout 30 ffprobe -v error $opt -show_entries stream=codec_name -of csv=p=0 "$URL/$row" 2>&1 | head -n 3)
  check "ffprobe opens $row ($got)" [ "$got" = mjpeg ]
  errs=$(timeout 40 ffmpeg -v error $opt -i "$URL/$row" -frames:v 20 -f null - 2>&1 | head -n 3)
  check "ffmpeg decodes 20 pictures of $row${errs:+: $errs}" [ -z "$errs" ]
done
# The H.264 rows of a JPEG channel, HLS among them, are refused with the reason, and start
# nothing: no consumer attaches, no HLS worker, no encoder (each start logs the channel's
# settings). The JPEG clients above have gone, so the encoder stops first.
encoder_starts() { grep -c ': idx=1 .*StreamMode=' "$LOG"; }
idle_b() { grep -q 'status: 0,' <(curl -sg "$URL/Encode.Status[1]"); }
for _ in $(seq 1 100); do idle_b && break; sleep 0.1; done
check "channel B's encoder stops without clients" idle_b
starts=$(encoder_starts); attached=$(grep -c 'attached stream 2 ' "$LOG"); hls=$(grep -c 'starting hls thread' "$LOG")
for row in streamB.ts streamB_vid.ts streamB.h264 streamB.flv streamB.m3u8 streamB1.ts; do
  got=$(curl -s --max-time 10 -o "$TEST_DIR/refused" -w '%{http_code}' "$URL/$row")
  what="this stream"; case $row in *.m3u8 | streamB1.ts) what=HLS ;; esac
  check "$row of a JPEG channel: 404 ($got) saying why ($(cat "$TEST_DIR/refused"))" \
    [ "$got $(cat "$TEST_DIR/refused")" = "404 Channel B is set to MJPEG VES; $what carries H.264." ]
done
err=$(timeout 20 ffmpeg -v error -i "$URL/streamB.ts" -f null - 2>&1)
check "ffmpeg is told 404 on streamB.ts ($err)" grep -q '404 Not Found' <<<"$err"
check "... no consumer attached" [ "$(grep -c 'attached stream 2 ' "$LOG")" = "$attached" ]
check "... no HLS worker started" [ "$(grep -c 'starting hls thread' "$LOG")" = "$hls" ]
check "... no encoder started" [ "$(encoder_starts)" = "$starts" ]
check "... and it stays idle" idle_b
check "pages answer" [ "$(code "$URL/")" = 303 ]

# A client that leaves mid-stream: the consumer detaches (the encoder stops when nobody reads).
curl -s --max-time 2 -o /dev/null "$URL/streamA.ts"
check "server still answers after a cut stream" [ "$(code "$URL/")" = 303 ]

# A guest at level None is challenged on the stream rows.
post controls "User[0].Name=admin&User[0].Permission=5&User[0].Password=pw&GuestPermission=0"
sleep 1
for row in streamA.ts streamA.h264 streamC.pcm streamA.m3u8 streamA0.ts streamB.jpg filelist_mmc "download?s=0&f=a.mp4"; do
  check "guest at level None challenged on $row" [ "$(code --max-time 5 "$URL/$row")" = 401 ]
done
pl=$(curl -sg --max-time 30 --digest -u admin:pw "$URL/streamA.m3u8")
check "the admin gets the playlist" grep -q '^#EXTM3U' <<<"$pl"
seg=$(grep -m1 '^streamA[0-9].ts$' <<<"$pl")
check "the admin gets a segment it names with digest" [ "$(code --max-time 30 --digest -u admin:pw "$URL/$seg")" = 200 ]

stop_app
check "clean exit" [ "$APP_STATUS" = 0 ]
check "no sanitizer report" no_sanitizer
finish
