#!/usr/bin/env bash
# Settings reads per second: wrk with 16 concurrent connections on loopback against the web
# server, the appliance in a namespace of its own. Use an optimised build:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK7160_TESTS=OFF
#   ninja -C build-rel k7160 && K7160_BIN=build-rel/k7160 bench/web_wrk.sh
top=$(cd "$(dirname "$0")/.." && pwd)
export K7160_BIN=${K7160_BIN:-$top/build-rel/k7160}
export K7160_TESTLIB=$top/tests/e2e/lib.sh
source "$K7160_TESTLIB"
command -v wrk >/dev/null || { echo "wrk is not installed (scripts/install-deps)"; exit 1; }

start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }
check "the setting reads before the run" [ "$(curl -sg 'http://127.0.0.1/Video[0].BitRate')" = 2000000 ]
wrk -t4 -c16 -d${WRK_SECONDS:-10}s 'http://127.0.0.1/Video%5B0%5D.BitRate'
stop_app
finish
