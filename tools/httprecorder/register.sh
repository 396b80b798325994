#!/bin/bash
# Makes the recorder the program that opens http and https addresses in a
# build tree's Wine prefix (and nowhere else). Safe to run again: the values
# are overwritten.
#   register.sh WINE_RUN RECORDER_EXE
set -eu
wine_run=$1
recorder=$("$wine_run" winepath -w "$2" 2>/dev/null)
# Wine does not merge the current user's classes into HKEY_CLASSES_ROOT, so
# the association goes into the machine's classes.
for scheme in http https; do
  key="HKLM\\Software\\Classes\\$scheme\\shell\\open\\command"
  if ! out=$("$wine_run" reg add "$key" /ve /t REG_SZ /d "\"$recorder\" \"%1\"" /f 2>&1); then
    echo "reg add failed: $out" >&2
    exit 1
  fi
  "$wine_run" reg query "$key" /ve 2>/dev/null | grep -qF "$recorder"
done
echo "http and https open with $recorder"
