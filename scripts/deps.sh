#!/bin/sh
# Installs what a fresh Debian machine lacks for building and testing.
# Usage: deps.sh [main|arm|fuzz]   ("main" only what building the plug-in and
# aacdec needs, "arm" adds the 32-bit ARM cross compiler and qemu-user,
# "fuzz" clang with libFuzzer)
set -e
need=""
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v g++ >/dev/null 2>&1 || need="$need g++"
command -v pkg-config >/dev/null 2>&1 || need="$need pkg-config"
# .m4a input in aacdec.
pkg-config --exists libavformat 2>/dev/null || need="$need libavformat-dev"
# The tests: GoogleTest, the reference decodes (FLAC), the checking
# scripts, the GStreamer element and the tools and parsers (aacparse,
# qtdemux) its tests run.
[ "${1:-}" != main ] && {
command -v python3 >/dev/null 2>&1 || need="$need python3"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
command -v flac >/dev/null 2>&1 || need="$need flac"
pkg-config --exists gstreamer-1.0 2>/dev/null || need="$need libgstreamer1.0-dev"
pkg-config --exists gstreamer-audio-1.0 2>/dev/null || need="$need libgstreamer-plugins-base1.0-dev"
command -v gst-launch-1.0 >/dev/null 2>&1 || need="$need gstreamer1.0-tools"
[ -n "$(find /usr/lib -name libgstaudioparsers.so 2>/dev/null | head -n 1)" ] || need="$need gstreamer1.0-plugins-good"
}
if [ "${1:-}" = arm ]; then
  command -v arm-linux-gnueabihf-g++ >/dev/null 2>&1 || need="$need g++-arm-linux-gnueabihf"
  command -v qemu-arm >/dev/null 2>&1 || need="$need qemu-user"
fi
if [ "${1:-}" = fuzz ]; then
  command -v clang++ >/dev/null 2>&1 || need="$need clang"
  # libFuzzer's runtime comes with the compiler-rt package of clang 14.
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 || need="$need libclang-rt-14-dev"
fi
if [ -n "$need" ]; then
  echo "installing:$need"
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $need
fi
