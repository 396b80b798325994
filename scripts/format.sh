#!/bin/bash
# Formats the C++ sources as .clang-format describes; run it before a commit
# (the test command's static checks name a file that is not formatted).
#   scripts/format.sh          formats every source file in place
#   scripts/format.sh --list   names them, one a line
set -euo pipefail
cd "$(dirname "$0")/.."
list() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' | while read -r f; do
      [ -f "$f" ] && echo "$f"
    done
  else
    find bench owners plugins tests tools updater \( -name '*.cpp' -o -name '*.h' \) | sort
  fi
}
if [ "${1:-}" = --list ]; then
  list
else
  list | xargs -r clang-format -i
fi
