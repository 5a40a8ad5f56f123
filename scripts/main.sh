#!/bin/sh
# Builds the plug-in and the command-line host, then runs the host on the
# shipped sample stream.
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DAAC_TESTS=OFF >/dev/null
cmake --build build -j2 --target aacdec
build/aacdec --rate 12000 --channels 1 samples/tones_clicks_12k_mono.aac
