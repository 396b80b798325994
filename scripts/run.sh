#!/bin/bash
# The main job: installs what is missing, builds both flavours (the shipped
# files land in build/x86/dist), then shows the programs working under Wine:
# on your display if DISPLAY is set, else on a virtual one. Screenshots and
# what the programs did go to out/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh
bash scripts/build.sh

out=$root/out
rm -rf "$out"
mkdir -p "$out"
state=$root/build/x64/wine
bash tools/wine/wine-setup.sh "$state" >/dev/null
trap 'bash tools/wine/wine-cleanup.sh "$state"' EXIT

echo "Shipped x86 deliverables in build/x86/dist:"
ls -1 build/x86/dist | sed 's/^/  /'
echo

status=0
build/x64/wine-run build/x64/bin/QuillfeedDemo.exe "$(build/x64/wine-run winepath -w "$out" 2>/dev/null)" || status=$?
for bmp in "$out"/*.bmp; do
  [ -e "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done

echo
bash scripts/blog-demo.sh "$out" || status=$?

echo
echo "Blog-this plugins, loaded by the feed reader's host (x64 build); the host"
echo "answers each message box and prints its caption and text:"
for plugin in Lantern Kestrel; do
  for item in sample-item broken-item; do
    echo "  $plugin.dll, BlogThis with $item.xml:"
    build/x64/wine-run build/x64/bin/PluginHost.exe \
      "$(build/x64/wine-run winepath -w "$root/build/x64/dist/$plugin.dll" 2>/dev/null)" \
      --item "$(build/x64/wine-run winepath -w "$root/tools/pluginhost/samples/$item.xml" 2>/dev/null)" \
      --answer-boxes | sed 's/^/    /' || status=$?
  done
done
echo
echo "Screenshots in out/:"
ls -1 "$out" | sed 's/^/  /'
exit $status
