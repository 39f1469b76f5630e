#!/usr/bin/env bash
# The benches' count of a server's CPU holds the threads that begin and end inside the window:
# a process starts a short-lived "serve" thread every 20 ms beside a long-lived "reader" the count
# leaves out, and what the clients' counting (bench/server_cpu.h) and bench_window (bench_lib.sh)
# give for the serving part must lie between what the serve threads wholly inside the window ran
# and what those overlapping it ran, by their own clocks. Counted through a cgroup and through
# /proc/PID/stat, the fallback where no cgroup can be made.
source "${K7160_TESTLIB:?}"
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$top/bench/bench_lib.sh"
CHECK=$TEST_DIR/server_cpu_check
g++ -O2 -std=c++20 -pthread -o "$CHECK" "$top/bench/server_cpu_check.cpp" || { fail "the check does not build"; finish; }
bench_cg_init
trap 'bench_cg_cleanup; cleanup' EXIT

for mode in cgroup proc; do
  "$CHECK" burn 8 >"$TEST_DIR/burn.out" &
  burner=$!
  if [ "$mode" = cgroup ]; then counter=$(bench_counter check "$burner"); else counter=/proc/$burner/stat; fi
  [ "$mode" = proc ] || [ "$counter" != "/proc/$burner/stat" ] || echo "note: no cgroup could be made here"
  "$CHECK" measure "$burner" "$counter" serve 3 >"$TEST_DIR/client.out" &
  client=$!
  bench_window "$counter" "$burner" 3 serve >"$TEST_DIR/window.out"
  wait "$client"
  wait "$burner"
  # Each way's serving figure, left-out figures and window.
  c=$(tr '\n' ' ' <<<"$(cat "$TEST_DIR/client.out")")
  w=$(tr '\n' ' ' <<<"$(cat "$TEST_DIR/window.out")")
  for way in "client $(grep -oE 'threads_cpu_ns=[0-9]+' <<<"$c" | cut -d= -f2) $(grep -oE 'left_out_gone=[0-9]+' <<<"$c" | cut -d= -f2) $(awk 'END { print $1, $2 }' "$TEST_DIR/client.out")" \
             "window $(awk 'NR == 1 { print $1, $3 } NR == 2 { print $1, $2 }' "$TEST_DIR/window.out" | tr '\n' ' ')"; do
    read -r name ns gone t0 t1 <<<"$way"
    # A tick of /proc/PID/stat is 10 ms, read at both ends.
    verdict=$(python3 - "$TEST_DIR/burn.out" "$ns" "$t0" "$t1" "$([ "$mode" = proc ] && echo 0.02 || echo 0.002)" <<'PY'
import sys
rows = [l.split()[1:] for l in open(sys.argv[1]) if l.startswith("serve ")]
ns, t0, t1, slop = int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5]) * 1e9
inside = sum(int(n) for s, e, n in rows if float(s) >= t0 and float(e) <= t1)
overlap = sum(int(n) for s, e, n in rows if float(e) >= t0 and float(s) <= t1)
ok = inside > 1e8 and 0.9 * inside - slop <= ns <= 1.1 * overlap + slop
print("%s counted_ms=%.1f inside_ms=%.1f overlapping_ms=%.1f" % ("ok" if ok else "bad", ns / 1e6, inside / 1e6, overlap / 1e6))
PY
)
    echo "$mode $name: $verdict left_out_gone=$gone"
    check "$mode, $name: the serving figure holds every serve thread that ended in the window" [ "${verdict%% *}" = ok ]
    check "$mode, $name: the long-lived reader is left out and never ends" [ "$gone" = 0 ]
  done
  left=$(grep -oE 'left_out_ns=[0-9]+' <<<"$c" | cut -d= -f2)
  check "$mode: the reader's time is left out of the serving figure (${left:-0} ns)" [ "${left:-0}" -gt 100000000 ]
done
finish
