#!/usr/bin/env bash
# The web server on port 80 judged with curl: redirects, settings by name, digest, basic and
# cookie logins, the access log, saving a posted setting to flash, and the defaults file.
source "$K7160_TESTLIB"

URL=http://127.0.0.1
code() { curl -sg -o /dev/null -w '%{http_code}' "$@"; }

# Newest settings block in the flash file: "<count> <crc-ok>" (CRC-32/MPEG-2 with the crc field zeroed).
flash_block() {
  python3 - "$BOARD/dev/mtd0" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
def crc32_mpeg2(b):
    c = 0xFFFFFFFF
    for x in b:
        c ^= x << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if c & 0x80000000 else (c << 1) & 0xFFFFFFFF
    return c
for off in range(0x5E000, 0x1E000, -0x2000):
    size, crc, count = struct.unpack_from('<III', data, off)
    if size == 0xFFFFFFFF:
        continue
    block = bytearray(data[off:off + size]); block[4:8] = b'\0\0\0\0'
    print(count, int(crc32_mpeg2(block) == crc)); break
else:
    print("none 0")
PY
}

# wait_block_count N SECONDS: waits until the newest block's save count is N.
wait_block_count() {
  local want=$1 limit=$2 i
  for i in $(seq 1 $((limit * 10))); do
    [ "$(flash_block | cut -d' ' -f1)" = "$want" ] && return 0
    sleep 0.1
  done
  return 1
}

start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }

# Redirect and settings by name (an unconfigured device is open to the guest).
check "GET / answers 303 to /index.htm" \
  [ "$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' $URL/)" = "303 $URL/index.htm" ]
check "GET /Video[0].BitRate gives 2000000" [ "$(curl -sg "$URL/Video[0].BitRate")" = 2000000 ]
check "an unknown name is not found" [ "$(code "$URL/NoSuchSetting")" = 404 ]
# Answers keep their connection: curl asks for its second URL on the first one's connection.
connects=$(curl -sg -o /dev/null -o /dev/null -w '%{num_connects} ' "$URL/index.htm" "$URL/Video[0].BitRate")
check "two pages on one connection (connects per page: $connects)" [ "$connects" = "1 0 " ]
check "a GET with a body is still answered" [ "$(code -X GET -d abc "$URL/index.htm")" = 200 ]

# A posted setting reaches flash about 1 s later with a valid CRC; two posts within 1 s save once.
before=$(flash_block | cut -d' ' -f1)
[ "$before" = none ] && before=0
curl -s -o /dev/null -H "Referer: /setup_streama.htm" -d "GOPSize=45" $URL/streamA_controls
curl -s -o /dev/null -H "Referer: /setup_streama.htm" -d "GOPSize=50" $URL/streamA_controls
check "posted setting saved to flash" wait_block_count $((before + 1)) 5
check "saved block has a valid CRC" [ "$(flash_block | cut -d' ' -f2)" = 1 ]
sleep 2   # a second save would have come 1 s after the first; none may
check "two posts within 1 s give one save" [ "$(flash_block | cut -d' ' -f1)" = $((before + 1)) ]
check "no_save post applies at once" \
  [ "$(curl -s -o /dev/null -w '%{http_code}' -H 'Referer: /x.htm' -d 'BitRate=2500000' $URL/streamA_controls_no_save)" = 303 ]
check "no_save value readable" [ "$(curl -sg "$URL/Video[0].BitRate")" = 2500000 ]

# Users: an admin with a password, and a guest who may do nothing.
curl -s -o /dev/null -H "Referer: /x.htm" \
  --data-urlencode "User[0].Name=admin" --data-urlencode "User[0].Permission=5" \
  --data-urlencode "User[0].Password=secret7" --data-urlencode "GuestPermission=0" $URL/controls
hdr=$(curl -sg -D - -o /dev/null "$URL/Video[0].BitRate")
check "a refused read gets 401" grep -q "^HTTP/1.1 401" <<<"$hdr"
check "the challenge is digest with realm 7160" grep -qi '^WWW-Authenticate: Digest realm="7160"' <<<"$hdr"
check "curl --digest logs in" [ "$(curl -sg --digest -u admin:secret7 "$URL/GuestPermission")" = 0 ]
check "a wrong digest password is refused" [ "$(code --digest -u admin:wrong "$URL/GuestPermission")" = 401 ]
check "basic authentication works too" [ "$(curl -sg --basic -u admin:secret7 "$URL/Video[0].BitRate")" = 2500000 ]

# Cookie login: the token then stands for the user.
setcookie=$(curl -sg --digest -u admin:secret7 -D - -o /dev/null "$URL/login.htm?a=cookie&redirect=/index.htm" |
            tr -d '\r' | sed -n 's/^Set-Cookie: //Ip')
check "cookie login sets a token, SameSite=Strict and HttpOnly" \
  grep -qE '^Token=[0-9a-f]{16}; SameSite=Strict; HttpOnly$' <<<"$setcookie"
cookie=${setcookie%%;*}
check "the cookie is accepted" [ "$(curl -sg -H "Cookie: $cookie" "$URL/GuestPermission")" = 0 ]
check "without the cookie the admin setting is refused" [ "$(code "$URL/GuestPermission")" = 401 ]

# Access log: a record at login; empty after clearing.
curl -s -o /dev/null --digest -u admin:secret7 -H "Cookie: Token=0123456789abcdef" "$URL/login.htm"
check "the access log has the login" grep -qE '^001 [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} .* admin +LOGIN$' \
  <<<"$(curl -s -H "Cookie: $cookie" $URL/log.txt)"
check "a guest may not clear the log" [ "$(code -H 'Referer: /x.htm' -d confirm=on $URL/clear_log)" = 401 ]
check "the admin clears the log" \
  [ "$(code --digest -u admin:secret7 -H 'Referer: /x.htm' -d confirm=on $URL/clear_log)" = 303 ]
check "the access log is empty after clearing" [ -z "$(curl -s -H "Cookie: $cookie" $URL/log.txt)" ]

# Escaping: request text never comes back as markup.
body=$(curl -sg "$URL/login.htm?redirect=%22%3E%3Cscript%3E")
check "redirect text is escaped in the page" grep -qF '&quot;&gt;&lt;script&gt;' <<<"$body"

# Still there after a restart.
stop_app
check "clean exit" [ "${APP_STATUS:-x}" = 0 ]
: >"$LOG"
start_app || finish
wait_log "httpd: started" 20
check "saved setting survives a restart" \
  [ "$(curl -sg --digest -u admin:secret7 "$URL/Video[0].GOPSize")" = 50 ]

# The defaults file beside the pages is imported by the defaults reload.
mkdir -p "$BOARD/usr/html"
printf 'Video[0].GOPSize = 60\r\n# a comment\nVideo[1].BitRate=3000000   \n' >"$BOARD/usr/html/config.txt"
check "defaults reload answers 303" \
  [ "$(code --basic -u admin:secret7 -d redirect=/index.htm "$URL/load_default_params")" = 303 ]
check "configuration file imported" wait_log "Loading default params from file config.txt" 5
check "imported GOP size" [ "$(curl -sg "$URL/Video[0].GOPSize")" = 60 ]
check "imported bit rate, trailing blanks dropped" [ "$(curl -sg "$URL/Video[1].BitRate")" = 3000000 ]
check "the comment line is logged" grep -qF "can't set '#' to 'comment' (rc=3)" "$LOG"
stop_app
finish
