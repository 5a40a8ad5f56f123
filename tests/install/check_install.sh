#!/bin/sh
# Usage: check_install.sh BUILD_DIR SOURCE_DIR — installs the build into a
# scratch prefix; the installed aacdec must decode the sample stream as it
# is (libzoraac through its run path, no plug-in, no host library). Then it
# builds two tiny hosts against the prefix, one through pkg-config (C99) and
# one through the CMake package (C11); each must decode the sample through
# the installed plug-in to the PCM aacdec gives. The same for hosts of the
# library interface: through pkg-config (shared and static libzoraac) and
# through the CMake target zoraac::zoraac, run without LD_LIBRARY_PATH; and
# for the .m4a host, whose MP4 file must give the PCM of the same stream in
# ADTS.
set -e
build=$(cd "$1" && pwd); src=$(cd "$2" && pwd)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(ls -d "$prefix"/lib*/pkgconfig | head -n 1); libdir=${libdir%/pkgconfig}
for f in bin/aacdec include/zoraac.h share/man/man1/aacdec.1 share/doc/zoraac/LICENSE \
         lib/libzoraac.a lib/libzoraac.so; do
  case $f in lib/*) f=${libdir#"$prefix"/}/${f#lib/} ;; esac
  [ -f "$prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done
[ -f "$libdir/zoraac/libaacplugin.so" ] || { echo "FAIL: no plug-in in $libdir/zoraac"; exit 1; }
if find "$prefix" -name 'libcomzorc*' | grep -q .; then echo "FAIL: stand-in host library installed"; exit 1; fi
"$prefix/bin/aacdec" --version | grep -q "^aacdec " || { echo "FAIL: aacdec --version"; exit 1; }

stream=$src/samples/tones_clicks_12k_mono.aac
env -u LD_LIBRARY_PATH "$prefix/bin/aacdec" --quiet "$stream" - > "$tmp/want.pcm"
[ -s "$tmp/want.pcm" ] || { echo "FAIL: the installed aacdec gave no PCM"; exit 1; }

# The plug-in needs the host library; on a device the framework has it, here
# the build tree's stand-in does.
export LD_LIBRARY_PATH="$build${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
plugin=$(pkg-config --variable=plugin zoraac)
"$prefix/bin/aacdec" --quiet --plugin "$plugin" "$stream" - > "$tmp/aacdec_plugin.pcm"
cmp "$tmp/want.pcm" "$tmp/aacdec_plugin.pcm"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic $(pkg-config --cflags zoraac) -o "$tmp/host_pc" \
  "$src/tests/install/host.c" $(pkg-config --libs zoraac)
"$tmp/host_pc" "$plugin" "$stream" "$tmp/pc.pcm" >/dev/null
cmp "$tmp/want.pcm" "$tmp/pc.pcm"

# The library interface: a C99 host through pkg-config, linked against the
# installed libzoraac (found at run time through its run path).
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic $(pkg-config --cflags zoraac) -o "$tmp/api_pc" \
  "$src/tests/install/api_host.c" $(pkg-config --libs zoraac) -Wl,-rpath,"$libdir"
env -u LD_LIBRARY_PATH "$tmp/api_pc" "$stream" "$tmp/api_pc.pcm" >/dev/null
cmp "$tmp/want.pcm" "$tmp/api_pc.pcm"
# The static library: the decoder's objects inside, the C++ runtime from pkg-config --static.
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic $(pkg-config --cflags zoraac) -o "$tmp/api_static" \
  "$src/tests/install/api_host.c" "$libdir/libzoraac.a" $(pkg-config --static --libs-only-other --libs-only-l zoraac | sed 's/-lzoraac//')
env -u LD_LIBRARY_PATH "$tmp/api_static" "$stream" "$tmp/api_static.pcm" >/dev/null
cmp "$tmp/want.pcm" "$tmp/api_static.pcm"
# The .m4a host: the sweep's MP4 file gives the PCM of its ADTS stream.
sweep=$src/tests/data/g2_22050_s_sweep
env -u LD_LIBRARY_PATH "$tmp/api_pc" "$sweep.aac" "$tmp/sweep.pcm" >/dev/null
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic $(pkg-config --cflags zoraac) -o "$tmp/m4a_pc" \
  "$src/tests/install/m4a_host.c" $(pkg-config --libs zoraac) -Wl,-rpath,"$libdir"
env -u LD_LIBRARY_PATH "$tmp/m4a_pc" "$sweep.m4a" "$tmp/m4a_pc.pcm" >/dev/null
cmp "$tmp/sweep.pcm" "$tmp/m4a_pc.pcm"
if nm -D --defined-only "$libdir/libzoraac.so" | awk '{print $3}' | grep -v -E '^(zoraac_|ZORAAC_1$)' | grep -q .; then
  echo "FAIL: libzoraac exports more than zoraac_*"; exit 1
fi

cmake -S "$src/tests/install" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/consumer" >/dev/null
plugin_cmake=$(cat "$tmp/consumer/plugin_path.txt")
[ "$(realpath "$plugin_cmake")" = "$(realpath "$plugin")" ] || { echo "FAIL: CMake package plug-in $plugin_cmake, pkg-config $plugin"; exit 1; }
"$tmp/consumer/host" "$plugin_cmake" "$stream" "$tmp/cmake.pcm" >/dev/null
cmp "$tmp/want.pcm" "$tmp/cmake.pcm"
env -u LD_LIBRARY_PATH "$tmp/consumer/api_host" "$stream" "$tmp/api_cmake.pcm" >/dev/null
cmp "$tmp/want.pcm" "$tmp/api_cmake.pcm"
env -u LD_LIBRARY_PATH "$tmp/consumer/m4a_host" "$sweep.m4a" "$tmp/m4a_cmake.pcm" >/dev/null
cmp "$tmp/sweep.pcm" "$tmp/m4a_cmake.pcm"
echo "install ok: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"
