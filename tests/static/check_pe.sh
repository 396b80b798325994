#!/bin/bash
# Static checks of a shipped PE file with the cross binutils.
#   check_pe.sh OBJDUMP WINDRES FILE MACHINE SUBSYSTEM [resource|export ...]
# MACHINE is the objdump format (pei-i386), SUBSYSTEM "gui" or "dll".
# Each further argument is "res:<type>:<name>" (a resource that must be
# present), "export:<ordinal>:<name>" (the exports, exactly, by ordinal),
# "ret:<name>:<bytes>" (every return of that export removes that many bytes of
# arguments, as a stdcall function does; x86 only), "symbols:<file>" (the file
# as linked, before its symbols were stripped, which "ret:" reads) or
# "import:<dll>" (one more system DLL that this build may import, bcrypt for
# one that checks signatures).
set -u
objdump=$1 windres=$2 file=$3 machine=$4 subsystem=$5
shift 5
objcopy=${objdump%objdump}objcopy
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -f "$file" ] || { echo "FAIL: $file does not exist"; exit 1; }
headers=$("$objdump" -p "$file") || { echo "FAIL: objdump cannot read $file"; exit 1; }

# Shipped without symbols or debug information.
flags=$("$objdump" -f "$file" | sed -n '/^architecture:/{n;p}')
grep -qE 'HAS_SYMS|HAS_DEBUG' <<<"$flags" && fail "$file carries symbols or debug information ($flags)"
debug_sections=$("$objdump" -h "$file" | awk '$2 ~ /^\.debug/ {printf "%s%s", separator, $2; separator = " "}')
[ -z "$debug_sections" ] || fail "$file has debug sections: $debug_sections"

symbols=""
for want in "$@"; do
  case $want in symbols:*) symbols=${want#symbols:} ;; esac
done

grep -q "file format $machine\$" <<<"$headers" || fail "$file is not $machine"
case $subsystem in
  gui) grep -qE '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not a Windows GUI program" ;;
  # The DLL flag is listed under the file header's Characteristics; "DLL Name"
  # lines of the import table must not count.
  dll) sed -n '/^Characteristics/,/^$/p' <<<"$headers" | grep -qE '^[[:space:]]+DLL$' || fail "not a DLL" ;;
esac

# Windows system DLLs only: the C and C++ runtimes, libgcc and winpthread are linked in.
system_dlls='kernel32|user32|gdi32|comctl32|comdlg32|ole32|oleaut32|urlmon|shlwapi|shell32|advapi32|msvcrt|ws2_32'
for want in "$@"; do
  case $want in import:*) system_dlls+="|${want#import:}" ;; esac
done
allowed="^($system_dlls)\.dll\$"
while read -r dll; do
  grep -qiE "$allowed" <<<"$dll" || fail "imports $dll, which is not a Windows system DLL"
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")

# The code of the symbols file must be the checked file's.
same_code() {
  local scratch result=0
  scratch=$(mktemp -d)
  "$objcopy" -O binary -j .text "$file" "$scratch/shipped" &&
    "$objcopy" -O binary -j .text "$symbols" "$scratch/linked" &&
    cmp -s "$scratch/shipped" "$scratch/linked" || result=1
  rm -rf "$scratch"
  return $result
}

# The returns of an exported function: its own instructions up to the next
# function label, and the cold part that the compiler split off, which holds
# the exception handlers. The labels are the symbols file's.
check_returns() {
  local name=$1 bytes=$2 index rva base start disassembly label returns
  [ -f "$symbols" ] || { fail "$name: the returns are read with a symbols file, and there is none"; return; }
  same_code || { fail "$name: the code of $symbols is not that of $file"; return; }
  index=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
          sed -nE "s/^[[:space:]]*\[[[:space:]]*([0-9]+)\][[:space:]]+$name\$/\1/p")
  [ -n "$index" ] || { fail "no export named $name"; return; }
  rva=$(sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$headers" |
        sed -nE "s/^[[:space:]]*\[[[:space:]]*$index\][[:space:]]+\+base\[[[:space:]]*[0-9]+\][[:space:]]+([0-9a-fA-F]+) .*/\1/p")
  base=$(sed -nE 's/^ImageBase[[:space:]]+([0-9a-fA-F]+).*/\1/p' <<<"$headers")
  start=$(printf '%x' $((0x$base + 0x$rva)))
  disassembly=$("$objdump" -d "$symbols")
  label=$(grep -m1 -E "^0*$start <[^>]+>:" <<<"$disassembly" | sed -E 's/^[0-9a-f]+ <([^>]+)>:/\1/')
  [ -n "$label" ] || { fail "$name: no symbol at 0x$start in $symbols"; return; }
  returns=$(awk -v start="$start" -v label="$label" '
      /^[0-9a-f]+ <.*>:$/ {
        name = $2; gsub(/[<>:]/, "", name); addr = $1; sub(/^0+/, "", addr)
        inside = (addr == start) || name == label ".cold"; next }
      inside && /\tret/ { print $NF }' <<<"$disassembly")
  [ -n "$returns" ] || { fail "$name: no return found at 0x$start"; return; }
  local expected='$0x'$(printf '%x' "$bytes")
  [ "$bytes" = 0 ] && expected=ret
  while read -r operand; do
    [ "$operand" = "$expected" ] || fail "$name returns with '$operand', expected '$expected'"
  done <<<"$returns"
}

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
    ret:*)
      IFS=: read -r _ name bytes <<<"$want"
      check_returns "$name" "$bytes"
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
  # An export by ordinal alone has no name; count every used address slot too.
  slots=$(sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$headers" |
          grep -cE '^[[:space:]]*\[[[:space:]]*[0-9]+\] \+base\[[[:space:]]*[0-9]+\][[:space:]]+[0-9a-fA-F]*[1-9a-fA-F][0-9a-fA-F]* ')
  wanted=$(printf '%s' "$exports_seen" | grep -c .)
  [ "$slots" = "$wanted" ] || fail "$slots exports in the address table, expected $wanted"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed for $file"
  exit 1
fi
echo "ok: $file"
