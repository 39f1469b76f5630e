#!/usr/bin/env bash
# Recording files over the web judged with curl: the list of a card the test fills (order,
# pages, navigation, escaping), downloads equal to the file, refused names, a delete post that
# removes the ticked files and leaves the card read-only, links on a prepared card, and many
# lists at once.
source "$K7160_TESTLIB"

URL=http://127.0.0.1
CARD="$BOARD/dev/mmcblk0p1"
DCIM="$BOARD/media/mmc/DCIM"
code() { curl -sg -o /dev/null -w '%{http_code}' "$@"; }
rows() { grep -c 'name="delete_file"' <<<"$1"; }
last_mount() { grep -F 'simulated: mount -o' "$LOG" | tail -n 1; }
no_sanitizer() { ! grep -q "Sanitizer" "$LOG"; }

start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }
check "no card: no storage device" [ "$(curl -s "$URL/filelist_mmc")" = "<p>No storage device.</p>" ]
touch "$CARD"
wait_log "simulated: mount -o ro,usefree /dev/mmcblk0p1 /media/mmc" 5 || fail "card not mounted"
sleep 1
check "empty card: no files" [ "$(curl -s "$URL/filelist_mmc")" = "<p>No files to display.</p>" ]

# 118 top-level clips, two in a media folder and a name that needs escaping.
mkdir -p "$DCIM/100MEDIA"
for i in $(seq 1 118); do echo "clip $i" >"$DCIM/clip$i.mp4"; done
head -c 123456 /dev/urandom >"$DCIM/100MEDIA/clip10.mp4"
echo nine >"$DCIM/100MEDIA/clip9.mp4"
echo odd >"$DCIM/a&b <c>.ts"
echo note >"$DCIM/readme.txt"
p1=$(curl -s "$URL/filelist_mmc")
check "page 1 holds 50 items" [ "$(rows "$p1")" = 50 ]
first=$(grep -o 'value="[^"]*"' <<<"$p1" | head -n 3 | tr '\n' ' ')
check "media folder first, clip10 before clip9 ($first)" \
  [ "$first" = 'value="100MEDIA/clip10.mp4" value="100MEDIA/clip9.mp4" value="clip118.mp4" ' ]
check "other files are not listed" [ "$(grep -c readme <<<"$p1")" = 0 ]
check "size of a 123456-byte file" grep -q '>123 KB<' <<<"$p1"
p3=$(curl -s "$URL/filelist_mmc?p=9")
check "page 9 shows the last page" [ "$(rows "$p3")" = 21 ]
check "current page highlighted" grep -q '>3</span>' <<<"$p3"
check "odd name escaped in the list" grep -qF 'value="a&amp;b &lt;c&gt;.ts"' <<<"$p3"
check "odd name encoded in its link" grep -qF 'f=a%26b%20%3Cc%3E.ts"' <<<"$p3"
check "page 0 is page 1" [ "$(curl -s "$URL/filelist_mmc?p=0")" = "$p1" ]
fast=$(curl -s "$URL/filelist_mmc?p=all_fast")
check "fast view lists all 121 without sizes" [ "$(rows "$fast")" = 121 ] && [ "$(grep -c '>---<' <<<"$fast")" = 121 ]

# Downloads.
curl -s -D "$TEST_DIR/dl.hdr" -o "$TEST_DIR/dl.bin" "$URL/download?s=0&f=100MEDIA/clip10.mp4"
check "download equals the file" cmp -s "$TEST_DIR/dl.bin" "$DCIM/100MEDIA/clip10.mp4"
check "download names the file" grep -qi '^Content-Disposition: attachment;filename="clip10.mp4"' "$TEST_DIR/dl.hdr"
check "odd name downloads" [ "$(curl -s "$URL/download?s=0&f=a%26b%20%3Cc%3E.ts")" = odd ]
echo secret >"$BOARD/media/mmc/secret.mp4"
for bad in "s=0&f=../secret.mp4" "s=0&f=%2e%2e/secret.mp4" "s=0&f=100MEDIA/..%2F..%2Fsecret.mp4" "s=5&f=clip1.mp4" \
           "s=0&f=100MEDIA" "f=clip1.mp4"; do
  check "download refused: $bad" [ "$(code "$URL/download?$bad")" = 404 ]
done

# Deletion: the ticked files go, ".." is refused, the card is read-only afterwards.
r=$(code -H "Referer: /download.htm" --data "delete_file=clip1.mp4&delete_file=100MEDIA%2Fclip9.mp4&delete_file=..%2Fsecret.mp4" \
  "$URL/delete_files_mmc")
check "delete answers with a redirect" [ "$r" = 303 ]
check "ticked files removed" [ ! -e "$DCIM/clip1.mp4" ] && [ ! -e "$DCIM/100MEDIA/clip9.mp4" ]
check "others kept" [ -e "$DCIM/clip2.mp4" ] && [ -e "$BOARD/media/mmc/secret.mp4" ]
check "'..' refused in the log" grep -qF "Bad filename: ../secret.mp4" "$LOG"
check "card remounted read-write for the deletion" grep -qF "simulated: mount -o remount,rw,usefree" "$LOG"
check "and read-only after it" grep -qF "remount,ro,usefree" <<<"$(last_mount)"

# A prepared card: links to a system file, to a file and a folder outside the card. None is
# listed, served or deleted; names with ".." inside a name and long names are listed, served
# and deleted like any other.
echo outside >"$TEST_DIR/outside.mp4"
ln -s /etc/passwd "$DCIM/passwd.mp4"
ln -s "$TEST_DIR/outside.mp4" "$DCIM/100MEDIA/outside.mp4"
ln -s /etc "$DCIM/300MEDIA"
long=$(printf 'L%.0s' $(seq 1 150)).mp4
echo dots >"$DCIM/..mp4"
echo long >"$DCIM/100MEDIA/$long"
all=$(curl -s "$URL/filelist_mmc?p=all_fast")
check "no link is listed" bash -c '! grep -qE "passwd|outside|300MEDIA" <<<"$1"' _ "$all"
check "'..mp4' is listed" grep -qF 'value="..mp4"' <<<"$all"
check "a 150-character name is listed" grep -qF "value=\"100MEDIA/$long\"" <<<"$all"
for f in passwd.mp4 100MEDIA/outside.mp4 300MEDIA/passwd; do
  check "no download through the link $f" [ "$(code "$URL/download?s=0&f=$f")" = 404 ]
done
check "no system file reaches the client" bash -c '! curl -s "$1/download?s=0&f=passwd.mp4" | grep -q "root:"' _ "$URL"
check "'..mp4' downloads" [ "$(curl -s "$URL/download?s=0&f=..mp4")" = dots ]
check "the long name downloads" [ "$(curl -s "$URL/download?s=0&f=100MEDIA/$long")" = long ]
code -H "Referer: /download.htm" --data "delete_file=100MEDIA%2Foutside.mp4&delete_file=300MEDIA%2Fpasswd&delete_file=..mp4&delete_file=100MEDIA%2F$long" \
  "$URL/delete_files_mmc" >/dev/null
check "nothing deleted through a link" [ -s "$TEST_DIR/outside.mp4" ] && [ -L "$DCIM/100MEDIA/outside.mp4" ]
check "'..mp4' and the long name deleted" [ ! -e "$DCIM/..mp4" ] && [ ! -e "$DCIM/100MEDIA/$long" ]

# Many lists at once: each answered 200 or 503, the server keeps answering.
for i in $(seq 1 30); do curl -s -o /dev/null -w '%{http_code}\n' --max-time 20 "$URL/filelist_mmc?p=all" >>"$TEST_DIR/many" & done
for i in $(seq 1 40); do [ "$(wc -l <"$TEST_DIR/many")" -ge 30 ] && break; sleep 0.5; done
check "all 30 lists answered 200 or 503" [ "$(grep -cE '^(200|503)$' "$TEST_DIR/many")" = 30 ]
check "pages answer after the burst" [ "$(code "$URL/")" = 303 ]

stop_app
check "clean exit" [ "$APP_STATUS" = 0 ]
check "no sanitizer report" no_sanitizer
finish
