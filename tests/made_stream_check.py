#!/usr/bin/env python3
"""Streams made from the test data as the test runs: a copy with bits
flipped (--flip BYTE:BIT), with the byte BACK bytes before the end of ADTS
frame FRAME left out (--drop FRAME:BACK, or N bytes from there with
--drop FRAME:BACK:N), with bytes put in at the start
of ADTS frame FRAME's raw data (--insert FRAME:HEX, more than one may be
given; the frame's length follows), with junk before ADTS frame FRAME that
holds copies of its header saying other lengths (--fake-headers
FRAME:LENGTH,...), cut after its first N frames
(--frames N) or bytes (--head N), or with another stream after it (--then, its headers
rewritten to channel configuration N with --then-config N). aacdec
decodes it in each of --modes (stream, pull, frame, or plugin and
plugin-frame: stream and frame mode through --plugin's plug-in), which
must give the same PCM; with
--same-as, that PCM must be the decode of another stream; with --blocks and
--concealed (and --skipped, stretches not played), the summary must count
those; with --says, its report must hold that text.

usage: made_stream_check.py --aacdec AACDEC [--emulator CMD] --stream FILE
       [--flip BYTE:BIT]... [--drop FRAME:BACK[:N]] [--insert FRAME:HEX]... [--fake-headers FRAME:LENGTH,...] [--frames N] [--head N] [--then FILE [--then-config N]]
       [--raw RATE:CHANNELS]
       [--option=AACDEC_OPTION]...
       [--modes stream,pull,frame,plugin] [--plugin LIBAACPLUGIN]
       [--same-as FILE] [--blocks N --concealed M] [--skipped K] [--says TEXT]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile


def frame_length(b, at):
    """The length field of the ADTS header at `at`."""
    return (b[at + 3] & 3) << 11 | b[at + 4] << 3 | b[at + 5] >> 5


def set_frame_length(b, at, n):
    b[at + 3] = (b[at + 3] & 0xFC) | n >> 11
    b[at + 4] = (n >> 3) & 0xFF
    b[at + 5] = (b[at + 5] & 0x1F) | (n & 7) << 5


def frame_start(b, frame):
    """Where ADTS frame `frame` starts, by the lengths before it."""
    at = 0
    for _ in range(frame):
        at += frame_length(b, at)
    return at


def decode(args, mode, stream, out):
    raw = []
    if args.raw:
        rate, channels = args.raw.split(":")
        raw = ["--raw", "--rate", rate, "--channels", channels]
    via = []
    if mode in ("plugin", "plugin-frame"):
        mode, via = "stream" if mode == "plugin" else "frame", ["--plugin", args.plugin]
    cmd = [c for c in args.emulator.split(";") if c] + [args.aacdec, "--mode", mode, "-f", "raw"] + via + raw + args.option + [stream, out]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode not in (0, 1):
        sys.exit("FAIL: %s exited %d: %s" % (" ".join(cmd), r.returncode, r.stderr))
    if not os.path.exists(out):  # no block at all: aacdec writes no file
        return b"", r.stderr
    with open(out, "rb") as f:
        return f.read(), r.stderr


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--aacdec", required=True)
    p.add_argument("--emulator", default="")
    p.add_argument("--stream", required=True)
    p.add_argument("--flip", action="append", default=[])
    p.add_argument("--drop")
    p.add_argument("--insert", action="append", default=[])
    p.add_argument("--fake-headers")
    p.add_argument("--head", type=int, help="keep the first HEAD bytes only (after --frames)")
    p.add_argument("--then")
    p.add_argument("--then-config", type=int, help="the --then stream's ADTS headers say this channel configuration")
    p.add_argument("--frames", type=int, help="keep the first FRAMES ADTS frames only (before --then)")
    p.add_argument("--raw", help="RATE:CHANNELS, raw data blocks")
    p.add_argument("--option", action="append", default=[], help="an option for aacdec (--option=--no-downmix)")
    p.add_argument("--modes", default="stream")
    p.add_argument("--plugin", help="the plug-in of the mode plugin")
    p.add_argument("--same-as")
    p.add_argument("--blocks", type=int)
    p.add_argument("--concealed", type=int)
    p.add_argument("--skipped", type=int, help="stretches aacdec skips as not played")
    p.add_argument("--says", help="what aacdec's report must hold")
    args = p.parse_args()
    with open(args.stream, "rb") as f:
        data = bytearray(f.read())
    for flip in args.flip:
        byte, bit = (int(v) for v in flip.split(":"))
        data[byte] ^= 1 << bit
    if args.drop:
        frame, back, count = (int(v) for v in (args.drop + ":1").split(":")[:3])
        at = frame_start(data, frame + 1)
        del data[at - back:at - back + count]
    for insert in args.insert:
        frame, hexbytes = insert.split(":")
        at = frame_start(data, int(frame))
        header = 7 if data[at + 1] & 1 else 9
        data[at + header:at + header] = bytes.fromhex(hexbytes)
        set_frame_length(data, at, frame_length(data, at) + len(hexbytes) // 2)
    if args.fake_headers:
        frame, lengths = args.fake_headers.split(":")
        at = frame_start(data, int(frame))
        junk = bytearray()
        for n in (int(v) for v in lengths.split(",")):
            header = bytearray(data[at:at + 7])
            set_frame_length(header, 0, n)
            junk += b"\x5a\x33" + header
        data[at:at] = junk
    if args.frames is not None:
        del data[frame_start(data, args.frames):]
    if args.head is not None:
        del data[args.head:]
    if args.then:
        with open(args.then, "rb") as f:
            then = bytearray(f.read())
        at = 0
        while args.then_config is not None and at + 7 <= len(then):
            then[at + 2] = (then[at + 2] & 0xFE) | args.then_config >> 2
            then[at + 3] = (then[at + 3] & 0x3F) | (args.then_config & 3) << 6
            at += frame_length(then, at)
        data += then
    with tempfile.TemporaryDirectory() as tmp:
        made = os.path.join(tmp, "made.aac")
        with open(made, "wb") as f:
            f.write(data)
        outputs = {}
        for mode in args.modes.split(","):
            outputs[mode] = decode(args, mode, made, os.path.join(tmp, mode + ".raw"))
        first, (pcm, summary) = next(iter(outputs.items()))
        for mode, (other, _) in outputs.items():
            if other != pcm:
                blocks = [b for b in range(max(len(pcm), len(other)) // 4096)
                          if pcm[4096 * b:4096 * (b + 1)] != other[4096 * b:4096 * (b + 1)]]
                sys.exit("FAIL: %s mode gives other PCM than %s mode, blocks %s" % (mode, first, blocks[:20]))
        if args.same_as:
            want, _ = decode(args, "stream", args.same_as, os.path.join(tmp, "same.raw"))
            if want != pcm:
                sys.exit("FAIL: not the PCM of %s (%d bytes against %d)" % (args.same_as, len(pcm), len(want)))
        if args.blocks is not None:
            m = re.search(r"(\d+) blocks decoded \((\d+) concealed[,)]", summary)
            concealed = args.concealed if args.concealed is not None else int(m.group(2)) if m else 0
            if not m or int(m.group(1)) != args.blocks or int(m.group(2)) != concealed:
                sys.exit("FAIL: expected %d blocks (%d concealed): %s" % (args.blocks, concealed, summary.strip()))
        if args.says and args.says not in summary:
            sys.exit("FAIL: aacdec does not say '%s': %s" % (args.says, summary.strip()))
        if args.skipped is not None:
            m = re.search(r"(\d+) stretch(?:es)? skipped", summary)
            if (int(m.group(1)) if m else 0) != args.skipped:
                sys.exit("FAIL: expected %d stretches skipped: %s" % (args.skipped, summary.strip()))
    print("%s: %d bytes of PCM, the same in %s" % (os.path.basename(args.stream), len(pcm), args.modes))


if __name__ == "__main__":
    main()
