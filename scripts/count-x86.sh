#!/bin/sh
# Counts the x86-64 instructions per decoded frame of a stream under
# callgrind, as scripts/count-arm.sh does for armhf: aacbench decodes the
# stream once and then twice; the difference of the two counts is one whole
# pass without start-up and file reading, divided by the frames decoded.
# Prints the total and the functions costing the most. AAC_CPU_MASK in the
# environment selects the kernels as in the decoder.
#
# usage: scripts/count-x86.sh [--sbr|--sbr-small] STREAM [AACBENCH] [TOP]
#   AACBENCH  an aacbench (default: build-bench/aacbench, built here)
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
  bench=$root/build-bench/aacbench
  cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DAAC_TESTS=OFF >/dev/null
  cmake --build "$root/build-bench" -j2 --target aacbench >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for n in 1 2; do
  valgrind --tool=callgrind --callgrind-out-file="$work/cg$n.out" "$bench" $sbr "$stream" $n >"$work/out$n.txt" 2>/dev/null
  callgrind_annotate --inclusive=no --threshold=100 "$work/cg$n.out" 2>/dev/null |
    awk '/^ *[0-9,]+ +\( *[0-9.]+%\) / { n = $1; gsub(/,/, "", n); sub(/^ *[0-9,]+ +\( *[0-9.]+%\) +/, ""); sub(/ \[.*\]$/, ""); sub(/^\?\?\?:/, "")
                                         if ($0 ~ /PROGRAM TOTALS/) print "total", n; else print n, $0 }' >"$work/count$n.txt"
done
frames=$(sed -n 's/.*: \([0-9]*\) blocks,.*/\1/p' "$work/out1.txt")
if [ -z "$frames" ] || [ "$frames" -eq 0 ]; then
  echo "$0: no frames decoded from $stream" >&2
  exit 1
fi
awk -v frames="$frames" -v top="$top" -v stream="$stream" -v isa=x86-64 -f "$root/scripts/per-frame.awk" \
  "$work/count1.txt" "$work/count2.txt"
