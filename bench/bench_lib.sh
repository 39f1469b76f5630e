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

# bench_window PID SECONDS FILTER...: the run time over the next SECONDS of the threads of PID
# that each FILTER counts, from /proc/PID/task/TID/schedstat (nanoseconds; /proc/PID/stat has 10 ms
# ticks, as coarse as a whole figure of a quiet server over a run). FILTER: comma-separated name
# prefixes to count ("rtp"), or to leave out ("!matroskademux0"); "" counts every thread. Threads
# are looked at twice a second: one begun since counts from zero; one that ends takes what it ran
# after the last look with it, so GONE says how many did, and a figure with GONE above 0 is short.
# Prints "NS THREADS GONE" per FILTER, then "T0 T1" (the window, seconds since the epoch).
bench_window() {
  python3 - "$@" <<'PY'
import os, sys, time
pid, secs, filters = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3:]

def counted(comm, f):
    inc = None
    for p in filter(None, f.split(",")):
        if p[0] == "!":
            if comm.startswith(p[1:]):
                return False
        else:
            inc = bool(inc) or comm.startswith(p)
    return inc is not False

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
seen = dict(start)
end = t0 + secs
while time.time() < end:
    time.sleep(max(0, min(0.5, end - time.time())))
    if time.time() < end:
        seen.update(look())
final = look()
t1 = time.time()
seen.update(final)
for f in filters:
    ns = n = gone = 0
    for t, (comm, v) in seen.items():
        if counted(comm, f):
            n += 1
            ns += v - start.get(t, (comm, 0))[1]
            gone += t not in final
    print(ns, n, gone)
print("%.6f %.6f" % (t0, t1))
PY
}

# bench_marginal NS_N NS_1 SECONDS_N SECONDS_1 N: the CPU one client more costs (ms per
# client-second), from a run with N clients against one with a single client.
bench_marginal() {
  awk -v a="$1" -v b="$2" -v s="$3" -v t="$4" -v n="$5" \
    'BEGIN { if (n > 1 && s > 0 && t > 0) printf "%.4f", (a / s - b / t) / 1e6 / (n - 1); else printf "none" }'
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
