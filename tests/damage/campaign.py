#!/usr/bin/env python3
"""A damage campaign: damaged copies of a few shipped ADTS streams, made the
same way on every run (fixed seeds), decoded by the command-line host in
stream, frame and pull mode and through the plug-in. For each case and mode:

  - exit status 0;
  - no more blocks than the clean stream gives (for a splice: the whole
    frames of both parts, plus the blocks of the frame cut in two);
  - where the case only changes bits or adds bytes, exactly the clean
    stream's block count (the timeline kept), but for the blocks lost
    before the stream's first block is decoded: aacdec asks for SBR, and
    until a block says whether the stream plays it at twice its rate, a
    lost block has no rate and gives nothing (the blocks after are counted
    from there);
  - at least FLOORS[case] blocks bit-identical to the clean decode's block at
    the same index (for a splice: the clean blocks of the first part up to
    the cut, then those of the second part from the first whole frame on).
  - the modes give the same PCM.

With --gst-launch and --gst-plugins the element runs too, behind aacparse
(filesrc ! aacparse ! zoraacdec): exit status 0, no error or critical
message, no more blocks than the clean stream. aacparse drops the frames
whose headers it finds damaged before they reach the element, so the
element need not give the modes' PCM; the cases where it does are counted.

usage: campaign.py --aacdec PATH --plugin PATH --source DIR [--emulator CMD]
                   [--arithmetic exact|compact] [--measure] [--ffmpeg]
                   [--gst-launch PATH --gst-plugins DIR]

--measure prints today's floors instead of checking them; --ffmpeg prints
FFmpeg's counts (needs ffmpeg).
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

STREAMS = {
    "mono12": "samples/tones_clicks_12k_mono.aac",
    "g1": "tests/data/g1_44100_s_clicks.aac",
    "p19": "tests/data/p19_vo_8000_s_music.aac",
    "p01": "tests/data/p01_head.aac",
    "g4": "tests/data/g4_48000_s_noise.aac",
}
# Streams whose single-block frames are first joined into frames of several
# blocks: g4's four to a frame of about 4.7 KB, longer than the plug-in's
# static instance takes (1536 bytes), so the plug-in does not decode it.
MERGE = {"g4": 4}
# Each stream is spliced onto one of another configuration.
SPLICE_WITH = {"mono12": "g1", "g1": "p19", "p19": "p01", "p01": "mono12", "g4": "p19"}

# Header fields: (name, first bit, width) of the fixed header and the frame
# length and block count of the variable one; the bit flipped in a field is
# the lowest one except where noted.
HEADER_FIELDS = [
    ("syncword", 0, 12),
    ("id", 12, 1),
    ("layer", 13, 2),
    ("protection", 15, 1),
    ("profile", 16, 2),
    ("rate", 18, 4),
    ("channels", 23, 3),
    ("length", 30, 13),
    ("blocks", 54, 2),
]
HEADER_FRAME = 7  # the frame whose header is damaged

BLOCK = 4096  # bytes of one block of 16-bit stereo PCM

# For each case: the fewest blocks bit-identical to the clean decode at the
# same index over the four modes, measured with today's decoder (campaign.py
# --measure); and, for comparison, FFmpeg's count of its own decode's blocks
# bit-identical to its decode of the clean stream (FFmpeg drops the frames it
# cannot decode, so the later blocks move), measured with
#   ffmpeg -v quiet -f aac -i CASE.aac -f s16le -acodec pcm_s16le -
# (Debian's ffmpeg; campaign.py --ffmpeg). None for a splice, which FFmpeg
# converts to the first part's format. Every floor is at least FFmpeg's.
FLOORS = {
    'mono12/flips4': (56, 19),
    'mono12/flips40': (29, 5),
    'mono12/hdr_syncword': (60, 18),
    'mono12/hdr_id': (60, 60),
    'mono12/hdr_layer': (60, 60),
    'mono12/hdr_protection': (60, 18),
    'mono12/hdr_profile': (60, 60),
    'mono12/hdr_rate': (60, 24),
    'mono12/hdr_channels': (60, 60),
    'mono12/hdr_length': (60, 19),
    'mono12/hdr_blocks': (60, 60),
    'mono12/drop': (28, 25),
    'mono12/junk': (59, 41),
    'mono12/truncate': (35, 35),
    'mono12/splice_g1': (55, None),
    'g1/flips4': (59, 24),
    'g1/flips40': (16, 2),
    'g1/hdr_syncword': (66, 7),
    'g1/hdr_id': (66, 66),
    'g1/hdr_layer': (66, 66),
    'g1/hdr_protection': (66, 7),
    'g1/hdr_profile': (66, 66),
    'g1/hdr_rate': (66, 7),
    'g1/hdr_channels': (66, 7),
    'g1/hdr_length': (66, 7),
    'g1/hdr_blocks': (66, 66),
    'g1/drop': (42, 42),
    'g1/junk': (64, 42),
    'g1/truncate': (63, 63),
    'g1/splice_p19': (59, None),
    'p19/flips4': (26, 26),
    'p19/flips40': (6, 1),
    'p19/hdr_syncword': (31, 7),
    'p19/hdr_id': (31, 31),
    'p19/hdr_layer': (31, 31),
    'p19/hdr_protection': (31, 7),
    'p19/hdr_profile': (31, 31),
    'p19/hdr_rate': (31, 7),
    'p19/hdr_channels': (31, 7),
    'p19/hdr_length': (31, 8),
    'p19/hdr_blocks': (31, 31),
    'p19/drop': (29, 12),
    'p19/junk': (29, 11),
    'p19/truncate': (14, 14),
    'p19/splice_p01': (16, None),
    'p01/flips4': (16, 5),
    'p01/flips40': (0, 0),
    'p01/hdr_syncword': (24, 7),
    'p01/hdr_id': (24, 24),
    'p01/hdr_layer': (24, 24),
    'p01/hdr_protection': (24, 7),
    'p01/hdr_profile': (24, 24),
    'p01/hdr_rate': (24, 7),
    'p01/hdr_channels': (24, 7),
    'p01/hdr_length': (24, 7),
    'p01/hdr_blocks': (24, 24),
    'p01/drop': (13, 13),
    'p01/junk': (22, 15),
    'p01/truncate': (23, 23),
    'p01/splice_mono12': (39, None),
    'g4/flips4': (10, 6),
    'g4/flips40': (0, 0),
    'g4/hdr_syncword': (20, 8),
    'g4/hdr_id': (20, 20),
    'g4/hdr_layer': (20, 20),
    'g4/hdr_protection': (20, 8),
    'g4/hdr_profile': (20, 20),
    'g4/hdr_rate': (20, 8),
    'g4/hdr_channels': (20, 8),
    'g4/hdr_length': (20, 12),
    'g4/hdr_blocks': (20, 20),
    'g4/drop': (17, 10),
    'g4/junk': (15, 8),
    'g4/truncate': (17, 17),
    'g4/splice_p19': (8, None),
}

# The compact arithmetic's floors where they differ from the exact one's
# (its PCM differs; measured the same way on a compact build).
COMPACT_FLOORS = {
    'mono12/flips40': 28,
    'g1/flips4': 58,
    'g1/flips40': 19,
    'p19/splice_p01': 13,
    'p01/flips4': 15,
    'p01/hdr_protection': 15,
    'p01/hdr_length': 15,
    'p01/junk': 20,
}


def adts_frames(data):
    """Offsets, lengths and block counts of the ADTS frames of a clean stream."""
    frames, pos = [], 0
    while pos + 7 <= len(data):
        if data[pos] != 0xFF or data[pos + 1] & 0xF6 != 0xF0:
            sys.exit("FAIL: no ADTS header at byte %d" % pos)
        length = ((data[pos + 3] & 3) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5)
        frames.append((pos, length, (data[pos + 6] & 3) + 1))
        pos += length
    return frames


def merge_frames(data, per):
    """The single-block frames (without CRC) of a stream, `per` to a frame."""
    frames = adts_frames(data)
    out = bytearray()
    for i in range(0, len(frames), per):
        group = frames[i:i + per]
        payload = b"".join(data[p + 7:p + n] for p, n, _ in group)
        h = bytearray(data[group[0][0]:group[0][0] + 7])
        n = len(payload) + 7
        h[3] = (h[3] & 0xFC) | n >> 11
        h[4] = (n >> 3) & 0xFF
        h[5] = (h[5] & 0x1F) | (n & 7) << 5
        h[6] = (h[6] & 0xFC) | (len(group) - 1)
        out += h + payload
    return bytes(out)


def flip(data, bit):
    data[bit >> 3] ^= 0x80 >> (bit & 7)


def clean_streams(src):
    """The clean streams, by name."""
    raw = {}
    for name, path in STREAMS.items():
        with open(os.path.join(src, path), "rb") as f:
            raw[name] = f.read()
        if name in MERGE:
            raw[name] = merge_frames(raw[name], MERGE[name])
    return raw


def make_cases(raw):
    """Yields (name, bytes, stream name, kind, extra) for every case."""
    for seed, (name, data) in enumerate(raw.items()):
        frames = adts_frames(data)
        rng = random.Random(1000 + seed)
        # Bit flips in the payloads (never in a header): a few, then many.
        for label, count in (("flips4", 4), ("flips40", 40)):
            d = bytearray(data)
            for _ in range(count):
                pos, length, _ = frames[rng.randrange(len(frames))]
                flip(d, 8 * (pos + 7 + rng.randrange(length - 7)) + rng.randrange(8))
            yield name + "/" + label, bytes(d), name, "flip", None
        # One bit of each header field of one frame.
        pos = frames[min(HEADER_FRAME, len(frames) // 2)][0]
        for field, first, width in HEADER_FIELDS:
            d = bytearray(data)
            bit = first + width - 1
            if field == "syncword":
                bit = first + 5
            elif field == "length":
                bit = first + 6
            flip(d, 8 * pos + bit)
            yield name + "/hdr_" + field, bytes(d), name, "flip", None
        # A dropped byte range, inserted junk, truncation.
        start = rng.randrange(len(data) // 3, 2 * len(data) // 3)
        yield name + "/drop", data[:start] + data[start + 300:], name, "cut", None
        junk = bytes(rng.randrange(256) for _ in range(200))
        start = rng.randrange(len(data) // 3, 2 * len(data) // 3)
        yield name + "/junk", data[:start] + junk + data[start:], name, "add", None
        yield name + "/truncate", data[:rng.randrange(len(data) // 2, len(data))], name, "cut", None
        # A splice: this stream cut in a frame, then the other from within one.
        other = SPLICE_WITH[name]
        oframes = adts_frames(raw[other])
        a = rng.randrange(len(data) // 3, 2 * len(data) // 3)
        b = rng.randrange(len(raw[other]) // 3, 2 * len(raw[other]) // 3)
        whole_a = sum(k for p, n, k in frames if p + n <= a)
        cut_a = next(k for p, n, k in frames if p + n > a)
        first_b = sum(k for p, n, k in oframes if p < b)
        yield (name + "/splice_" + other, data[:a] + raw[other][b:], name, "splice",
               (other, whole_a, cut_a, first_b, sum(k for _, _, k in oframes)))


def decode(args, path, mode):
    cmd = [c for c in args.emulator.split(";") if c] + [args.aacdec]
    cmd += mode.replace("PLUGIN", args.plugin).split() + [path, "-"]
    r = subprocess.run(cmd, capture_output=True)
    err = r.stderr.decode(errors="replace")
    m = re.search(r"(\d+) blocks decoded(?: \(([^)]*)\))? of (\d+) frames", err)
    summary = m.group(0) if m else "no summary: " + err.strip()[-200:]
    return r.returncode, r.stdout, summary


MODES = ["--mode stream", "--mode frame", "--mode pull", "--mode stream --plugin PLUGIN"]


def modes_of(stream):
    """The modes a stream is decoded in: not through the plug-in when its
    frames are longer than the plug-in takes."""
    return MODES[:3] if stream in MERGE else MODES


def decode_element(args, path):
    cmd = [args.gst_launch, "-q", "filesrc", "location=" + path, "!", "aacparse", "!", "zoraacdec", "!",
           "filesink", "location=/dev/stdout"]
    r = subprocess.run(cmd, capture_output=True, timeout=120,
                       env=dict(os.environ, GST_PLUGIN_PATH=args.gst_plugins, GST_REGISTRY=args.registry))
    err = r.stderr.decode(errors="replace")
    bad = r.returncode != 0 or re.search(r"CRITICAL|ERROR", err)
    return r.returncode if not bad else (r.returncode or 1), r.stdout, err.strip()[-300:]


def blocks_of(pcm):
    return [pcm[i:i + BLOCK] for i in range(0, len(pcm), BLOCK)]


# The most blocks a damaged start may lose before its first decoded block.
kMaxLead = 3


def identical(a, b):
    return sum(1 for x, y in zip(a, b) if x == y)


def ffmpeg_blocks(path):
    r = subprocess.run(["ffmpeg", "-v", "quiet", "-f", "aac", "-i", path, "-f", "s16le",
                        "-acodec", "pcm_s16le", "-"], capture_output=True)
    return r.stdout


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--aacdec", required=True)
    p.add_argument("--plugin", required=True)
    p.add_argument("--source", required=True)
    p.add_argument("--emulator", default="")
    p.add_argument("--arithmetic", default="exact", choices=("exact", "compact"))
    p.add_argument("--measure", action="store_true")
    p.add_argument("--ffmpeg", action="store_true")
    p.add_argument("--gst-launch", default="")
    p.add_argument("--gst-plugins", default="")
    args = p.parse_args()

    raw = clean_streams(args.source)
    cases = list(make_cases(raw))
    floor_of = {name: floor for name, (floor, _) in FLOORS.items()}
    if args.arithmetic == "compact":
        floor_of.update(COMPACT_FLOORS)
    # The floors keep at least as many blocks as FFmpeg keeps of its own.
    for name, floor in floor_of.items():
        ffmpeg = FLOORS[name][1]
        if ffmpeg is not None and floor < ffmpeg:
            sys.exit("FAIL: %s: floor %d below FFmpeg's %d" % (name, floor, ffmpeg))
    failed = passed = 0
    with tempfile.TemporaryDirectory() as tmp, ThreadPoolExecutor(2) as pool:
        def path_of(name):
            return os.path.join(tmp, name.replace("/", "_") + ".aac")
        args.registry = os.path.join(tmp, "registry.bin")
        element_agrees = 0
        for name, data in raw.items():
            with open(path_of(name), "wb") as f:
                f.write(data)
        for name, data, _, _, _ in cases:
            with open(path_of(name), "wb") as f:
                f.write(data)

        if args.ffmpeg:
            clean = {n: ffmpeg_blocks(path_of(n)) for n in STREAMS}
            print("FFmpeg's identical blocks = {")
            for name, _, stream, kind, extra in cases:
                if kind == "splice":
                    print("    %r: None," % name)
                    continue
                out = ffmpeg_blocks(path_of(name))
                ch = 1 if stream == "mono12" else 2
                size = 2048 * ch
                ref = clean[stream]
                n = sum(1 for i in range(0, min(len(out), len(ref)), size)
                        if out[i:i + size] == ref[i:i + size])
                print("    %r: %d,  # of %d, %d blocks" % (name, n, len(ref) // size, len(out) // size))
            print("}")
            return

        # The clean decodes: every mode must agree on them.
        clean = {}
        for name in STREAMS:
            modes = modes_of(name)
            outs = list(pool.map(lambda m: decode(args, path_of(name), m), modes))
            for mode, (rc, pcm, summary) in zip(modes, outs):
                if rc != 0 or pcm != outs[0][1] or len(pcm) % BLOCK:
                    print("FAIL: clean %s in %s: exit %d, %s" % (name, mode, rc, summary))
                    failed += 1
            clean[name] = blocks_of(outs[0][1])

        floors = {}
        for name, data, stream, kind, extra in cases:
            if kind == "splice":
                other, whole_a, cut_a, first_b, blocks_b = extra
                ref = clean[stream][:whole_a + cut_a] + clean[other][first_b:]
                most = whole_a + cut_a + blocks_b - first_b
            else:
                ref = clean[stream]
                most = len(ref)
            modes = modes_of(stream)
            outs = list(pool.map(lambda m: decode(args, path_of(name), m), modes))
            problems, counts, same = [], [], []
            for mode, (rc, pcm, summary) in zip(modes, outs):
                got = blocks_of(pcm)
                counts.append(len(got))
                # (Blocks lost at the start, before a block said the rate.)
                lead = len(ref) - len(got) if kind in ("flip", "add") and 0 < len(ref) - len(got) <= kMaxLead else 0
                same.append(identical(got, ref[lead:]))
                if rc != 0:
                    problems.append("%s: exit %d (%s)" % (mode, rc, summary))
                if len(pcm) % BLOCK:
                    problems.append("%s: %d bytes of PCM, not whole blocks" % (mode, len(pcm)))
                if len(got) > most:
                    problems.append("%s: %d blocks, more than %d" % (mode, len(got), most))
                if not args.measure and kind in ("flip", "add") and len(got) + lead != len(ref):
                    problems.append("%s: %d blocks, the clean stream gives %d" % (mode, len(got), len(ref)))
            floors[name] = min(same)
            if not args.measure and min(same) < floor_of.get(name, len(ref) + 1):
                problems.append("%s blocks bit-identical, the floor is %s" % (same, floor_of.get(name)))
            disagree = "" if len(set(o[1] for o in outs)) == 1 else ", modes disagree"
            if disagree and not args.measure:
                problems.append("the modes give different PCM")
            print("%-22s %s: blocks %s of %d, identical %s%s%s" % (
                name, kind, counts, len(ref), same, ", ffmpeg %s" % FLOORS[name][1]
                if name in FLOORS else "", disagree))
            if args.gst_launch:
                rc, pcm, err = decode_element(args, path_of(name))
                got = blocks_of(pcm)
                element_agrees += pcm == outs[0][1]
                print("%-22s element: blocks %d, identical %d%s" % (
                    name, len(got), identical(got, ref), "" if pcm == outs[0][1] else ", not the modes' PCM"))
                if rc != 0:
                    problems.append("element: exit %d (%s)" % (rc, err))
                if len(got) > most:
                    problems.append("element: %d blocks, more than %d" % (len(got), most))
            for m in problems:
                print("  FAIL: " + m)
            if problems:
                failed += 1
            else:
                passed += 1
        if args.measure:
            print("floors = {")
            for name in floors:
                print("    %r: %d," % (name, floors[name]))
            print("}")
    if args.gst_launch:
        print("the element gives the modes' PCM in %d of %d cases" % (element_agrees, len(cases)))
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
