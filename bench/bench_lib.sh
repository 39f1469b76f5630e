# Shared by the benchmarks of the whole appliance, sourced after tests/e2e/lib.sh: the camera
# clip that makes the encoders reach the rate they are set to, and the rule that a figure per
# client is printed only when the rate measured on the wire is near the one set.

# bench_make_clip FILE: 2 s of moving, detailed picture with grain (720x480, 29.97 fps), which
# no encoder setting of the appliance compresses below 20 Mbit/s.
bench_make_clip() {
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=720x480:rate=30000/1001" -vf "noise=alls=24:allf=t+u" \
    -frames:v 60 -c:v libx264 -preset ultrafast -crf 16 -g 60 -pix_fmt yuv420p "$1"
}

# bench_rate_ok SET MEASURED (bit/s): true when the measured rate is at least 80% of the set one.
bench_rate_ok() {
  python3 -c "import sys; sys.exit(0 if float('${2:-0}' or 0) >= 0.8 * float('$1') else 1)"
}

# bench_rates SET MEASURED: "set_bps=... measured_bps=..." and, when the measured rate is short of
# the set one, the note that the figures per client are left out.
bench_rates() {
  printf 'set_bps=%d measured_bps=%.0f' "$1" "${2:-0}"
  bench_rate_ok "$1" "$2" || printf ' (under 80%% of the set rate: no per-client figures)'
}

# bench_udp_count PORT SECONDS: datagrams and bytes received on a local port, and transport-stream
# continuity breaks (lost packets); prints "datagrams=N bytes=N continuity_breaks=N seconds=S".
bench_udp_count() {
  python3 - "$@" <<'PY'
import socket, sys, time
port, secs = int(sys.argv[1]), float(sys.argv[2])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
s.bind(("127.0.0.1", port)); s.settimeout(0.2)
cc = {}; grams = 0; size = 0; breaks = 0; pending = b""; first = last = None
end = time.time() + secs
while time.time() < end:
    try:
        d = s.recv(65536)
    except socket.timeout:
        continue
    last = time.time(); first = first or last
    grams += 1; size += len(d); pending += d
    while len(pending) >= 188:
        if pending[0] != 0x47:
            # Lost bytes: count one break and find the next packet start.
            breaks += 1
            k = pending.find(b"\x47", 1)
            pending = pending[k:] if k > 0 else b""
            cc.clear()
            continue
        p, pending = pending[:188], pending[188:]
        pid = (p[1] & 0x1f) << 8 | p[2]
        if pid == 0x1fff or not (p[3] & 0x10): continue
        c = p[3] & 15
        if pid in cc and c != (cc[pid] + 1) & 15: breaks += 1
        cc[pid] = c
print("datagrams=%d bytes=%d continuity_breaks=%d seconds=%.3f" % (grams, size, breaks, (last - first) if grams > 1 else 0))
PY
}

# bench_udp_bps "OUTPUT OF bench_udp_count": the bit rate it received.
bench_udp_bps() {
  python3 -c 'import re, sys
b = int(re.search(r"bytes=(\d+)", sys.argv[1]).group(1)); t = float(re.search(r"seconds=([\d.]+)", sys.argv[1]).group(1))
print("%.0f" % (b * 8 / t if t else 0))' "$1"
}

# A server's CPU is counted so that the threads it starts and ends as it serves are in it: each
# server runs in a cgroup of its own, whose counter holds every thread that ever ran in it (cgroup
# v1 cpuacct.usage in ns, v2 cpu.stat usage_usec); where none can be made, the process's own
# totals (/proc/PID/stat, clock ticks: ended threads and reaped children are in them too).
# bench_cg_init makes the bench's own cgroup under the one it runs in (BENCH_CG, empty without).
bench_cg_init() {
  local base
  if [ "$(stat -fc %T /sys/fs/cgroup 2>/dev/null)" = cgroup2fs ]; then
    base=/sys/fs/cgroup$(sed -n 's/^0:://p' /proc/self/cgroup)
  else
    base=/sys/fs/cgroup/cpuacct$(awk -F: '$2 ~ /(^|,)cpuacct(,|$)/ { print $3 }' /proc/self/cgroup)
  fi
  BENCH_CG_BASE=${base%/}
  BENCH_CG=$(mktemp -d "$BENCH_CG_BASE/k7160-bench-XXXXXX" 2>/dev/null) || BENCH_CG=""
}

# bench_counter NAME PID: puts PID, every thread of it and what it starts later, in the cgroup NAME
# of the bench's own and prints the counter to read; "/proc/PID/stat" when it cannot.
bench_counter() {
  local d=$BENCH_CG/$1
  if [ -n "$BENCH_CG" ] && mkdir -p "$d" 2>/dev/null && echo "$2" >"$d/cgroup.procs" 2>/dev/null; then
    if [ -e "$d/cpuacct.usage" ]; then echo "$d/cpuacct.usage"; else echo "$d/cpu.stat"; fi
  else
    echo "/proc/$2/stat"
  fi
}

# bench_cg_cleanup: what is left in the bench's cgroups goes back where the bench runs, and they go.
bench_cg_cleanup() {
  local d p
  [ -n "${BENCH_CG:-}" ] && [ -d "$BENCH_CG" ] || return 0
  for d in "$BENCH_CG"/*/; do
    [ -d "$d" ] || continue
    while read -r p; do echo "$p" >"$BENCH_CG_BASE/cgroup.procs" 2>/dev/null; done <"$d/cgroup.procs"
    rmdir "$d" 2>/dev/null
  done
  rmdir "$BENCH_CG" 2>/dev/null
  BENCH_CG=""
}

# bench_window COUNTER PID SECONDS FILTER...: the server's CPU over the next SECONDS, per FILTER
# (the serving threads by name, as the clients' THREADS: "rtp", "!matroskademux0"; "" every
# thread): COUNTER's growth (bench_counter) less what the threads FILTER does not name ran, each
# from /proc/PID/task/TID/schedstat (ns). Left-out threads are looked at every 0.1 s; one that
# ends inside the window takes what it ran after the last look into the serving figure, so the
# bench leaves out long-lived threads only. Prints "NS LEFT_OUT_THREADS LEFT_OUT_GONE SERVING_GONE"
# per FILTER (SERVING_GONE: serving threads seen that ended inside the window, counted), then
# "T0 T1" (the window, seconds since the epoch).
bench_window() {
  python3 - "$@" <<'PY'
import os, sys, time
counter, pid, secs, filters = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4:]

def counted(comm, f):
    inc = None
    for p in filter(None, f.split(",")):
        if p[0] == "!":
            if comm.startswith(p[1:]):
                return False
        else:
            inc = bool(inc) or comm.startswith(p)
    return inc is not False

def total():
    with open(counter) as f:
        text = f.read()
    if counter.endswith("cpu.stat"):
        return int(text.split("usage_usec ")[1].split()[0]) * 1000
    if counter.startswith("/proc/"):
        return sum(map(int, text.rsplit(")", 1)[1].split()[11:15])) * 10**9 // os.sysconf("SC_CLK_TCK")
    return int(text)

def look():
    out = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return out
    for t in tids:
        try:
            with open("/proc/%d/task/%s/comm" % (pid, t)) as f:
                comm = f.read().strip()
            with open("/proc/%d/task/%s/schedstat" % (pid, t)) as f:
                out[t] = (comm, int(f.read().split()[0]))
        except (OSError, ValueError, IndexError):
            pass
    return out

t0 = time.time()
start = look()
c0 = total()
seen = dict(start)
end = t0 + secs
while time.time() < end:
    time.sleep(max(0, min(0.1, end - time.time())))
    if time.time() < end:
        seen.update(look())
final = look()
c1 = total()
t1 = time.time()
seen.update(final)
for f in filters:
    out = n = gone = served_gone = 0
    for t, (comm, v) in seen.items():
        if counted(comm, f):
            served_gone += t not in final
        else:
            n += 1
            out += v - start.get(t, (comm, 0))[1]
            gone += t not in final
    print(max(0, c1 - c0 - out), n, gone, served_gone)
print("%.6f %.6f" % (t0, t1))
PY
}

# bench_field NAME "OUTPUT": the value of NAME=... in a client's output.
bench_field() { grep -oE "(^| )$1=[-0-9.]+" <<<"$2" | head -1 | cut -d= -f2; }

# bench_rtsp_why N RC "OUTPUT" / bench_http_why N RC "OUTPUT": each reason the run of
# rtsp_bench_client / http_stream_client with N clients fails on delivery, "; "-separated.
bench_rtsp_why() {
  local o=$3 v r=""
  v=$(bench_field served "$o"); [ "${v:-0}" = "$1" ] || r+="; $(( $1 - ${v:-0} )) of $1 clients not playing through the window"
  v=$(bench_field no_first_picture "$o"); [ "${v:-0}" = 0 ] || r+="; $v clients without a first picture"
  v=$(bench_field worst_client_missed "$o"); [ "${v:-0}" = 0 ] || r+="; pictures missed (worst client $v)"
  v=$(bench_field worst_client_lost_packets "$o"); [ "${v:-0}" = 0 ] || r+="; packets lost (worst client $v)"
  v=$(bench_field ts_backwards "$o"); [ "${v:-0}" = 0 ] || r+="; timestamps stepped back $v times"
  v=$(bench_field mp2t_cc_gaps "$o"); [ "${v:-0}" = 0 ] || r+="; $v transport packets out of order"
  [ "$2" = 0 ] || [ -n "$r" ] || r="; not every client got everything (client status $2)"
  printf '%s' "$r"
}
bench_http_why() {
  local o=$3 v r=""
  v=$(bench_field window_pictures "$o"); [ "${v:-0}" != 0 ] || r+="; no picture in the window"
  v=$(bench_field worst_client_missed "$o"); [ "${v:-0}" = 0 ] || r+="; pictures missed (worst client $v)"
  v=$(bench_field cc_gaps "$o"); [ "${v:-0}" = 0 ] || r+="; $v continuity-counter gaps"
  v=$(bench_field closed_early "$o"); [ "${v:-0}" = 0 ] || r+="; $v connections closed early"
  [ "$2" = 0 ] || [ -n "$r" ] || r="; not every client got everything (client status $2)"
  printf '%s' "$r"
}

# bench_marginal NS_N NS_1 SECONDS_N SECONDS_1 N: the CPU one client more costs (ms per
# client-second), from a run with N clients against one with a single client.
bench_marginal() {
  awk -v a="$1" -v b="$2" -v s="$3" -v t="$4" -v n="$5" \
    'BEGIN { if (n > 1 && s > 0 && t > 0) printf "%.4f", (a / s - b / t) / 1e6 / (n - 1); else printf "none" }'
}

# bench_marginal_mb NS_N NS_1 SECONDS_N SECONDS_1 BPS_N BPS_1 N: the same per megabyte more
# delivered (ms per MB), each run's clients receiving BPS (bit/s, mean per client): servers whose
# clients take different rates are compared for equal work.
bench_marginal_mb() {
  awk -v a="$1" -v b="$2" -v s="$3" -v t="$4" -v p="$5" -v q="$6" -v n="$7" \
    'BEGIN { d = (p * n - q) / 8 / 1e6; if (n > 1 && s > 0 && t > 0 && d > 0) printf "%.4f", (a / s - b / t) / 1e6 / d; else printf "none" }'
}

# bench_ratio A B: A / B, or "none" when either is missing or B is not above zero.
bench_ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (a != "" && b + 0 > 0) printf "%.3f", a / b; else printf "none" }'
}

# bench_stats "V1 V2 ..." [FORMAT]: "MEDIAN [MIN-MAX]" of the numbers (each printed with FORMAT,
# %.3f unless told), or "none".
bench_stats() {
  tr ' ' '\n' <<<"$1" | grep -E '^-?[0-9.]+$' | sort -g |
    awk -v f="${2:-%.3f}" '{v[NR] = $1} END { if (!NR) { printf "none"; exit }
         printf f " [" f "-" f "]", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR] }'
}

# bench_load: the machine's load average, which the figures of a run depend on.
bench_load() { echo "load_average=$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' '/') cores=$(nproc)"; }
