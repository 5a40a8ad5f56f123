#!/bin/sh
# How the generated test streams and the reference decodes were made (run by
# hand; needs ffmpeg). The streams use none of mid/side, intensity, noise
# substitution and TNS. References: ffmpeg's decode, 16-bit FLAC, starting at
# the decoder's first output sample.
set -e
cd "$(dirname "$0")"
enc="-c:a aac -aac_ms 0 -aac_is 0 -aac_pns 0 -aac_tns 0"
# Levels stay well below full scale: the decoder holds the gain of scale
# factors above 187 at that of 187, which loud tonal ffmpeg encodes reach.
# Stereo 44.1 kHz: different tones left and right with clicks (short windows).
ffmpeg -v error -y -f lavfi -i "aevalsrc=0.05*sin(2*PI*440*t)+0.1*lt(mod(t\,0.37)\,0.002)|0.04*sin(2*PI*660*t)+0.03*sin(2*PI*3000*t):s=44100:d=1.5" \
  $enc -b:a 128k -f adts g1_44100_s_clicks.aac
# Stereo 22.05 kHz: a sweep and a tone, no transients.
ffmpeg -v error -y -f lavfi -i "aevalsrc=0.06*sin(2*PI*(200+1500*t)*t)|0.05*sin(2*PI*1000*t):s=22050:d=1.5" \
  $enc -b:a 64k -f adts g2_22050_s_sweep.aac
# Mono 32 kHz: tone with noise bursts.
ffmpeg -v error -y -f lavfi -i "aevalsrc=0.04*sin(2*PI*523*t)+0.1*(random(0)-0.5)*lt(mod(t\,0.5)\,0.05):s=32000:d=1.5" \
  $enc -b:a 64k -f adts g3_32000_m_bursts.aac
# Stereo 48 kHz noise at 576 kbit/s: blocks of about 1.2 KB, which the
# damage campaign and the library tests join four to a frame of about 4.7 KB
# (ADTS frames longer than one block of two channels may take).
ffmpeg -v error -y -f lavfi -i "aevalsrc=0.15*(random(0)-0.5)+0.05*sin(2*PI*440*t)|0.15*(random(1)-0.5):s=48000:d=0.4" \
  $enc -b:a 576k -f adts g4_48000_s_noise.aac
# 5.1 48 kHz noise at 900 kbit/s, its frames 9 to 15 (2.0 to 2.5 KB: access
# units longer than a stereo decoder's input takes).
ffmpeg -v error -y -f lavfi -i "aevalsrc=0.3*(random(0)-0.5)|0.3*(random(1)-0.5)|0.3*(random(2)-0.5)|0.05*sin(2*PI*60*t)|0.3*(random(3)-0.5)|0.3*(random(4)-0.5):s=48000:d=1:c=5.1" \
  $enc -b:a 900k -f adts g5_long.aac
python3 - <<'EOF'
d = open("g5_long.aac", "rb").read()
frames, i = [], 0
while i + 7 <= len(d):
    n = (d[i + 3] & 3) << 11 | d[i + 4] << 3 | d[i + 5] >> 5
    frames.append(d[i:i + n])
    i += n
open("g5_48000_5.1_loud.aac", "wb").write(b"".join(frames[8:15]))
EOF
rm g5_long.aac
for f in g1_44100_s_clicks g2_22050_s_sweep g3_32000_m_bursts; do
  ffmpeg -v error -y -i $f.aac -c:a flac -sample_fmt s16 ref/$f.ffmpeg.flac
done
# The stereo sweep in an MP4 file: the same access units, no re-encoding.
ffmpeg -v error -y -i g2_22050_s_sweep.aac -c:a copy g2_22050_s_sweep.m4a
# Copies of the shared corpus's ffmpeg references: p19 and p20 whole, and the
# first 24 blocks of p14 and p01 for the stream heads p14_head.aac and
# p01_head.aac (a decode's first blocks depend on the first frames only).
for id in p14 p01; do
  flac -s -d -c --force-raw-format --endian=little --sign=signed ../../../shared/corpus/$id.ffmpeg.flac |
    head -c $((24 * 1024 * 4)) |
    flac -s --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 --sample-rate=$([ $id = p14 ] && echo 96000 || echo 44100) \
      -8 -o ref/${id}_head.ffmpeg.flac -
done

# Windows of the corpus stream p02_vo_44100_s_music_narrow (VisualOn, 44.1 kHz
# stereo) and of its damaged copies, cut at frame boundaries of the clean
# stream: p02_0_19 (frames 0-19) with its two-block layouts (.2blk: two raw
# data blocks per frame; .2blk.crc: the same with protection_absent 0, the
# raw_data_block_position word, the header's CRC word and one after each
# block), p02_56_76 (frames 56-76); p02_bitflips_56_76 (15 payload bits
# flipped in frames 58, 67, 74), p02_zero_gaps_0_17 (frames 0-17 with zero
# runs of 300, 2, 2, 2 and 1 bytes after frames 2, 5, 9, 15, 16),
# p02_cut_middle_62_75 (frames 62-75 with 1216 bytes cut from inside frame 67
# to inside frame 70). Cut with a few lines of Python from the ADTS frame
# lengths of the clean stream.

# HE-AAC v2 (parametric stereo): the first 16 ADTS frames of the corpus
# streams p42 and p43, and the first 16 blocks (32768 samples a channel) of
# their ffmpeg references; p45 (.m4a) whole, its reference cut the same way.
for id in p42_fa_44100_s_music p43_fa_48000_s_speech_music; do
  python3 -c "
import sys
d = open(sys.argv[1], 'rb').read(); pos = 0
for _ in range(16):
    pos += ((d[pos + 3] & 3) << 11) | (d[pos + 4] << 3) | (d[pos + 5] >> 5)
open(sys.argv[2], 'wb').write(d[:pos])" ../../../shared/corpus/$id.aac ${id%%_*}_head.aac
done
cp ../../../shared/corpus/p45_fk_44100_s_backcompat_ps.m4a .
for id in p42 p43 p45; do
  rate=$(metaflac --show-sample-rate ../../../shared/corpus/$id.ffmpeg.flac)
  flac -s -d -c --force-raw-format --endian=little --sign=signed ../../../shared/corpus/$id.ffmpeg.flac |
    head -c $((16 * 2048 * 4)) |
    flac -s --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 --sample-rate=$rate \
      -8 -o ref/${id}_head.ffmpeg.flac -
done
# p42_ps_missing: the first 12 frames of p42_head.aac with the parametric
# stereo extension of frames 4, 5 and 9 turned into an unknown one (its
# 2-bit bs_extension_id from 2 to 3, found from the SBR payload's bit
# positions with a few lines of Python), and ffmpeg's decode of it.
ffmpeg -v error -y -i p42_ps_missing.aac -c:a flac -sample_fmt s16 ref/p42_ps_missing.ffmpeg.flac
# Splices: whole ADTS frames of the corpus streams (frames FIRST to LAST
# of each, counted from 0), one stream after another.
frames() {  # frames STREAM FIRST LAST: those frames of a corpus stream
  python3 -c "
import sys
d = open(sys.argv[1], 'rb').read(); pos = 0; k = 0
while pos + 7 <= len(d):
    n = ((d[pos + 3] & 3) << 11) | (d[pos + 4] << 3) | (d[pos + 5] >> 5)
    if int(sys.argv[2]) <= k <= int(sys.argv[3]): sys.stdout.buffer.write(d[pos:pos + n])
    pos += n; k += 1" ../../../shared/corpus/$1 $2 $3
}
{ frames p03_ff_48000_s_panned.aac 20 24; frames p41_fa_32000_m_speech.aac 20 25
  frames p42_fa_44100_s_music.aac 20 25; frames p03_ff_48000_s_panned.aac 40 44; } > splice_lc_he_ps_lc.aac
frames p42_fa_44100_s_music.aac 26 33 > p42_entered_26_33.aac
{ frames p05_ff_8000_m_speech.aac 20 25; frames p13_ff_88200_m_music.aac 20 25
  frames p04_vo_48000_m_speech.aac 20 25; frames p03_ff_48000_s_panned.aac 20 25
  frames p10_vo_24000_s_sweep_tones.aac 20 25; frames p01_ff_44100_s_music.aac 20 25; } > splice_near_headers.aac
# Gapless container input. Exactly 3 s (132300 samples) at 44.1 kHz: tones
# with full-scale-ish clicks at known samples (left 10000, 60000, 131000;
# right 30000, 90000), encoded to .m4a with its edit list (1024 samples of
# priming, 820 of padding) and tags.
ffmpeg -v error -y -f lavfi -i "aevalsrc=0.05*sin(2*PI*330*t)+0.9*(eq(n\,10000)+eq(n\,60000)+eq(n\,131000))|0.05*sin(2*PI*550*t)-0.9*(eq(n\,30000)+eq(n\,90000)):s=44100:d=3" \
  $enc -b:a 24k -metadata title="Clicks" -metadata artist="Test Tones" -metadata album="Gapless" gapless_44100_s_3000ms.m4a
# HE-AAC with an edit list: p44's first second, its units moved 2048
# samples (one frame at the output rate) earlier, which the edit list skips.
ffmpeg -v error -y -itsoffset -0.064 -i p44_fk_32000_s_explicit.m4a -c copy -t 1 p44_edit_list.m4a
# The sweep's units under an iTunSMPB tag (no edit list): 1024 samples of
# priming, 33000 of content, 792 of padding.
ffmpeg -v error -y -i g2_22050_s_sweep.m4a -c copy -movflags use_metadata_tags \
  -metadata iTunSMPB=" 00000000 00000400 00000318 00000000000080E8" g2_22050_s_sweep.smpb.m4a
# The sweep's frames in Matroska and MPEG-TS (ADTS frames as its units);
# its access units in LOAS frames (a config every 20 frames), as a file and
# as an MPEG-TS LATM track; p44's first second (HE-AAC signalled explicitly
# in the config) in LOAS frames.
ffmpeg -v error -y -i g2_22050_s_sweep.aac -c copy g2_22050_s_sweep.mka
# The sweep's .m4a starting 2 s in (an edit list with an empty edit first).
ffmpeg -v error -y -i g2_22050_s_sweep.m4a -c copy -output_ts_offset 2 g2_22050_s_sweep_offset.m4a
# The same with units 10 and 20 to 22 missing (a recording that lost
# packets: the units after each gap keep their times).
ffmpeg -v error -y -i g2_22050_s_sweep.mka -c copy -bsf:a "noise=drop=eq(n\,10)+eq(n\,20)+eq(n\,21)+eq(n\,22)" \
  g2_22050_s_sweep_gaps.mka
ffmpeg -v error -y -i g2_22050_s_sweep.aac -c copy g2_22050_s_sweep.ts
# The same with its second PES packet of audio lost (the transport packets
# from its start to the next one's): frames 7 to 13 missing, the times of
# the frames after them as they were.
python3 - g2_22050_s_sweep.ts g2_22050_s_sweep_pes_lost.ts <<'PY'
import sys
d = open(sys.argv[1], "rb").read()
packets = [d[i:i + 188] for i in range(0, len(d), 188)]
pid = lambda p: (p[1] & 0x1F) << 8 | p[2]
starts = [i for i, p in enumerate(packets) if pid(p) == 256 and p[1] & 0x40]
lost = range(starts[1], starts[2])
open(sys.argv[2], "wb").write(b"".join(p for i, p in enumerate(packets) if not (i in lost and pid(p) == 256)))
PY
ffmpeg -v error -y -i g2_22050_s_sweep.aac -c copy -f latm g2_22050_s_sweep.latm
ffmpeg -v error -y -i g2_22050_s_sweep.latm -c copy -f mpegts g2_22050_s_sweep.latm.ts
ffmpeg -v error -y -i p44_fk_32000_s_explicit.m4a -c copy -t 1 -f latm p44_fk_32000_s_explicit.latm
# Config changes: 16 frames of g3 with a config in every 5th (the sweep's
# LATM stream before them in the test), and g4's first 5 frames then g5,
# a config in every frame (as aacparse needs it): stereo to 5.1 at 48000 Hz.
ffmpeg -v error -y -i g3_32000_m_bursts.aac -c copy -t 0.5 -smc-interval 5 -f latm g3_32000_m_bursts_head.latm
ffmpeg -v error -y -i g4_48000_s_noise.aac -c copy -t 0.1 -smc-interval 1 -f latm g4_head.latm
ffmpeg -v error -y -i g5_48000_5.1_loud.aac -c copy -smc-interval 1 -f latm g5.latm
cat g4_head.latm g5.latm > g4_48000_s_5.1.latm
rm g4_head.latm g5.latm
# SBR header settings the encoders never send, and coarse parametric stereo.
# Input: 2 s of stereo music-like tones (vibrato, tremolo, a little noise)
# with short noise clicks, from which libfdk-aac's encoder API (AOT 5 at
# 32 kbit/s, AOT 29 at 16 kbit/s, ADTS; the rest at its defaults) makes
# HE-AAC and HE-AAC v2 (the latter sends 10-band IID/ICC, which the decoder
# maps to its 20 bands). Every SBR header is then given the
# bs_header_extra_2 fields (6 bits inserted after the header's flags, the
# fill element and the ADTS frame a byte longer where the payload's fill
# bits have no room; payload positions from a decode that prints them, a
# few lines of Python): h1 limiter bands 3, limiter gains 3, interpolation
# 0, smoothing 0; h2 limiter bands 0, limiter gains 0, interpolation 0,
# smoothing 0. Kept: frames 10 to 21 (an SBR header in frame 10; frames 10
# and 19 end in a transient envelope whose next frame starts transient).
ffmpeg -v error -y -f lavfi -i "aevalsrc=0.08*sin(2*PI*220*t)*(1+0.5*sin(2*PI*0.7*t))+0.05*sin(2*PI*330*t+sin(2*PI*5*t))+0.03*sin(2*PI*1760*t)+0.02*(random(0)-0.5)+0.1*lt(mod(t\,0.41)\,0.003)*(random(2)-0.5)|0.03*sin(2*PI*220*t)*(1+0.5*sin(2*PI*0.7*t))+0.07*sin(2*PI*440*t+sin(2*PI*3*t))+0.02*sin(2*PI*2637*t)+0.02*(random(1)-0.5)+0.1*lt(mod(t\,0.53)\,0.003)*(random(3)-0.5):s=44100:d=2" \
  -f s16le /tmp/music_44100_s.s16
# fdk_enc /tmp/music_44100_s.s16 44100 2 h1.aac AOT=5 BITRATE=32000
# fdk_enc /tmp/music_44100_s.s16 44100 2 h2.aac AOT=29 BITRATE=16000
# (header rewrite, frames 10-21) -> h1_44100_s_smoothing.aac, h2_44100_s_ps_coarse.aac
for f in h1_44100_s_smoothing h2_44100_s_ps_coarse; do
  ffmpeg -v error -y -i $f.aac -c:a flac -sample_fmt s16 ref/$f.ffmpeg.flac
done
# Fragmented MP4 written before the first unit was known: no
# AudioSpecificConfig in the track, the sample entry's rate as ffmpeg's own
# decoder saw it (44100 Hz for the HE-AAC h1 and h2 above, whose cores run
# at 22050) and 2 channels, the entry's template, for all (p04's head is
# mono, five_tones 5.0 with a data element first).
for f in p04_head h1_44100_s_smoothing h2_44100_s_ps_coarse five_tones_5.0; do
  ffmpeg -v error -y -i $f.aac -c copy -bsf:a aac_adtstoasc -movflags frag_keyframe+empty_moov+default_base_moof \
    $f.noconfig.mp4
done
# h3_44100_s_ps_34.aac: the same input, HE-AAC v2 at 24 kbit/s (AOT 29),
# frames 0 to 11, each frame's parametric stereo data replaced by data
# made by hand (the SBR extended data and the fill element resized, a few
# lines of Python): a PS header in every frame, IID and ICC in 34 coarse
# bands in frames 0-7 and 20 bands in frames 8-11, frame k's first envelope
# coded in frequency (IID (k mod 7) - 3, ICC k mod 5 in every band) and the
# others in time (no change); envelopes cycling through variable borders
# 11 and 23 (one envelope added up to slot 31), four fixed, variable 5, 17
# and 31, and fixed with none; the extension present without IPD/OPD.
ffmpeg -v error -y -i h3_44100_s_ps_34.aac -c:a flac -sample_fmt s16 ref/h3_44100_s_ps_34.ffmpeg.flac
# h4_44100_s_ps_phases.aac: h3's twelve frames with each frame's parametric
# stereo data made anew in 20 bands (a header in every frame: IID and ICC
# mode 1, the extension on; h3's frame classes and borders; the first
# envelope coded in frequency, IID (k mod 7) - 3 and ICC k mod 5 in every
# band, the others in time, no change) and an extension with IPD and OPD in
# every envelope, coded in frequency: IPD (3b + 1) mod 8 and OPD (5b + 2)
# mod 8 in parameter band b, the same in every frame (the SBR extended data,
# the fill element and the ADTS frame resized; a few lines of Python, the
# positions from a decode that prints them). Made with the extension's IPD
# and OPD flag off, the same data gives h3's frames 8 to 11 bit for bit.
# faad leaves out the first frame; ffmpeg turns the phases its own way
# (about 6 LSB RMS from faad and from us).
faad -q -b 1 -f 2 -o /tmp/h4.s16 h4_44100_s_ps_phases.aac
flac -s -f --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 --sample-rate=44100 -8 \
  -o ref/h4_44100_s_ps_phases.faad.flac /tmp/h4.s16
# p40_reset_0_33.aac: the shared corpus's p40, frames 0 to 32, the SBR
# headers of frames 10 and 30 rewritten (start 12, stop 11, frequency scale
# 1, alter scale 0, crossover 4, noise bands 3: the same band counts and kx,
# another M; a few lines of Python, the payloads left as they were): a
# reset in each, the second after a frame whose last envelope began at its
# l_A and whose high band runs past its end.
ffmpeg -v error -y -i p40_reset_0_33.aac -c:a flac -sample_fmt s16 ref/p40_reset.ffmpeg.flac
# dual_mono_he_0_20.aac: frames 0 to 19 of two mono HE-AAC encodes at
# 22.05/44.1 kHz, 32 kbit/s (aac-enc -t 5; a 700 Hz tone at 0.2 with a
# 9 kHz one at 0.05, and pink noise at 0.1), each frame's single channel
# element and fill elements of the second stream (tag 1) after the
# first's, channel configuration 2 in the headers (a few lines of Python).
ffmpeg -v error -y -i dual_mono_he_0_20.aac -c:a flac -sample_fmt s16 ref/dual_mono_he.ffmpeg.flac
# dual_mono_swapped_0_20.aac and dual_mono_one_lost_0_24.aac: the same kind
# of join (aac-enc -t 5 encodes of white and pink noise at 32 kbit/s): a
# program config element in each frame maps tag 1 to the left slot and tag
# 0 to the right one, the elements sent as tag 0, then tag 1; in the other,
# no program, and the second element's SBR fill element left out of frame 5.
ffmpeg -v error -y -i dual_mono_swapped_0_20.aac -c:a flac -sample_fmt s16 ref/dual_mono_swapped.ffmpeg.flac
ffmpeg -v error -y -i dual_mono_one_lost_0_24.aac -c:a flac -sample_fmt s16 ref/dual_mono_one_lost.ffmpeg.flac
# p43_entered_1_16.aac: p43_head.aac without its first frame.
python3 -c 'd = open("p43_head.aac", "rb").read(); open("p43_entered_1_16.aac", "wb").write(d[(d[3] & 3) << 11 | d[4] << 3 | d[5] >> 5:])'
ffmpeg -v error -y -i p43_entered_1_16.aac -ac 2 -c:a flac -sample_fmt s16 ref/p43_entered.ffmpeg.flac
# Kept as made once (ffmpeg encodes of mono and stereo sources at 48 kHz,
# their channel elements joined and program config elements written in by
# a few lines of Python): adif_5.1_two_programs.adif, an ADIF header of two
# programs (5.1, tag 0, then stereo, tag 1) and 5.1 blocks, cut after
# 4,000 bytes; pce_stereo_mono_mixdown_0_6.aac, frames 0 to 5 of a stereo
# stream whose program names a mono mixdown; p48like_cfg6_wrong_pce.aac,
# frames 0 to 3 and 30 to 35 of a 5.1 stream of channel configuration 6
# with its program in frame 0 and a program of five channels in frame 30;
# pce_back_sce_0_6.aac, frames 0 to 5 of a stream whose program is one
# back single channel element; p53_pce_0_8.aac, p53's frames 0 to 7 with a
# program config element of its 5.1 layout written before each block and
# channel configuration 0 in the headers; sce_5.0_pce_2_22.aac, five
# ffmpeg encodes of mono tones at 32 kHz (440, 1000, 2500, 600 and 1800 Hz,
# -af volume=0.2, 64 kbit/s), frames 2 to 21 of each, their single channel
# elements joined in each frame (tags 0 to 4) after a program of them:
# front centre, left, right, then a back pair.
# five_tones_5.0.aac (channel configuration 5) and low_tone_mono.aac, which
# the library tests join into configuration 6 without its low-frequency
# element and with a single channel element in its place.
ffmpeg -v error -y -f lavfi -i "sine=frequency=440:duration=0.3" -f lavfi -i "sine=frequency=660:duration=0.3" \
  -f lavfi -i "sine=frequency=880:duration=0.3" -f lavfi -i "sine=frequency=1100:duration=0.3" \
  -f lavfi -i "sine=frequency=1320:duration=0.3" \
  -filter_complex "[0][1][2][3][4]join=inputs=5:channel_layout=5.0[a]" -map "[a]" -c:a aac -b:a 128k -f adts five_tones_5.0.aac
ffmpeg -v error -y -f lavfi -i "sine=frequency=60:duration=0.3" -af volume=0.3 -ac 1 -c:a aac -b:a 32k -f adts low_tone_mono.aac
# The access units of gapless_44100_s_3000ms.m4a back to back, raw data
# blocks of a pair stream (one of them ends a byte before a 256-byte piece
# of stream mode ends).
ffmpeg -v error -y -i gapless_44100_s_3000ms.m4a -c:a copy -f adts gapless.aac
python3 - <<'EOF'
d = open("gapless.aac", "rb").read()
out, i = b"", 0
while i + 7 <= len(d):
    n = (d[i + 3] & 3) << 11 | d[i + 4] << 3 | d[i + 5] >> 5
    out += d[i + (7 if d[i + 1] & 1 else 9):i + n]
    i += n
open("gapless_44100_s_3000ms.raw", "wb").write(out)
EOF
rm gapless.aac
