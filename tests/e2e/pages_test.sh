#!/usr/bin/env bash
# The web pages judged with curl and headless Chromium: paths out of the web root, the view
# redirects, the live view of a JPEG channel, the icon, the channel pages' shared body, a refused unreadable post, the settings listing and its round trip through the defaults file, who may load the
# defaults, the RTSP links, every menu page in a browser, a setting changed on its page and
# stored, a Stream Control user's menus, the custom zip's pages across a restart, and the update
# page driving a firmware upload to the restart.
source "$K7160_TESTLIB"

URL=http://127.0.0.1
code() { curl -sg --path-as-is -o /dev/null -w '%{http_code}' "$@"; }
location() { curl -sg -o /dev/null -w '%{redirect_url}' "$@"; }
# Basic sends the credentials with a form body (a digest client would post first as the guest).
ROOT=(--basic -u root:rootpw8)
no_sanitizer_report() { ! grep -qE 'AddressSanitizer|runtime error' "$@"; }
all_taken() { [ -n "$1" ] && ! grep -qv ' 303$' <<<"$1"; }
reads_back_resolution() { [ -n "$res" ] && [ "$(curl -sg "$URL/Video[0].Resolution")" = "$res" ]; }

# newest_block: "<bitrate> <width> <height>" of Stream A in the newest settings block in flash.
newest_block() {
  python3 - "$BOARD/dev/mtd0" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
for off in range(0x5E000, 0x1E000, -0x2000):
    size, crc, count = struct.unpack_from('<III', data, off)
    if size != 0xFFFFFFFF:
        w, h, rate = struct.unpack_from('<HHI', data, off + 120)
        print(rate, w, h); break
else:
    print('none')
PY
}
wait_block() {
  local want=$1 i
  for i in $(seq 1 100); do [ "$(newest_block)" = "$want" ] && return 0; sleep 0.1; done
  return 1
}


start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }

# The page set is in the web root.
for f in index.htm header.htm footer.htm download.htm admin_update.htm admin_update_status.htm \
         rtsp_streams.htm rtmp_streama.htm jpeg_streamb.htm invalid_stream.htm style.css; do
  [ -f "$BOARD/usr/html/$f" ] || fail "$f installed in the web root"
done

# Paths: ".." and over 70 characters are never served; directories are not files.
long=$(printf 'p%.0s' $(seq 1 67)).css
echo long >"$BOARD/usr/html/$long"
mkdir -p "$BOARD/usr/html/sub.css"
check "a page is served" [ "$(code $URL/index.htm)" = 200 ]
check "/../dev/mtd0 is not found" [ "$(code $URL/../dev/mtd0)" = 404 ]
check "/x/../index.htm is not found" [ "$(code $URL/x/../index.htm)" = 404 ]
check "%2e%2e is not found either" [ "$(code $URL/%2e%2e/dev/mtd0)" = 404 ]
check "a path over 70 characters is not found" [ "$(code "$URL/$long")" = 404 ]
check "a directory is not found" [ "$(code $URL/sub.css)" = 404 ]
check "a style sheet goes out as text/css" \
  [ "$(curl -s -o /dev/null -w '%{content_type}' $URL/style.css)" = text/css ]

# The view pages by codec.
check "view_streama.htm leads to the H.264 page" [ "$(location $URL/view_streama.htm)" = "$URL/rtmp_streama.htm" ]
check "view_streamb.htm leads to the MJPEG page" [ "$(location $URL/view_streamb.htm)" = "$URL/jpeg_streamb.htm" ]
curl -s -o /dev/null -d "StreamMode=9" $URL/streamA_controls
check "an MPEG-4 channel leads to invalid_stream.htm" \
  [ "$(location $URL/view_streama.htm)" = "$URL/invalid_stream.htm" ]
curl -s -o /dev/null -d "StreamMode=0" $URL/streamA_controls
check "the MJPEG page shows the live picture as multipart" \
  grep -q "<img class='live' src='streamB.mjpg?multipart=true'" <(curl -s $URL/jpeg_streamb.htm)

# RTSP links from the Host header and RTSP_Port.
check "RTSP links use the Host header and port 8554" \
  grep -q "href='rtsp://192.0.2.7:8554/streamA.h264_aac'" <(curl -s -H 'Host: 192.0.2.7' $URL/rtsp_streams.htm)
curl -s -o /dev/null -d "RTSP_Port=8600" $URL/controls
check "RTSP links follow RTSP_Port" \
  grep -q "href='rtsp://192.0.2.7:8600/streamB.ts'" <(curl -s -H 'Host: 192.0.2.7' $URL/rtsp_streams.htm)
curl -s -o /dev/null -d "RTSP_Port=8554" $URL/controls
check "the RTSP page sends multicast to the Control -> Stream A page by its menu name" \
  grep -q "on <a href='control_streama.htm'>Control &rarr; Stream A</a>" <(curl -s $URL/rtsp_streams.htm)
check "the Update page says no archive is stored" \
  grep -q "Stored archive: <span id='zipsize'>none</span>\." <(curl -s $URL/admin_update.htm)

# The small icon a browser asks for.
check "/favicon.ico is an icon" [ "$(curl -s -o "$TEST_DIR/favicon.ico" -w '%{http_code} %{content_type}' \
  $URL/favicon.ico)" = "200 image/vnd.microsoft.icon" ]
check "the icon is a 16x16 ICO" [ "$(head -c 7 "$TEST_DIR/favicon.ico" | od -An -tx1 | tr -d ' \n')" = 00000100010010 ]

# Status rows stay raw for scripts (the pages make sentences of them).
check "the raw encoder status row stays" grep -q '^Encode\[1\], frames: ' <(curl -sg "$URL/Encode.Status[1]")

# Stream B's page is the shared body under Stream B's form: its fields show Stream B's settings.
curl -s -o /dev/null -d "BitRate=1300000" $URL/streamB_controls
curl -s -o /dev/null -d "Port=5432" $URL/udpB_controls
check "setup_streamb.htm shows Stream B's bit rate" grep -q "name='BitRate' value='1300000'" <(curl -s $URL/setup_streamb.htm)
check "setup_streama.htm shows Stream A's bit rate" grep -q "name='BitRate' value='$(curl -sg "$URL/Video[0].BitRate")'" \
  <(curl -s $URL/setup_streama.htm)
check "control_streamb.htm shows Stream B's port" grep -q "name='Port' value='5432'" <(curl -s $URL/control_streamb.htm)

# A body that is no form is refused, not answered with the redirect of a taken form.
before=$(curl -sg "$URL/Video[0].BitRate")
refused=$(curl -s -o /dev/null -w '%{http_code}' -H 'Referer: /setup_streama.htm' -H 'Content-Type: text/plain' \
  --data-binary 'BitRate=300000' $URL/streamA_controls)
check "a post the form processor can't read is refused (got $refused)" [ "$refused" != 303 ]
check "and changes nothing" [ "$(curl -sg "$URL/Video[0].BitRate")" = "$before" ]
check "the refusal is logged" grep -q "post_processor_func: Failed to create post processor" "$LOG"

# Users for the level checks and the browser (the guest of a fresh device is Admin).
curl -s -o /dev/null --data-urlencode create_user_name=root --data-urlencode create_user_perm=5 \
  --data-urlencode create_user_pass=rootpw8 $URL/controls
curl -s -o /dev/null --data-urlencode create_user_name=ctl --data-urlencode create_user_perm=3 \
  --data-urlencode create_user_pass=ctlpw8 $URL/controls
check "the Stream Control user exists" [ "$(curl -sg "${ROOT[@]}" "$URL/User[1].Name")" = ctl ]

# load_default_params: refused below Admin and for Demo.
curl -s -o /dev/null -d "BitRate=3100000" $URL/streamA_controls
curl -s -o /dev/null --basic -u ctl:ctlpw8 -d redirect=/index.htm $URL/load_default_params
check "Stream Control cannot load the defaults" [ "$(curl -sg "$URL/Video[0].BitRate")" = 3100000 ]
curl -s -o /dev/null -d "GuestPermission=6" $URL/controls
curl -s -o /dev/null -d redirect=/index.htm $URL/load_default_params
check "Demo cannot load the defaults" [ "$(curl -sg "${ROOT[@]}" "$URL/Video[0].BitRate")" = 3100000 ]
curl -s -o /dev/null "${ROOT[@]}" -d "GuestPermission=5" $URL/controls

# config.txt lists the settings; loading it back as the defaults file changes none of them.
curl -s $URL/config.txt >"$TEST_DIR/config1.txt"
check "config.txt lists the settings" [ "$(grep -c ' = ' "$TEST_DIR/config1.txt")" -gt 150 ]
check "config.txt has the changed bit rate" grep -qx 'Video\[0\].BitRate = 3100000' "$TEST_DIR/config1.txt"
check "config.txt keeps table order" \
  [ "$(grep -n -e '^GpioAlarmEnabled ' -e '^NetworkHostname ' -e '^Video\[0\].StreamMode ' -e '^RTSP_Port ' \
       "$TEST_DIR/config1.txt" | cut -d: -f2 | cut -d' ' -f1 | tr '\n' ' ')" = \
    "GpioAlarmEnabled NetworkHostname Video[0].StreamMode RTSP_Port " ]
cp "$TEST_DIR/config1.txt" "$BOARD/usr/html/config.txt"
curl -s -o /dev/null "${ROOT[@]}" -d redirect=/index.htm $URL/load_default_params
wait_log "Loading default params from file config.txt" 5 || fail "the defaults file was loaded"
curl -s $URL/config.txt >"$TEST_DIR/config2.txt"
check "loading config.txt back changes no setting" diff -u "$TEST_DIR/config1.txt" "$TEST_DIR/config2.txt"
rm -f "$BOARD/usr/html/config.txt"
# Passwords are never listed: the defaults cleared them.
curl -s -o /dev/null --data-urlencode "User[0].Password=rootpw8" --data-urlencode "User[1].Password=ctlpw8" $URL/controls
check "the Stream Control user logs in again" \
  [ "$(curl -sg --basic -u ctl:ctlpw8 -o /dev/null -w '%{http_code}' "$URL/Video[0].BitRate")" = 200 ]
check "the Admin user logs in again" [ "$(curl -sg "${ROOT[@]}" "$URL/User[1].Name")" = ctl ]

# Every setup and control form applied untouched, as a browser posts it, changes no setting, over
# settings away from their defaults and values no option of the page offers.
curl -s -o /dev/null "${ROOT[@]}" --data-urlencode "Video[0].Interlaced=1" --data-urlencode "Video[1].Interlaced=5" \
  --data-urlencode "Video[0].Flip=6" --data-urlencode "Video[0].RateMode=3" --data-urlencode "Video[0].H264Level=31" \
  --data-urlencode "Video[1].JPEGQuality=73" --data-urlencode "Video[0].AspectRatio=16:9" \
  --data-urlencode "UDP[0].Addr=127.0.0.9" --data-urlencode "UDP[0].Port=6001" --data-urlencode "UDP[0].StreamMode=2" \
  --data-urlencode "UDP[1].RetryTimeout=7" --data-urlencode "UDP[1].StartMode=1" \
  --data-urlencode "RTMP[0].URL=rtmp://127.0.0.1/app/s" --data-urlencode "Recording.Filename=take" \
  --data-urlencode "Recording.Duration=9" --data-urlencode "Audio.VolumeLeft=40" --data-urlencode "Audio.AGCRight=1" \
  --data-urlencode "Serial.Interval=700" --data-urlencode "Display.UDPPort=6100" $URL/controls
curl -s $URL/config.txt >"$TEST_DIR/before_forms.txt"
check "the odd settings were taken" grep -qx 'Video\[1\].Interlaced = 5' "$TEST_DIR/before_forms.txt"
for page in setup_streama.htm setup_streamb.htm setup_video.htm setup_audio.htm setup_output.htm \
            control_streama.htm control_streamb.htm control_recording.htm control_serial.htm control_output.htm \
            control_gpio.htm admin_network.htm admin_users.htm; do
  posted=$(FORM_USER=root FORM_PASS=rootpw8 python3 "$K7160_SRC/tests/e2e/form_post.py" $URL $page --untouched \
           newuser defaults)
  echo "$page: $(tr '\n' ' ' <<<"$posted")"
  check "$page's forms are taken untouched" all_taken "$posted"
done
curl -s $URL/config.txt >"$TEST_DIR/after_forms.txt"
check "forms applied untouched change no setting" diff -u "$TEST_DIR/before_forms.txt" "$TEST_DIR/after_forms.txt"

# The browser: every menu page as the guest of the device, with a card in (the recording pages
# are offered only then).
touch "$BOARD/dev/mmcblk0p1"
wait_log "mount -o ro,usefree /dev/mmcblk0p1 /media/mmc" 5 || fail "the card is mounted"
mkdir -p "$BOARD/media/mmc/DCIM" && head -c 5000 /dev/zero >"$BOARD/media/mmc/DCIM/rec1.mp4"
check "the menu offers the recording pages with a card" grep -q "href='download.htm'" <(curl -s $URL/nav_bar)
browser menu
check "menu pages leave no sanitizer report" no_sanitizer_report "$LOG"

# Live View of channel B (JPEG at its defaults) in the browser: it loads, its picture moves, and
# it links exactly the rows that answer with data.
browser live_view "streamB.jpg streamB.mjpg streamB.mjpg?multipart=true"

# Stream A's bit rate and resolution on its page; read back and stored in flash.
browser stream_setup 2500000
res=$(sed -n 's/^resolution=//p' <<<"$BROWSER_OUT")
check "the bit rate reads back" [ "$(curl -sg "$URL/Video[0].BitRate")" = 2500000 ]
check "the resolution reads back ($res)" reads_back_resolution
check "flash holds the bit rate and resolution" wait_block "2500000 ${res%x*} ${res#*x}"

# A Stream Control user: no Configure or Admin menu, Unauthorized on a Configure page, a
# Download page without delete controls, logout.
browser control_user ctl ctlpw8

# The custom zip's pages: served, listed, and back after a restart even when deleted. Its
# index.htm wins over ours.
mkdir -p "$TEST_DIR/zip/extra"
echo "<include src='header.htm' title='Custom'>zip page<include src='footer.htm'>" >"$TEST_DIR/zip/extra/zp.htm"
echo "custom index" >"$TEST_DIR/zip/index.htm"
(cd "$TEST_DIR/zip" && zip -qr ../c.zip extra index.htm)
curl -s -o /dev/null -H 'Content-Type: application/octet-stream' --data-binary "@$TEST_DIR/c.zip" $URL/customzip
check "the zip's page is served" grep -q "zip page" <(curl -s $URL/extra/zp.htm)
check "the Update page gives the stored archive's size" \
  grep -q "Stored archive: <span id='zipsize'>$(stat -c %s "$TEST_DIR/c.zip") bytes</span>" <(curl -s "${ROOT[@]}" $URL/admin_update.htm)
check "the zip's page is rendered with our header" grep -q "<title>.* - Custom</title>" <(curl -s $URL/extra/zp.htm)
check "the zip's index wins" [ "$(curl -s $URL/index.htm)" = "custom index" ]
check "customzip.txt lists the zip's files" grep -q "extra/zp.htm" <(curl -s $URL/customzip.txt)
stop_app
mv "$LOG" "$TEST_DIR/first.log"
rm -rf "$BOARD/usr/html/extra" "$BOARD/usr/html/index.htm"
start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not restart"; finish; }
check "after a restart the zip's page is served again" grep -q "zip page" <(curl -s $URL/extra/zp.htm)
check "after a restart the zip's index still wins" [ "$(curl -s $URL/index.htm)" = "custom index" ]
curl -s -o /dev/null "${ROOT[@]}" -d CustomClear=1 $URL/controls

# The update page in the browser: choose a file, upload, the status page reaches the restart.
python3 - "$TEST_DIR/fw.img" <<'PY'
import random, struct, sys, zlib
size = 300000
data = random.Random(7).randbytes(size)
hdr = bytearray(64)
struct.pack_into('>IIII', hdr, 0, 0x27051956, 0, 1765000000, size)
struct.pack_into('>I', hdr, 24, zlib.crc32(data) & 0xFFFFFFFF)
hdr[32:41] = b'e2e image'
open(sys.argv[1], 'wb').write(bytes(hdr) + data)
PY
curl -s -o /dev/null "${ROOT[@]}" -d "GuestPermission=5" $URL/controls
browser update "$TEST_DIR/fw.img"
for _ in $(seq 1 100); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$APP_PID" 2>/dev/null; then fail "the device restarts after the update"; else
  wait "$APP_PID"; STATUS=$?; APP_PID=""
  check "the process ends with the reboot status (66)" [ "$STATUS" = 66 ]
fi
check "no sanitizer report" no_sanitizer_report "$LOG" "$TEST_DIR/first.log"
finish
