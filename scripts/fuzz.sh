#!/bin/sh
# Builds the libFuzzer target with clang and runs it in each input mode
# (stream, frame, pull, raw, api, units, loas) for SECONDS each (default 60),
# seeded from the test streams (for loas mode the LOAS ones) and, for units
# mode, from fuzz/seeds/units-*.bin
# (access units of the MP4 and HE-AAC test streams with their configs, laid
# out as fuzz/fuzz_decoder.cpp reads them). Corpora grow in
# build-fuzz/corpus-MODE; a finding stops the run with a non-zero exit and
# leaves its crash-* file in build-fuzz.
# Usage: fuzz.sh [SECONDS] [MODE...]
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh fuzz
seconds=${1:-60}
[ $# -gt 0 ] && shift
modes=${*:-stream frame pull raw api units loas}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAAC_FUZZ=ON -DAAC_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2 --target aacfuzz
for mode in $modes; do
  corpus=build-fuzz/corpus-$mode
  if [ ! -d "$corpus" ]; then
    mkdir -p "$corpus"
    # Seeds: two bytes for the random choices, then the start of a stream;
    # each stream under two draws of the choices (transport, SBR, output
    # and pieces), where one prefix for all gave every seed the same ones.
    seeds="tests/data/*.aac tests/data/*.adif tests/data/*.raw samples/*.aac"
    [ "$mode" = loas ] && seeds="tests/data/*.latm"
    [ "$mode" = units ] || for f in $seeds; do
      [ -f "$f" ] || continue
      { printf '\001\002'; head -c 3000 "$f"; } > "$corpus/seed-$(basename "$f")"
      { printf '\203\117'; head -c 3000 "$f"; } > "$corpus/seed2-$(basename "$f")"
    done
    for f in fuzz/seeds/"$mode"-*.bin; do
      [ -f "$f" ] || continue
      cp "$f" "$corpus/"
    done
  fi
  echo "fuzz: $mode for $seconds s"
  (cd build-fuzz && AAC_FUZZ_MODE=$mode ./aacfuzz -max_total_time="$seconds" -max_len="${AAC_FUZZ_MAXLEN:-4096}" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "corpus-$mode" 2>&1 |
     tee "fuzz-$mode.log" | grep -E '^(stat::number_of_executed_units|==|SUMMARY|artifact)' || true)
  if grep -q -E 'ERROR|SUMMARY|deadly signal|crash-|timeout-|oom-' "build-fuzz/fuzz-$mode.log"; then
    echo "fuzz: $mode found something (build-fuzz/fuzz-$mode.log)"
    exit 1
  fi
done
