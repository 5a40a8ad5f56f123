#!/bin/sh
# Cross-builds everything for the 32-bit ARM target and runs the tests under
# qemu-arm; then the compact arithmetic's host, checked by its stream MD5s, and
# the cross build without tests. The kernel checker runs once more on a NEON
# core (Cortex-A15), and the stream tests with the portable kernels alone.
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh arm
cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DAAC_WERROR=ON >/dev/null
cmake --build build-armhf -j2
(cd build-armhf && ctest --output-on-failure -j2)
qemu-arm -cpu cortex-a15 -L /usr/arm-linux-gnueabihf build-armhf/tests/check_kernels
(cd build-armhf && AAC_CPU_MASK=0 ctest --output-on-failure -j2 -R '^stream_')
cmake -S . -B build-armhf-compact -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DAAC_WERROR=ON \
  -DAAC_ARITHMETIC=compact >/dev/null
cmake --build build-armhf-compact -j2 --target aacdec aacplugin
(cd build-armhf-compact && ctest --output-on-failure -j2 -R '^stream_')
cmake -S . -B build-armhf-notests -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DAAC_WERROR=ON -DAAC_TESTS=OFF >/dev/null
cmake --build build-armhf-notests -j2
