#!/bin/sh
# Usage: check_state.sh OBJDUMP LIBRARY — the decoder library keeps no
# writable process-wide state but the plug-in's static instance (its eight
# blocks) and the kernel table, chosen once: every other object in a
# writable data section is a finding (a sanitizer's own markers aside).
set -e
found=$("$1" -t "$2" | awk '$4 ~ /^\.(bss|data|tbss|tdata)/ && $4 !~ /rel\.ro/ && $3 == "O" { print $NF }' |
  grep -v -E '^_ZN12_GLOBAL__N_16block[0-7]E$|^kernels$|kernels_chosen|_ZGVZ19kernels_select_once|^__odr_asan|^___?asan|^__sancov|^__ubsan' || true)
if [ -n "$found" ]; then
  echo "writable process-wide objects in $2:"
  echo "$found"
  exit 1
fi
echo "no writable process-wide state but the static instance and the kernel table"
