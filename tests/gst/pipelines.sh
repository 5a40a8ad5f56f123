#!/bin/sh
# Usage: pipelines.sh GST_LAUNCH ELEMENT_DIR AACDEC SEEK_CHECK SOURCE_DIR —
# zoraacdec in gst-launch-1.0 pipelines: a mono ADTS stream behind aacparse
# and a stereo .m4a behind qtdemux ! aacparse, each byte-identical to aacdec;
# then a flushing seek.
launch="$1"; dir="$2"; aacdec="$3"; seek="$4"; src="$5"
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export GST_PLUGIN_PATH="$dir" GST_REGISTRY="$tmp/registry.bin"
fails=0
# Each pipeline gets two minutes: a hang fails the test instead of stalling it.
gst() { timeout 120 "$launch" "$@"; }
check() {  # check NAME STREAM PIPELINE-BETWEEN-SOURCE-AND-DECODER
  "$aacdec" --quiet "$2" - > "$tmp/$1.want" || { echo "FAIL: aacdec $2"; fails=$((fails + 1)); return; }
  if ! gst -q filesrc location="$2" ! $3 ! zoraacdec ! filesink location="$tmp/$1.pcm" > "$tmp/$1.log" 2>&1; then
    echo "FAIL: $1 pipeline:"; cat "$tmp/$1.log"; fails=$((fails + 1)); return
  fi
  if cmp -s "$tmp/$1.want" "$tmp/$1.pcm"; then echo "$1: $(wc -c < "$tmp/$1.pcm") bytes as aacdec"
  else echo "FAIL: $1: the element's PCM differs from aacdec's"; fails=$((fails + 1)); fi
}
check adts_mono "$src/samples/tones_clicks_12k_mono.aac" "aacparse"
check m4a_stereo "$src/tests/data/g2_22050_s_sweep.m4a" "qtdemux ! aacparse"
timeout 120 "$seek" "$src/samples/tones_clicks_12k_mono.aac" "$tmp/adts_mono.want" || fails=$((fails + 1))
exit $fails
