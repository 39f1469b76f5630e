# GStreamer's player on the appliance's RTSP sessions, for tests/e2e/audio_test.sh and
# bench/gst_matrix_bench.sh: source it after lib.sh, with RTSP set to rtsp://host:port.
# What playbin plugs in by itself, checked by scripts/check-deps:
# gst-elements: playbin uridecodebin playsink decodebin rtspsrc rtpbin udpsrc rtph264depay rtpmp4gdepay
# gst-elements: rtpL16depay h264parse aacparse avdec_h264 avdec_aac fakesink

# gst TRANSPORT SESSION OUT: plays the session for 20 s over udp or tcp; every decoded buffer that
# reaches the video or audio sink is a line in OUT. playbin links each stream as rtspsrc adds it:
# gst-launch's own delayed links ("s. ! caps ! ...") race when two streams start on two threads at
# once, and one thread's no-more-pads warns "Delayed linking failed" while the other still links.
# SIGINT lets the player close its session (TEARDOWN), as a player that is closed does, rather than
# leave the server sending to a port that the next player may get until the session times out.
gst() {
  local scheme=rtspu
  [ "$1" = tcp ] && scheme=rtspt
  timeout -s INT -k 10 20 gst-launch-1.0 -v playbin uri="$scheme://${RTSP#rtsp://}/$2" \
    flags=video+audio+native-video+native-audio video-sink="fakesink name=videosink silent=false" \
    audio-sink="fakesink name=audiosink silent=false" >"$3" 2>&1
}

# gst_count OUT MEDIA: decoded buffers that reached the video or audio sink.
gst_count() { grep -c "$2sink:sink) (" "$1"; }

# gst_has OUT MEDIA: at least 60 decoded buffers of that medium; else says what the player said.
gst_has() {
  local n
  n=$(gst_count "$1" "$2")
  [ "$n" -ge 60 ] && return 0
  echo "$1: $n $2 buffers; RTP streams that reached the player:" \
    "$(grep -o 'recv_rtp_src_[0-9]*_[0-9]*_[0-9]*' "$1" | sort -u | tr '\n' ' ')"
  grep -iE 'error|warning' "$1" | head -3
  return 1
}

# The first GStreamer program on a machine builds its plugin registry, which takes seconds and
# more with six at once: built before the pipelines' 20 s.
gst_registry() { gst-inspect-1.0 >/dev/null 2>&1; }

# The sessions with pictures and sound, and those with sound only.
GST_AV_SESSIONS="streamA.h264_aac streamB.h264_aac streamA.h264_pcm streamB.h264_pcm"
GST_AUDIO_SESSIONS="streamC.aac streamC.pcm"

# gst_all TRANSPORT PREFIX: plays every session at once, each into PREFIX-SESSION.txt.
gst_all() {
  local s pids=""
  for s in $GST_AV_SESSIONS $GST_AUDIO_SESSIONS; do
    gst "$1" "$s" "$2-$s.txt" &
    pids="$pids $!"
  done
  # shellcheck disable=SC2086
  wait $pids
}
