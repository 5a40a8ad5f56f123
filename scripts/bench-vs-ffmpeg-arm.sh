#!/bin/sh
# Decode-only instructions per frame on armhf (qemu-arm), this decoder
# against Debian's armhf libavcodec, as scripts/bench-vs-ffmpeg.sh counts
# them on x86-64: tools/bench/bench_vs_ffmpeg.cpp cross-built against
# Debian's armhf FFmpeg libraries, each side's decoding calls counted by
# the guest instruction counter (tools/bench/qemu_icount.c) as the difference
# between two passes of the stream and one, divided by its frames. Ours with
# its NEON kernels and with AAC_CPU_MASK=0; FFmpeg with the NEON it detects
# and with its CPU flags forced to none (plain C). No time: qemu's is not
# the target's.
#
# The FFmpeg libraries (libavcodec59, libavutil57, libswresample4, the
# libraries they load, and their -dev packages for the headers) are fetched
# with apt-get download under an apt configuration of the build folder's own
# (armhf package lists in BUILD/apt; the system's apt is not touched) and
# unpacked with dpkg -x into BUILD/root, the prefix qemu-arm -L runs in. This
# needs Debian's package servers once; later runs reuse what was fetched.
#
# usage: scripts/bench-vs-ffmpeg-arm.sh [STREAM...]
#   STREAM  default: the corpus's p21 (60 s, 2585 frames) and p02 repeated 20
#           times end to end (as scripts/bench-vs-ffmpeg.sh)
#   BUILD   environment: the build folder (default build-bench-arm)
#   CORPUS  environment: the corpus folder (default ../shared/corpus)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench-arm}
corpus=${CORPUS:-$root/../shared/corpus}
mkdir -p "$build"
build=$(cd "$build" && pwd)
if [ $# -eq 0 ]; then
  if [ ! -s "$build/p02x20.aac" ]; then
    i=0
    while [ $i -lt 20 ]; do cat "$corpus/p02_vo_44100_s_music_narrow.aac"; i=$((i + 1)); done > "$build/p02x20.aac"
  fi
  set -- "$corpus/p21_ff_44100_s_long60.aac" "$build/p02x20.aac"
fi
apt=$build/apt
sysroot=$build/root
multiarch=arm-linux-gnueabihf

if [ ! -e "$sysroot/.complete" ]; then
  mkdir -p "$apt/state/lists/partial" "$apt/cache/archives/partial" "$apt/sources" "$apt/preferences" "$apt/debs"
  : > "$apt/state/status"
  cp /etc/apt/sources.list.d/*.sources "$apt/sources/" 2>/dev/null || true
  [ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$apt/sources/system.list"
  cat > "$apt/apt.conf" <<EOF
Dir::State "$apt/state";
Dir::State::status "$apt/state/status";
Dir::Cache "$apt/cache";
Dir::Etc::sourcelist "/dev/null";
Dir::Etc::sourceparts "$apt/sources";
Dir::Etc::preferencesparts "$apt/preferences";
APT::Architecture "armhf";
APT::Architectures { "armhf"; };
EOF
  export APT_CONFIG="$apt/apt.conf"
  apt-get -q update >/dev/null
  # The libraries' closure: every package that ships a shared library the
  # dynamic loader will want (their names start with lib, but for zlib and
  # the OpenCL loader); fonts, tools and data stay out.
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
      --no-enhances libavcodec59 libavutil57 libswresample4 |
    grep -E '^(lib[^ ]*|zlib1g|ocl-icd-libopencl1)$' | sort -u > "$apt/packages.txt"
  echo libavcodec-dev libavutil-dev libswresample-dev | tr ' ' '\n' >> "$apt/packages.txt"
  if ! (cd "$apt/debs" && xargs apt-get -q download < "$apt/packages.txt") >"$apt/download.log" 2>&1; then
    cat "$apt/download.log" >&2
    exit 1
  fi
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  for deb in "$apt"/debs/*.deb; do dpkg -x "$deb" "$sysroot"; done
  [ -e "$sysroot/usr/lib/$multiarch/libavcodec.so" ] || { echo "$0: no armhf libavcodec unpacked" >&2; exit 1; }
  touch "$sysroot/.complete"
fi

# libzoraac for the target (a Release build, as scripts/count-arm.sh makes),
# and the benchmark linked against it and the unpacked FFmpeg.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" -DAAC_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target zoraac >/dev/null
lib=$sysroot/usr/lib/$multiarch
${multiarch}-g++ -O2 -std=c++20 -Wno-psabi -I"$root/include" -I"$sysroot/usr/include/$multiarch" \
  "$root/tools/bench/bench_vs_ffmpeg.cpp" -o "$build/bench_vs_ffmpeg" -L"$build" -lzoraac \
  -L"$lib" -lavcodec -lswresample -lavutil -Wl,-rpath-link,"$lib" -Wl,-rpath-link,"$sysroot/lib/$multiarch" \
  -Wl,-rpath,"$build"
gcc -O2 -shared -fPIC -o "$build/icount.so" "$root/tools/bench/qemu_icount.c"

# perframe ARGS...: guest instructions per frame of two passes less one.
perframe() {
  for n in 1 2; do
    qemu-arm -L "$sysroot" -plugin "$build/icount.so,out=$build/count$n.txt,top=1" \
      "$build/bench_vs_ffmpeg" "$@" "$n" >"$build/out$n.txt"
  done
  frames=$(sed -n 's/.*, \([0-9]*\) frames x.*/\1/p' "$build/out1.txt")
  awk -v f="$frames" 'FNR == 1 { c[++k] = $2 } END { printf "%.1f\n", (c[2] - c[1]) / f / 1000 }' \
    "$build/count1.txt" "$build/count2.txt"
}

echo "decode only, armhf under qemu-arm: thousand instructions per frame"
printf '%-28s %9s %9s %6s %10s %9s %6s\n' stream 'ours NEON' 'ff NEON' ratio 'ours port' 'ff C' ratio
for s in "$@"; do
  on=$(perframe --count ours "$s")
  op=$(AAC_CPU_MASK=0 perframe --count ours "$s")
  fn=$(perframe --count ffmpeg "$s")
  fc=$(perframe --ffmpeg-no-simd --count ffmpeg "$s")
  printf '%-28s %9s %9s %6s %10s %9s %6s\n' "$(basename "$s" .aac)" "$on" "$fn" \
    "$(awk -v a="$on" -v b="$fn" 'BEGIN { printf "%.2f", a / b }')" "$op" "$fc" \
    "$(awk -v a="$op" -v b="$fc" 'BEGIN { printf "%.2f", a / b }')"
done
