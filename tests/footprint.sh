#!/bin/sh
# Usage: footprint.sh OBJDUMP LIBRARY BUDGET_BYTES — prints the code and
# constant sizes of the plug-in as built and fails when together they pass
# the budget its configuration has (tests/CMakeLists.txt), so that growth
# shows here first.
set -e
total=0
for sec in .text .rodata; do
  hex=$("$1" -h "$2" | awk -v s="$sec" '$2 == s { print $3 }')
  bytes=$(printf '%d' "0x${hex:-0}")
  echo "$sec: $bytes bytes"
  total=$((total + bytes))
done
echo "text + rodata: $total bytes, budget $3"
[ "$total" -le "$3" ]
