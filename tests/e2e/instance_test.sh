#!/usr/bin/env bash
# The older-instance stop stays on its board: an appliance started on another board directory
# leaves the running one alone; a second start on the same board directory still stops the first.
source "$K7160_TESTLIB"

start_app || finish
first=$APP_PID

# The other board in a network of its own, so that the two do not share ports; the pid
# namespace is shared, so each sees the other's process.
BOARD2="$TEST_DIR/board2"; LOG2="$TEST_DIR/other.log"
unshare --net env PLATFORM_BOARD_DIR="$BOARD2" "$K7160_BIN" >>"$LOG2" 2>&1 &
other=$!
for _ in $(seq 1 300); do grep -qF "main rendezvous met" "$LOG2" 2>/dev/null && break; sleep 0.1; done
check "the appliance of the other board started" grep -qF "main rendezvous met" "$LOG2"
sleep 2
check "the first appliance keeps running beside it" kill -0 "$first"
check "the other board's appliance keeps running" kill -0 "$other"
check "nothing was stopped" bash -c "! grep -qF 'killing pid' '$LOG' '$LOG2'"
check "no reboot flag on either board" [ ! -e "$BOARD/rebooting" -a ! -e "$BOARD2/rebooting" ]

# A second start on the first board stops the first only.
LOG3="$TEST_DIR/third.log"
unshare --net env PLATFORM_BOARD_DIR="$BOARD" "$K7160_BIN" >>"$LOG3" 2>&1 &
third=$!
for _ in $(seq 1 150); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
check "a start on the same board stopped the first" bash -c "! kill -0 $first 2>/dev/null"
check "it named the pid it stopped" grep -qF "killing pid $first" "$LOG3"
check "reboot flag left on that board" [ -f "$BOARD/rebooting" ]
wait "$first" 2>/dev/null; APP_PID=""
for _ in $(seq 1 300); do grep -qF "main rendezvous met" "$LOG3" 2>/dev/null && break; sleep 0.1; done
check "the new instance runs" grep -qF "main rendezvous met" "$LOG3"
check "the other board's appliance still runs" kill -0 "$other"

for pid in $third $other; do
  kill -TERM "$pid"
  for _ in $(seq 1 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && { fail "pid $pid did not stop"; kill -KILL "$pid"; }
  wait "$pid"; check "pid $pid exits 0" [ $? = 0 ]
done
finish
