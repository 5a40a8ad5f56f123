#!/usr/bin/env python3
"""ADTS streams spliced one after another, as a radio feed or playlist
changes its encoder settings: the command-line host decodes the splice and
each segment alone, in every input mode and through the plug-in, to raw PCM.
Nothing may be lost or added (the splice gives the segments' samples, each at
its own rate; with --split, each segment in a WAV file of its own at its
rate, block numbers and rates said right), and from the given block after
a switch on each segment is
exactly its decode alone (the blocks before carry the last segment's overlap
and the decoder's delay; parametric stereo's decorrelation carries a
trace a little longer: --max-abs). With --stereo-from B, the first segment's blocks
from B on carry two different channels (a parametric stereo stream
entered between two of its SBR headers).

usage: splice_check.py --aacdec PATH [--emulator CMD] [--plugin PATH] --stream FILE
         --segments N,N,... --settle BLOCKS [--max-abs LSB] [--stereo-from BLOCK]
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import wave


def adts_frames(data):
    frames, i = [], 0
    while i + 7 <= len(data):
        if data[i] != 0xFF or data[i + 1] & 0xF0 != 0xF0:
            sys.exit("FAIL: no ADTS header at byte %d" % i)
        n = (data[i + 3] & 3) << 11 | data[i + 4] << 3 | data[i + 5] >> 5
        frames.append(data[i:i + n])
        i += n
    return frames


def decode(args, mode, extra, stream):
    cmd = [c for c in args.emulator.split(";") if c] + [args.aacdec, "--mode", mode] + list(extra) + [stream, "-"]
    r = subprocess.run(cmd, capture_output=True)
    if r.returncode != 0:
        sys.exit("FAIL: %s exited %d: %s" % (" ".join(cmd), r.returncode, r.stderr.decode()))
    return struct.unpack("<%dh" % (len(r.stdout) // 2), r.stdout)


def decode_split(args, mode, extra, stream, tmp):
    """(rate, samples) of each WAV part a --split decode writes, and its report."""
    out = os.path.join(tmp, "split.wav")
    cmd = [c for c in args.emulator.split(";") if c] + [args.aacdec, "--mode", mode, "--split"] + list(extra) + [stream, out]
    r = subprocess.run(cmd, capture_output=True)
    if r.returncode != 0:
        sys.exit("FAIL: %s exited %d: %s" % (" ".join(cmd), r.returncode, r.stderr.decode()))
    parts, k = [], 1
    while True:
        name = out if k == 1 else os.path.join(tmp, "split-%d.wav" % k)
        if not os.path.exists(name):
            break
        with wave.open(name) as w:
            b = w.readframes(w.getnframes())
            parts.append((w.getframerate(), struct.unpack("<%dh" % (len(b) // 2), b)))
        os.remove(name)
        k += 1
    return parts, r.stderr.decode()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--aacdec", required=True)
    p.add_argument("--emulator", default="")
    p.add_argument("--plugin", default="")
    p.add_argument("--stream", required=True)
    p.add_argument("--segments", required=True, help="frames of each segment, in order")
    p.add_argument("--settle", type=int, required=True, help="blocks after a switch that may differ")
    p.add_argument("--max-abs", type=int, default=0, help="largest difference from the segment alone after --settle")
    p.add_argument("--stereo-from", type=int, default=-1)
    args = p.parse_args()

    with open(args.stream, "rb") as f:
        frames = adts_frames(f.read())
    counts = [int(n) for n in args.segments.split(",")]
    if sum(counts) != len(frames):
        sys.exit("FAIL: %d frames, the segments say %d" % (len(frames), sum(counts)))
    modes = [("stream", ()), ("stream", ("--chunk", "1")), ("frame", ()), ("pull", ())]
    if args.plugin:
        modes += [("stream", ("--plugin", args.plugin)), ("frame", ("--plugin", args.plugin))]
    fails = []
    with tempfile.TemporaryDirectory() as tmp:
        segments, at = [], 0
        for k, n in enumerate(counts):
            name = os.path.join(tmp, "segment%d.aac" % k)
            with open(name, "wb") as f:
                f.write(b"".join(frames[at:at + n]))
            segments.append(name)
            at += n
        # Each segment's rate, from its decode alone.
        rates = []
        for segment in segments:
            parts, _ = decode_split(args, "stream", (), segment, tmp)
            rates.append(parts[0][0])
        for mode, extra in modes:
            what = " ".join((mode,) + extra)
            whole = decode(args, mode, extra, args.stream)
            alone = [decode(args, mode, extra, segment) for segment in segments]
            if len(whole) != sum(len(a) for a in alone):
                fails.append("%s: %d samples from the splice, %d from its segments alone"
                             % (what, len(whole) // 2, sum(len(a) for a in alone) // 2))
                continue
            # --split: a part per change of rate, each the whole decode's
            # samples of its segments, at their rate; the report names the
            # block where each part begins. (The plug-in given whole frames
            # cannot tell a new stream's first header from a damaged one:
            # it conceals that block at the rate before, and its part begins
            # a block later.)
            if mode == "frame" and "--plugin" in extra:
                continue
            parts, report = decode_split(args, mode, extra, args.stream, tmp)
            want, first, at = [], 1, 0
            for k, a in enumerate(alone):
                if want and want[-1][0] == rates[k]:
                    want[-1] = (rates[k], want[-1][1] + whole[at:at + len(a)])
                else:
                    if want:
                        if "at block %d;" % first not in report:
                            fails.append("%s --split: no part said to begin at block %d: %s" % (what, first, report))
                    want.append((rates[k], whole[at:at + len(a)]))
                first += counts[k]
                at += len(a)
            if [(r, len(x)) for r, x in parts] != [(r, len(x)) for r, x in want] or parts != want:
                fails.append("%s --split: parts (rate, samples) %s, wanted %s" % (
                    what, [(r, len(x) // 2) for r, x in parts], [(r, len(x) // 2) for r, x in want]))
            at = 0
            for k, a in enumerate(alone):
                block = len(a) // counts[k]  # interleaved stereo samples a block
                start = args.settle * block if k else 0
                diff = [i for i in range(start, len(a)) if abs(a[i] - whole[at + i]) > args.max_abs]
                if diff:
                    fails.append("%s: segment %d differs from its decode alone by more than %d from block %d on "
                                 "(%d samples)" % (what, k + 1, args.max_abs, diff[0] // block, len(diff)))
                if k == 0 and args.stereo_from >= 0:
                    same = [b for b in range(args.stereo_from, counts[0])
                            if a[b * block:(b + 1) * block:2] == a[b * block + 1:(b + 1) * block:2]]
                    if same:
                        fails.append("%s: blocks %s of segment 1 have two equal channels" % (what, same))
                at += len(a)
    for f in fails:
        print("FAIL: " + f)
    if not fails:
        print("splice ok: %s, segments %s, %d modes" % (os.path.basename(args.stream), args.segments, len(modes)))
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(main())
