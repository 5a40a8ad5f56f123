#!/usr/bin/env python3
"""Whole-stream accuracy of the HE-AAC and HE-AAC v2 decodes against ffmpeg's
float decoder, with FAAD2 beside it for scale.

For each stream: the SNR per channel of our 16-bit output against ffmpeg's
16-bit output, the RMS difference per channel of our output with its bits
below the LSB (aacdec -b float) from ffmpeg's unrounded float output, what
rounding that float output to 16 bits alone gives as SNR (how quiet the
material is: near 70 dB, the RMS is the measure that counts), and the third-octave
band energies (125 Hz up; Hann frames of 2048 samples every 1024): the
largest difference of a band's energy summed over the stream, and the mean
absolute difference of the short-time energies within 60 dB of the loudest.
FAAD2's output is aligned by searching offsets of up to 2200 samples.

Needs ffmpeg, faad and numpy (Debian: ffmpeg faad python3-numpy).
usage: scripts/he-accuracy.py AACDEC [STREAM...]   (default: corpus p40-p46)
  CORPUS  environment: the corpus folder (default ../shared/corpus)
"""
import glob
import os
import subprocess
import sys
import tempfile

import numpy as np


def run(cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def load(path, kind):
    return np.fromfile(path, kind).reshape(-1, 2).astype(np.float64) * (32768.0 if kind == "<f4" else 1.0)


def aligned(a, b, search=0):
    """a and b cut to their common span, b shifted by the offset (within
    +-search samples) that makes them closest."""
    best = (0, None)
    for off in range(-search, search + 1):
        x, y = (a, b[off:]) if off >= 0 else (a[-off:], b)
        n = min(len(x), len(y), 40000)
        e = ((x[:n] - y[:n]) ** 2).sum()
        if best[1] is None or e < best[1]:
            best = (off, e)
    off = best[0]
    x, y = (a, b[off:]) if off >= 0 else (a[-off:], b)
    n = min(len(x), len(y))
    return x[:n], y[:n]


def snr(a, b):
    return [10 * np.log10((b[:, c] ** 2).sum() / max(((a[:, c] - b[:, c]) ** 2).sum(), 1e-30)) for c in range(2)]


def rms(a, b):
    return [np.sqrt(((a[:, c] - b[:, c]) ** 2).mean()) for c in range(2)]


def rounding_alone(b):
    """SNR of b against b rounded to integers, per channel (the error's power
    1/12 of an LSB squared)."""
    return [10 * np.log10((b[:, c] ** 2).mean() * 12) for c in range(2)]


def bands(a, b, rate):
    """(largest whole-stream band difference dB, its band's centre Hz, mean
    short-time difference dB) over both channels."""
    n, win = 2048, np.hanning(2048)
    edges, f = [], 125.0
    while f < rate / 2:
        edges.append(int(f * n / rate))
        f *= 2 ** (1 / 3)
    edges.append(n // 2)
    worst, where, short = 0.0, 0.0, []
    for c in range(2):
        pa, pb = [], []
        for s in range(0, len(a) - n + 1, n // 2):
            sa = np.abs(np.fft.rfft(a[s:s + n, c] * win)) ** 2
            sb = np.abs(np.fft.rfft(b[s:s + n, c] * win)) ** 2
            pa.append([sa[edges[i]:edges[i + 1]].sum() for i in range(len(edges) - 1)])
            pb.append([sb[edges[i]:edges[i + 1]].sum() for i in range(len(edges) - 1)])
        pa, pb = np.array(pa) + 1e-3, np.array(pb) + 1e-3
        whole = np.abs(10 * np.log10(pa.sum(0) / pb.sum(0)))
        if whole.max() > worst:
            worst, where = whole.max(), 125.0 * 2 ** (whole.argmax() / 3)
        ea, eb = 10 * np.log10(pa), 10 * np.log10(pb)
        short.append(np.abs(ea - eb)[eb > eb.max() - 60].mean())
    return worst, where, max(short)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    aacdec = sys.argv[1]
    corpus = os.environ.get("CORPUS", os.path.join(os.path.dirname(__file__), "..", "..", "shared", "corpus"))
    streams = sys.argv[2:] or sorted(p for p in glob.glob(os.path.join(corpus, "p4[0-6]_*"))
                                     if p.endswith((".aac", ".m4a")) and "_dmg" not in p)
    print("| stream | SNR L, R dB | RMS from float L, R, LSB | rounding alone L, R dB | band energies: largest, mean |"
          " FAAD2: SNR L, R dB; bands |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for s in streams:
            t = lambda name: os.path.join(tmp, name)
            run([aacdec, "-q", "--no-gapless", "-f", "raw", s, t("ours.s16")])
            run([aacdec, "-q", "--no-gapless", "-f", "raw", "-b", "float", s, t("ours.f32")])
            run(["ffmpeg", "-v", "error", "-y", "-i", s, "-ac", "2", "-f", "s16le", t("ref.s16")])
            run(["ffmpeg", "-v", "error", "-y", "-i", s, "-ac", "2", "-f", "f32le", t("ref.f32")])
            run(["faad", "-q", "-f", "2", "-b", "4", "-o", t("faad.f32"), s])
            rate = int(subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                       "stream=sample_rate", "-of", "csv=p=0", s],
                                      check=True, capture_output=True, text=True).stdout.split()[0])
            ours, ref = aligned(load(t("ours.s16"), "<i2"), load(t("ref.s16"), "<i2"))
            of, rf = aligned(load(t("ours.f32"), "<f4"), load(t("ref.f32"), "<f4"))
            fa, rfa = aligned(load(t("faad.f32"), "<f4"), load(t("ref.f32"), "<f4"), 2200)
            worst, where, short = bands(of, rf, rate)
            fworst, _, fshort = bands(fa, rfa, rate)
            print("| %s | %.1f, %.1f | %.3f, %.3f | %.1f, %.1f | %.3f dB (%.0f Hz), %.3f dB | %.1f, %.1f; %.3f, %.3f dB |" % (
                os.path.basename(s).split("_")[0], *snr(ours, ref), *rms(of, rf), *rounding_alone(rf),
                worst, where, short, *snr(fa, rfa), fworst, fshort))


if __name__ == "__main__":
    main()
