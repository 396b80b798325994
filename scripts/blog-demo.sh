#!/bin/bash
# Part of the run command: blogs a sample feed item through both plugins, the
# way the feed reader does (the plugin host), into the editor stand-ins, and
# prints what each editor received. Expects the build and the Wine session of
# the architecture that scripts/arch.sh picks (scripts/run.sh sets both up).
#   scripts/blog-demo.sh OUT_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/arch.sh
out=$1/blog
rm -rf "$out"
mkdir -p "$out/w.bloggar"
run=$QF_TREE/wine-run
winpath() { "$run" winepath -w "$1" 2>/dev/null; }

# The editors: Live Writer's class registered in the prefix, w.bloggar
# installed in out/blog/w.bloggar and named in the current user's registry.
bash tests/bridges/register-standins.sh "$run" "$QF_TREE/bin/LiveWriterStandIn.dll"
cp "$QF_TREE/bin/wbloggar.exe" "$out/w.bloggar/"
key='HKCU\Software\VB and VBA Program Settings\Bloggar'
"$run" reg add "$key" /v InstallPath /t REG_SZ /d "$(winpath "$out/w.bloggar")" /f >/dev/null 2>&1

cat > "$out/item.xml" <<'ITEM'
<?xml version="1.0" encoding="UTF-8"?>
<rss version="2.0"><channel><title>Quillfeed news</title><link>http://quillfeed.example/</link>
<description>News</description><item>
<title>Quillfeed 2.0 is out</title>
<description>&lt;p&gt;Faster feeds, &lt;b&gt;folders&lt;/b&gt; &amp; a new look.&lt;/p&gt;</description>
<link>http://quillfeed.example/news/2.0?from=feed&amp;who='you'</link>
</item></channel></rss>
ITEM
item=$(winpath "$out/item.xml")

echo "Blogging a sample item (out/blog/item.xml) with both plugins:"
echo
QF_LIVEWRITER_LOG=$(winpath "$out/livewriter.log") \
  "$run" "$QF_TREE/bin/PluginHost.exe" "$(winpath "$QF_PLUGINS/Lantern.dll")" --item "$item" --answer-boxes \
  | tr -d '\r' | sed 's/^/  /'
echo "  Live Writer (stand-in) received through its item method:"
python3 - "$out/livewriter.log" <<'PY'
import sys
import re
def plain(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r", "0": "\0"}.get(m.group(1), m.group(1)), text)
for line in open(sys.argv[1], encoding="utf-8").read().splitlines():
    if line.split(":")[0] in ("title", "link", "description") or line.startswith("result"):
        print("    " + plain(line))
PY
echo

"$run" "$QF_TREE/bin/PluginHost.exe" "$(winpath "$QF_PLUGINS/Kestrel.dll")" --item "$item" --answer-boxes \
  | tr -d '\r' | sed 's/^/  /'
# Kestrel does not wait for the editor; the stand-in's record appears when it has run.
for _ in $(seq 300); do
  ls "$out"/w.bloggar/wbloggar-*.rec >/dev/null 2>&1 && break
  sleep 0.1
done
echo "  w.bloggar (stand-in) was started with:"
python3 - "$out"/w.bloggar/wbloggar-*.rec <<'PY'
import sys
import re
def plain(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r", "0": "\0"}.get(m.group(1), m.group(1)), text)
data = open(sys.argv[1], "rb").read()
cmdline, file, count, rest = data.split(b"\n", 3)
print("    command line: " + plain(cmdline.decode("utf-8")[len("cmdline: "):]))
print("    file: " + plain(file.decode("utf-8")[len("file: "):]) + " (" + count.decode()[len("bytes: "):] + " bytes, left in the temporary folder)")
print("    file text: " + rest.decode("cp1252"))
PY
"$run" reg delete "$key" /f >/dev/null 2>&1 || true
