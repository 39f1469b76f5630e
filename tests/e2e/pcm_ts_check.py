"""Checks dumps of rtsp_dump.py.

usage: pcm_ts_check.py l16 DUMP...   every L16 packet's RTP timestamp says where its sound lies:
                                     it rises by the stereo samples the packet before carried,
                                     and jumps only as far as the simulated card's tones jumped
The tones (440 Hz left, 1000 Hz right, amplitude 8000) repeat every 1200 samples at 48 kHz:
a packet's first samples give its place in that pattern, and the timestamp less that place
stays the same over a dump (within the stamps' rounding) wherever the sound goes on or was lost
under load. Packets the server left out for a client that lagged (a gap in the sequence numbers)
are not judged across. Prints one line per dump; exits 1 when one breaks the rule or holds under
2 s of sound.
"""
import math
import struct
import sys

RATE, PATTERN, SLACK = 48000, 1200, 4


def tone(n, f):
    return int(round(8000 * math.sin(2 * math.pi * ((n % RATE) * f % RATE) / RATE)))


def signed(v, m):
    v %= m
    return v - m if v > m // 2 else v


places = {}
for p in range(PATTERN):
    places[tuple(v for k in range(4) for v in (tone(p + k, 440), tone(p + k, 1000)))] = p

bad = 0
for path in sys.argv[2:]:
    data = open(path, "rb").read()
    pos, prev, packets, errors, samples, gaps, losses, first = 0, None, 0, 0, 0, 0, 0, None
    while pos + 2 <= len(data):
        n = struct.unpack(">H", data[pos:pos + 2])[0]
        pkt = data[pos + 2:pos + 2 + n]
        pos += 2 + n
        if len(pkt) < 12:
            continue
        cc = pkt[0] & 0x0F
        seq, ts = struct.unpack(">HI", pkt[2:8])
        body = pkt[12 + 4 * cc:]
        payload = len(body)
        place = places.get(struct.unpack(">8h", body[:16])) if payload >= 16 else None
        offset = None if place is None else (ts - place) % PATTERN
        why = None
        if payload >= 16 and place is None:
            why = "samples that are not the card's tones"
        elif prev is not None and (seq - prev[2]) & 0xFFFF != 1:
            gaps += 1
        elif offset is not None and first is not None and abs(signed(offset - first, PATTERN)) > SLACK:
            why = "timestamp %+d after %d samples puts it %+d samples off its sound (mod %d)" % (
                signed(ts - prev[0], 1 << 32), prev[1] // 4, signed(offset - first, PATTERN), PATTERN)
        elif prev is not None and (ts - prev[0]) & 0xFFFFFFFF != prev[1] // 4:
            losses += 1   # sound lost under load, and the timestamp says so
        if why:
            errors += 1
            if errors <= 3:
                print("%s: packet %d: %s" % (path, packets, why))
        if first is None:
            first = offset
        prev = (ts, payload, seq)
        packets += 1
        samples += payload // 4
    print("%s: %d packets, %.2f s of sound, %d gaps, %d losses timed right, %d timestamp errors" % (
        path, packets, samples / 48000.0, gaps, losses, errors))
    if errors or samples < 2 * 48000:
        bad += 1
sys.exit(1 if bad else 0)
