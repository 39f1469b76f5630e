# Shared by the end-to-end tests: a private network and pid namespace, a board directory of
# the test's own, the appliance started and stopped, and assertions that name what failed.
# Source it first thing: it re-executes the test inside its namespaces.

if [ -z "${K7160_IN_NS:-}" ]; then
  export K7160_IN_NS=1
  exec unshare --net --pid --fork --mount-proc bash "$0" "$@"
fi
set -uo pipefail
ip link set lo up
# A version manager's python3 is a shell script that forks several processes at every start:
# dozens of clients started at once then spend tens of seconds before their first request.
# The interpreter it resolves to goes first on the PATH.
if py=$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null) && [ -x "$py" ]; then
  PATH="$(dirname "$py"):$PATH"
fi

K7160_BIN=${K7160_BIN:?K7160_BIN must name the built program}
TEST_DIR=$(mktemp -d /tmp/k7160-e2e-XXXXXX)
BOARD="$TEST_DIR/board"
LOG="$TEST_DIR/k7160.log"
APP_PID=""
FAILURES=0

cleanup() {
  if [ -n "$APP_PID" ] && kill -0 "$APP_PID" 2>/dev/null; then
    kill -TERM "$APP_PID" 2>/dev/null
    for _ in $(seq 1 100); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$APP_PID" 2>/dev/null
  fi
  if [ "$FAILURES" -ne 0 ] && [ -f "$LOG" ]; then
    echo "---- appliance log (last 80 lines) ----"; tail -n 80 "$LOG"
  fi
  [ -z "${K7160_KEEP_BOARD:-}" ] && rm -rf "$TEST_DIR"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
pass() { echo "ok: $*"; }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }

# start_app [VAR=value ...]: starts the appliance with the test's board; waits for the start rendezvous.
start_app() {
  env PLATFORM_BOARD_DIR="$BOARD" "$@" "$K7160_BIN" >>"$LOG" 2>&1 &
  APP_PID=$!
  wait_log "main rendezvous met" 60 || { fail "appliance did not start"; return 1; }
  # The web server binds just after: tests talk to it at once.
  wait_log "httpd: started" 20 || true
}

# wait_log TEXT SECONDS: waits for a fixed text in the log.
wait_log() {
  local text=$1 limit=${2:-30} i
  for i in $(seq 1 $((limit * 10))); do
    grep -qF -- "$text" "$LOG" 2>/dev/null && return 0
    if [ -n "$APP_PID" ] && ! kill -0 "$APP_PID" 2>/dev/null; then
      grep -qF -- "$text" "$LOG" 2>/dev/null && return 0
      return 1
    fi
    sleep 0.1
  done
  return 1
}

# stop_app: SIGTERM and wait; sets APP_STATUS to the exit status.
stop_app() {
  APP_STATUS=""
  [ -n "$APP_PID" ] || return 1
  kill -TERM "$APP_PID"
  local i
  for i in $(seq 1 150); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$APP_PID" 2>/dev/null; then
    fail "appliance did not stop within 15 s"; kill -KILL "$APP_PID"; wait "$APP_PID" 2>/dev/null
    APP_PID=""; return 1
  fi
  wait "$APP_PID"; APP_STATUS=$?
  APP_PID=""
}

# browser STEP ARGS: one step of browser_pages.py in headless Chromium against the appliance; its
# checks count as the test's, its output is left in BROWSER_OUT. Screenshots go to K7160_SCREENS,
# else the test's directory. Debian's own python3 carries python3-selenium.
browser() {
  local out
  out=$(/usr/bin/python3 "${K7160_SRC:?}/tests/e2e/browser_pages.py" http://127.0.0.1 \
        "${K7160_SCREENS:-$TEST_DIR/screens}" "$@" 2>&1)
  echo "$out" | grep -E '^(ok|FAIL): '
  FAILURES=$((FAILURES + $(grep -c '^FAIL: ' <<<"$out")))
  grep -qE '^(ok|FAIL): ' <<<"$out" || fail "browser step $1 ran: $(tail -n 3 <<<"$out")"
  BROWSER_OUT=$out
}

# joiners_dirty CLIENT N: `CLIENT SECONDS` (a player decoding for that long, its complaints on
# stderr) plays 20 s; after 2 s, N more join at random gaps under a second for 3 s each. Prints
# how many complained; the first lines of each complaint go to stderr.
joiners_dirty() {
  local client=$1 n=$2 dir first i p f pids=() dirty=0
  dir=$(mktemp -d "$TEST_DIR/joiners.XXXXXX")
  "$client" 20 2>"$dir/first.err" &
  first=$!
  sleep 2
  for i in $(seq 1 "$n"); do
    "$client" 3 2>"$dir/$i.err" &
    pids+=($!)
    sleep 0.$(( RANDOM % 9 + 1 ))
  done
  for p in "${pids[@]}"; do wait "$p"; done
  wait "$first"
  for f in "$dir"/*.err; do [ -s "$f" ] && { dirty=$((dirty + 1)); head -n 2 "$f" >&2; }; done
  echo "$dirty"
}

finish() {
  if [ "$FAILURES" -ne 0 ]; then echo "$FAILURES check(s) failed"; exit 1; fi
  echo "all checks passed"; exit 0
}

# frames_span FILE: the pictures of stream 0 in an ffmpeg framecrc or framemd5 listing and the
# seconds their stamps span: the source's own time, whatever the load on the machine.
frames_span() {
  awk '/^#tb 0:/ { s = $0; sub(/.*: */, "", s); split(s, f, "/"); tb = f[1] / f[2] }
    /^0,/ { split($0, c, ", *"); if (!n++) first = c[2]; last = c[2] }
    END { printf "%d %.2f\n", n, (last - first) * tb }' "$1"
}

# log_times [FILE]: the program's log (default $LOG) as "seconds text" lines, its own time stamps
# read whatever their padding ("[ 7022.691045]" before the uptime reaches five digits).
log_times() {
  sed -nE 's/^\[ *([0-9]+\.[0-9]+)\] ?/\1 /p' "${1:-$LOG}"
}

# log_check NAME AWK [FILE]: a check judged by the program's own clock. AWK reads log_times
# lines ($1 the seconds) and prints the figures and the limit they are held to; its exit status
# is the verdict, and the check's line carries what it printed, pass or fail.
log_check() {
  local said rc
  said=$(log_times "${3:-$LOG}" | awk "$2"); rc=$?
  if [ "$rc" = 0 ]; then pass "$1: $said"; else fail "$1: $said"; fi
}

# --- crowds of many addresses (server_fill.py crowd) and the clients that must be served beside them
# fresh_wait SERVER SOURCE: seconds a fresh player (rtmp, rtsp) or page load (web) from SOURCE
# waited for its first picture or its page, or "none"; CROWD_AUTH is sent to the web server.
fresh_wait() {
  timeout 30 python3 "${K7160_SRC:?}/tests/e2e/server_fill.py" fresh "$1" "$2" "${CROWD_AUTH:-}" 2>/dev/null || echo none
}
# fresh_baseline SERVER SOURCE: the longest of three fresh waits before any crowd (none: 10).
fresh_baseline() {
  local i w most=0
  for i in 1 2 3; do
    w=$(fresh_wait "$1" "$2"); [ "$w" = none ] && w=10
    most=$(echo "if ($w > $most) $w else $most" | bc)
  done
  echo "$most"
}
# crowd_start SERVER BEHAVIOUR ADDRESSES PER SECONDS SETTLE: the crowd in the background
# (CROWD_PID, its output in $TEST_DIR/crowd.out); returns once it tried every connection and
# then SETTLE seconds more, so that the connections it holds have been idle that long.
crowd_start() {
  rm -f "$TEST_DIR/crowd.ready"
  python3 "${K7160_SRC:?}/tests/e2e/server_fill.py" crowd "$1" "$2" "$3" "$4" "$5" "$TEST_DIR/crowd.ready" \
    "${CROWD_AUTH:-}" >"$TEST_DIR/crowd.out" 2>&1 &
  CROWD_PID=$!
  local i
  for i in $(seq 1 900); do [ -e "$TEST_DIR/crowd.ready" ] || ! kill -0 $CROWD_PID 2>/dev/null && break; sleep 0.1; done
  sleep "$6"
}
# crowd_fresh WHAT SERVER BASELINE FIRST: three fresh clients of SERVER one after another from
# 127.0.0.FIRST on while a crowd holds its places: each is served within 2 s more than the
# longest of its waits before the crowd (BASELINE).
crowd_fresh() {
  local i w waits="" late=0
  for i in 0 1 2; do
    w=$(fresh_wait "$2" "127.0.0.$(($4 + i))")
    waits="$waits $w"
    [ "$w" != none ] && [ "$(echo "$w <= 2 + $3" | bc)" = 1 ] || late=$((late + 1))
  done
  check "$1: fresh $2 clients served within 2 s + ${3} s (seconds:$waits)" [ "$late" = 0 ]
}
# crowd_end: waits for the crowd to end by itself and prints what it held.
crowd_end() { wait $CROWD_PID; echo "  crowd: $(cat "$TEST_DIR/crowd.out")"; }
