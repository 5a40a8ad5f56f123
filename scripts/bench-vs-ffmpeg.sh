#!/bin/sh
# Decode-only speed of this decoder against FFmpeg's libavcodec, both
# decoding the same ADTS frames from memory in one process
# (tools/bench/bench_vs_ffmpeg.cpp), nothing written:
#   ours    libzoraac, each frame's access unit under the AudioSpecificConfig
#           its header gives, 16-bit interleaved PCM out; with the kernel
#           variants this machine has, and with AAC_CPU_MASK=0 (portable)
#   ffmpeg  libavcodec's float decoder "aac" (its SIMD as this machine has
#           it), one packet per ADTS frame, then its planar float output
#           converted to interleaved 16-bit by libswresample (swr_convert,
#           the conversion the ffmpeg command makes for s16 output), counted
#           on FFmpeg's side
# For each stream and side it prints
#   (1) instructions per frame of the decoding calls alone: callgrind
#       collecting only inside the per-frame functions (--toggle-collect),
#       one pass of the stream, divided by its frames (the first included);
#   (2) microseconds per frame in process over ROUNDS interleaved rounds
#       (ours, FFmpeg, ours, FFmpeg, ...; default 21): "median" the median
#       frame (each frame's median over the rounds), "fastest" each frame's
#       fastest over the rounds, summed, over the frames;
# the ratios ours/FFmpeg, and for each side the slowest frame's fastest time
# (the first frame aside) over the median of those.
# Streams: p21 (60 s, 2585 frames) and p02 (3 s) repeated 20 times end to
# end (ADTS frames stand alone, so the repeats form one valid stream).
#
# usage: scripts/bench-vs-ffmpeg.sh [ROUNDS] [BENCH]
#   BENCH   a bench_vs_ffmpeg (default: BUILD/bench_vs_ffmpeg, built here)
#   BUILD   environment: the build folder (default build-bench)
#   CORPUS  environment: the corpus folder (default ../shared/corpus)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-21}
bench=${2:-}
build=${BUILD:-$root/build-bench}
if [ -z "$bench" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DAAC_TESTS=OFF >/dev/null
  if ! grep -q '^FFBENCH_FOUND:INTERNAL=1' "$build/CMakeCache.txt"; then
    echo "$0: pkg-config finds no libavcodec, libavutil and libswresample (Debian: libavcodec-dev libswresample-dev)" >&2
    exit 1
  fi
  cmake --build "$build" -j2 --target bench_vs_ffmpeg >/dev/null
  bench=$build/bench_vs_ffmpeg
fi
work=$build/long
mkdir -p "$work"
corpus=${CORPUS:-$root/../shared/corpus}
p02x20=$work/p02x20.aac
if [ ! -s "$p02x20" ]; then
  i=0
  while [ $i -lt 20 ]; do cat "$corpus/p02_vo_44100_s_music_narrow.aac"; i=$((i + 1)); done > "$p02x20"
fi

# (An empty AAC_CPU_MASK selects every variant.)
# count SIDE STREAM [MASK]: thousand instructions per frame of SIDE's decoding calls.
count() {
  AAC_CPU_MASK=${3-} valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" --collect-atstart=no \
    --toggle-collect="bench_$1_frame" "$bench" --count "$1" "$2" >"$work/count.txt" 2>/dev/null
  frames=$(sed -n 's/.*, \([0-9]*\) frames x.*/\1/p' "$work/count.txt")
  awk -v f="$frames" '/^totals:/ { printf "%.1f\n", $2 / f / 1000 }' "$work/cg.out"
}
# timing STREAM [MASK]: the bench's table for ROUNDS rounds.
timing() {
  AAC_CPU_MASK=${2-} "$bench" "$1" "$rounds" >"$work/time.txt"
}
field() { awk -v row="$1" -v col="$2" '$1 == row { print $col }' "$work/time.txt"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
echo "decode only, in process; $cpu; $rounds interleaved rounds"
printf '%-6s %-8s | %9s %9s %6s | %8s %8s %6s | %8s %8s %6s | %9s %9s\n' stream ours \
  'ours k' 'ffmpeg k' ratio 'ours us' 'ff us' ratio 'ours fs' 'ff fs' ratio 'worst/med' 'ff w/med'
for s in p21 p02x20; do
  case $s in
    p21) in=$corpus/p21_ff_44100_s_long60.aac ;;
    *) in=$p02x20 ;;
  esac
  theirs_k=$(count ffmpeg "$in")
  for mask in '' 0; do
    if [ -n "$mask" ]; then kernels=portable; else kernels=variants; fi
    ours_k=$(count ours "$in" "$mask")
    timing "$in" "$mask"
    ou=$(field ours 3); fu=$(field ffmpeg 3)
    of=$(field ours 4); ff=$(field ffmpeg 4)
    printf '%-6s %-8s | %9s %9s %6s | %8s %8s %6s | %8s %8s %6s | %9s %9s\n' "$s" "$kernels" \
      "$ours_k" "$theirs_k" "$(ratio "$ours_k" "$theirs_k")" "$ou" "$fu" "$(ratio "$ou" "$fu")" \
      "$of" "$ff" "$(ratio "$of" "$ff")" "$(field ours 6)" "$(field ffmpeg 6)"
  done
done
echo "(k: thousand instructions per frame, callgrind; us: median frame; fs: each frame's fastest, summed, per frame;"
echo " worst/med, ff w/med: ours, FFmpeg's, the slowest frame's fastest but the first over the median)"
