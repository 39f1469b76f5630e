#!/usr/bin/env bash
# AAC in a received transport stream, sent by ffmpeg over TCP: what the sound card played (its
# WAV in the board directory) against ffmpeg's own decode; Audio.SampleRate follows a 44.1 kHz
# stream and stays put for a 32 kHz one, which still plays at its own rate.
source "$K7160_TESTLIB"

HTTP=http://127.0.0.1
PORT=5610
WAV="$BOARD/audio/playback.wav"

post() { curl -s -o /dev/null -H "Referer: /x.htm" -d "$2" "$HTTP/$1"; }
get() { curl -sg "$HTTP/$1"; }
wait_status() {   # PATTERN SECONDS
  local i
  for i in $(seq 1 $(($2 * 10))); do get Display.Status | grep -qE -- "$1" && return 0; sleep 0.1; done
  echo "status: $(get Display.Status)"; return 1
}
wait_param() {   # NAME VALUE SECONDS
  local i
  for i in $(seq 1 $(($3 * 10))); do [ "$(get "$1")" = "$2" ] && return 0; sleep 0.1; done
  echo "$1: $(get "$1")"; return 1
}
wav_rate() { python3 -c "import struct,sys; print(struct.unpack_from('<I', open(sys.argv[1],'rb').read(28), 24)[0])" "$WAV"; }
# play FILE: sends the file once, in real time, and waits for the sender to finish.
play() {
  timeout 30 ffmpeg -nostdin -loglevel error -re -i "$1" -c copy -f mpegts "tcp://127.0.0.1:$PORT" >/dev/null 2>&1
}
make_av() {   # RATE FILE [SECONDS]
  ffmpeg -nostdin -loglevel error -f lavfi -i smptebars=size=352x288:rate=25 \
    -f lavfi -i "aevalsrc=0.4*sin(2*PI*440*t)+0.2*sin(2*PI*1250*t*(1+t/10)):s=$1:c=stereo" -t "${3:-5}" \
    -c:v libx264 -bf 0 -g 25 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k -ar "$1" -ac 2 -f mpegts "$2"
}
# Long enough that its pictures are still coming when a busy machine gets to look at them.
make_av 48000 "$TEST_DIR/av48.ts" 15 || fail "making av48.ts"
make_av 44100 "$TEST_DIR/av44.ts" || fail "making av44.ts"
make_av 32000 "$TEST_DIR/av32.ts" || fail "making av32.ts"
ffmpeg -nostdin -loglevel error -i "$TEST_DIR/av48.ts" -vn -f s16le -ac 2 -ar 48000 "$TEST_DIR/ref48.pcm"
ffmpeg -nostdin -loglevel error -i "$TEST_DIR/av48.ts" -frames:v 1 -f rawvideo -pix_fmt nv12 "$TEST_DIR/ref48.nv12"
frames() { get Display.Status | sed -nE 's/^([0-9]+) frames decoded.*/\1/p'; }
# shown: the luma of the picture centred on the output is the reference's (bars, so any frame).
shown() {
  local i
  touch "$BOARD/video/display_dump"
  for i in $(seq 1 50); do [ -e "$BOARD/video/display_dump" ] || break; sleep 0.1; done
  python3 - "$BOARD/video/display_frame" "$TEST_DIR/ref48.nv12" <<'PY'
import sys
w, h, line = (int(v) for v in open(sys.argv[1] + ".txt").read().split()[:3])
raw, ref = open(sys.argv[1] + ".raw", "rb").read(), open(sys.argv[2], "rb").read()
x0, y0 = ((w - 352) // 2) & ~1, ((h - 288) // 2) & ~1
pts = [(x, y) for y in range(4, 284, 5) for x in range(4, 348, 5)]
good = sum(abs(raw[(y0 + y) * line + x0 + x] - ref[y * 352 + x]) <= 10 for x, y in pts)
print("shown picture: %.1f%% of luma samples within 10 of ffmpeg's decode" % (100.0 * good / len(pts)))
sys.exit(0 if good >= 0.95 * len(pts) else 1)
PY
}

start_app || finish
wait_log "display streamon" 20 || { fail "the output did not start"; finish; }
for _ in $(seq 1 100); do [ -n "$(get Display.Status)" ] && break; sleep 0.1; done   # the web server answers
post display_controls "UDPPort=$PORT&StreamFormat=0&URL=tcp"
post display_controls "State=start"
sleep 1.5
check "listening" wait_status "^Listening\.\.\. TCP" 10
check "Audio.SampleRate starts at 48000" [ "$(get Audio.SampleRate)" = 48000 ]

play "$TEST_DIR/av48.ts" &
SENDER=$!
check "48 kHz: the audio was handed to playback" wait_log "ts audio format AAC" 10
sleep 2
a=$(frames); sleep 1; b=$(frames)
echo "frames decoded: ${a:-none} then ${b:-none}"
check "48 kHz: pictures paced by the audio clock keep coming" [ -n "$a" ] && [ -n "$b" ] && [ "$b" -gt "$a" ]
check "48 kHz: and are shown" shown
while kill -0 "$SENDER" 2>/dev/null; do sleep 0.2; done
# A sender that ends with bytes still held has them read once more, and ends as a sender does.
sender_closed() {
  local i
  for i in $(seq 1 100); do
    grep -qE "closing stream|Output TCP sender [0-9.]+ ended: " "$LOG" && return 0
    sleep 0.1
  done
  return 1
}
check "48 kHz: the sender's end closes the connection" sender_closed
sleep 1
cp "$WAV" "$TEST_DIR/played48.wav"
check "48 kHz: the card played what ffmpeg decodes" python3 - "$TEST_DIR/played48.wav" "$TEST_DIR/ref48.pcm" <<'PY'
import array, math, sys
wav = open(sys.argv[1], "rb").read()
rate = int.from_bytes(wav[24:28], "little")
def left(raw):
    a = array.array("h")
    a.frombytes(raw[:len(raw) // 4 * 4])
    return a[0::2]
played, ref = left(wav[44:]), left(open(sys.argv[2], "rb").read())
def first_loud(x):
    return next((i for i, v in enumerate(x) if abs(v) > 1000), -1)
pl, rl = first_loud(played), first_loud(ref)
if rate != 48000 or pl < 0 or rl < 0:
    print("played %d samples at %d Hz, nothing loud" % (len(played), rate)); sys.exit(1)
# A window a second into what was played, found in the reference near the same place.
N = 2400
start = pl + 48000
win = played[start:start + N]
if len(win) < N:
    print("only %.2f s played" % ((len(played) - pl) / 48000)); sys.exit(1)
best, off = -2.0, 0
wn = math.sqrt(sum(v * v for v in win))
for o in range(max(0, rl + 48000 - 2400), rl + 48000 + 2400):
    r = ref[o:o + N]
    if len(r) < N:
        break
    c = sum(a * b for a, b in zip(r, win)) / (math.sqrt(sum(v * v for v in r)) * wn + 1e-9)
    if c > best:
        best, off = c, o
r = ref[off:off + N]
err = math.sqrt(sum((a - b) ** 2 for a, b in zip(r, win)) / N) / math.sqrt(sum(v * v for v in r) / N)
print("played %.2f s at %d Hz; a window matches ffmpeg's decode: correlation %.4f, relative error %.4f"
      % ((len(played) - pl) / 48000, rate, best, err))
sys.exit(0 if best > 0.99 and err < 0.1 else 1)
PY

check "44.1 kHz: listening again" wait_status "^Listening\.\.\. TCP" 10
play "$TEST_DIR/av44.ts"
check "44.1 kHz: Audio.SampleRate follows the stream" wait_param Audio.SampleRate 44100 5
check "44.1 kHz: played at 44100 Hz" [ "$(wav_rate)" = 44100 ]

check "32 kHz: listening again" wait_status "^Listening\.\.\. TCP" 10
play "$TEST_DIR/av32.ts"
sleep 1
check "32 kHz: Audio.SampleRate stays put" [ "$(get Audio.SampleRate)" = 44100 ]
check "32 kHz: played at the stream's own rate" [ "$(wav_rate)" = 32000 ]

stop_app
check "appliance exits cleanly" [ "${APP_STATUS:-1}" = 0 ]
finish
