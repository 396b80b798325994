#!/bin/bash
# Two builds of the same sources must give the same bytes.
#   same-bytes.sh OBJDUMP DIR_A DIR_B FILE...
# For a file that differs, says how many bytes differ and which of the
# headers objdump reads (time stamps, checksums) differ.
set -u
objdump=$1 a=$2 b=$3
shift 3
failures=0
for file in "$@"; do
  if cmp -s "$a/$file" "$b/$file"; then
    echo "same: $file"
    continue
  fi
  failures=$((failures + 1))
  echo "FAIL: $file differs between $a and $b in $(cmp -l "$a/$file" "$b/$file" 2>/dev/null | wc -l) bytes"
  diff <("$objdump" -p "$a/$file" | tail -n +3) <("$objdump" -p "$b/$file" | tail -n +3) | head -n 20
done
[ $failures -eq 0 ]
