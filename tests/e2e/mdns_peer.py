#!/usr/bin/python3
# An independent mDNS peer for the end-to-end test: listens on the group and prints every
# message as a JSON line, asks questions, plays a host that claims the device's name, and
# resolves the device's web service with python3-zeroconf.
import json
import select
import socket
import struct
import sys
import time

GROUP = "224.0.0.251"
PORT = 5353
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)


def read_name(p, off):
    labels, jumped, end, hops = [], False, off, 0
    while True:
        c = p[off]
        if c & 0xC0 == 0xC0:
            if not jumped:
                end = off + 2
            off = (c & 0x3F) << 8 | p[off + 1]
            jumped = True
            hops += 1
            if hops > 32:
                raise ValueError("pointer loop")
            continue
        if c == 0:
            return ".".join(labels) + ".", (end if jumped else off + 1)
        labels.append(p[off + 1:off + 1 + c].decode("latin-1"))
        off += 1 + c


def parse(p):
    ident, flags, qd, an, ns, ar = struct.unpack("!HHHHHH", p[:12])
    off = 12
    msg = {"id": ident, "qr": flags >> 15, "qd": [], "an": [], "ns": [], "ar": []}
    for _ in range(qd):
        name, off = read_name(p, off)
        t, c = struct.unpack("!HH", p[off:off + 4])
        off += 4
        msg["qd"].append([name, t, c])
    for sec, n in (("an", an), ("ns", ns), ("ar", ar)):
        for _ in range(n):
            name, off = read_name(p, off)
            t, c, ttl, rdlen = struct.unpack("!HHIH", p[off:off + 10])
            off += 10
            rd = p[off:off + rdlen]
            rec = {"name": name, "type": t, "class": c, "ttl": ttl}
            if t == 1 and rdlen == 4:
                rec["a"] = socket.inet_ntoa(rd)
            elif t in (12, 2, 5):
                rec["target"] = read_name(p, off)[0]
            elif t == 33:
                rec["port"] = struct.unpack("!H", rd[4:6])[0]
                rec["target"] = read_name(p, off + 6)[0]
            else:
                rec["raw"] = rd.hex()
            off += rdlen
            msg[sec].append(rec)
    return msg


def encode_name(name):
    out = b""
    for label in name.rstrip(".").split("."):
        out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def build(ident, qr, questions=(), answers=(), authority=()):
    p = struct.pack("!HHHHHH", ident, 0x8400 if qr else 0, len(questions), len(answers), len(authority), 0)
    for name, t, c in questions:
        p += encode_name(name) + struct.pack("!HH", t, c)
    for name, t, c, ttl, rdata in list(answers) + list(authority):
        p += encode_name(name) + struct.pack("!HHIH", t, c, ttl, len(rdata)) + rdata
    return p


def group_socket(port=PORT):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", port))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton(GROUP) + socket.inet_aton("127.0.0.1"))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
    s.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    return s


def receive(s, timeout):
    """Yields (time, source, destination address, message) until timeout seconds pass."""
    end = time.time() + timeout
    while True:
        left = end - time.time()
        if left <= 0:
            return
        r, _, _ = select.select([s], [], [], left)
        if not r:
            return
        data, anc, _, src = s.recvmsg(9000, 256)
        dst = None
        for level, kind, value in anc:
            if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
                dst = socket.inet_ntoa(value[8:12])
        try:
            msg = parse(data)
        except Exception as e:   # malformed: report, never stop
            msg = {"error": str(e)}
        yield time.time(), src, dst, msg


def listen(seconds, out, from_first=False):
    """Records what the group hears for seconds; from_first: from the first message on, which a
    busy machine's device may send late (up to a minute and a half is waited for it)."""
    s = group_socket()
    with open(out, "w") as f:
        print("ready", flush=True)
        if from_first:
            r, _, _ = select.select([s], [], [], 90)
            if not r:
                return
        for t, src, dst, msg in receive(s, seconds):
            msg.update({"t": t, "src": src[0], "sport": src[1], "dst": dst})
            f.write(json.dumps(msg) + "\n")
            f.flush()


def ask(host, known):
    """A question from port 5353 to the group; prints the responses that answer it."""
    s = group_socket()
    answers = []
    if known:
        answers = [(host, 1, 1, 600, socket.inet_aton("127.0.0.1"))]
    s.sendto(build(0, False, [(host, 1, 1)], answers), (GROUP, PORT))
    for t, src, dst, msg in receive(s, 1.5):
        if msg.get("qr") == 1 and any(a["name"] == host and a["type"] == 1 and a["ttl"] for a in msg["an"]):
            print(json.dumps({"dst": dst, "an": msg["an"]}))


def unicast(host, ident):
    """A legacy unicast question from an ephemeral port to the device's address."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.sendto(build(ident, False, [(host, 1, 1)]), ("127.0.0.1", PORT))
    s.settimeout(2)
    data, src = s.recvfrom(9000)
    msg = parse(data)
    print(json.dumps({"src": src[0], "sport": src[1], "id": msg["id"], "an": msg["an"]}))


def claim(host, addr, seconds):
    """Waits for the device's first probe of the host name and answers it with a probe of our own
    proposing another address."""
    s = group_socket()
    print("ready", flush=True)
    for t, src, dst, msg in receive(s, seconds):
        if msg.get("qr") == 0 and any(q[0] == host for q in msg.get("qd", [])) and src[1] == PORT \
                and any(r["name"] == host and r.get("a") != addr for r in msg.get("ns", [])):
            s.sendto(build(0, False, [(host, 255, 1)], authority=[(host, 1, 1, 120, socket.inet_aton(addr))]),
                     (GROUP, PORT))
            print("claimed", flush=True)
            return


def resolve(host):
    from zeroconf import ServiceInfo, Zeroconf
    zc = Zeroconf(interfaces=["127.0.0.1"])
    try:
        info = ServiceInfo("_http._tcp.local.", host + "._http._tcp.local.")
        ok = info.request(zc, 6000)
        print(json.dumps({
            "ok": bool(ok), "port": info.port, "server": info.server,
            "addresses": [socket.inet_ntoa(a) for a in info.addresses],
            "properties": {k.decode(): (v.decode() if v is not None else None) for k, v in info.properties.items()},
        }))
    finally:
        zc.close()


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "listen":
        listen(float(sys.argv[2]), sys.argv[3], len(sys.argv) > 4 and sys.argv[4] == "first")
    elif cmd == "ask":
        ask(sys.argv[2], len(sys.argv) > 3 and sys.argv[3] == "known")
    elif cmd == "unicast":
        unicast(sys.argv[2], int(sys.argv[3]))
    elif cmd == "claim":
        claim(sys.argv[2], sys.argv[3], float(sys.argv[4]))
    elif cmd == "resolve":
        resolve(sys.argv[2])
