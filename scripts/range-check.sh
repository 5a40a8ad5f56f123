#!/bin/sh
# Decodes every shipped stream once with the range-checking primitives
# (AAC_RANGE_CHECK), in both arithmetics, with the selected kernels and with
# the portable ones: a value that leaves the range its
# primitive promises stops aacdec with the file and line. In the exact
# arithmetic the fuzzer's saved inputs (tests/data/fuzz) run through its
# target as well: damaged blocks the shipped streams never hold.
set -e
cd "$(dirname "$0")/.."
for arith in exact compact; do
  dir=build-range-$arith
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAAC_RANGE_CHECK=ON -DAAC_TESTS=ON \
    -DAAC_GSTREAMER=OFF -DAAC_ARITHMETIC="$arith" >/dev/null
  cmake --build "$dir" -j2 --target aacdec aacplugin fuzz_replay
  # Each stream with the kernels this machine selects (all features
  # allowed), then with the portable reference of every kernel (mask 0),
  # whose values the variants never show.
  for mask in 0xffffffff 0; do
    for s in tests/data/*.aac tests/data/*.adif tests/data/*.m4a; do
      # (The compact arithmetic refuses the multichannel streams and
      # programs of channels other than front ones, saying why.)
      if ! err=$(AAC_CPU_MASK=$mask "$dir/aacdec" -q "$s" - 2>&1 >/dev/null); then
        [ "$arith" = compact ] && echo "$err" | grep -q -E "plays one or two front channels|needs what this decoder does not play" &&
          continue
        echo "range check failed: $s ($arith, kernels $mask): $err"
        exit 1
      fi
    done
    [ "$arith" = exact ] || continue
    for f in tests/data/fuzz/*.bin; do
      mode=$(basename "$f"); mode=${mode%%-*}
      if ! err=$(AAC_FUZZ_MODE=$mode AAC_FUZZ_SPLICE=samples/tones_clicks_12k_mono.aac AAC_CPU_MASK=$mask \
          "$dir/tests/fuzz_replay" "$f" 2>&1 >/dev/null); then
        echo "range check failed: $f ($arith, kernels $mask): $err"
        exit 1
      fi
    done
  done
  echo "range check clean: $arith, selected and portable kernels"
done
