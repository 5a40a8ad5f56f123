#!/bin/sh
# Usage: host_damage.sh EMULATOR AACDEC SOURCE_DIR PLUGIN — the host with
# input it cannot take whole: streams spliced at another rate or, native,
# channel count (the WAV file ends at the change, --split writes each piece
# to its own file, raw PCM goes on), damage and refused pieces (decoded on, exit 0; --strict exits 2), a
# stretch the library does not play (skipped), in every mode and through the
# plug-in.
emu=$(echo "$1" | tr ';' ' '); aacdec="$2"; src="$3"; plugin="$4"
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
expect() {  # expect EXIT_CODE MESSAGE_PART -- ARGS...
  code=$1; msg=$2; shift 3
  out=$($emu "$aacdec" "$@" 2>&1); rc=$?
  if [ "$rc" != "$code" ] || ! printf '%s' "$out" | grep -q -- "$msg"; then
    fail "aacdec $* -> exit $rc: $out (wanted exit $code and '$msg')"
  fi
}
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }  # a little-endian word of a file
wav_is() {  # wav_is FILE RATE DATA_BYTES
  if [ ! -f "$1" ]; then fail "no $1"; return; fi
  rate=$(u32 "$1" 24); size=$(u32 "$1" 40); len=$(($(wc -c < "$1") - 44))
  [ "$rate" = "$2" ] && [ "$size" = "$3" ] && [ "$len" = "$3" ] ||
    fail "$1: $rate Hz, $size bytes of data ($len in the file); wanted $2 Hz, $3 bytes"
}
mono12="$src/samples/tones_clicks_12k_mono.aac"
stereo44="$src/tests/data/g1_44100_s_clicks.aac"
pcm_bytes() { $emu "$aacdec" --quiet "$1" - | wc -c; }
first=$(pcm_bytes "$mono12"); second=$(pcm_bytes "$stereo44")
[ "$first" = $((60 * 4096)) ] && [ "$second" = $((66 * 4096)) ] || fail "$first and $second bytes of the two streams alone"

# Two streams spliced: 12 kHz mono, then 44.1 kHz stereo. The WAV file ends
# at the change and carries the first stream's rate, in every mode.
cat "$mono12" "$stereo44" > "$tmp/splice.aac"
change="the stream changes to 44100 Hz, 2 channels at block 61; the WAV file ends there (--split writes each part to its own file)"
for args in "--mode stream" "--mode stream --chunk 100000" "--mode frame" "--mode pull" \
            "--mode stream --plugin $plugin" "--mode stream --chunk 100000 --plugin $plugin" "--mode frame --plugin $plugin"; do
  rm -f "$tmp"/out*.wav
  # shellcheck disable=SC2086
  expect 0 "$change" -- $args "$tmp/splice.aac" "$tmp/out.wav"
  wav_is "$tmp/out.wav" 12000 "$first"
  # shellcheck disable=SC2086
  ls "$tmp"/out-*.wav >/dev/null 2>&1 && fail "$args: a second file without --split"
  # --split: each part in its own file, at its own rate.
  # shellcheck disable=SC2086
  expect 0 "126 blocks decoded.* of 126 frames" -- --split $args "$tmp/splice.aac" "$tmp/out.wav"
  wav_is "$tmp/out.wav" 12000 "$first"
  wav_is "$tmp/out-2.wav" 44100 "$second"
done
# Each part is what its stream gives alone.
$emu "$aacdec" --quiet "$mono12" "$tmp/alone.wav"
cmp -s "$tmp/alone.wav" "$tmp/out.wav" || fail "the first part differs from its stream decoded alone"
# Raw PCM goes on through the change, with a warning.
expect 0 "warning: the stream changes to 44100 Hz, 2 channels at block 61; the raw PCM goes on" -- "$tmp/splice.aac" -
bytes=$($emu "$aacdec" --quiet "$tmp/splice.aac" - 2>/dev/null | wc -c)
[ "$bytes" = $((first + second)) ] || fail "$bytes bytes of raw PCM from the splice"
expect 2 "split writes WAV files" -- --split "$tmp/splice.aac" -
# --info gives the duration at each stream's rate.
expect 0 "duration:  6.653 s" -- --info "$tmp/splice.aac"
expect 0 "rate:      12000 Hz (44100 Hz from frame 61)" -- --info "$tmp/splice.aac"

# Native output of a mono stream and then a stereo one at the same rate: the
# WAV file ends at the change of channel count as at one of rate (one file
# with both would be read as one layout throughout); --split goes on in a
# file of two channels. Each file: its channel count and size (PCM after
# the 68-byte extensible header).
cat "$src/tests/data/p15_ff_96000_m_clicks_sweep.aac" "$src/tests/data/p14_head.aac" > "$tmp/channels.aac"
wav_layout() {  # wav_layout FILE CHANNELS DATA_BYTES
  if [ ! -f "$1" ]; then fail "no $1"; return; fi
  ch=$(od -An -tu2 -j22 -N2 "$1" | tr -d ' '); len=$(($(wc -c < "$1") - 68))
  [ "$ch" = "$2" ] && [ "$len" = "$3" ] || fail "$1: $ch channels, $len bytes of data; wanted $2 channels, $3 bytes"
}
rm -f "$tmp"/out*.wav
expect 0 "the stream changes to 96000 Hz, 2 channels at block 284; the WAV file ends there" -- \
  --channels native "$tmp/channels.aac" "$tmp/out.wav"
wav_layout "$tmp/out.wav" 1 $((283 * 2048))
expect 0 "307 blocks decoded" -- --split --channels native "$tmp/channels.aac" "$tmp/out.wav"
wav_layout "$tmp/out.wav" 1 $((283 * 2048))
wav_layout "$tmp/out-2.wav" 2 $((24 * 4096))

# Damaged streams decode to the end with exit status 0 in every mode, and
# with --strict exit status 2 after writing what was decoded.
bitflips="$src/tests/data/p02_bitflips_56_76.aac"
cut="$src/tests/data/p02_cut_middle_62_75.aac"
for args in "--mode stream" "--mode frame" "--mode pull" "--mode stream --plugin $plugin" "--mode frame --plugin $plugin"; do
  for f in "$bitflips" "$cut"; do
    rm -f "$tmp/out.wav"
    # shellcheck disable=SC2086
    expect 0 "blocks decoded" -- $args "$f" "$tmp/out.wav"
    [ -f "$tmp/out.wav" ] || fail "$args $f: no output"
  done
done
for args in "--mode stream" "--mode frame" "--mode pull"; do
  rm -f "$tmp/out.wav"
  # shellcheck disable=SC2086
  expect 2 "21 blocks decoded (3 concealed) of 21 frames" -- --strict $args "$bitflips" "$tmp/out.wav"
  wav_is "$tmp/out.wav" 44100 $((21 * 4096))
done
expect 0 "60 blocks decoded (0 concealed) of 60 frames" -- --strict "$mono12" "$tmp/out.wav"

# 3000 zero bytes inside a frame: that frame, with the zeros, is longer than
# the plug-in takes in frame mode. It refuses the piece; the host drops it
# and goes on.
{ head -c 5000 "$mono12"; head -c 3000 /dev/zero; tail -c +5001 "$mono12"; } > "$tmp/gap.aac"
expect 0 "59 blocks decoded (1 dropped) of 60 frames" -- --mode frame --plugin "$plugin" "$tmp/gap.aac" "$tmp/out.wav"
wav_is "$tmp/out.wav" 12000 $((59 * 4096))
expect 2 "1 dropped" -- --strict --mode frame --plugin "$plugin" "$tmp/gap.aac" "$tmp/out.wav"
expect 0 "60 blocks decoded (1 concealed) of 60 frames" -- --mode frame "$tmp/gap.aac" "$tmp/out.wav"

# AAC Main frames spliced between two AAC-LC streams: the library refuses
# them; the host skips that stretch and decodes the stream after it.
i=0; while [ $i -lt 40 ]; do printf '\377\361\020\200\002\037\374'; head -c 9 /dev/zero; i=$((i + 1)); done > "$tmp/main.aac"
cat "$mono12" "$tmp/main.aac" "$mono12" > "$tmp/main_between.aac"
for mode in stream frame; do
  expect 0 "object type 1 (AAC Main) after block 60: that stretch is skipped" -- --mode $mode "$tmp/main_between.aac" "$tmp/out.wav"
  expect 0 "119 blocks decoded (0 concealed, 1 stretch skipped) of 160 frames" -- --mode $mode "$tmp/main_between.aac" "$tmp/out.wav"
  wav_is "$tmp/out.wav" 12000 $((119 * 4096))
  expect 2 "1 stretch skipped" -- --strict --mode $mode "$tmp/main_between.aac" "$tmp/out.wav"
done
[ $fails = 0 ] && echo "host damage ok"
exit $fails
