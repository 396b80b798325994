#!/bin/bash
# The main job: installs what is missing, builds every flavour (the shipped
# files land in build/x86/dist), then shows the programs working under Wine:
# the 32-bit ones where this machine runs 32-bit programs, else the 64-bit
# build (scripts/arch.sh says which and why). On your display if DISPLAY is
# set, else on a virtual one. Screenshots and what the programs did go to out/.
# Last, the release step with a test certificate: out/release.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh
bash scripts/build.sh
source scripts/arch.sh
run=$QF_TREE/wine-run

out=$root/out
rm -rf "$out"
mkdir -p "$out"
"$QF_TREE/wine-session" setup >/dev/null
# The https:// publisher of the signed road: the TLS front before the demo's
# publisher, its test CA trusted in the tree's prefix only.
"$QF_TREE/tls-front" start >/dev/null
trap '"$QF_TREE/tls-front" stop; "$QF_TREE/wine-session" cleanup' EXIT

echo "Shipped x86 deliverables in build/x86/dist:"
ls -1 build/x86/dist | sed 's/^/  /'
echo
echo "$QF_ARCH_NOTE"
echo

status=0
"$run" "$QF_TREE/bin/QuillfeedDemo.exe" "$("$run" winepath -w "$out" 2>/dev/null)" || status=$?
for bmp in "$out"/*.bmp; do
  [ -e "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done

echo
bash scripts/blog-demo.sh "$out" || status=$?

echo
echo "Blog-this plugins ($QF_PLUGINS), loaded by the feed reader's host; the host"
echo "answers each message box and prints its caption and text:"
for plugin in Lantern Kestrel; do
  for item in sample-item broken-item; do
    echo "  $plugin.dll, BlogThis with $item.xml:"
    "$run" "$QF_TREE/bin/PluginHost.exe" \
      "$("$run" winepath -w "$root/$QF_PLUGINS/$plugin.dll" 2>/dev/null)" \
      --item "$("$run" winepath -w "$root/tools/pluginhost/samples/$item.xml" 2>/dev/null)" \
      --answer-boxes | sed 's/^/    /' || status=$?
  done
done
echo
echo "Screenshots in out/:"
ls -1 "$out" | sed 's/^/  /'

echo
bash scripts/release-demo.sh "$out" || status=$?
exit $status
