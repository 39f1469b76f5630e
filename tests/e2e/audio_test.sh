#!/usr/bin/env bash
# Sound over the live sessions, judged with ffprobe/ffmpeg, GStreamer and numpy: AAC LC at the set
# rate and channels on the AAC and transport-stream sessions, the simulated card's tones without
# gaps, the L16 track sample for sample, both pictures and sound in GStreamer over UDP and TCP,
# settings applied while streaming, an overrun survived, the mixer page, and no sound card.
source "$K7160_TESTLIB"

RTSP=rtsp://127.0.0.1:8554
HTTP=http://127.0.0.1
# Debian's python3, with numpy
audio_tones() { /usr/bin/python3 "$K7160_SRC/tests/e2e/audio_tones.py" "$@"; }
count_log() { grep -cF -- "$1" "$LOG" 2>/dev/null; }
wait_count() {   # TEXT N SECONDS: waits until at least N lines hold TEXT
  local i
  for i in $(seq 1 $(($3 * 10))); do [ "$(count_log "$1")" -ge "$2" ] && return 0; sleep 0.1; done
  return 1
}
set_param() { curl -s -o /dev/null -H "Referer: /x.htm" -d "$1" "$HTTP/controls"; }

start_app || finish
wait_log "RTSP server created on port 8554" 20 || { fail "RTSP server did not start"; finish; }
wait_log "sound: input=" 20 || { fail "sound capture did not start"; finish; }

probe_audio() {   # TRANSPORT SESSION: codec,profile,rate,channels of the audio stream
  timeout 20 ffprobe -v error -rtsp_transport "$1" -select_streams a \
    -show_entries stream=codec_name,profile,sample_rate,channels -of csv=p=0 "$RTSP/$2" | head -1
}
check "ffprobe of streamC.aac: AAC LC 48 kHz stereo" [ "$(probe_audio tcp streamC.aac)" = "aac,LC,48000,2" ]

# Ten seconds of the AAC session: near 192 kbit/s, and the tones decode without gaps.
timeout 40 ffmpeg -v error -rtsp_transport tcp -i "$RTSP/streamC.aac" -t 10 -c copy -f adts -y "$TEST_DIR/c.aac" 2>"$TEST_DIR/c.err"
cat "$TEST_DIR/c.err"
bytes=$(stat -c %s "$TEST_DIR/c.aac" 2>/dev/null || echo 0)
kbps=$((bytes * 8 / 10 / 1000)); echo "AAC session: $bytes bytes in 10 s = $kbps kbit/s"
check "AAC bit rate near 192 kbit/s" [ "$kbps" -ge 150 -a "$kbps" -le 240 ]
ffmpeg -v error -i "$TEST_DIR/c.aac" -y "$TEST_DIR/c.wav"
check "AAC session holds the tones without gaps" audio_tones tones "$TEST_DIR/c.wav" 2

# Ten seconds of channel A's transport stream: AAC beside H.264, the first audio and video stamps
# within one frame, one period per audio frame, and the tones.
overruns=$(count_log "overrun!!!")
timeout 40 ffmpeg -v error -rtsp_transport tcp -i "$RTSP/streamA.ts" -t 10 -c copy -copyts -f mpegts -y "$TEST_DIR/a.ts" 2>"$TEST_DIR/ts.err"
# Sound the capture lost itself (a busy machine's reader late past the device's buffer) is
# logged as an overrun and skips the stamps once: that many jumps are the source's own.
overruns=$(($(count_log "overrun!!!") - overruns))
cat "$TEST_DIR/ts.err"
check "TS file: AAC LC 48 kHz stereo" [ "$(ffprobe -v error -select_streams a -show_entries stream=codec_name,profile,sample_rate,channels -of csv=p=0 "$TEST_DIR/a.ts" | head -1)" = "aac,LC,48000,2" ]
tsrate=$(ffprobe -v error -select_streams a -show_entries stream=bit_rate -of csv=p=0 "$TEST_DIR/a.ts" | head -1)
echo "TS audio bit rate: $tsrate"
check "TS audio near 192 kbit/s" [ "${tsrate:-0}" -ge 150000 -a "${tsrate:-0}" -le 240000 ]
ffprobe -v error -show_entries packet=codec_type,pts -of csv=p=0 "$TEST_DIR/a.ts" >"$TEST_DIR/pk.csv"
fa=$(grep -m1 '^audio' "$TEST_DIR/pk.csv" | cut -d, -f2); fv=$(grep -m1 '^video' "$TEST_DIR/pk.csv" | cut -d, -f2)
echo "first audio pts $fa, first video pts $fv"
within_frame() { [ -n "$fa" ] && [ -n "$fv" ] && [ $(( fa > fv ? fa - fv : fv - fa )) -le 3003 ]; }
check "TS: first audio and video within one video frame" within_frame
steps=$(grep '^audio' "$TEST_DIR/pk.csv" | cut -d, -f2 | awk 'NR > 1 { d = $1 - p; if (d < 1918 || d > 1922) bad++ } { p = $1; n++ } END { print n + 0, bad + 0 }')
echo "audio packets, steps off one period: $steps; capture overruns meanwhile: $overruns"
check "TS: the audio PTS advances one period per frame" [ "${steps#* }" -le "$overruns" -a "${steps% *}" -ge 400 ]
ffmpeg -v error -i "$TEST_DIR/a.ts" -map 0:a -y "$TEST_DIR/ts.wav"
# Gaps only where the stamps jumped with an overrun the capture logged.
ts_tones() { audio_tones tones "$TEST_DIR/ts.wav" 2 || [ "${steps#* }" -ge 1 -a "${steps#* }" -le "$overruns" ]; }
check "TS audio holds the tones without gaps" ts_tones

# The L16 track of the H.264+PCM session is the card's signal, sample for sample.
timeout 30 ffmpeg -v error -rtsp_transport tcp -i "$RTSP/streamA.h264_pcm" -map 0:a -t 6 -c:a pcm_s16le -y "$TEST_DIR/pcm.wav"
check "L16 track decodes to the tones sample for sample" audio_tones exact "$TEST_DIR/pcm.wav"

# GStreamer plays pictures and sound of the video+audio sessions, and the audio-only ones.
source "$K7160_SRC/tests/e2e/gst.sh"
gst_registry
for proto in udp tcp; do
  gst_all "$proto" "$TEST_DIR/gst-$proto"
  for s in $GST_AV_SESSIONS; do
    check "GStreamer over $proto: $s has pictures" gst_has "$TEST_DIR/gst-$proto-$s.txt" video
    check "GStreamer over $proto: $s has sound" gst_has "$TEST_DIR/gst-$proto-$s.txt" audio
  done
  for s in $GST_AUDIO_SESSIONS; do
    check "GStreamer over $proto: $s has sound" gst_has "$TEST_DIR/gst-$proto-$s.txt" audio
  done
done

# Settings while a client records the transport stream (which carries the ADTS headers as made):
# a new bit rate reaches the running encoder, then mono follows, neither reopening the device
# nor restarting the stream. (The AAC session's SDP announces 48 kHz stereo whatever is set.)
opens=$(count_log "sound: input=")
stereo_encoders=$(count_log "aac: ADTS=1 ch=2")
mark=$(wc -l <"$LOG")
# 14 s: room for both changes however late a busy machine applies them.
timeout 60 ffmpeg -v error -rtsp_transport tcp -i "$RTSP/streamA.ts" -map 0:a -t 14 -c copy -flush_packets 1 -f adts -y "$TEST_DIR/live.aac" 2>/dev/null &
rec=$!
# The changes fall inside the recording: its 3 s count from its first sound, which a busy
# machine's client gets late.
for _ in $(seq 1 300); do [ -s "$TEST_DIR/live.aac" ] && break; sleep 0.1; done
sleep 3
set_param "Audio.BitRate=64000"
wait_log "sound: AAC bitrate 64000" 5
check "the bit rate reaches the running encoder" [ "$(count_log "sound: AAC bitrate 64000")" = 1 ]
check "no new encoder for the bit rate" [ "$(count_log "aac: ADTS=1 ch=2")" = "$stereo_encoders" ]
sleep 3
set_param "Audio.Channels=1"
wait_log "aac: ADTS=1 ch=1" 5
wait $rec
summary=$(audio_tones adts "$TEST_DIR/live.aac"); echo "$summary"
check "one recording holds stereo then mono frames" grep -qE '\(2,3\)x[0-9]+:[0-9]+ \(1,3\)x[0-9]+' <<<"$summary"
frames=$(sed -n 's/^adts: \([0-9]*\) frames.*/\1/p' <<<"$summary")
# 656 frames in 14 s; less what the capture logged it lost meanwhile (its overruns' lateness).
lost=$(tail -n +$((mark + 1)) "$LOG" | sed -n 's/.*overrun!!! last capture was \([0-9]*\) ms ago.*/\1/p' |
  awk '{ ms += $1 } END { printf "%d", ms * 48 / 1024 }')
echo "frames the capture lost by its own log: $lost"
check "no frame lost across the changes (14 s)" [ "${frames:-0}" -ge $((620 - lost)) ]
check "the device stayed open" [ "$(count_log "sound: input=")" = "$opens" ]
check "ffprobe of streamA.ts: mono" [ "$(probe_audio tcp streamA.ts)" = "aac,LC,48000,1" ]

# A new sample rate reopens the device, and the running encoder follows. A reader keeps it
# running: the GStreamer players above have closed their sessions, and AAC is made only for readers.
timeout 60 ffmpeg -v error -rtsp_transport tcp -i "$RTSP/streamC.aac" -t 40 -c copy -flush_packets 1 -f adts -y "$TEST_DIR/rate.aac" 2>/dev/null &
rec=$!
for _ in $(seq 1 200); do [ -s "$TEST_DIR/rate.aac" ] && break; sleep 0.1; done
check "a reader gets AAC before the rate changes" [ -s "$TEST_DIR/rate.aac" ]
set_param "Audio.SampleRate=44100"
check "a new rate reopens the device" wait_log "rate=44100 AudioModel=" 10
check "the encoder follows the rate" wait_log "aac: ADTS=1 ch=1 in=2048 out=775 rate=44100 44100" 10
kill "$rec" 2>/dev/null; wait "$rec"
check "ffprobe of streamA.ts: 44.1 kHz mono" [ "$(probe_audio tcp streamA.ts)" = "aac,LC,44100,1" ]
set_param "Audio.SampleRate=48000"
set_param "Audio.Channels=2"
wait_count "rate=48000 AudioModel=" 2 10

check "ffprobe of streamA.ts over UDP: AAC LC 48 kHz stereo" [ "$(probe_audio udp streamA.ts)" = "aac,LC,48000,2" ]

# A reader late by more than the device buffer: one overrun, counted, and capture goes on.
opens=$(count_log "sound: input=")
before=$(count_log "overrun!!!")
kill -STOP "$APP_PID"; sleep 0.8; kill -CONT "$APP_PID"
wait_count "overrun!!!" $((before + 1)) 5
sleep 1
grep -E "overrun!!!|sound: input=" "$LOG" | tail -3
check "a forced overrun is counted once" [ "$(count_log "overrun!!!")" = $((before + 1)) ]
check "capture goes on without reopening" [ "$(count_log "sound: input=")" = "$opens" -a "$(count_log "Failed to read audio buffer")" = 0 ]
timeout 30 ffmpeg -v error -rtsp_transport tcp -i "$RTSP/streamC.pcm" -t 3 -c:a pcm_s16le -y "$TEST_DIR/after.wav"
check "PCM after the overrun is still the card's signal" audio_tones exact "$TEST_DIR/after.wav"

# The mixer page and one posted field.
page=$(curl -s "$HTTP/mixer_settings")
check "mixer page has its form" grep -qF "<form method='POST' action='/mixer_settings'>" <<<"$page"
check "mixer page shows PGA_1_sw on" grep -qF "name='PGA_1_sw' value='1'" <<<"$page"
curl -s -o /dev/null -H "Referer: /audio.htm" -d "PGA_1_sw=0&PGA_10_vol=5&PGA_0_vol=abc" "$HTTP/mixer_settings"
page=$(curl -s "$HTTP/mixer_settings")
check "a posted field changes its control" grep -qF "name='PGA_1_sw' value='0'" <<<"$page"
check "and nothing else" grep -qF "name='PGA_0_sw' value='1'" <<<"$page"
check "a bad value is not taken as 0" grep -qF "name='PGA_0_vol' value='0'" <<<"$page"
check "setting logged" wait_log "setting PGA_1_sw to 0" 2

stop_app
check "clean stop" [ "$APP_STATUS" = 0 ]

# Without a sound card: the failure is logged once, video still plays, the program stops cleanly.
LOG="$TEST_DIR/k7160-nocard.log"
start_app PLATFORM_SOUND=none || finish
wait_log "RTSP server created on port 8554" 20
wait_log "Failed to create sound capture device" 10
sleep 2
check "no card: failure logged once" [ "$(grep -c '] sound [0-9]*: Failed to create sound capture device' "$LOG")" = 1 ]
check "no card: video still plays" [ "$(timeout 20 ffprobe -v error -rtsp_transport tcp -show_entries stream=codec_name -of csv=p=0 "$RTSP/streamA.h264")" = h264 ]
stop_app
check "no card: clean stop" [ "$APP_STATUS" = 0 ]

finish
