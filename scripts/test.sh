#!/bin/sh
# Builds and runs every test natively: an optimised build, then a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
for variant in build-test:OFF build-asan:ON; do
  dir=${variant%%:*}; san=${variant##*:}
  cmake -S . -B "$dir" -DAAC_WERROR=ON -DAAC_SANITIZE="$san" -DAAC_TESTS=ON >/dev/null
  cmake --build "$dir" -j2
  (cd "$dir" && ctest --output-on-failure -j2)
done
