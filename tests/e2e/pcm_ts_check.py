"""Checks dumps of rtsp_dump.py.

usage: pcm_ts_check.py l16 DUMP...   every L16 packet's RTP timestamp rises by exactly the
                                     stereo samples the one before carried
Prints one line per dump; exits 1 when one breaks the rule or holds under 2 s of sound.
"""
import struct
import sys

bad = 0
for path in sys.argv[2:]:
    data = open(path, "rb").read()
    pos, prev, packets, errors, samples = 0, None, 0, 0, 0
    while pos + 2 <= len(data):
        n = struct.unpack(">H", data[pos:pos + 2])[0]
        pkt = data[pos + 2:pos + 2 + n]
        pos += 2 + n
        if len(pkt) < 12:
            continue
        cc = pkt[0] & 0x0F
        ts = struct.unpack(">I", pkt[4:8])[0]
        payload = len(pkt) - 12 - 4 * cc
        if prev is not None and (ts - prev[0]) & 0xFFFFFFFF != prev[1] // 4:
            errors += 1
            if errors <= 3:
                print("%s: packet %d: timestamp +%d after %d samples" % (path, packets, (ts - prev[0]) & 0xFFFFFFFF, prev[1] // 4))
        prev = (ts, payload)
        packets += 1
        samples += payload // 4
    print("%s: %d packets, %.2f s of sound, %d timestamp errors" % (path, packets, samples / 48000.0, errors))
    if errors or samples < 2 * 48000:
        bad += 1
sys.exit(1 if bad else 0)
