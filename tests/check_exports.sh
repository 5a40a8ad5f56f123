#!/bin/sh
# Usage: check_exports.sh NM LIBRARY — fails unless LIBRARY's dynamic symbol
# table defines exactly GetZorAudioDecodePlugin and aacdec_raw_write.
nm="$1"; lib="$2"
got=$("$nm" -D --defined-only "$lib" | awk '{print $NF}' | sort | tr '\n' ' ')
want="GetZorAudioDecodePlugin aacdec_raw_write "
if [ "$got" != "$want" ]; then
  echo "exported: $got"; echo "expected: $want"; exit 1
fi
echo "exports ok: $got"
