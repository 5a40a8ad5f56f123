#!/usr/bin/env python3
"""Decodes one stream with the command-line host in every input mode, through
the library and, with --plugin, through the plug-in as well, and checks the
result: all of them give the same PCM, every frame yields a block,
a one-channel stream comes out as two equal channels, the PCM's MD5 equals
the one recorded (the decoder is bit-exact across builds and architectures),
and, with a reference decode, the RMS and largest absolute difference from it
(in 16-bit steps, over the stream's channels) are at most the given bounds.

usage: stream_check.py --aacdec PATH [--emulator CMD] [--plugin PATH] --stream FILE
         [--ref FLAC [--ref-bps 24] [--ref-channel K] [--ref-skip N] --max-rms LSB --max-abs LSB]
         --channels N --blocks N --md5 HEX
         [--raw RATE] [--no-frame]
"""
import argparse
import cmath
import hashlib
import math
import os
import shlex
import struct
import subprocess
import sys
import tempfile


def run_host(args, mode, out, extra=()):
    cmd = [c for c in args.emulator.split(";") if c] + [args.aacdec, "--quiet", "--mode", mode]
    cmd += list(extra)
    if args.sbr:
        cmd += ["--sbr", args.sbr]
    if args.raw:
        cmd += ["--raw", "--rate", str(args.raw), "--channels", str(args.channels)]
    cmd += [args.stream, out]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("FAIL: %s exited %d: %s" % (" ".join(map(shlex.quote, cmd)), r.returncode, r.stderr))
    with open(out, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:16] != b"WAVEfmt " or data[36:40] != b"data":
        sys.exit("FAIL: %s: not a WAV file" % mode)
    size = struct.unpack("<I", data[40:44])[0]
    if size != len(data) - 44 or struct.unpack("<I", data[4:8])[0] != 36 + size:
        sys.exit("FAIL: %s: WAV sizes do not match the data" % mode)
    run_host.rate = struct.unpack("<I", data[24:28])[0]
    return data[44:]


def reference(flac, bps=16):
    """The reference's samples in 16-bit steps (a 24-bit one's with their
    fraction)."""
    r = subprocess.run(["flac", "-d", "-s", "-c", "--force-raw-format", "--endian=little", "--sign=signed", flac],
                       capture_output=True)
    if r.returncode != 0:
        sys.exit("FAIL: cannot decode %s: %s" % (flac, r.stderr.decode()))
    if bps == 24:
        b = r.stdout
        return [int.from_bytes(b[i:i + 3], "little", signed=True) / 256 for i in range(0, len(b) - 2, 3)]
    return struct.unpack("<%dh" % (len(r.stdout) // 2), r.stdout)


def fft(a):
    """In-place iterative radix-2 FFT of a list of complex values."""
    n = len(a)
    j = 0
    for i in range(1, n):
        bit = n >> 1
        while j & bit:
            j ^= bit
            bit >>= 1
        j |= bit
        if i < j:
            a[i], a[j] = a[j], a[i]
    size = 2
    while size <= n:
        w = [cmath.exp(-2j * math.pi * k / size) for k in range(size // 2)]
        for start in range(0, n, size):
            for k in range(size // 2):
                u, v = a[start + k], a[start + k + size // 2] * w[k]
                a[start + k], a[start + k + size // 2] = u + v, u - v
        size *= 2
    return a


def band_energies(x, rate, up=1, fmax=None):
    """Short-time band energies in dB: Hann frames of 2048 samples every 1024
    (of `up` x 2048 every `up` x 1024 for a signal at `up` times `rate`, the
    same spans of time and frequency, less the gain of the longer frame),
    third-octave bands from 125 Hz to the top of the spectrum (or the last
    whole band below `fmax` Hz)."""
    n = 2048 * up
    win = [0.5 - 0.5 * math.cos(2 * math.pi * (i + 0.5) / n) for i in range(n)]
    edges, f = [], 125.0
    while f < (fmax or rate / 2):
        edges.append(int(f * n / (up * rate)))
        f *= 2 ** (1 / 3)
    edges.append(int(fmax * n / (up * rate)) if fmax else n // 2)
    out = []
    for start in range(0, len(x) - n + 1, n // 2):
        bins = fft([complex(x[start + i] * win[i]) for i in range(n)])
        power = [abs(c) ** 2 for c in bins[:n // 2]]
        out.append([10 * math.log10(sum(power[edges[b]:edges[b + 1]]) / (up * up) + 1e-3)
                    for b in range(len(edges) - 1)])
    return out


def band_difference(a, b, rate, up=1):
    """Mean absolute dB difference of the band energies of a from those of b
    (b at `up` times a's rate: the bands below a's Nyquist frequency, less
    its top tenth), over the bands within 60 dB of b's loudest."""
    fmax = 0.45 * rate if up > 1 else None
    ea, eb = band_energies(a, rate, 1, fmax), band_energies(b, rate, up, fmax)
    top = max(max(row) for row in eb)
    diffs = [abs(x - y) for ra, rb in zip(ea, eb) for x, y in zip(ra, rb) if y > top - 60]
    return sum(diffs) / len(diffs)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--aacdec", required=True)
    p.add_argument("--emulator", default="")
    p.add_argument("--plugin", default="", help="the plug-in: stream and frame mode through it too")
    p.add_argument("--stream", required=True)
    p.add_argument("--ref", default="none")
    p.add_argument("--ref-bps", type=int, default=16, choices=(16, 24),
                   help="24: a reference with bits below the 16-bit LSB (a stereo downmix in floating point)")
    p.add_argument("--channels", type=int, required=True)
    p.add_argument("--blocks", type=int, required=True)
    p.add_argument("--max-rms", type=float, default=0.0)
    p.add_argument("--max-abs", type=int, default=0)
    p.add_argument("--max-band-db", type=float, default=0.0,
                   help="bound the band-energy difference too (alone, with RMS and max bounds of 0: noise substitution)")
    p.add_argument("--md5", required=True)
    p.add_argument("--raw", type=int, default=0)
    p.add_argument("--sbr", default="", help="aacdec's --sbr (and the plug-in's flag)")
    p.add_argument("--ref-channel", type=int, default=-1,
                   help="compare that channel alone (one that damage to another must leave intact)")
    p.add_argument("--ref-up", type=int, default=1,
                   help="the reference is at this many times the output rate: band energies only")
    p.add_argument("--ref-skip", type=int, default=0,
                   help="samples a channel of ours before the reference's first (faad leaves out a stream's first frame)")
    p.add_argument("--no-frame", action="store_true", help="not an ADTS stream: no frame mode")
    args = p.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        modes = [("stream", ()), ("stream", ("--chunk", "1")), ("pull", ())]
        if not args.raw and not args.no_frame:
            modes.append(("frame", ()))
        if args.plugin:
            modes += [(mode, extra + ("--plugin",)) for mode, extra in modes if mode != "pull"]
        outputs = {}
        for mode, extra in modes:
            key = " ".join((mode,) + extra)
            extra = tuple(a for e in extra for a in (("--plugin", args.plugin) if e == "--plugin" else (e,)))
            name = key.replace(" ", "_").replace("-", "") + ".wav"
            outputs[key] = run_host(args, mode, os.path.join(tmp, name), extra)
    pcm = outputs["stream"]
    for key, data in outputs.items():
        if data != pcm:
            differ = [b for b in range(max(len(data), len(pcm)) // 4096)
                      if data[4096 * b:4096 * (b + 1)] != pcm[4096 * b:4096 * (b + 1)]]
            sys.exit("FAIL: %s gives other PCM than stream mode: %d blocks against %d, blocks %s differ"
                     % (key, len(data) // 4096, len(pcm) // 4096, differ[:20]))
    blocks = len(pcm) // 4096
    if len(pcm) % 4096 or blocks != args.blocks:
        sys.exit("FAIL: %d blocks of PCM (%d bytes), expected %d" % (blocks, len(pcm), args.blocks))
    md5 = hashlib.md5(pcm).hexdigest()

    ours = struct.unpack("<%dh" % (len(pcm) // 2), pcm)
    if args.channels == 1 and any(ours[2 * i] != ours[2 * i + 1] for i in range(len(ours) // 2)):
        sys.exit("FAIL: a one-channel stream must give two equal channels")
    report = ""
    if args.ref != "none":
        ref = reference(args.ref, args.ref_bps)
        ours = ours[2 * args.ref_skip:]
        n = min(len(ours) // 2, len(ref) // args.channels // args.ref_up)
        checked = [args.ref_channel] if args.ref_channel >= 0 else range(args.channels)
        if args.ref_up == 1:
            diffs = [ours[2 * i + c] - ref[args.channels * i + c] for i in range(n) for c in checked]
            rms = math.sqrt(sum(d * d for d in diffs) / len(diffs))
            worst = max(abs(d) for d in diffs)
            report = ", RMS %.3f LSB, max %.3g LSB" % (rms, worst)
        if (args.max_rms or args.max_abs or not args.max_band_db) and args.ref_up == 1:
            if rms > args.max_rms or worst > args.max_abs:
                sys.exit("FAIL%s: bounds %.3f and %g" % (report, args.max_rms, args.max_abs))
        if args.max_band_db or args.ref_up > 1:
            rate = run_host.rate
            up = args.ref_up
            bands = max(band_difference(ours[c::2][:n], ref[c::args.channels][:n * up], rate, up)
                        for c in checked)
            report += ", band energies %.3f dB off" % bands
            if bands > args.max_band_db:
                sys.exit("FAIL%s: bound %.3f dB" % (report, args.max_band_db))
    print("%s: %d blocks, md5 %s%s" % (os.path.basename(args.stream), blocks, md5, report))
    if md5 != args.md5:
        sys.exit("FAIL: md5 %s, recorded %s" % (md5, args.md5))


if __name__ == "__main__":
    main()
