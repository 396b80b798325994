#!/bin/bash
# Makes the recorder the program that opens http addresses in a build tree's
# Wine prefix (and nowhere else). Safe to run again: the value is overwritten.
#   register.sh WINE_RUN RECORDER_EXE
set -eu
wine_run=$1
recorder=$("$wine_run" winepath -w "$2" 2>/dev/null)
# Wine does not merge the current user's classes into HKEY_CLASSES_ROOT, so
# the association goes into the machine's classes.
if ! out=$("$wine_run" reg add 'HKLM\Software\Classes\http\shell\open\command' /ve /t REG_SZ \
             /d "\"$recorder\" \"%1\"" /f 2>&1); then
  echo "reg add failed: $out" >&2
  exit 1
fi
"$wine_run" reg query 'HKLM\Software\Classes\http\shell\open\command' /ve 2>/dev/null | grep -qF "$recorder"
echo "http opens with $recorder"
