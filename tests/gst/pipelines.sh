#!/bin/sh
# Usage: pipelines.sh GST_LAUNCH ELEMENT_DIR AACDEC SEEK_CHECK GAPLESS_CHECK SOURCE_DIR —
# zoraacdec in gst-launch-1.0 pipelines: ADTS streams (HE-AAC too) behind aacparse and a
# stereo .m4a behind qtdemux ! aacparse (and 5.1 of both as the stereo
# downmix), each byte-identical to aacdec; a
# flushing seek; four decoders side by side in one pipeline; two tracks one
# after the other through one decoder (concat); two streams spliced into one
# file, the output caps following the rate; gapless playbin, where the
# second track's decoder starts while the first one's runs.
launch="$1"; dir="$2"; aacdec="$3"; seek="$4"; gapless="$5"; src="$6"
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
check m4a_stereo "$sweep" "qtdemux ! aacparse"
# 5.1 in ADTS and in an .m4a, as the stereo downmix (exact arithmetic).
if "$aacdec" --help | grep -q "^Arithmetic: exact"; then
  check adts_5.1_downmix "$src/tests/data/p48_5.1_38_64.aac" "aacparse"
  check m4a_5.1_downmix "$src/tests/data/p48_5.1_38_64.m4a" "qtdemux ! aacparse"
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

# Gapless playbin: the next track's uri set from about-to-finish.
GST_PLUGIN_FEATURE_RANK=zoraacdec:max timeout 120 "$gapless" "$lowrate" "$clicks" \
  "$tmp/adts_lowrate.want" "$tmp/adts_clicks.want" || fail "gapless_check"
exit $fails
