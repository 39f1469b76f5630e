#!/usr/bin/env python3
"""The soak's clients and its watch over the appliance, for a given number of minutes:
32 RTSP clients over TCP on streamA.h264 sending GET_PARAMETER keep-alives every 20 s,
8 RTMP players and 4 HLS players (ffmpeg, copying video), 4 MJPEG readers of channel B,
and a setting (channel A's bit rate) changed every 10 s. Each minute it prints the process's
RSS, descriptors and threads and the pictures each client received so far; at the end, each
client's pictures and RSS growth after the warm-up.

usage: soak_clients.py PID MINUTES OUTDIR"""
import http.client
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.request

pid, minutes, outdir = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
HOST = "127.0.0.1"
end = time.time() + minutes * 60
stop = threading.Event()
counts = {}             # client name -> pictures
lock = threading.Lock()


def add(name, n=1):
    with lock:
        counts[name] = counts.get(name, 0) + n


def rtsp_client(name):
    """Interleaved RTP; a picture is an RTP packet with the marker bit on channel 0."""
    counts.setdefault(name, 0)
    try:
        s = socket.create_connection((HOST, 8554), timeout=15)
        url = "rtsp://%s:8554/streamA.h264" % HOST
        buf = b""
        cseq = [0]

        def send(method, uri, extra=""):
            cseq[0] += 1
            s.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s\r\n" % (method, uri, cseq[0], extra)).encode())

        def reply():
            nonlocal buf
            while True:
                while len(buf) < 4 or (buf[:1] != b"$" and b"\r\n\r\n" not in buf):
                    d = s.recv(65536)
                    if not d:
                        raise EOFError
                    buf += d
                if buf[:1] == b"$":
                    n = struct.unpack(">H", buf[2:4])[0]
                    while len(buf) < 4 + n:
                        buf += s.recv(65536)
                    buf = buf[4 + n:]
                    continue
                head, _, rest = buf.partition(b"\r\n\r\n")
                m = re.search(rb"Content-Length: *(\d+)", head, re.I)
                n = int(m.group(1)) if m else 0
                while len(rest) < n:
                    rest += s.recv(65536)
                buf = rest[n:]
                return head.decode(errors="replace")

        send("DESCRIBE", url, "Accept: application/sdp\r\n")
        reply()
        send("SETUP", url + "/track1", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")
        sess = re.search(r"Session: *([^;\r\n]+)", reply()).group(1)
        send("PLAY", url, "Session: %s\r\nRange: npt=0.000-\r\n" % sess)
        reply()
        s.settimeout(5)
        last_keepalive = time.time()
        while not stop.is_set():
            if time.time() - last_keepalive > 20:
                send("GET_PARAMETER", url, "Session: %s\r\n" % sess)   # its answer is skipped below
                last_keepalive = time.time()
            d = s.recv(262144)
            if not d:
                break
            buf += d
            while len(buf) >= 4:
                if buf[:1] == b"$":
                    n = struct.unpack(">H", buf[2:4])[0]
                    if len(buf) < 4 + n:
                        break
                    if buf[1] == 0 and n >= 12 and buf[5] & 0x80:
                        add(name)
                    buf = buf[4 + n:]
                else:
                    i = buf.find(b"\r\n\r\n")
                    if i < 0:
                        break
                    buf = buf[i + 4:]
        s.close()
    except (OSError, EOFError, AttributeError) as e:
        print("%s: %s" % (name, e), flush=True)


def mjpeg_reader(name):
    """Reads back-to-back JPEGs; like a viewer, it opens the row again when the answer ends."""
    counts.setdefault(name, 0)
    while not stop.is_set():
        try:
            with urllib.request.urlopen("http://%s/streamB.mjpg" % HOST, timeout=15) as r:
                tail = b""
                while not stop.is_set():
                    d = r.read(65536)
                    if not d:
                        break
                    d = tail + d
                    add(name, d.count(b"\xff\xd9\xff\xd8"))
                    tail = d[-3:]
        except (OSError, http.client.HTTPException) as e:
            print("%s: %s, again" % (name, e), flush=True)
            stop.wait(1)


def setting_changer():
    n = 0
    while not stop.wait(10):
        rate = 2000000 if n % 2 else 2500000
        n += 1
        try:
            req = urllib.request.Request("http://%s/streamA_controls" % HOST, data=b"BitRate=%d" % rate,
                                         headers={"Referer": "/setup_streama.htm"})
            urllib.request.urlopen(req, timeout=10).read()
        except OSError as e:
            print("setting: %s" % e, flush=True)


def proc_status():
    st = open("/proc/%d/status" % pid).read()
    rss = int(re.search(r"VmRSS:\s+(\d+)", st).group(1))
    threads = int(re.search(r"Threads:\s+(\d+)", st).group(1))
    fds = len(os.listdir("/proc/%d/fd" % pid))
    return rss, fds, threads


def ffmpeg_frames(path):
    try:
        with open(path, "rb") as f:
            return sum(1 for line in f if not line.startswith(b"#"))
    except OSError:
        return 0


players = []
for i in range(8):
    players.append(("rtmp%d" % i, "rtmp://%s:1935/live/streamA" % HOST))
for i in range(4):
    players.append(("hls%d" % i, "http://%s/streamA.m3u8" % HOST))
procs = []
for name, url in players:
    out = open(os.path.join(outdir, name + ".crc"), "wb")
    procs.append(subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-i", url, "-map", "0:v", "-c", "copy",
                                   "-f", "framecrc", "-"], stdout=out, stderr=open(os.path.join(outdir, name + ".err"), "wb")))
threads = [threading.Thread(target=rtsp_client, args=("rtsp%02d" % i,), daemon=True) for i in range(32)]
threads += [threading.Thread(target=mjpeg_reader, args=("mjpeg%d" % i,), daemon=True) for i in range(4)]
threads.append(threading.Thread(target=setting_changer, daemon=True))
for t in threads:
    t.start()


def snapshot():
    with lock:
        c = dict(counts)
    for name, _ in players:
        c[name] = ffmpeg_frames(os.path.join(outdir, name + ".crc"))
    return c


print("minute rss_kb fds threads pictures(min/max per kind)", flush=True)
samples = []
minute = 0
while time.time() < end:
    time.sleep(min(60, max(0, end - time.time())))
    minute += 1
    rss, fds, nthreads = proc_status()
    samples.append((minute, rss, fds, nthreads))
    c = snapshot()
    kinds = {}
    for name, v in c.items():
        kinds.setdefault(re.sub(r"\d+$", "", name), []).append(v)
    print("%d %d %d %d %s" % (minute, rss, fds, nthreads,
                              " ".join("%s=%d/%d" % (k, min(v), max(v)) for k, v in sorted(kinds.items()))), flush=True)
stop.set()
for p in procs:
    p.terminate()
for p in procs:
    p.wait(10)
c = snapshot()
print("pictures per client: " + " ".join("%s=%d" % kv for kv in sorted(c.items())), flush=True)
if len(samples) >= 3:
    warm = samples[min(len(samples) - 1, max(1, len(samples) // 3))]
    last = samples[-1]
    print("after warm-up (minute %d to %d): rss %+d kB, fds %+d, threads %+d" % (
        warm[0], last[0], last[1] - warm[1], last[2] - warm[2], last[3] - warm[3]), flush=True)
print("clients without pictures: %d" % sum(1 for v in c.values() if v == 0), flush=True)
