#!/usr/bin/env python3
"""Decodes a multichannel stream with the command-line host's native output
(--channels native) in stream and frame mode and checks the result: a
WAVE_FORMAT_EXTENSIBLE file of the given channels and channel mask, the same
PCM in both modes, and every channel within the given RMS and largest
difference (16-bit steps) of a reference decode in the same channel order.

usage: native_check.py --aacdec PATH [--emulator CMD] --stream FILE --ref FLAC
         --channels N --mask HEX --blocks N --max-rms LSB --max-abs LSB
"""
import argparse
import math
import os
import struct
import subprocess
import sys
import tempfile


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--aacdec", required=True)
    p.add_argument("--emulator", default="")
    p.add_argument("--stream", required=True)
    p.add_argument("--ref", required=True)
    p.add_argument("--channels", type=int, required=True)
    p.add_argument("--mask", type=lambda v: int(v, 16), required=True)
    p.add_argument("--blocks", type=int, required=True)
    p.add_argument("--max-rms", type=float, required=True)
    p.add_argument("--max-abs", type=int, required=True)
    a = p.parse_args()
    n = a.channels
    outputs = []
    with tempfile.TemporaryDirectory() as tmp:
        for mode in ("stream", "frame"):
            out = os.path.join(tmp, mode + ".wav")
            cmd = [c for c in a.emulator.split(";") if c] + [a.aacdec, "--quiet", "--mode", mode, "--channels",
                                                             "native", a.stream, out]
            r = subprocess.run(cmd, capture_output=True, text=True)
            if r.returncode != 0:
                sys.exit("FAIL: %s exited %d: %s" % (" ".join(cmd), r.returncode, r.stderr))
            with open(out, "rb") as f:
                outputs.append(f.read())
    w = outputs[0]
    if outputs[1] != w:
        sys.exit("FAIL: frame mode gives another file than stream mode")
    fmt, channels, _, _, align, bits, _, valid, mask = struct.unpack("<HHIIHHHHI", w[20:44])
    if w[:4] != b"RIFF" or w[8:16] != b"WAVEfmt " or fmt != 0xFFFE or w[60:64] != b"data":
        sys.exit("FAIL: not a WAVE_FORMAT_EXTENSIBLE file")
    if (channels, align, bits, valid, mask) != (n, 2 * n, 16, 16, a.mask):
        sys.exit("FAIL: %d channels, mask %#x; expected %d, %#x" % (channels, mask, n, a.mask))
    data = w[68:]
    if len(data) != a.blocks * 2048 * n or struct.unpack("<I", w[64:68])[0] != len(data):
        sys.exit("FAIL: %d bytes of PCM, expected %d blocks" % (len(data), a.blocks))
    ours = struct.unpack("<%dh" % (len(data) // 2), data)
    r = subprocess.run(["flac", "-d", "-s", "-c", "--force-raw-format", "--endian=little", "--sign=signed", a.ref],
                       capture_output=True, check=True)
    ref = struct.unpack("<%dh" % (len(r.stdout) // 2), r.stdout)
    frames = min(len(ours), len(ref)) // n
    report = []
    for c in range(n):
        d = [ours[i * n + c] - ref[i * n + c] for i in range(frames)]
        rms, worst = math.sqrt(sum(x * x for x in d) / frames), max(abs(x) for x in d)
        report.append("%.3f/%d" % (rms, worst))
        if rms > a.max_rms or worst > a.max_abs:
            sys.exit("FAIL: channel %d: RMS %.3f, max %d LSB; bounds %.3f, %d" % (c, rms, worst, a.max_rms, a.max_abs))
    print("%s: %d channels, mask %#x, RMS/max per channel %s" % (os.path.basename(a.stream), n, mask, " ".join(report)))


if __name__ == "__main__":
    main()
