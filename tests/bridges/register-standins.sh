#!/bin/bash
# Registers the editor stand-ins' COM class in the build tree's Wine prefix
# (HKLM\Software\Classes: Wine does not merge the current user's classes).
# Running it again changes nothing.
#   register-standins.sh WINE_RUN STANDIN.dll
set -eu
wine_run=$1
dll=$("$wine_run" winepath -w "$2" 2>/dev/null)
"$wine_run" regsvr32 /s "$dll"
