#!/usr/bin/env bash
# Board I/O judged from outside: the stand-in's GPIO files drive the inputs, curl reads and sets
# the GPIO rows, the watchdog stand-in records its feeds.
source "${K7160_TESTLIB:-$(dirname "$0")/lib.sh}"

URL=http://127.0.0.1
GPIO="$BOARD/gpio"
set_in() { echo "$2" >"$GPIO/in$1.tmp" && mv "$GPIO/in$1.tmp" "$GPIO/in$1"; }
out() { cat "$GPIO/out$1" 2>/dev/null || echo none; }
get() { curl -sg "$URL/$1"; }
post() { curl -s -o /dev/null -H "Referer: /x.htm" --data-urlencode "$1" "$URL/controls"; }
# wait_for SECONDS CMD...: polls every 50 ms until the command succeeds.
wait_for() {
  local limit=$1 i; shift
  for i in $(seq 1 $((limit * 20))); do "$@" && return 0; sleep 0.05; done
  return 1
}
out_is() { [ "$(out "$1")" = "$2" ]; }
# A later start: the earlier run's log is set aside, so the start is awaited for real.
not_logged() { ! grep -qF "$1" "$LOG"; }
# The web server may bind a moment after the start is logged: wait until it answers.
restart() {
  cat "$LOG" >>"$TEST_DIR/earlier.log"; : >"$LOG"
  start_app "$@" && wait_log "httpd: started" 20
}

mkdir -p "$GPIO"
set_in 27 0
set_in 0 0
start_app || finish
wait_log "httpd: started" 20 || { fail "web server did not start"; finish; }

# ---- the GPIO rows ----------------------------------------------------------------------------
set_in 27 1
check "GPIO.in follows the alarm input (1)" [ "$(get GPIO.in)" = 1 ]
set_in 27 0
check "GPIO.in follows the alarm input (0)" [ "$(get GPIO.in)" = 0 ]
post "GPIO.out=1"
check "GPIO.out drives the alarm output" out_is 26 1
check "GPIO.out reads back" [ "$(get GPIO.out)" = 1 ]
for bad in 2 01 "" "1 " x; do post "GPIO.out=$bad"; done
check "other texts write nothing" [ "$(out 26)" = 1 ] && [ "$(get GPIO.out)" = 1 ]
post "GPIO.out=0"
check "GPIO.out back to 0" out_is 26 0

# ---- alarm ------------------------------------------------------------------------------------
post "GpioInTrigLevel=1"; post "GpioOutDefault=0"; post "AlarmTimeout=3"; post "GpioAlarmEnabled=1"
check "alarm settings stored" [ "$(get GpioAlarmEnabled)$(get AlarmTimeout)" = 13 ]
# A level counts after three equal reads in a row. The stand-in's pulse file gives the levels of
# the appliance's next reads of the input, one a read, however long a busy machine makes them.
# pulse INPUT LEVELS: the next reads of the input see LEVELS; waits until they were all made.
pulse() {
  echo "$2" >"$GPIO/pulse$1.new" && mv "$GPIO/pulse$1.new" "$GPIO/pulse$1"
  wait_for 20 test ! -e "$GPIO/pulse$1"
}
wait_for 5 out_is 26 0
# A long AlarmTimeout, so that a fired alarm is still seen however late the look comes.
post "AlarmTimeout=60"
# Two active reads, then four at rest: the debouncer has seen the whole pulse and its end.
check "a pulse of two reads is read" pulse 27 110000
check "a pulse shorter than three reads fires nothing" out_is 26 0
# The fourth read comes a round after the third one's output was written.
check "a pulse of three reads is read" pulse 27 1110
check "a pulse of three reads fires" out_is 26 1
post "GpioAlarmEnabled=0"
wait_for 5 out_is 26 0
post "AlarmTimeout=3"; post "GpioAlarmEnabled=1"
# Reads at rest before the next alarm.
pulse 27 000
set_in 27 1
check "a steady trigger level drives the output to the inverse of the default" wait_for 2 out_is 26 1
sleep 1
check "the output holds while AlarmTimeout runs" out_is 26 1
check "and returns to the default after AlarmTimeout" wait_for 4 out_is 26 0
set_in 27 0; pulse 27 000
set_in 27 1
check "after the input returned to rest, a second alarm fires" wait_for 2 out_is 26 1
check "and ends again" wait_for 5 out_is 26 0
# A default equal to the trigger level: the alarm drives 0 and gives back 1.
set_in 27 0; pulse 27 000
post "GpioOutDefault=1"
post "GPIO.out=1"
set_in 27 1
check "with GpioOutDefault 1 the alarm drives 0" wait_for 2 out_is 26 0
check "and gives back 1" wait_for 5 out_is 26 1
set_in 27 0

# ---- button -----------------------------------------------------------------------------------
for press in 1 2; do
  pulse 0 1110
  check "press $press starts IP learning once" wait_for 2 grep -qF "gpio: button pressed ($press)" "$LOG"
done
check "no extra press counted" [ "$(grep -c "gpio: button pressed" "$LOG")" = 2 ]

# ---- unread events pile up, the watchdog is still fed ------------------------------------------
post "VlockThreshold=1"; post "VlockAlarmEnabled=1"
mkdir -p "$BOARD/video"
for i in $(seq 1 24); do
  echo none >"$BOARD/video/standard"; sleep 0.25; echo ntsc >"$BOARD/video/standard"; sleep 0.25
done
check "watchdog opened" grep -qF "watchdog is enabled" "$LOG"
check "watchdog fed every 4 s or more, and still fed after 12 s of unread events" \
  python3 - "$BOARD/dev/watchdog" <<'PY'
import sys, time
t = [float(l) for l in open(sys.argv[1]) if l.strip()]
gaps = [b - a for a, b in zip(t, t[1:])]
now = time.clock_gettime(time.CLOCK_MONOTONIC)
# The lower bound is the rule; the upper one only says feeding went on (rounds may run late under load).
ok = len(t) >= 3 and all(g >= 3.99 for g in gaps) and all(g < 6 for g in gaps) and now - t[-1] < 6
if not ok:
    print("  feeds", t, "now", now)
sys.exit(0 if ok else 1)
PY

# ---- PRTC through DebugData --------------------------------------------------------------------
post "DebugAddr=0x10007"
post "DebugData=0x5a"
check "PRTC register written and read back through DebugData" [ "$(get DebugData)" = 0x0000005a ]
stop_app
check "clean exit" [ "${APP_STATUS:-x}" = 0 ]

# ---- a PRTC that stays busy does not hang the web thread ---------------------------------------
restart PLATFORM_PRTC_BUSY=1 || finish
post "DebugAddr=0x10007"
# The bridge is given milliseconds; a hung web thread never answers. The bound is one a loaded
# machine's curl meets, far above the wait and far below a hang.
t0=$(date +%s%N)
answer=$(curl -sg -m 30 "$URL/DebugData")
t1=$(date +%s%N)
check "busy PRTC: DebugData answers not available" [ "$answer" = "not available" ]
check "busy PRTC: within seconds" [ $(((t1 - t0) / 1000000)) -lt 5000 ]
check "busy PRTC reported" grep -qF "prtc_read: PRTC busy" "$LOG"
stop_app

# ---- safe boot with the button held restores the defaults -------------------------------------
set_in 25 1; set_in 0 1
restart || finish
check "safe boot with the button held restores the defaults" grep -qF "using default params due to button press" "$LOG"
check "defaults in force (AlarmTimeout back to its default)" [ "$(get AlarmTimeout)" != 3 ]
sleep 0.5
check "holding the button through start is not a press" not_logged "gpio: button pressed"
stop_app
set_in 25 0; set_in 0 0

# ---- missing gpio device -----------------------------------------------------------------------
rm -f "$BOARD/dev/watchdog"
restart PLATFORM_GPIO_FAIL=open || finish
check "missing device: the thread says so" wait_for 5 grep -qF "Failed to open device" "$LOG"
sleep 1
check "missing device: the watchdog is never opened" [ ! -e "$BOARD/dev/watchdog" ]
stop_app
check "missing device: shutdown still clean" [ "${APP_STATUS:-x}" = 0 ]

finish
