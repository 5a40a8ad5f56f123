#!/usr/bin/env python3
"""How the multichannel test clips and their downmix references were made
(run by hand; needs ffmpeg, flac and the shared corpus; clip names as
arguments make those alone).

Each clip is a run of whole ADTS frames of a corpus stream. Its reference is
ffmpeg's float decode of the clip (every channel, -f f32le), mixed to stereo
in double precision by the decoder's rule: left = sum of w_left(ch) x(ch),
right likewise, the weights front pair 1, centre 1/sqrt(2), surround a
(1/sqrt(2), or the program's matrix-mixdown weight), low-frequency 0, all
divided by the larger of the two sums of weight magnitudes. Stored as 24-bit
stereo FLAC, 2^23 to full scale, rounded to 20 bits (the low four bits
zero: 16 steps to the 16-bit LSB, a rounding error of 0.02 LSB RMS), from
the decoder's first output sample.
"""
import array
import math
import os
import subprocess
import sys

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../shared/corpus")
HERE = os.path.dirname(os.path.abspath(__file__))
C = 1 / math.sqrt(2)
FRONT, CENTRE, LFE = ((1, 0), (0, 1)), (C, C), (0, 0)


def surround(a):
    return ((a, 0), (0, a))


# clip name, corpus stream, first and end frame, channel weights in ffmpeg's
# channel order, and (the program's index) weights from block 1 on.
CLIPS = [
    ("p48_5.1_38_64", "p48_ff_48000_5.1_lc.aac", 38, 64, FRONT + (CENTRE, LFE) + surround(C), None),
    ("p49_3.0_14_34", "p49_ff_32000_3.0_lc.aac", 14, 34, FRONT + (CENTRE,), None),
    ("p50_quad_pce_0_32", "p50_ff_32000_quad_pce.aac", 0, 32, FRONT + surround(C), None),
    ("p51_2.1_pce_0_30", "p51_ff_32000_2.1_pce.aac", 0, 30, FRONT + (LFE,), None),
    # The program (matrix-mixdown index 1, a = 1/2) comes in block 1; block 0
    # plays by the channel configuration.
    ("p52_mixdown_idx1_0_30", "p52_fk_32000_5.1_mixdown_idx1.aac", 0, 30, FRONT + (CENTRE, LFE) + surround(C),
     FRONT + (CENTRE, LFE) + surround(0.5)),
    # HE-AAC 5.1 (SBR after each single channel and pair element), 16 kHz
    # core, 32 kHz out: the channels alone in turn, then all.
    ("p53_5.1_he_0_24", "p53_fa_32000_5.1_he.aac", 0, 24, FRONT + (CENTRE, LFE) + surround(C), None),
    # Made (make_streams.sh; no corpus stream): a program of single channels
    # only, front centre, left, right and a back pair.
    ("sce_5.0_pce_2_22", None, 0, 20, FRONT + (CENTRE,) + surround(C), None),
]


def frames(data):
    i = 0
    while i + 7 <= len(data):
        n = ((data[i + 3] & 3) << 11) | (data[i + 4] << 3) | (data[i + 5] >> 5)
        yield data[i:i + n]
        i += n


def scaled(weights):
    total = max(sum(abs(w[0]) for w in weights), sum(abs(w[1]) for w in weights))
    return [(w[0] / total, w[1] / total) for w in weights]


def main(only=()):
    for name, stream, first, end, weights, later in CLIPS:
        if only and name not in only:
            continue
        path = os.path.join(HERE, name + ".aac")
        if stream:
            with open(os.path.join(CORPUS, stream), "rb") as f:
                clip = b"".join(list(frames(f.read()))[first:end])
            with open(path, "wb") as f:
                f.write(clip)
        pcm = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "f32le", "-c:a", "pcm_f32le", "-"],
                             capture_output=True, check=True).stdout
        x = array.array("f")
        x.frombytes(pcm)
        n = len(weights)
        out = bytearray()
        for i in range(len(x) // n):
            g = scaled(later if later and i >= 1024 else weights)
            for k in range(2):
                v = sum(x[i * n + j] * g[j][k] for j in range(n))
                s = 16 * max(-(1 << 19), min((1 << 19) - 1, round(v * (1 << 19))))
                out += (s & 0xFFFFFF).to_bytes(3, "little")
        rate = {"p48": 48000}.get(name[:3], 32000)
        subprocess.run(["flac", "-s", "-8", "-f", "--force-raw-format", "--endian=little", "--sign=signed",
                        "--channels=2", "--bps=24", "--sample-rate=%d" % rate,
                        "-o", os.path.join(HERE, "ref", name + ".dmx.flac"), "-"], input=bytes(out), check=True)


# The 5.1 clip's native reference (every channel, 16 bits, in the WAV
# channel order): ffmpeg -i p48_5.1_38_64.aac -c:a flac -sample_fmt s16
#   -compression_level 12 ref/p48_5.1_38_64.ffmpeg.flac
# and the clip in an MP4 file: ffmpeg -i p48_5.1_38_64.aac -c:a copy p48_5.1_38_64.m4a

if __name__ == "__main__":
    main(sys.argv[1:])
