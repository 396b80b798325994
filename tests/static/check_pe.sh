#!/bin/bash
# Static checks of a shipped PE file with the cross binutils.
#   check_pe.sh OBJDUMP WINDRES FILE MACHINE SUBSYSTEM [resource|export ...]
# MACHINE is the objdump format (pei-i386), SUBSYSTEM "gui" or "dll".
# Each further argument is "res:<type>:<name>" (a resource that must be
# present) or "export:<ordinal>:<name>" (the exports, exactly, by ordinal).
set -u
objdump=$1 windres=$2 file=$3 machine=$4 subsystem=$5
shift 5
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -f "$file" ] || { echo "FAIL: $file does not exist"; exit 1; }
headers=$("$objdump" -p "$file") || { echo "FAIL: objdump cannot read $file"; exit 1; }

grep -q "file format $machine\$" <<<"$headers" || fail "$file is not $machine"
case $subsystem in
  gui) grep -qE '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not a Windows GUI program" ;;
  dll) grep -qE '^Characteristics.*' <<<"$headers" && grep -q 'DLL' <<<"$headers" || fail "not a DLL" ;;
esac

# Windows system DLLs only: the C and C++ runtimes, libgcc and winpthread are linked in.
allowed='^(kernel32|user32|gdi32|comctl32|comdlg32|ole32|oleaut32|urlmon|shlwapi|shell32|advapi32|msvcrt|ws2_32)\.dll$'
while read -r dll; do
  grep -qiE "$allowed" <<<"$dll" || fail "imports $dll, which is not a Windows system DLL"
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")

resources=""
exports_seen=""
for want in "$@"; do
  case $want in
    res:*)
      [ -n "$resources" ] || resources=$("$windres" -i "$file" -J coff -O rc 2>/dev/null)
      IFS=: read -r _ type name <<<"$want"
      grep -qE "^$name $type( |\$)" <<<"$resources" || fail "resource $type $name missing"
      ;;
    export:*)
      IFS=: read -r _ ordinal name <<<"$want"
      exports_seen+="$ordinal $name"$'\n'
      ;;
  esac
done

if [ -n "$exports_seen" ]; then
  # The ordinal/name table of the export directory, sorted, must be exactly what was asked.
  actual=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
           sed -nE 's/^[[:space:]]*\[[[:space:]]*([0-9]+)\][[:space:]]+(.*)$/\1 \2/p' | sort)
  base=$(sed -nE 's/^Ordinal Base[[:space:]]+([0-9]+).*/\1/p' <<<"$headers")
  actual=$(while read -r idx name; do [ -n "$idx" ] && echo "$((idx + base)) $name"; done <<<"$actual" | sort)
  expected=$(printf '%s' "$exports_seen" | sort)
  [ "$actual" = "$expected" ] || fail "exports differ: expected [$expected] got [$actual]"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed for $file"
  exit 1
fi
echo "ok: $file"
