#!/bin/sh
# Usage: pipelines.sh GST_LAUNCH ELEMENT_DIR AACDEC SEEK_CHECK GAPLESS_CHECK REFUSAL_CHECK SOURCE_DIR GAP_CHECK —
# zoraacdec in gst-launch-1.0 pipelines: ADTS streams (HE-AAC too) behind aacparse and a
# stereo .m4a behind qtdemux ! aacparse (and 5.1 of both as the stereo
# downmix), each byte-identical to aacdec; a
# flushing seek; four decoders side by side in one pipeline; two tracks one
# after the other through one decoder (concat); two streams spliced into one
# file, the output caps following the rate; gapless playbin, where the
# second track's decoder starts while the first one's runs; the output as
# downstream asks (native 5.1, S32); decodebin and playbin picking the
# element; a refused stream ending in one error, never a hang; units lost
# on the way (a GAP event) concealed with plc=true; LOAS behind aacparse.
launch="$1"; dir="$2"; aacdec="$3"; seek="$4"; gapless="$5"; refusal="$6"; src="$7"; gap="$8"
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export GST_PLUGIN_PATH="$dir" GST_REGISTRY="$tmp/registry.bin"
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
# Each pipeline gets two minutes: a hang fails the test instead of stalling it.
gst() { timeout 120 "$launch" "$@"; }
# A pipeline that failed, or warned on the way, fails the test with its log.
quiet_ok() {  # quiet_ok STATUS NAME (the log in $tmp/NAME.log)
  if [ "$1" != 0 ] || grep -q -E "CRITICAL|(WARNING|ERROR): from element" "$tmp/$2.log"; then
    echo "FAIL: $2 pipeline:"; cat "$tmp/$2.log"; fails=$((fails + 1)); return 1
  fi
}
same() {  # same NAME WANT GOT
  if cmp -s "$2" "$3"; then echo "$1: $(wc -c < "$3") bytes as expected"
  else fail "$1: the element's PCM differs ($(wc -c < "$3") bytes, $(wc -c < "$2") expected)"; fi
}
check() {  # check NAME STREAM PIPELINE-BETWEEN-SOURCE-AND-DECODER
  "$aacdec" --quiet "$2" - > "$tmp/$1.want" || { fail "aacdec $2"; return; }
  gst -q filesrc location="$2" ! $3 ! zoraacdec ! filesink location="$tmp/$1.pcm" > "$tmp/$1.log" 2>&1
  quiet_ok $? "$1" && same "$1" "$tmp/$1.want" "$tmp/$1.pcm"
}
playbin_check() {  # playbin_check NAME STREAM WANT: playbin picks the element and gives aacdec's PCM
  gst -v playbin uri="file://$2" audio-sink="filesink location=$tmp/$1.pcm" video-sink=fakesink > "$tmp/$1.log" 2>&1
  if quiet_ok $? "$1"; then
    grep -q "GstZorAacDec" "$tmp/$1.log" || fail "$1: another decoder"
    same "$1" "$3" "$tmp/$1.pcm"
  fi
}
mono="$src/samples/tones_clicks_12k_mono.aac"
clicks="$src/tests/data/g1_44100_s_clicks.aac"
lowrate="$src/tests/data/p18_ff_24000_s_lowrate.aac"
music="$src/tests/data/p19_vo_8000_s_music.aac"
sweep="$src/tests/data/g2_22050_s_sweep.m4a"
check adts_mono "$mono" "aacparse"
check adts_clicks "$clicks" "aacparse"
check adts_lowrate "$lowrate" "aacparse"
check adts_music "$music" "aacparse"
check adts_two_blocks "$src/tests/data/p02_0_19.2blk.aac" "aacparse"
# Junk between frames: aacparse skips it and marks a discontinuity, within
# which the decoder keeps its state (the block after the first gap lost its
# overlap).
check adts_zero_gaps "$src/tests/data/p02_zero_gaps_0_17.aac" "aacparse"
check m4a_stereo "$sweep" "qtdemux ! aacparse"
# Units lost on the way, their place a GAP event: one unit, then three in
# a row, concealed in place with plc=true (the clean length), passed on
# without it.
"$aacdec" --quiet "$sweep" - > "$tmp/sweep.want"
timeout 120 "$gap" "$sweep" "$tmp/sweep.want" 10 1 || fail "gap_check, one unit"
timeout 120 "$gap" "$sweep" "$tmp/sweep.want" 12 3 || fail "gap_check, three units"
# An MP4 whose track starts 2 s in (an edit list: qtdemux sends a gap for
# the first 2 s, before any block): with plc=true every unit plays, as
# without it (the units after that gap were taken as late: 4096 bytes).
offset="$src/tests/data/g2_22050_s_sweep_offset.m4a"
gst -q filesrc location="$offset" ! qtdemux ! zoraacdec plc=false ! filesink location="$tmp/offset.want" > "$tmp/offset_want.log" 2>&1
gst -q filesrc location="$offset" ! qtdemux ! zoraacdec plc=true ! filesink location="$tmp/offset.pcm" > "$tmp/offset.log" 2>&1
if quiet_ok $? offset; then
  same "plc behind an edit list" "$tmp/offset.want" "$tmp/offset.pcm"
  [ "$(wc -c < "$tmp/offset.pcm")" -eq "$(wc -c < "$tmp/sweep.want")" ] || fail "plc behind an edit list: not every unit"
fi
# ADTS frames the same.
"$aacdec" --quiet "$clicks" - > "$tmp/clicks.want"
timeout 120 "$gap" "$clicks" "$tmp/clicks.want" 10 1 aacparse || fail "gap_check, one ADTS frame"
timeout 120 "$gap" "$clicks" "$tmp/clicks.want" 12 3 aacparse || fail "gap_check, three ADTS frames"
# 5.1 in ADTS and in an .m4a, as the stereo downmix (exact arithmetic).
if "$aacdec" --help | grep -q "^Arithmetic: exact"; then
  check adts_5.1_downmix "$src/tests/data/p48_5.1_38_64.aac" "aacparse"
  check m4a_5.1_downmix "$src/tests/data/p48_5.1_38_64.m4a" "qtdemux ! aacparse"
  # Downstream that takes six channels and not two gets the native layout,
  # in the channel order and with the positions aacdec's WAV file has.
  "$aacdec" --quiet --channels native "$src/tests/data/p48_5.1_38_64.aac" - > "$tmp/native.want"
  gst -v filesrc location="$src/tests/data/p48_5.1_38_64.aac" ! aacparse ! zoraacdec ! audio/x-raw,channels=6 ! \
    filesink location="$tmp/native.pcm" > "$tmp/native.log" 2>&1
  if quiet_ok $? native; then
    same native_5.1 "$tmp/native.want" "$tmp/native.pcm"
    grep -q "zoraacdec0.GstPad:src: caps = .*channels=(int)6, channel-mask=(bitmask)0x000000000000003f" \
      "$tmp/native.log" || fail "native_5.1: not the 5.1 positions"
  fi
  # Downstream that prefers S32 gets the bits below the 16-bit sample: the
  # samples rounded to 16 bits are the S16 output, and their low halves are
  # not all zero.
  gst -q filesrc location="$clicks" ! aacparse ! zoraacdec ! audio/x-raw,format=S32LE ! \
    filesink location="$tmp/s32.pcm" > "$tmp/s32.log" 2>&1
  if quiet_ok $? s32; then
    python3 - "$tmp/s32.pcm" "$tmp/adts_clicks.want" <<'PY' || fail "s32: not the 16-bit output with more bits"
import array, sys
wide = array.array("i", open(sys.argv[1], "rb").read())
narrow = array.array("h", open(sys.argv[2], "rb").read())
assert len(wide) == len(narrow), (len(wide), len(narrow))
assert all(max(-32768, min(32767, (w + 32768) >> 16)) == n for w, n in zip(wide, narrow))
low = sum(1 for w in wide if w & 0xFFFF)
assert low > len(wide) // 2, low
print(f"s32: {len(wide)} samples, rounded the S16 output, {low} with low bits")
PY
  fi
  # LOAS behind aacparse (a config in every frame, which aacparse needs):
  # the first config opens a decoder and a change (stereo to 5.1) a new
  # one; a config unlike the stream's in one frame, and in the last one,
  # loses that frame alone (the last one comes out at the end of the
  # stream). playbin had no decoder for LOAS.
  loas="$src/tests/data/g4_48000_s_5.1.latm"
  check loas_stereo_to_5.1 "$loas" "aacparse"
  python3 - "$loas" "$tmp/loas_foreign.latm" <<'PY'
import sys
b = bytearray(open(sys.argv[1], "rb").read())
at, frames = 0, []
while at + 3 <= len(b):
    frames.append(at)
    at += 3 + ((b[at + 1] & 0x1F) << 8 | b[at + 2])
for f in (frames[8], frames[-1]):
    b[f + 6] ^= 0x08  # (the config's channel configuration)
open(sys.argv[2], "wb").write(b)
PY
  check loas_foreign_configs "$tmp/loas_foreign.latm" "aacparse"
  playbin_check loas_playbin "$loas" "$tmp/loas_stereo_to_5.1.want"
else
  # The compact arithmetic refuses 5.1 at its first frame: one error, a stop.
  timeout 300 "$refusal" "$src/tests/data/p48_5.1_38_64.aac" 5 || fail "refusal_check 5.1"
  # A LOAS stream that turns to 5.1: a warning, the stretch skipped, as
  # aacdec skips it (the stream ended in an error).
  loas="$src/tests/data/g4_48000_s_5.1.latm"
  "$aacdec" --quiet "$loas" - > "$tmp/loas_skip.want" 2> /dev/null
  gst filesrc location="$loas" ! aacparse ! zoraacdec ! filesink location="$tmp/loas_skip.pcm" > "$tmp/loas_skip.log" 2>&1
  if [ $? = 0 ] && grep -q "that stretch is skipped" "$tmp/loas_skip.log" && ! grep -q "ERROR" "$tmp/loas_skip.log"; then
    same loas_refused_stretch "$tmp/loas_skip.want" "$tmp/loas_skip.pcm"
  else
    fail "LOAS, a refused stretch:"; cat "$tmp/loas_skip.log"
  fi
fi
# HE-AAC (implicit SBR in ADTS): the PCM and, on the source pad, the rate
# of aacdec's WAV (twice the core's where the build plays SBR).
heaac="$src/tests/data/p40_head.aac"
check adts_heaac "$heaac" "aacparse"
"$aacdec" --quiet "$heaac" "$tmp/heaac.wav" && want=$(od -An -t u4 -j 24 -N 4 "$tmp/heaac.wav" | tr -d ' ')
gst -v filesrc location="$heaac" ! aacparse ! zoraacdec ! fakesink > "$tmp/heaac_caps.log" 2>&1
if quiet_ok $? heaac_caps; then
  rates=$(grep "zoraacdec0.GstPad:src: caps" "$tmp/heaac_caps.log" | grep -o "rate=(int)[0-9]*" | tr '\n' ' ')
  if [ "$rates" = "rate=(int)$want " ]; then echo "heaac: output caps $rates"
  else fail "heaac: output caps $rates, want $want Hz"; fi
fi
timeout 120 "$seek" "$mono" "$tmp/adts_mono.want" || fail "seek_check"

# Four decoders in one process, each on its own stream thread: the same PCM
# as the four single runs above.
gst -q filesrc location="$mono" ! aacparse ! zoraacdec ! filesink location="$tmp/four1.pcm" \
       filesrc location="$clicks" ! aacparse ! zoraacdec ! filesink location="$tmp/four2.pcm" \
       filesrc location="$lowrate" ! aacparse ! zoraacdec ! filesink location="$tmp/four3.pcm" \
       filesrc location="$music" ! aacparse ! zoraacdec ! filesink location="$tmp/four4.pcm" > "$tmp/four.log" 2>&1
if quiet_ok $? four; then
  same "four decoders: mono" "$tmp/adts_mono.pcm" "$tmp/four1.pcm"
  same "four decoders: clicks" "$tmp/adts_clicks.pcm" "$tmp/four2.pcm"
  same "four decoders: lowrate" "$tmp/adts_lowrate.pcm" "$tmp/four3.pcm"
  same "four decoders: music" "$tmp/adts_music.pcm" "$tmp/four4.pcm"
fi

# Two tracks one after the other through one decoder: each track whole, at
# its own rate, and the second decoded from its start as if alone; an
# ADTS track then an .m4a track switches the transport on the way.
gst -q concat name=c ! zoraacdec ! filesink location="$tmp/concat_adts.pcm" \
       filesrc location="$mono" ! aacparse ! c. filesrc location="$clicks" ! aacparse ! c. > "$tmp/concat_adts.log" 2>&1
if quiet_ok $? concat_adts; then
  cat "$tmp/adts_mono.want" "$tmp/adts_clicks.want" > "$tmp/concat_adts.want"
  same concat_adts "$tmp/concat_adts.want" "$tmp/concat_adts.pcm"
fi
gst -q concat name=c ! zoraacdec ! filesink location="$tmp/concat_mixed.pcm" \
       filesrc location="$music" ! aacparse ! c. filesrc location="$sweep" ! qtdemux ! aacparse ! c. \
       > "$tmp/concat_mixed.log" 2>&1
if quiet_ok $? concat_mixed; then
  cat "$tmp/adts_music.want" "$tmp/m4a_stereo.want" > "$tmp/concat_mixed.want"
  same concat_mixed "$tmp/concat_mixed.want" "$tmp/concat_mixed.pcm"
fi

# Two streams spliced into one file (mono 12 kHz cut inside a frame, then
# stereo 44.1 kHz from inside one): one pipeline, no error, the output caps
# follow the stream from 12000 to 44100 Hz.
{ head -c 10000 "$mono"; tail -c +5001 "$clicks"; } > "$tmp/splice.aac"
gst -v filesrc location="$tmp/splice.aac" ! aacparse ! zoraacdec ! fakesink > "$tmp/splice.log" 2>&1
if quiet_ok $? splice; then
  rates=$(grep "zoraacdec0.GstPad:src: caps" "$tmp/splice.log" | grep -o "rate=(int)[0-9]*" | tr '\n' ' ')
  if [ "$rates" = "rate=(int)12000 rate=(int)44100 " ]; then echo "splice: output caps $rates"
  else fail "splice: output caps $rates"; fi
fi

# Autoplugging picks the element (its rank), and the PCM is aacdec's.
gst -v filesrc location="$clicks" ! decodebin ! filesink location="$tmp/decodebin.pcm" > "$tmp/decodebin.log" 2>&1
if quiet_ok $? decodebin; then
  grep -q "GstZorAacDec" "$tmp/decodebin.log" || fail "decodebin: another decoder"
  same decodebin "$tmp/adts_clicks.want" "$tmp/decodebin.pcm"
fi
playbin_check playbin "$clicks" "$tmp/adts_clicks.want"

# A refused stream (the clicks stream marked as AAC Main) ends in the
# decoder's one error and the pipeline stops, run after run.
python3 - "$clicks" "$tmp/main_profile.aac" <<'PY'
import sys
d = bytearray(open(sys.argv[1], "rb").read())
i = 0
while i + 7 <= len(d) and d[i] == 0xFF and d[i + 1] & 0xF0 == 0xF0:
    d[i + 2] &= 0x3F
    i += (d[i + 3] & 3) << 11 | d[i + 4] << 3 | d[i + 5] >> 5
open(sys.argv[2], "wb").write(d)
PY
timeout 300 "$refusal" "$tmp/main_profile.aac" 20 || fail "refusal_check"

# Gapless playbin: the next track's uri set from about-to-finish.
GST_PLUGIN_FEATURE_RANK=zoraacdec:max timeout 120 "$gapless" "$lowrate" "$clicks" \
  "$tmp/adts_lowrate.want" "$tmp/adts_clicks.want" || fail "gapless_check"
exit $fails
