#!/bin/bash
# Says whether this machine can run the shipped 32-bit programs under Wine:
# the kernel must run a 32-bit program (IA-32 emulation), and Wine's 32-bit
# loader (wine32) must be installed. Silent and 0 when both hold; otherwise
# one line saying why not, and 1.
#   i386-check.sh [--kernel-only]
# QF_ASSUME_NO_I386=1 makes it answer as a machine without 32-bit support
# would, to try that path on one that has it.
set -u

kernel_runs_i386() {
  [ "${QF_ASSUME_NO_I386:-0}" = 1 ] && return 1
  # The smallest static i386 Linux program: exit(42) through int 0x80. A
  # kernel without IA-32 emulation refuses to start it.
  local probe rc
  probe=$(mktemp) || return 1
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null
  rc=$?
  rm -f "$probe"
  [ "$rc" -eq 42 ]
}

if ! kernel_runs_i386; then
  if [ -x /usr/lib/wine/wine ]; then
    echo "this kernel does not run 32-bit programs (no IA-32 emulation), although wine32 is installed: the 32-bit programs cannot run here"
  else
    echo "this kernel does not run 32-bit programs (no IA-32 emulation): the 32-bit programs cannot run here"
  fi
  exit 1
fi
[ "${1:-}" = --kernel-only ] && exit 0
if [ ! -x /usr/lib/wine/wine ]; then
  echo "Wine's 32-bit loader is missing although this kernel runs 32-bit programs: run scripts/setup.sh (it installs wine32)"
  exit 1
fi
exit 0
