#!/bin/sh
# Builds the plug-in and the command-line host, then decodes the shipped
# sample stream to build/sample.wav (16-bit stereo).
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh main
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DAAC_TESTS=OFF >/dev/null
cmake --build build -j2 --target aacdec aacplugin
build/aacdec samples/tones_clicks_12k_mono.aac build/sample.wav
echo "wrote build/sample.wav"
