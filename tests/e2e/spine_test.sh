#!/usr/bin/env bash
# The process starts all its threads, meets both rendezvous and shuts down in order, repeatedly;
# a second instance stops the first.
source "$K7160_TESTLIB"

for round in 1 2 3; do
  start_app || finish
  check "round $round: 18 parties meet at start" grep -qF "main: rendezvous 18" "$LOG"
  stop_app
  check "round $round: exit status 0 after SIGTERM" [ "${APP_STATUS:-x}" = 0 ]
  check "round $round: all threads met the cleanup rendezvous" \
    grep -qF "main cleanup rendezvous met (soundThreadCrashes=0)" "$LOG"
  check "round $round: quit logged" grep -qF "global set quit" "$LOG"
  : >"$LOG"
done

# A SIGTERM in the first milliseconds, long before the start rendezvous, still ends it in order.
for round in 1 2 3; do
  env PLATFORM_BOARD_DIR="$BOARD" "$K7160_BIN" >>"$LOG" 2>&1 &
  APP_PID=$!
  for _ in $(seq 1 5000); do [ -s "$LOG" ] && break; sleep 0.001; done
  kill -TERM "$APP_PID"
  for _ in $(seq 1 300); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.1; done
  wait "$APP_PID"; early_status=$?; APP_PID=""
  check "early SIGTERM $round: exit status 0, not the default action" [ "$early_status" = 0 ]
  check "early SIGTERM $round: quit logged" grep -qF "global set quit" "$LOG"
  check "early SIGTERM $round: cleanup rendezvous met" grep -qF "main cleanup rendezvous met" "$LOG"
  : >"$LOG"
done

# Ctrl-C takes it down the same way.
start_app || finish
kill -INT "$APP_PID"
for _ in $(seq 1 150); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.1; done
wait "$APP_PID"; int_status=$?; APP_PID=""
check "SIGINT: exit status 0" [ "$int_status" = 0 ]
check "SIGINT: cleanup rendezvous met" grep -qF "main cleanup rendezvous met" "$LOG"
: >"$LOG"

# Shutdown order: streams stopped and threads flushed before main waits for the cleanup.
start_app || finish
stop_app
before=$(grep -n "Before main rendezvousCleanup (waiting for 18 threads)" "$LOG" | cut -d: -f1)
met=$(grep -n "main cleanup rendezvous met" "$LOG" | cut -d: -f1)
check "cleanup wait precedes the met line" test -n "$before" -a -n "$met" -a "${before:-0}" -lt "${met:-0}"
for t in capture videoA videoB display httpd sound playback gpio output rtp udpA udpB rtmpA rtmpB rtmpC record serial; do
  grep -qF "myRendezvousCleanup: $t" "$LOG" || fail "thread $t did not reach its cleanup"
done
: >"$LOG"

# A second instance stops the first and leaves the reboot flag behind.
start_app || finish
first=$APP_PID
PLATFORM_BOARD_DIR="$BOARD" "$K7160_BIN" >>"$TEST_DIR/second.log" 2>&1 &
second=$!
for _ in $(seq 1 100); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
check "second start stopped the first" bash -c "! kill -0 $first 2>/dev/null"
check "reboot flag left behind" [ -f "$BOARD/rebooting" ]
wait "$first" 2>/dev/null
APP_PID=$second LOG="$TEST_DIR/second.log"
check "second instance runs" wait_log "main rendezvous met" 30
stop_app
check "second instance exits 0" [ "${APP_STATUS:-x}" = 0 ]

# A flash file of the wrong size is refused, never truncated.
rm -f "$BOARD/rebooting"
truncate -s 1M "$BOARD/dev/mtd0"
LOG="$TEST_DIR/k7160.log"; : >"$LOG"
start_app
check "wrong-size flash refused with a message" grep -qF "not 16777216: refusing it" "$LOG"
check "wrong-size flash left untouched" [ "$(stat -c %s "$BOARD/dev/mtd0")" = 1048576 ]
stop_app

finish
