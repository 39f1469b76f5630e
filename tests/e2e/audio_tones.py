#!/usr/bin/python3
"""Judges audio the appliance sent, against the simulated card's tones (left 440 Hz, right
1000 Hz, amplitude 8000, phase from the frame count).

  audio_tones.py tones WAV CHANNELS   dominant frequencies, and no gap or repeated period
  audio_tones.py exact WAV            every sample equals the card's, from some position on
  audio_tones.py adts FILE            per ADTS frame: channels, rate index, length (summary)
"""
import sys
import wave

import numpy as np

TONES = (440, 1000)
AMPLITUDE = 8000


def read_wav(path):
    w = wave.open(path)
    n, ch, rate = w.getnframes(), w.getnchannels(), w.getframerate()
    a = np.frombuffer(w.readframes(n), dtype="<i2").reshape(-1, ch).astype(np.float64)
    return a, rate


def card_samples(start, count, channel, rate):
    n = np.arange(start, start + count, dtype=np.int64)
    k = (n % rate) * TONES[channel] % rate
    return np.rint(AMPLITUDE * np.sin(2.0 * np.pi * k / rate)).astype(np.int64)


def phase_jumps(x, rate, freq, block=1024):
    """Largest phase step of the tone between neighbouring blocks: a lost or repeated period
    moves the phase by far more than the coder's noise does."""
    t = np.arange(len(x)) / rate
    ph = []
    for i in range(0, len(x) - block, block):
        z = np.sum(x[i:i + block] * np.exp(-2j * np.pi * freq * t[i:i + block]))
        ph.append(np.angle(z))
    if len(ph) < 2:
        return 99.0
    d = np.diff(np.unwrap(np.array(ph)))
    return float(np.max(np.abs(d)))


def tones(path, channels):
    a, rate = read_wav(path)
    ok = a.shape[1] == channels
    print("wav: %d frames, %d channels, %d Hz" % (a.shape[0], a.shape[1], rate))
    a = a[4096:]          # the decoder's priming
    for c in range(a.shape[1]):
        x = a[:, c]
        sp = np.abs(np.fft.rfft(x * np.hanning(len(x))))
        f = np.fft.rfftfreq(len(x), 1.0 / rate)
        peak = f[np.argmax(sp)]
        rms = float(np.sqrt(np.mean(x ** 2)))
        expect = TONES[c] if channels == 2 else None
        if expect is None:
            # Mono of (left + right) / 2: both tones, each at half amplitude.
            strengths = [sp[np.argmin(np.abs(f - t))] for t in TONES]
            fine = min(strengths) > 0.3 * max(strengths)
            jumps = max(phase_jumps(x, rate, t) for t in TONES)
        else:
            fine = abs(peak - expect) <= 2
            jumps = phase_jumps(x, rate, expect)
        print("channel %d: peak %.1f Hz, rms %.0f, largest phase step %.3f rad" % (c, peak, rms, jumps))
        ok = ok and fine and rms > 1000 and jumps < 0.5
    return ok


def exact(path):
    a, rate = read_wav(path)
    a = a.astype(np.int64)
    if a.shape[1] != 2 or len(a) < 2048:
        print("wav: %s frames of %d channels" % (a.shape, a.shape[1]))
        return False
    first = a[:32]
    start = None
    for n in range(rate):
        if all(np.array_equal(first[:, c], card_samples(n, 32, c, rate)) for c in range(2)):
            start = n
            break
    if start is None:
        print("the first frames are not the card's tones")
        return False
    bad = 0
    for c in range(2):
        bad += int(np.count_nonzero(a[:, c] != card_samples(start, len(a), c, rate)))
    print("exact: %d frames from card position %d, %d samples differ" % (len(a), start, bad))
    return bad == 0


def adts(path):
    data = open(path, "rb").read()
    pos, frames, chans, rates, sizes = 0, 0, [], [], []
    while pos + 7 <= len(data):
        if data[pos] != 0xFF or (data[pos + 1] & 0xF6) != 0xF0:
            print("not an ADTS frame at %d" % pos)
            return False
        length = ((data[pos + 3] & 3) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5)
        chans.append(((data[pos + 2] & 1) << 2) | (data[pos + 3] >> 6))
        rates.append((data[pos + 2] >> 2) & 15)
        sizes.append(length)
        frames += 1
        pos += length
    runs = []
    for c, r in zip(chans, rates):
        if not runs or runs[-1][0] != (c, r):
            runs.append([(c, r), 0, 0])
        runs[-1][1] += 1
    i = 0
    for run in runs:
        run[2] = sum(sizes[i:i + run[1]]) / run[1]
        i += run[1]
    print("adts: %d frames; runs (channels, rate index) x frames, mean bytes: %s" %
          (frames, " ".join("(%d,%d)x%d:%.0f" % (k[0], k[1], n, m) for k, n, m in runs)))
    return True


if __name__ == "__main__":
    mode, path = sys.argv[1], sys.argv[2]
    if mode == "tones":
        sys.exit(0 if tones(path, int(sys.argv[3])) else 1)
    if mode == "exact":
        sys.exit(0 if exact(path) else 1)
    if mode == "adts":
        sys.exit(0 if adts(path) else 1)
    sys.exit(2)
