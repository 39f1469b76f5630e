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
