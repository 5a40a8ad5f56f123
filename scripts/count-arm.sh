#!/bin/sh
# Counts the 32-bit ARM instructions per decoded frame of a stream under
# qemu-arm, with the guest instruction counter in tools/bench/qemu_icount.c.
# aacbench decodes the stream once and then twice; the difference of the two
# counts is one whole pass without start-up and file reading, divided by the
# frames decoded. Prints the total and the functions costing the most.
#
# usage: scripts/count-arm.sh [--sbr|--sbr-small] STREAM [AACBENCH] [TOP]
#   AACBENCH  an armhf aacbench (default: build-bench-arm/aacbench, a Release
#             build made here, as scripts/count-x86.sh makes its own)
#   TOP       functions listed (default 15)
set -e
# --sbr: an HE-AAC stream with its SBR at the full output rate (aacbench --sbr);
# --sbr-small: the same with the small SBR scratch record.
sbr=
if [ "$1" = --sbr ] || [ "$1" = --sbr-small ]; then
  sbr=$1
  shift
fi
root=$(cd "$(dirname "$0")/.." && pwd)
stream=$1
bench=${2:-}
top=${3:-15}
if [ -z "$stream" ]; then
  echo "usage: $0 [--sbr|--sbr-small] STREAM [AACBENCH] [TOP]" >&2
  exit 2
fi
if [ -z "$bench" ]; then
  bench=$root/build-bench-arm/aacbench
  cmake -S "$root" -B "$root/build-bench-arm" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
    -DAAC_TESTS=OFF >/dev/null
  cmake --build "$root/build-bench-arm" -j2 --target aacbench >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gcc -O2 -shared -fPIC -o "$work/icount.so" "$root/tools/bench/qemu_icount.c"
for n in 1 2; do
  qemu-arm -L /usr/arm-linux-gnueabihf -plugin "$work/icount.so,out=$work/count$n.txt,top=100000" \
    "$bench" $sbr "$stream" $n >"$work/out$n.txt"
done
frames=$(sed -n 's/.*: \([0-9]*\) blocks,.*/\1/p' "$work/out1.txt")
if [ -z "$frames" ] || [ "$frames" -eq 0 ]; then
  echo "$0: no frames decoded from $stream" >&2
  exit 1
fi
awk -v frames="$frames" -v top="$top" -v stream="$stream" -v isa=ARM -f "$root/scripts/per-frame.awk" \
  "$work/count1.txt" "$work/count2.txt"
