#!/usr/bin/env python3
"""Puts a new player's "play" right at the moment the channel's last player has left: relays one
RTMP connection from LISTEN_PORT to the appliance (from 127.0.0.2), holds the read that carries
"play", kills the last player (LAST_PID), waits until the appliance's log shows its session
gone, then lets "play" through and relays until either side closes. Prints how long the
appliance took from the end of the last session to the play being sent.
Usage: rtmp_join_proxy.py LISTEN_PORT LAST_PID LOG"""
import os
import selectors
import signal
import socket
import sys
import time

port, last_pid, log = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
GONE = b"serverThread: exiting"


ls = socket.socket()
ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
ls.bind(("127.0.0.2", port))
ls.listen(1)
ls.settimeout(20)
client, _ = ls.accept()
up = socket.socket()
up.bind(("127.0.0.2", 0))
up.connect(("127.0.0.2", 1935))
sel = selectors.DefaultSelector()
sel.register(client, selectors.EVENT_READ, up)
sel.register(up, selectors.EVENT_READ, client)
held = False
end = time.time() + 30
while time.time() < end:
    for key, _ in sel.select(timeout=1):
        try:
            d = key.fileobj.recv(65536)
        except OSError:
            d = b""
        if not d:
            end = 0
            break
        if key.fileobj is client and not held and b"\x02\x00\x04play" in d:
            held = True
            with open(log, "rb") as f:
                f.seek(0, os.SEEK_END)
                os.kill(last_pid, signal.SIGKILL)
                seen, limit = b"", time.time() + 5
                while GONE not in seen and time.time() < limit:
                    seen = seen[-len(GONE):] + f.read()
                    time.sleep(0.001)
            print("play sent %s" % ("as the last session ended" if GONE in seen else "after 5 s: no session ended"))
        try:
            key.data.sendall(d)
        except OSError:
            end = 0
            break
