#!/bin/bash
# The documents name files, commands and tests; each named one must exist, so
# that a rename or a removal that forgets the documents fails here.
#   check_docs.sh SOURCE_DIR
set -uo pipefail
cd "$1" || exit 2
docs=(README.md docs/*.md)
failed=0
miss() { echo "$1: names $2, which does not exist"; failed=1; }

for doc in "${docs[@]}"; do
  # Links between the documents.
  while read -r target; do
    [ -e "$(dirname "$doc")/$target" ] || miss "$doc" "the link $target"
  done < <(grep -o '](\([^)#]*\))' "$doc" | sed 's/^](//; s/)$//' | grep -v '://')
  # Paths of the tree in backticks: the first word, without a trailing slash.
  while read -r path; do
    [ -e "$path" ] || miss "$doc" "$path"
  done < <(grep -o '`[^`]*`' "$doc" | tr -d '`' | awk '{print $1}' |
           grep -E '^(scripts|tools|tests|updater|plugins|owners|bench|cmake|docs)/' |
           grep -v '[*<>]' | sed 's#/$##' | sort -u)
  # Tests named as Suite.Case.
  while read -r name; do
    suite=${name%%.*} case=${name#*.}
    grep -rqE "TEST(_F)?\(\s*$suite\s*,\s*$case\s*\)" tests || miss "$doc" "the test $name"
  done < <(grep -o '`[A-Z][A-Za-z0-9]*\.[A-Z][A-Za-z0-9_]*`' "$doc" | tr -d '`' | grep -v '^Suite\.Case$' | sort -u)
  # CTest presets in the commands.
  while read -r preset; do
    grep -q "\"name\": \"$preset\"" CMakePresets.json || miss "$doc" "the preset $preset"
  done < <(grep -oE -- '--preset [a-z0-9-]+' "$doc" | awk '{print $2}' | sort -u)
done
exit $failed
