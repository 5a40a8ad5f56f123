#!/usr/bin/env python3
"""The command-line host's options, case by case, on the shipped streams:
gapless container input, --skip/--trim, output formats (-b, -f, RF64),
--start/--duration, several inputs with -o, containers libavformat reads,
LOAS/LATM (files, MPEG-TS tracks, damaged and refused streams),
ADTS behind an ID3v2 tag, and what --info and the summary report.

usage: cli_check.py --aacdec PATH [--emulator CMD] --data DIR --arithmetic exact|compact [--libav] [--sbr]
         [--only NAME ...]
(--sbr: the build plays HE-AAC, and its cases run.)
"""
import argparse
import os
import resource
import struct
import subprocess
import sys
import tempfile

A = None      # the arguments
TMP = None    # a scratch directory
FAILS = []


def run(*args, env=None, code=0):
    """aacdec with these arguments; its standard output and error."""
    cmd = [c for c in A.emulator.split(";") if c] + [A.aacdec] + [str(a) for a in args]
    r = subprocess.run(cmd, capture_output=True, env=dict(os.environ, **(env or {})))
    if r.returncode != code:
        raise AssertionError("%s exited %d (wanted %d): %s" % (" ".join(cmd), r.returncode, code, r.stderr.decode()))
    return r.stdout, r.stderr.decode()


def data(name):
    return os.path.join(A.data, name)


def out(name):
    return os.path.join(TMP, name)


def wav(path_or_bytes):
    """(format tag, sub-format tag, channels, rate, bits, data bytes, chunk ids) of a WAV file."""
    b = open(path_or_bytes, "rb").read() if isinstance(path_or_bytes, str) else path_or_bytes
    assert b[:4] in (b"RIFF", b"RF64") and b[8:12] == b"WAVE", "not a WAV file"
    at, chunks, fmt, sizes = 12, [], None, {}
    while at + 8 <= len(b):
        cid, size = b[at:at + 4], struct.unpack("<I", b[at + 4:at + 8])[0]
        chunks.append(cid.decode())
        if cid == b"ds64":
            sizes["data"] = struct.unpack("<Q", b[at + 16:at + 24])[0]
        if cid == b"fmt ":
            fmt = b[at + 8:at + 8 + size]
        if cid == b"data":
            size = sizes.get("data", size)
            if size >= 0xFFFFFFFF - at:  # a stream of unknown length
                size = len(b) - at - 8
            tag, channels, rate = struct.unpack("<HHI", fmt[:8])
            bits = struct.unpack("<H", fmt[14:16])[0]
            sub = struct.unpack("<H", fmt[24:26])[0] if tag == 0xFFFE else tag
            return tag, sub, channels, rate, bits, b[at + 8:at + 8 + size], chunks
        at += 8 + size + size % 2
    raise AssertionError("no data chunk")


def s16(pcm):
    return struct.unpack("<%dh" % (len(pcm) // 2), pcm)


def decode(path, *opts):
    """16-bit samples (interleaved) of a decode to a WAV file."""
    o = out("d.wav")
    run("-q", *opts, path, o)
    return s16(wav(o)[5])


def adts_length(b, at=0):
    """The length of the ADTS frame at `at` of `b`, as its header says."""
    return (b[at + 3] & 3) << 11 | b[at + 4] << 3 | b[at + 5] >> 5


def other_hosts():
    """The options of the hosts besides the library: pull mode, and the
    plug-in where it is given."""
    return (("--mode", "pull"),) + ((("--plugin", A.plugin),) if A.plugin else ())


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def case_gapless():
    """.m4a with an edit list: exactly the 132300 source samples, the clicks
    of the source at their samples, the same PCM as the untrimmed decode from
    the priming on; HE-AAC: the priming and the decoder's delay; iTunSMPB."""
    m4a = data("gapless_44100_s_3000ms.m4a")
    pcm, full = decode(m4a), decode(m4a, "--no-gapless")
    check(len(pcm) == 2 * 132300, "%d samples per channel, not 132300" % (len(pcm) // 2))
    check(len(full) == 2 * 131 * 1024, "--no-gapless keeps every block")
    check(pcm == full[2 * 1024:2 * (1024 + 132300)], "the trimmed decode is not the full one from sample 1024")
    check(decode(m4a, "--mode", "pull") == pcm, "pull mode trims otherwise")
    for channel, clicks in ((0, (10000, 60000, 131000)), (1, (30000, 90000))):
        x = pcm[channel::2]
        for at in clicks:
            peak = max(range(at - 300, min(at + 300, len(x))), key=lambda i: abs(x[i]))
            check(peak == at, "channel %d: the click of source sample %d is at %d" % (channel, at, peak))
    info = run("--info", m4a)[0].decode()
    for line in ("duration:  3.000 s (132300 samples at 44100 Hz)", "priming:   1024 samples (edit list)",
                 "padding:   820 samples", "profile:   AAC-LC", "title:     Clicks", "artist:    Test Tones"):
        check(line in info.splitlines(), "--info lacks '%s':\n%s" % (line, info))
    smpb = data("g2_22050_s_sweep.smpb.m4a")
    pcm, full = decode(smpb), decode(smpb, "--no-gapless")
    check(pcm == full[2 * 1024:2 * (1024 + 33000)], "iTunSMPB: not samples 1024 to 34024 of the full decode")
    if A.sbr:
        he = data("p44_edit_list.m4a")
        pcm, full = decode(he), decode(he, "--no-gapless")
        lo = 2048 + 962
        check(pcm == full[2 * lo:], "HE-AAC: not the full decode from its priming and the decoder's delay on")
        info = run("--info", he)[0].decode()
        check("delay:     962 samples (trimmed with the priming)" in info, "HE-AAC --info: " + info)
        # Downsampled, the delay is 481 samples in every mode (pull mode and
        # the plug-in, which do not report it, trimmed none).
        down = decode(he, "--sbr", "down")
        for mode in other_hosts():
            check(decode(he, "--sbr", "down", *mode) == down, "HE-AAC downsampled: %s trims otherwise" % mode[0])


def case_damaged_first_unit():
    """An .m4a whose first access unit is damaged: before a block says
    whether the stream plays SBR at twice its rate the lost block gives no
    PCM, and its place is kept: the edit list's trimming stays on the same
    samples (the content came 1024 samples early, 204 short)."""
    if not (A.libav and A.sbr):
        return
    b = bytearray(open(data("gapless_44100_s_3000ms.m4a"), "rb").read())
    at = b.find(b"mdat") + 4  # the first unit's bytes
    for i in range(at + 1, at + 7):
        b[i] ^= 0x5A
    with open(out("dmg.m4a"), "wb") as f:
        f.write(b)
    clean, hurt = decode(data("gapless_44100_s_3000ms.m4a")), decode(out("dmg.m4a"))
    check(len(hurt) == len(clean) == 2 * 132300 and hurt[-100000:] == clean[-100000:],
          "damaged first unit: %d samples" % (len(hurt) // 2))


def case_skip_trim():
    """--skip and --trim drop samples of an ADTS stream at its start and end."""
    aac = data("g1_44100_s_clicks.aac")
    full, cut = decode(aac), decode(aac, "--skip", 1000, "--trim", 2500)
    check(cut == full[2000:-5000], "--skip 1000 --trim 2500")
    check("duration:  1.453 s (64084 samples at 44100 Hz)" in run("--info", "--skip", 1000, "--trim", 2500, aac)[0].decode(),
          "--info with --skip and --trim")


def case_formats():
    """-b 24/32/float: 16 bits are the 32-bit words rounded, 24 bits their
    top bits, which rounded to 16 bits are the 16-bit output; the
    extensible and float headers; RF64 past the limit; -f wav and raw."""
    aac = data("g1_44100_s_clicks.aac")
    files = {}
    for b in ("16", "24", "32", "float"):
        o = out("b%s.wav" % b)
        err = run("-b", b, aac, o)[1]
        files[b] = wav(o)
        if b != "16" and A.arithmetic == "compact":
            check("carries no bits below the 16-bit LSB" in err, "compact -b %s says nothing of its low bits" % b)
    tags = {b: (f[0], f[1], f[4]) for b, f in files.items()}
    check(tags == {"16": (1, 1, 16), "24": (0xFFFE, 1, 24), "32": (0xFFFE, 1, 32), "float": (3, 3, 32)},
          "format tags and bits: %s" % tags)
    w16 = s16(files["16"][5])
    d24 = files["24"][5]
    w24 = [int.from_bytes(d24[i:i + 3], "little", signed=True) for i in range(0, len(d24), 3)]
    w32 = struct.unpack("<%di" % (len(files["32"][5]) // 4), files["32"][5])
    f32 = struct.unpack("<%df" % (len(files["float"][5]) // 4), files["float"][5])
    check(len(w16) == len(w24) == len(w32) == len(f32), "sample counts differ between formats")
    check(all(min((x + 32768) >> 16, 32767) == y for x, y in zip(w32, w16)), "-b 32 rounded to 16 bits is not -b 16")
    check(all(x >> 8 == y for x, y in zip(w32, w24)), "-b 24 is not the top 24 bits of -b 32")
    check(all(min((x + 128) >> 8, 32767) == y for x, y in zip(w24, w16)), "-b 24 rounded to 16 bits is not -b 16")
    check(all(abs(x / 2147483648.0 - y) <= abs(y) * 2 ** -23 for x, y in zip(w32, f32)), "float is not -b 32 / 2^31")
    low = sum(1 for x in w24 if x & 0xFF)
    check((low > len(w24) // 2) if A.arithmetic == "exact" else low == 0, "%d of %d 24-bit samples with low bits" % (low, len(w24)))
    # RF64: the limit lowered to 100000 bytes; a 16-bit WAV of a large input
    # has the room for it too.
    o = out("rf64.wav")
    run("-q", "-b", "24", aac, o, env={"AACDEC_RF64_LIMIT": "100000"})
    b = open(o, "rb").read()
    check(b[:4] == b"RF64" and wav(b)[6][0] == "ds64" and wav(b)[5] == files["24"][5], "RF64 file")
    # WAV and raw on standard output and in files.
    check(wav(run("-q", "-f", "wav", aac, "-")[0])[5] == files["16"][5], "-f wav to standard output")
    check(run("-q", aac, "-")[0] == files["16"][5], "raw PCM on standard output")
    run("-q", "-f", "raw", "-b", "24", aac, out("raw24"))
    check(open(out("raw24"), "rb").read() == files["24"][5], "-f raw to a file")
    # A mono stream with --channels native is mono.
    mono = wav(run("-q", "--channels", "native", "-f", "wav", data("g3_32000_m_bursts.aac"), "-")[0])
    check(mono[2] == 1, "--channels native of a mono stream gives %d channels" % mono[2])
    if A.sbr:
        # Parametric stereo: a mono core played as left and right (mask 0 before).
        b = run("-q", "--channels", "native", "-f", "wav", data("h2_44100_s_ps_coarse.aac"), "-")[0]
        check(wav(b)[2] == 2 and struct.unpack("<I", b[40:44])[0] == 3, "--channels native of HE-AAC v2: channel mask")


def case_start():
    """--start/--duration give the full decode's samples exactly: ADTS by
    frames in every mode, .m4a through libavformat's seek."""
    aac = data("g1_44100_s_clicks.aac")
    for mode in ("stream", "frame", "pull"):
        full = decode(aac, "--mode", mode)
        part = decode(aac, "--mode", mode, "--start", "0.5", "--duration", "00:00.4")
        check(same(part, full[2 * 22050:2 * (22050 + 17640)]), "ADTS, %s mode: not samples 22050 to 39690" % mode)
    # Frames of two blocks: --start counts blocks (it counted frames, and
    # began at sample 15988 for 8820).
    two = data("p02_0_19.2blk.aac")
    check(same(decode(two, "--start", "0.2"), decode(two)[2 * 8820:]), "ADTS of two blocks a frame: --start 0.2")
    # A layout from a program config element in the first frame only: it
    # is read from the start (the frames after it played nothing).
    if A.arithmetic == "exact":
        pce = data("p50_quad_pce_0_32.aac")
        check(same(decode(pce, "--start", "0.3"), decode(pce)[2 * 9600:]), "--start 0.3 with the layout in frame 1")
    # --info counts the blocks of frames of two.
    check("frames:    10 (20 blocks)" in run("--info", two)[0].decode(), "--info of two blocks a frame")
    # A start past the stream's end: nothing to decode, said so (a read
    # before the stream's window followed, and a block of freed memory).
    err = run("-q", "--start", "5", data("p19_vo_8000_s_music.aac"), out("e.wav"), code=1)[1]
    check("no audio block" in err and not os.path.exists(out("e.wav")), "--start past the end: " + err)
    # The same through a container (an empty file and status 0 before).
    if A.libav:
        err = run("-q", "--start", "5", data("g2_22050_s_sweep.m4a"), out("e.wav"), code=1)[1]
        check("past the end" in err and not os.path.exists(out("e.wav")), "--start past the end of an .m4a: " + err)


def case_output_is_input():
    """An output that is the input (a link to it) is refused, the input
    left whole (it was written over while it was read)."""
    src = out("in.aac")
    with open(data("g2_22050_s_sweep.aac"), "rb") as f, open(src, "wb") as g:
        g.write(f.read())
    link = out("link.wav")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(src, link)
    err = run("-q", src, link, code=1)[1]
    with open(src, "rb") as f, open(data("g2_22050_s_sweep.aac"), "rb") as g:
        check(f.read() == g.read() and "is the input" in err, "output a link to the input: " + err)
    if A.libav:
        m4a = data("gapless_44100_s_3000ms.m4a")
        full = decode(m4a)
        check(same(decode(m4a, "--start", "1.2"), full[2 * 52920:]), ".m4a --start 1.2")
        check(same(decode(m4a, "--start", "0:02.5", "--duration", "0.25"), full[2 * 110250:2 * 121275]),
              ".m4a --start 0:02.5")


def same(part, want):
    """A decode from a later start is the full decode's range; in the compact
    arithmetic, whose scaling carries history from before the start, as many
    samples and the first two blocks the same."""
    if A.arithmetic == "compact":
        return len(part) == len(want) and part[:4096] == want[:4096]
    return part == want


def case_outdir():
    """-o DIR: a WAV file and a summary line per input; the exit status the
    worst (a missing input: 1)."""
    d = out("dir")
    os.mkdir(d)
    inputs = [data("g1_44100_s_clicks.aac"), data("p02_bitflips_56_76.aac")]
    err = run("-o", d, *inputs)[1]
    lines = [l for l in err.splitlines() if l]
    check(len(lines) == 2 and "21 blocks (3 concealed)" in lines[1] and "AAC-LC" in lines[0], "summary lines: %s" % err)
    check(sorted(os.listdir(d)) == ["g1_44100_s_clicks.wav", "p02_bitflips_56_76.wav"], "files: %s" % os.listdir(d))
    check(wav(os.path.join(d, "g1_44100_s_clicks.wav"))[5] == wav(run("-q", "-f", "wav", inputs[0], "-")[0])[5],
          "-o DIR writes what a single decode writes")
    run("-o", d, "--strict", *inputs, code=2)
    run("-o", d, inputs[0], out("missing.aac"), inputs[1], code=1)
    # Two inputs of one name: refused before anything is written (the
    # second wrote over the first).
    os.makedirs(out("other"), exist_ok=True)
    twin = os.path.join(out("other"), "g1_44100_s_clicks.aac")
    with open(twin, "wb") as f:
        f.write(open(inputs[1], "rb").read())
    os.remove(os.path.join(d, "g1_44100_s_clicks.wav"))
    err = run("-o", d, inputs[0], twin, code=2)[1]
    check("would both be written" in err and "g1_44100_s_clicks.wav" not in os.listdir(d), "-o DIR, two names alike: " + err)
    # With --split, an input named as another's part.
    part = os.path.join(out("other"), "g1_44100_s_clicks-2.aac")
    os.rename(twin, part)
    err = run("--split", "-o", d, inputs[0], part, code=2)[1]
    check("would both be written to parts of" in err, "-o DIR --split, a name of another's part: " + err)


def case_usage():
    """A wrong command line exits 2 with a message naming what is wrong."""
    f, o = data("p19_vo_8000_s_music.aac"), out("x.wav")
    for args, says in (("--bits 17 F O", "--bits takes"), ("--mode fast F O", "unknown mode"),
                       ("F O --chunk", "--chunk needs a value"), ("--raw=5 F O", "--raw takes no value"),
                       ("--info=3 F", "--info takes no value"), ("-Z F O", "unknown option -Z"),
                       ("--nonsense F O", "unknown option --nonsense")):
        err = run(*[{"F": f, "O": o}.get(a, a) for a in args.split()], code=2)[1]
        check(says in err, "%s: %s" % (args, err))
    run(f, code=2)


def case_split():
    """--split parts of a splice at three rates: --trim holds back the end of
    the last part only, --duration counts seconds across the parts."""
    if not A.sbr:
        return
    f = data("splice_lc_he_ps_lc.aac")

    def parts(*opts):
        for n in ("p.wav", "p-2.wav", "p-3.wav", "p-4.wav"):
            if os.path.exists(out(n)):
                os.remove(out(n))
        run("-q", "--split", *opts, f, out("p.wav"))
        return [wav(out(n)) for n in ("p.wav", "p-2.wav", "p-3.wav", "p-4.wav") if os.path.exists(out(n))]
    full = parts()
    check([(p[3], len(p[5]) // 4) for p in full] == [(48000, 5120), (32000, 12288), (44100, 12288), (48000, 5120)],
          "--split parts: %s" % [(p[3], len(p[5]) // 4) for p in full])
    # The samples held back for --trim went into the next part.
    trim = parts("--trim", "1000")
    check([p[5] for p in trim[:3]] == [p[5] for p in full[:3]] and trim[3][5] == full[3][5][:4 * 4120],
          "--split --trim 1000")
    # 0.2 s: 5120 samples at 48 kHz (0.1067 s), then 0.0933 s at 32 kHz, and no empty parts.
    d = parts("--duration", "0.2")
    check([(p[3], len(p[5]) // 4) for p in d] == [(48000, 5120), (32000, 2987)] and d[1][5] == full[1][5][:4 * 2987],
          "--split --duration 0.2: %s" % [(p[3], len(p[5]) // 4) for p in d])
    # --trim with --duration: the samples held back lie after the duration,
    # also where the rate changes after it (they went into the file).
    shape = lambda ps: [(p[3], len(p[5]) // 4) for p in ps]
    d = parts("--duration", "0.05", "--trim", "1000")
    check(shape(d) == [(48000, 2400)], "--duration 0.05 --trim 1000: %s" % shape(d))
    # --skip at the first rate (0.125 s: into the 32 kHz part), --duration
    # across the parts: 0.5 s in all, 5924 samples at 44.1 kHz (to a sample:
    # positions taken from rate to rate are rounded).
    d = parts("--skip", "6000", "--duration", "0.5")
    check([p[3] for p in d] == [32000, 44100] and len(d[0][5]) // 4 == 11701 and abs(len(d[1][5]) // 4 - 5924) <= 1,
          "--skip 6000 --duration 0.5: %s" % shape(d))
    # --start in seconds across the rates (0.45 s: 0.0407 s into the 32 kHz
    # part; 0.6 s: into the 44.1 kHz one, the file at its rate).
    for start, want in (("0.45", [(32000, 1301), (44100, 12288), (48000, 5120)]),
                        ("0.6", [(44100, 7466), (48000, 5120)])):
        d = parts("--start", start)
        check(shape(d) == want, "--start %s: %s" % (start, shape(d)))


def case_containers():
    """Matroska and MPEG-TS give the ADTS stream's PCM; an ADTS stream
    behind a 2 MiB ID3v2 tag is found."""
    adts = decode(data("g2_22050_s_sweep.aac"))
    if A.libav:
        for f in ("g2_22050_s_sweep.mka", "g2_22050_s_sweep.ts"):
            for mode in ("stream", "frame"):
                check(decode(data(f), "--mode", mode) == adts, "%s, %s mode: not the ADTS stream's PCM" % (f, mode))
        # Matroska's millisecond times put the start 2 samples early.
        check(same(decode(data("g2_22050_s_sweep.mka"), "--start", "1"), adts[2 * 22050:]), "Matroska --start 1")
        err = run("--track", "2", data("g2_22050_s_sweep.mka"), out("x.wav"), code=1)[1]
        check("not a track 2" in err, "--track 2: " + err)
        # Units missing from the timeline (10, 20 to 22) keep their places,
        # concealed, and --strict says so (they went without a trace, the
        # rest of the track played early).
        err = run("--strict", data("g2_22050_s_sweep_gaps.mka"), out("x.wav"), code=2)[1]
        pcm, block = s16(wav(out("x.wav"))[5]), 2 * 1024
        kept = [k for k in range(34) if k not in (10, 11, 20, 21, 22, 23)]
        check("4 access units missing from the track's timeline" in err and len(pcm) == len(adts) and
              all(pcm[k * block:(k + 1) * block] == adts[k * block:(k + 1) * block] for k in kept),
              "Matroska with units missing: %d samples: %s" % (len(pcm), err))
        # Pull mode reads the units back to back, the missing ones empty
        # (copied from a null pointer before: undefined behaviour).
        pcm = decode(data("g2_22050_s_sweep_gaps.mka"), "--mode", "pull")
        check(len(pcm) == len(adts) - 4 * block and pcm[:10 * block] == adts[:10 * block],
              "Matroska with units missing, pull mode: %d samples" % (len(pcm) // 2))
        # MPEG-TS that lost a PES packet (frames 7 to 13): the byte stream's
        # frames pushed out, then a block concealed for each missing one.
        err = run("--strict", data("g2_22050_s_sweep_pes_lost.ts"), out("x.wav"), code=2)[1]
        pcm = s16(wav(out("x.wav"))[5])
        check("7 access units missing from the track's timeline" in err and len(pcm) == len(adts) and
              pcm[:7 * block] == adts[:7 * block] and pcm[15 * block:] == adts[15 * block:],
              "MPEG-TS with a PES packet lost: %d samples: %s" % (len(pcm), err))
    size = 2 << 20
    tag = b"ID3\x04\x00\x00" + bytes((size >> s) & 0x7F for s in (21, 14, 7, 0)) + bytes(size)
    with open(out("id3.aac"), "wb") as f:
        f.write(tag + open(data("g2_22050_s_sweep.aac"), "rb").read())
    for mode in ("stream", "frame", "pull"):
        check(decode(out("id3.aac"), "--mode", mode) == adts, "ADTS behind an ID3v2 tag, %s mode" % mode)
    if A.libav:
        # One ADTS frame and four bytes of the next header, which only
        # libavformat takes: pull mode and the plug-in played nothing (their
        # end padding held no header to confirm the frame).
        b = open(data("g2_22050_s_sweep.aac"), "rb").read()
        n = adts_length(b)
        with open(out("one.aac"), "wb") as f:
            f.write(b[:n + 4])
        one = decode(out("one.aac"))
        check(len(one) == 2 * 1024, "one frame: %d samples" % (len(one) // 2))
        for mode in other_hosts():
            check(decode(out("one.aac"), *mode) == one, "one frame, %s: not the stream mode's PCM" % mode[0])


def case_no_config():
    """An MP4 track without an AudioSpecificConfig (fragmented by ffmpeg
    before its first unit was known) plays as its ADTS source does: AAC-LC
    at the sample entry's rate, in the smallest layout under which the
    first unit decodes (every entry says 2 channels), and, where that unit
    carries SBR data at half an entry rate above 24 kHz, HE-AAC over that
    core. Before, aacdec refused such files; ffmpeg plays the HE-AAC ones
    at twice their rate."""
    if not A.libav:
        return
    names = ["p04_head"] + (["h1_44100_s_smoothing", "h2_44100_s_ps_coarse"] if A.sbr else [])
    names += ["five_tones_5.0"] if A.arithmetic == "exact" else []
    for name in names:
        f = data(name + ".noconfig.mp4")
        err = run(f, out("x.wav"))[1]
        check("no AudioSpecificConfig" in err, "%s: %s" % (name, err))
        want = decode(data(name + ".aac"))
        check(s16(wav(out("x.wav"))[5]) == want, "%s: not the ADTS stream's PCM" % name)
        for mode in other_hosts():
            check(decode(f, *mode) == want, "%s, %s: not the ADTS stream's PCM" % (name, mode[0]))


def loas_configs(b, edit):
    """The LOAS stream `b` with edit(bytes, element offset) applied to each
    frame that carries a StreamMuxConfig."""
    b, at = bytearray(b), 0
    while at + 3 <= len(b):
        if not b[at + 3] & 0x80:
            edit(b, at + 3)
        at += 3 + ((b[at + 1] & 0x1F) << 8 | b[at + 2])
    return bytes(b)


def case_latm():
    """LOAS/LATM: a .latm file (read without libavformat) and an MPEG-TS
    LATM track give the PCM of the same access units in ADTS or MP4, in
    every mode and from --start, HE-AAC signalled in the config too;
    damaged frames are concealed in their places; two programs are refused
    by name; a config that changes mid-stream is followed."""
    aac, latm = data("g2_22050_s_sweep.aac"), data("g2_22050_s_sweep.latm")
    for mode in ("stream", "frame", "pull"):
        check(decode(latm, "--mode", mode) == decode(aac, "--mode", mode), "LOAS, %s mode: not the ADTS PCM" % mode)
    adts = decode(aac)
    check(len(adts) == 2 * 34 * 1024, "the sweep has 34 blocks")
    check(same(decode(latm, "--start", "0.5"), decode(aac, "--start", "0.5")), "LOAS --start 0.5")
    info = run("--info", latm)[0].decode()
    check("transport: LOAS/LATM" in info and "frames:    34" in info, "LOAS --info: " + info)
    if A.libav:
        ts = data("g2_22050_s_sweep.latm.ts")
        check(decode(ts) == adts and "mpegts (LOAS/LATM)" in run(ts, out("x.wav"))[1], "MPEG-TS LATM: not the ADTS PCM")
        check(same(decode(ts, "--start", "0.5"), decode(aac, "--start", "0.5")), "MPEG-TS LATM --start 0.5")
        he = decode(data("p44_fk_32000_s_explicit.latm"))
        block = 2048 if A.sbr else 1024  # (a build without SBR plays the core)
        check(len(he) == 2 * 16 * block and he == decode(data("p44_fk_32000_s_explicit.m4a"), "--no-gapless")[:len(he)],
              "HE-AAC LOAS: not the .m4a's first 16 blocks")
    b = open(latm, "rb").read()
    # Bytes flipped in frames, a frame's sync word and length, the end cut off.
    damaged = bytearray(b)
    for at in (1000, 2500, 4000, 6000):
        damaged[at] ^= 0x5A
    at = 3 + ((b[1] & 0x1F) << 8 | b[2])  # the second frame
    damaged[at + 1] ^= 0x1F
    with open(out("damaged.latm"), "wb") as f:
        f.write(damaged[:-500])
    err = run(out("damaged.latm"), out("x.wav"))[1]
    n = len(s16(wav(out("x.wav"))[5]))
    check("LOAS frame lost to damage" in err and 2 * 28 * 1024 <= n < len(adts),
          "damaged LOAS: %d samples: %s" % (n, err))
    # A frame whose sync word is destroyed keeps its place, concealed (it
    # was lost without trace, and --strict said nothing).
    frames = []
    while sum(frames) < len(b):
        at = sum(frames)
        frames.append(3 + ((b[at + 1] & 0x1F) << 8 | b[at + 2]))
    lost = bytearray(b)
    lost[sum(frames[:10]):sum(frames[:10]) + 3] = bytes(3)
    with open(out("lost_sync.latm"), "wb") as f:
        f.write(lost)
    err = run("--strict", out("lost_sync.latm"), out("x.wav"), code=2)[1]
    pcm = s16(wav(out("x.wav"))[5])
    block = 2 * 1024
    check("1 LOAS frame lost to damage" in err and len(pcm) == len(adts) and
          pcm[:10 * block] == adts[:10 * block] and pcm[12 * block:] == adts[12 * block:],
          "a destroyed LOAS sync word: %d samples: %s" % (len(pcm), err))
    # Two destroyed around a good frame: that frame plays (it leads to no
    # sync word, and was stepped over with both lost frames as one).
    lost[sum(frames[:12]):sum(frames[:12]) + 3] = bytes(3)
    with open(out("lost_two.latm"), "wb") as f:
        f.write(lost)
    err = run("--strict", out("lost_two.latm"), out("x.wav"), code=2)[1]
    pcm = s16(wav(out("x.wav"))[5])
    check("2 LOAS frames lost to damage" in err and len(pcm) == len(adts) and
          pcm[:10 * block] == adts[:10 * block] and pcm[14 * block:] == adts[14 * block:],
          "two destroyed LOAS sync words around a frame: %d samples: %s" % (len(pcm), err))
    # Two in a row, and the stream's last frame (12 bytes), each counted by
    # its payload lengths (the two went as one, the last one without a
    # trace).
    for name, cut in (("lost_row.latm", (10, 11)), ("lost_last.latm", (len(frames) - 1,))):
        lost = bytearray(b)
        for k in cut:
            lost[sum(frames[:k]):sum(frames[:k]) + 3] = bytes(3)
        with open(out(name), "wb") as f:
            f.write(lost)
        err = run("--strict", out(name), out("x.wav"), code=2)[1]
        pcm = s16(wav(out("x.wav"))[5])
        check("%d LOAS frame%s lost to damage" % (len(cut), "s" if len(cut) > 1 else "") in err and
              len(pcm) == len(adts) and pcm[:cut[0] * block] == adts[:cut[0] * block] and
              pcm[(cut[-1] + 2) * block:] == adts[(cut[-1] + 2) * block:],
              "%s: %d samples: %s" % (name, len(pcm), err))
    # A small frame (30 bytes, a sixth of the stream's average) lost with
    # its sync word: its bytes still read as a frame's element (it went
    # uncounted, the output a block short). (The compact arithmetic refuses
    # the stream's three channels.)
    if A.arithmetic == "exact":
        pce = open(data("p51_2.1_pce.latm"), "rb").read()
        small = bytearray(pce)
        at = 0
        for _ in range(23):
            at += 3 + ((pce[at + 1] & 0x1F) << 8 | pce[at + 2])
        small[at:at + 3] = bytes(3)
        with open(out("lost_small.latm"), "wb") as f:
            f.write(small)
        err = run("--strict", out("lost_small.latm"), out("x.wav"), code=2)[1]
        check("1 LOAS frame lost to damage" in err and len(s16(wav(out("x.wav"))[5])) == len(decode(data("p51_2.1_pce.latm"))),
              "a small LOAS frame lost with its sync word: " + err)
    with open(out("programs.latm"), "wb") as f:
        f.write(loas_configs(b, lambda e, i: e.__setitem__(i + 1, e[i + 1] | 0x08)))
    err = run(out("programs.latm"), out("x.wav"), code=1)[1]
    check("2 programs of 1 layer" in err, "two programs: " + err)
    # A broadcast whose config changes: the sweep (22050 Hz stereo, a
    # config every 20th frame) then 16 frames of a 32000 Hz mono stream (a
    # config every 5th). From the first frame of the new config on, its
    # units play under it, exactly as that stream's own: the first one,
    # held while in doubt, too (the decode stopped there before).
    with open(out("changed.latm"), "wb") as f:
        f.write(b + open(data("g3_32000_m_bursts_head.latm"), "rb").read())
    g3 = decode(data("g3_32000_m_bursts.aac"))[:2 * 16 * 1024]
    raw, err = run("-f", "raw", out("changed.latm"), "-")
    pcm = s16(raw)
    check(pcm == adts + g3 and "AudioSpecificConfig changes 1 time" in err and "32000 Hz, 1 channel at block 35" in err,
          "a changed config: %d samples: %s" % (len(pcm), err))
    run("--split", out("changed.latm"), out("changed.wav"))
    check(s16(wav(out("changed.wav"))[5]) == adts and wav(out("changed-2.wav"))[3] == 32000 and
          s16(wav(out("changed-2.wav"))[5]) == g3, "a changed config, --split: a file for each")
    # From --start on as the same units in ADTS play it (the units after
    # the change counted 1024 samples at the first config's rate: 22 ms
    # early at 1.8 s).
    g3_aac = open(data("g3_32000_m_bursts.aac"), "rb").read()
    at = 0
    for _ in range(16):
        at += adts_length(g3_aac, at)
    with open(out("changed.aac"), "wb") as f:
        f.write(open(aac, "rb").read() + g3_aac[:at])
    check(s16(run("-q", "-f", "raw", "--start", "1.8", out("changed.latm"), "-")[0]) ==
          s16(run("-q", "-f", "raw", "--start", "1.8", out("changed.aac"), "-")[0]), "a changed config: --start past it")
    # The second config of the new stream damaged: that frame alone is
    # lost; the frames between (held, then played under the old config:
    # concealed) are the new config's.
    tail = bytearray(open(data("g3_32000_m_bursts_head.latm"), "rb").read())
    configs = []
    loas_configs(bytes(tail), lambda e, i: configs.append(i))
    tail[configs[1] + 3] ^= 0x04  # (its channel configuration)
    with open(out("changed_damaged.latm"), "wb") as f:
        f.write(b + tail)
    raw, err = run("-f", "raw", out("changed_damaged.latm"), "-")
    pcm, start = s16(raw), len(adts)
    check("1 LOAS frame lost" in err and len(pcm) == len(adts + g3) and pcm[:start] == adts and
          pcm[start:start + 5 * block] == g3[:5 * block] and pcm[start + 7 * block:] == g3[7 * block:],
          "a changed config, its second config damaged: %s" % err)
    # Pull mode and the plug-in keep their decoder: the decode stops there,
    # with the PCM before it and nothing of the frames between the two
    # configs that say the change.
    for host in other_hosts():
        err = run(*host, out("changed.latm"), out("x.wav"), code=1)[1]
        check("changes its AudioSpecificConfig mid-stream (1390 to 1288)" in err and
              s16(wav(out("x.wav"))[5]) == decode(latm, *host), "%s, a changed config: %s" % (host[0], err))
    # Stereo to 5.1 at the same rate (a config in every frame after the
    # change): one WAV file, the 5.1 stream mixed down as it is alone.
    if A.arithmetic == "exact":  # (the compact arithmetic refuses 5.1)
        err = run(data("g4_48000_s_5.1.latm"), out("x.wav"))[1]
        g4, g5 = decode(data("g4_48000_s_noise.aac")), decode(data("g5_48000_5.1_loud.aac"))
        pcm = s16(wav(out("x.wav"))[5])
        check(pcm == g4[:len(pcm) - len(g5)] + g5 and len(pcm) == 2 * 12 * 1024 and "changes 1 time" in err,
              "stereo to 5.1 in a LATM stream: %d samples: %s" % (len(pcm), err))
        # Where the decoder refuses the new config (5.1 without the downmix),
        # that stretch is skipped and said, as in ADTS (the run ended).
        err = run("--no-downmix", data("g4_48000_s_5.1.latm"), out("x.wav"))[1]
        check(s16(wav(out("x.wav"))[5]) == g4[:2 * 5 * 1024] and "that stretch is skipped" in err,
              "a LATM config the decoder refuses: " + err)
    # Junk between two frames that reads as two frames of a mux syntax not
    # read, a byte apart: taken for damage (the decode stopped there).
    junk = b"\x56\xe0\x08\x60" + bytes(range(7)) + b"\x00" + b"\x56\xe0\x08\x60" + bytes(range(7, 14))
    at = sum(frames[:10])
    with open(out("junk_mux.latm"), "wb") as f:
        f.write(b[:at] + junk + b[at:])
    err = run(out("junk_mux.latm"), out("x.wav"))[1]
    pcm = s16(wav(out("x.wav"))[5])
    check("stops" not in err and len(pcm) >= len(adts) and pcm[:10 * block] == adts[:10 * block] and
          pcm[-20 * block:] == adts[-20 * block:], "junk read as two frames of another mux syntax: %s" % err)
    # One config of another rate among the stream's own (its second, frame
    # 20): taken for damage, that frame concealed; the 19 frames after it,
    # held back until the next config says the stream's, all play.
    configs = []
    loas_configs(b, lambda e, i: configs.append(i))
    one = bytearray(b)
    one[configs[1] + 2:configs[1] + 4] = b"\x14\x10"
    with open(out("one_config.latm"), "wb") as f:
        f.write(one)
    err = run(out("one_config.latm"), out("x.wav"))[1]
    pcm = s16(wav(out("x.wav"))[5])
    check("1 LOAS frame lost to damage" in err and len(pcm) == len(adts) and
          pcm[:20 * block] == adts[:20 * block] and pcm[22 * block:] == adts[22 * block:],
          "one config of another rate: %d samples: %s" % (len(pcm), err))
    # Entered after its first config (every 20th frame carries one): the
    # 19 frames before the next are passed over, and the report says so
    # (they went unmentioned).
    with open(out("entered.latm"), "wb") as f:
        f.write(b[3 + ((b[1] & 0x1F) << 8 | b[2]):])
    err = run(out("entered.latm"), out("x.wav"))[1]
    pcm = s16(wav(out("x.wav"))[5])
    check("19 LOAS frames before the first StreamMuxConfig passed over" in err and len(pcm) == 2 * 14 * 1024 and
          pcm[2 * 1024:] == adts[2 * 21 * 1024:], "a LOAS stream entered between configs: " + err)


def case_hostile_input():
    """Input that passes for something else or asks for too much: refused
    or read for what it is, never an overflow, a huge allocation or a
    decode of the wrong thing."""
    adts = decode(data("g2_22050_s_sweep.aac"))
    # An ID3v2 tag that says 256 MB in front of a small file: the window
    # grows with what the file holds (it took 340 MB before).
    size = (1 << 28) - 1
    with open(out("big_id3.aac"), "wb") as f:
        f.write(b"ID3\x04\x00\x00" + bytes((size >> s) & 0x7F for s in (21, 14, 7, 0)) +
                open(data("g2_22050_s_sweep.aac"), "rb").read())
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    run(out("big_id3.aac"), out("x.wav"), code=1)
    if not A.emulator:
        rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        check(rss < max(before, 1) + 200 * 1024, "an ID3v2 tag of 256 MB: %d KB resident" % rss)
    # --start beyond any stream's length: a usage error, not an overflow.
    run("--start", "999999999999:00:00", data("g2_22050_s_sweep.aac"), out("x.wav"), code=2)
    # A LOAS stream whose config lays its channels out by a program config
    # element: pull mode and the plug-in cannot hand that to the decoder,
    # and say so (pull mode played 249 blocks, 241 concealed, of 30 frames;
    # the plug-in none, with no reason given).
    for host in other_hosts():
        err = run(*host, data("p51_2.1_pce.latm"), out("x.wav"), code=1)[1]
        check("program config element" in err, "%s, a config with a program: %s" % (host[0], err))
    if A.arithmetic == "exact":  # (the compact arithmetic refuses the layout)
        check(len(decode(data("p51_2.1_pce.latm"))) == 2 * 30 * 1024, "a config with a program: 30 blocks in stream mode")
    # An ADIF 5.1 program: its six channels, not its three front ones
    # (which the compact arithmetic refuses: it plays two).
    if A.arithmetic == "exact":
        check("channels:  6" in run("--info", data("adif_5.1_two_programs.adif"))[0].decode(), "ADIF 5.1 --info")
    if not A.libav:
        return
    # An MPEG-TS file cut inside a packet is a transport stream: its ADTS
    # payload, taken for the stream, gave one block.
    ts = open(data("g2_22050_s_sweep.ts"), "rb").read()
    with open(out("cut.ts"), "wb") as f:
        f.write(ts[100:])
    n = len(decode(out("cut.ts")))
    check(n >= len(adts) * 3 // 4, "MPEG-TS cut inside a packet: %d of %d samples" % (n, len(adts)))
    # An edit list whose start lies past the stream's end: no padding, and
    # the figures said to run past the PCM ("padding: -30720 samples", and
    # the overrun blamed on the decoder's delay, before).
    m4a = bytearray(open(data("p44_edit_list.m4a"), "rb").read())
    at = m4a.find(b"elst")
    check(at > 0 and m4a[at + 4] == 0, "the edit list, version 0")
    m4a[at + 16:at + 20] = (131072).to_bytes(4, "big")  # media_time
    with open(out("late_edit.m4a"), "wb") as f:
        f.write(m4a)
    info = run("--info", out("late_edit.m4a"))[0].decode()
    check("padding:   none" in info and "past the decoded PCM" in info and "padding:   -" not in info,
          "an edit list past the stream's end: " + info)
    smpb = open(data("g2_22050_s_sweep.smpb.m4a"), "rb").read()
    at = smpb.find(b" 00000000 00000400 00000318 ")
    check(at > 0, "the iTunSMPB tag")

    def tagged(length):
        path = out("smpb_%s.m4a" % length)
        with open(path, "wb") as f:
            f.write(smpb[:at + 28] + length + smpb[at + 44:])
        return path
    # A length no stream has: the tag is no figures (an overflow before).
    check(len(decode(tagged(b"7FFFFFFFFFFFFFFF"))) == len(decode(data("g2_22050_s_sweep.smpb.m4a"), "--no-gapless")),
          "iTunSMPB with a length of 2^63: the whole stream")
    # Content of 2000 samples, --start past its end after a seek: nothing
    # to write, said so (the end fell before the first sample decoded and
    # was taken for none: everything to the file's end was written).
    err = run("-q", "--start", "0.5", tagged(b"00000000000007D0"), out("e.wav"), code=1)[1]
    check("past the end" in err and not os.path.exists(out("e.wav")), "--start past the iTunSMPB content: " + err)


def case_reports():
    """Object types by name; libavformat's messages only with -v."""
    if A.sbr:
        check("profile:   HE-AAC v2" in run("--info", data("p42_head.aac"))[0].decode(), "--info names HE-AAC v2")
        check(", HE-AAC, " in run(data("p40_head.aac"), out("x.wav"))[1], "the summary names HE-AAC")
    if A.libav:
        # An .m4a cut short before its index: refused, libavformat's own
        # words ("moov atom not found") only with -v.
        broken = open(data("g2_22050_s_sweep.m4a"), "rb").read()[:9000]
        with open(out("broken.m4a"), "wb") as f:
            f.write(broken)
        quiet = run(out("broken.m4a"), out("x.wav"), code=1)[1]
        verbose = run("-v", out("broken.m4a"), out("x.wav"), code=1)[1]
        check("moov" not in quiet and "moov atom not found" in verbose, "libavformat's messages: %s / %s" % (quiet, verbose))


def main():
    global A, TMP
    p = argparse.ArgumentParser()
    p.add_argument("--aacdec", required=True)
    p.add_argument("--emulator", default="")
    p.add_argument("--data", required=True)
    p.add_argument("--arithmetic", required=True)
    p.add_argument("--plugin", default="")
    p.add_argument("--libav", action="store_true")
    p.add_argument("--sbr", action="store_true")
    p.add_argument("--only", nargs="*")
    A = p.parse_args()
    cases = [(n[5:], f) for n, f in globals().items() if n.startswith("case_")]
    with tempfile.TemporaryDirectory() as TMP:
        for name, f in cases:
            if A.only and name not in A.only:
                continue
            if not A.libav and name == "gapless":
                continue
            try:
                f()
                print("ok   %s" % name)
            except AssertionError as e:
                print("FAIL %s: %s" % (name, e))
                FAILS.append(name)
    sys.exit(1 if FAILS else 0)


if __name__ == "__main__":
    main()
