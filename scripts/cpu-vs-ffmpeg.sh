#!/bin/sh
# Whole-process CPU time of aacdec against ffmpeg's float decoder on two
# 600-second 44.1 kHz stereo streams, output written as WAV: the median of
# RUNS interleaved runs each (default 5), user + system seconds, and the
# ratio. The long streams are two corpus streams repeated end to end (ADTS
# frames stand alone, so the repeats form one valid stream):
#   long-ff.aac  p21 (ffmpeg's encoder, 64 kbit/s, noise substitution), x10
#   long-vo.aac  p02 (another encoder, 128 kbit/s), x200
# usage: scripts/cpu-vs-ffmpeg.sh [RUNS] [AACDEC]
#   CORPUS  environment: the corpus folder (default ../shared/corpus)
#   AACDEC  the aacdec to time (default: build-bench/aacdec, built here)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
dec=${2:-}
work=$root/build-bench/long
mkdir -p "$work"
if [ -z "$dec" ]; then
  cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DAAC_TESTS=OFF >/dev/null
  cmake --build "$root/build-bench" -j2 --target aacdec aacplugin >/dev/null
  dec=$root/build-bench/aacdec
fi
repeat() {  # repeat SRC TIMES DST
  [ -s "$3" ] && return
  i=0
  while [ $i -lt "$2" ]; do cat "$1"; i=$((i + 1)); done > "$3"
}
corpus=${CORPUS:-$root/../shared/corpus}
repeat "$corpus/p21_ff_44100_s_long60.aac" 10 "$work/long-ff.aac"
repeat "$corpus/p02_vo_44100_s_music_narrow.aac" 200 "$work/long-vo.aac"

cpu() {  # cpu COMMAND...: user + system seconds of one run
  /usr/bin/time -f '%U %S' -o "$work/time.txt" "$@" >/dev/null 2>&1
  awk '{ printf "%.3f\n", $1 + $2 }' "$work/time.txt"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '%-12s %10s %10s %7s\n' stream aacdec ffmpeg ratio
for s in long-ff long-vo; do
  in=$work/$s.aac
  : > "$work/ours.txt"
  : > "$work/theirs.txt"
  n=0
  while [ $n -lt "$runs" ]; do
    cpu "$dec" "$in" "$work/ours.wav" >> "$work/ours.txt"
    cpu ffmpeg -v error -y -c:a aac -i "$in" -f wav "$work/theirs.wav" >> "$work/theirs.txt"
    n=$((n + 1))
  done
  ours=$(median < "$work/ours.txt")
  theirs=$(median < "$work/theirs.txt")
  printf '%-12s %9ss %9ss %7s\n' "$s" "$ours" "$theirs" "$(awk "BEGIN { printf \"%.2f\", $ours / $theirs }")"
done
