#!/bin/bash
# The C++ sources are formatted as .clang-format describes: names each file
# that clang-format would change, with the first lines it would change.
# scripts/format.sh formats them.
#   check_format.sh SOURCE_DIR
set -uo pipefail
cd "$1" || exit 2
command -v clang-format >/dev/null || { echo "clang-format is not installed (scripts/setup.sh installs it)"; exit 1; }
mapfile -t files < <(bash scripts/format.sh --list)
[ ${#files[@]} -gt 0 ] || { echo "no source file found"; exit 1; }
diffs=$(mktemp)
trap 'rm -f "$diffs"' EXIT
failed=0
for f in "${files[@]}"; do
  if ! clang-format "$f" | diff -u --label "$f" --label "$f (formatted)" "$f" - >"$diffs"; then
    echo "$f is not formatted (scripts/format.sh formats it):"
    head -n 20 "$diffs"
    failed=1
  fi
done
echo "${#files[@]} files checked"
exit $failed
