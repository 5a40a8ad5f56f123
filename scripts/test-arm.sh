#!/bin/sh
# Cross-builds everything for the 32-bit ARM target and runs the tests under
# qemu-arm; then checks that the cross build without tests configures and builds.
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh arm
cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DAAC_WERROR=ON >/dev/null
cmake --build build-armhf -j2
(cd build-armhf && ctest --output-on-failure -j2)
cmake -S . -B build-armhf-notests -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DAAC_WERROR=ON -DAAC_TESTS=OFF >/dev/null
cmake --build build-armhf-notests -j2
