#!/bin/sh
# Builds and runs every test natively: an optimised build, then a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, both in the default (exact)
# arithmetic; then an optimised build in the compact arithmetic, and one of
# the exact arithmetic without SBR and PS (-DAAC_SBR=OFF). The stream
# tests run once more with the portable kernels alone (AAC_CPU_MASK=0): the
# same MD5s. Last, the library's tests under ThreadSanitizer.
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
for variant in build-test:OFF:exact:ON build-asan:ON:exact:ON build-compact:OFF:compact:ON build-lc:OFF:exact:OFF; do
  dir=${variant%%:*}; rest=${variant#*:}; san=${rest%%:*}; rest=${rest#*:}; arith=${rest%%:*}; sbr=${rest#*:}
  cmake -S . -B "$dir" -DAAC_WERROR=ON -DAAC_SANITIZE="$san" -DAAC_TESTS=ON -DAAC_ARITHMETIC="$arith" \
    -DAAC_SBR="$sbr" >/dev/null
  cmake --build "$dir" -j2
  (cd "$dir" && ctest --output-on-failure -j2)
done
(cd build-test && AAC_CPU_MASK=0 ctest --output-on-failure -j2 -R '^stream_')
# Decoders in threads of their own under ThreadSanitizer: the library's tests.
cmake -S . -B build-tsan -DAAC_TSAN=ON -DAAC_TESTS=ON -DAAC_GSTREAMER=OFF -DAAC_MP4=OFF >/dev/null
cmake --build build-tsan -j2 --target api_tests
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j2 -R '^Api\.')
