"""Checks dumps of rtsp_dump.py.

usage: pcm_ts_check.py l16 DUMP...   every L16 packet's RTP timestamp rises by exactly the
                                     stereo samples the one before carried
Packets the server left out for a client that lagged (a gap in the sequence numbers) are not
judged across. Prints one line per dump; exits 1 when one breaks the rule or holds under 2 s
of sound.
"""
import struct
import sys

bad = 0
for path in sys.argv[2:]:
    data = open(path, "rb").read()
    pos, prev, packets, errors, samples, gaps = 0, None, 0, 0, 0, 0
    while pos + 2 <= len(data):
        n = struct.unpack(">H", data[pos:pos + 2])[0]
        pkt = data[pos + 2:pos + 2 + n]
        pos += 2 + n
        if len(pkt) < 12:
            continue
        cc = pkt[0] & 0x0F
        seq, ts = struct.unpack(">HI", pkt[2:8])
        payload = len(pkt) - 12 - 4 * cc
        if prev is not None and (seq - prev[2]) & 0xFFFF != 1:
            gaps += 1
        elif prev is not None and (ts - prev[0]) & 0xFFFFFFFF != prev[1] // 4:
            errors += 1
            if errors <= 3:
                print("%s: packet %d: timestamp +%d after %d samples" % (path, packets, (ts - prev[0]) & 0xFFFFFFFF, prev[1] // 4))
        prev = (ts, payload, seq)
        packets += 1
        samples += payload // 4
    print("%s: %d packets, %.2f s of sound, %d gaps, %d timestamp errors" % (path, packets, samples / 48000.0, gaps, errors))
    if errors or samples < 2 * 48000:
        bad += 1
sys.exit(1 if bad else 0)
