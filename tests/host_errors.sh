#!/bin/sh
# Usage: host_errors.sh EMULATOR AACDEC SOURCE_DIR PLUGIN — the host's error
# paths: each must exit non-zero with its message; a damaged stream exits 0,
# through the library and through the plug-in.
emu=$(echo "$1" | tr ';' ' '); aacdec="$2"; src="$3"; plugin="$4"
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
fails=0
expect() {  # expect EXIT_CODE MESSAGE_PART -- ARGS...
  code=$1; msg=$2; shift 3
  out=$($emu "$aacdec" "$@" 2>&1); rc=$?
  if [ "$rc" != "$code" ] || ! printf '%s' "$out" | grep -q -- "$msg"; then
    echo "FAIL: aacdec $* -> exit $rc: $out (wanted exit $code and '$msg')"; fails=$((fails + 1))
  fi
}
expect 1 "cannot open" -- "$tmp/missing.aac" "$tmp/out.wav"
head -c 3000 /dev/zero > "$tmp/zeros.aac"
expect 1 "no ADTS or ADIF stream" -- "$tmp/zeros.aac" "$tmp/out.wav"
expect 1 "unsupported sample rate" -- --raw --rate 44000 --channels 2 "$tmp/zeros.aac" "$tmp/out.wav"
expect 1 "no audio block could be decoded" -- --raw --rate 44100 --channels 2 "$tmp/zeros.aac" "$tmp/out.wav"
# A failed run leaves no output file, not even a partial one.
if ls "$tmp"/out.wav* >/dev/null 2>&1; then echo "FAIL: a failed run left $(ls "$tmp"/out.wav*)"; fails=$((fails + 1)); fi
# Three channels (configuration 3) without the downmix: refused up front, saying why.
{ printf '\377\361\120\300\002\037\374'; head -c 9 /dev/zero; } > "$tmp/three.aac"
expect 1 "plays one or two front channels; the stream has 3 channels" -- --no-downmix "$tmp/three.aac" "$tmp/out.wav"
# --raw on an ADTS stream warns and decodes it as ADTS.
expect 0 "starts with an ADTS header" -- --raw --rate 12000 --channels 1 "$src/samples/tones_clicks_12k_mono.aac" "$tmp/out.wav"
expect 1 "cannot write" -- "$src/samples/tones_clicks_12k_mono.aac" "$tmp/no/such/dir/out.wav"
# AAC Main in ADTS headers: the library plays AAC-LC alone and says so.
i=0; while [ $i -lt 40 ]; do printf '\377\361\020\200\002\037\374'; head -c 9 /dev/zero; i=$((i + 1)); done > "$tmp/main.aac"
expect 1 "plays AAC-LC (audio object type 2); the stream has object type 1 (AAC Main)" -- "$tmp/main.aac" "$tmp/out.wav"
# AAC LTP (profile 3) is named too.
i=0; while [ $i -lt 40 ]; do printf '\377\361\320\200\002\037\374'; head -c 9 /dev/zero; i=$((i + 1)); done > "$tmp/ltp.aac"
expect 1 "the stream has object type 4 (AAC LTP)" -- "$tmp/ltp.aac" "$tmp/out.wav"
expect 1 "cannot load the plug-in" -- --plugin "$tmp/missing.so" "$src/samples/tones_clicks_12k_mono.aac" "$tmp/out.wav"
expect 1 "frame mode needs an ADTS stream" -- --mode frame "$src/tests/data/p05_ff_8000_m_speech.vbr.adif" "$tmp/out.wav"
expect 2 "usage" -- "$src/samples/tones_clicks_12k_mono.aac"
# A damaged stream (bytes cut out of the middle) decodes with its losses reported.
head -c 5000 "$src/samples/tones_clicks_12k_mono.aac" > "$tmp/cut.aac"
tail -c 6000 "$src/samples/tones_clicks_12k_mono.aac" >> "$tmp/cut.aac"
for mode in stream frame pull; do
  expect 0 "blocks decoded" -- --mode $mode "$tmp/cut.aac" "$tmp/cut.wav"
done
for mode in stream frame; do
  expect 0 "blocks decoded" -- --mode $mode --plugin "$plugin" "$tmp/cut.aac" "$tmp/cut.wav"
  # Blocks that failed are counted as the library reports them.
  expect 0 "21 blocks decoded (3 concealed) of 21 frames" -- --mode $mode "$src/tests/data/p02_bitflips_56_76.aac" "$tmp/cut.wav"
done
# Raw PCM on standard output: 60 blocks of 4096 bytes.
bytes=$($emu "$aacdec" --quiet "$src/samples/tones_clicks_12k_mono.aac" - | wc -c)
[ "$bytes" = 245760 ] || { echo "FAIL: $bytes bytes of PCM on stdout"; fails=$((fails + 1)); }
# OUTPUT that is not a regular file is written in place and stays what it
# is: a symbolic link (its target gets the WAV), a FIFO (a reader gets the
# WAV with the sizes of a stream of unknown length), as a device would.
wav=245804
s="$src/samples/tones_clicks_12k_mono.aac"
: > "$tmp/target.wav"; ln -s target.wav "$tmp/link.wav"
$emu "$aacdec" --quiet "$s" "$tmp/link.wav" || { echo "FAIL: writing through a link"; fails=$((fails + 1)); }
[ -L "$tmp/link.wav" ] && [ "$(wc -c < "$tmp/target.wav")" = $wav ] || { echo "FAIL: the link was replaced or its target not written"; fails=$((fails + 1)); }
mkfifo "$tmp/fifo.wav"
cat "$tmp/fifo.wav" > "$tmp/from_fifo.wav" & reader=$!
$emu "$aacdec" --quiet "$s" "$tmp/fifo.wav" || { echo "FAIL: writing to a FIFO"; fails=$((fails + 1)); }
wait $reader
[ -p "$tmp/fifo.wav" ] && [ "$(wc -c < "$tmp/from_fifo.wav")" = $wav ] || { echo "FAIL: the FIFO was replaced or gave $(wc -c < "$tmp/from_fifo.wav") bytes"; fails=$((fails + 1)); }
[ "$(od -An -tx1 -j4 -N4 "$tmp/from_fifo.wav" | tr -d ' ')" = ffffffff ] || { echo "FAIL: a FIFO's WAV header gives a size"; fails=$((fails + 1)); }
# A signal mid-decode (the input a FIFO that stalls past the first MiB, so
# that the output is open) leaves no temporary file beside OUTPUT.
for i in $(seq 100); do cat "$s"; done > "$tmp/long.aac"
mkfifo "$tmp/stall.aac"
{ cat "$tmp/long.aac"; sleep 3; } > "$tmp/stall.aac" & writer=$!
mkdir "$tmp/sig"
$emu "$aacdec" --quiet "$tmp/stall.aac" "$tmp/sig/out.wav" & dec=$!
sleep 1
kill -TERM $dec; wait $dec; status=$?
wait $writer
[ $status != 0 ] && [ -z "$(ls -A "$tmp/sig")" ] || { echo "FAIL: a signal left $(ls "$tmp/sig") (status $status)"; fails=$((fails + 1)); }
[ $fails = 0 ] && echo "host errors ok"
exit $fails
