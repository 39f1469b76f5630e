#!/usr/bin/env bash
# A rendered form page against a static file of the same size, in one run: wrk with 16
# concurrent connections on loopback, the appliance in a namespace of its own. Use an optimised
# build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/pages_wrk.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
command -v wrk >/dev/null || { echo "wrk is not installed (scripts/install-deps)"; exit 1; }

start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }
page=setup_streama.htm
# The same bytes as the rendered page, served as a plain file.
curl -s "http://127.0.0.1/$page" >"$BOARD/usr/html/same_size.css"
size=$(stat -c %s "$BOARD/usr/html/same_size.css")
check "the rendered page has content ($size bytes)" [ "$size" -gt 4000 ]
check "the static file is served at the same size" \
  [ "$(curl -s -o /dev/null -w '%{size_download}' http://127.0.0.1/same_size.css)" = "$size" ]
for url in "/$page" /same_size.css; do
  echo "== $url ($size bytes)"
  wrk -t4 -c16 -d${WRK_SECONDS:-10}s "http://127.0.0.1$url" | grep -E 'Requests/sec|Latency|requests in|Non-2xx'
done
stop_app
finish
