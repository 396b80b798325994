#!/bin/bash
# What hostile feed items cost BlogThis: each item goes through the reader's
# host with both plugins, side by side with an ordinary item, and the host
# reports how long BlogThis took (message box included: the host answers it
# as soon as it appears) and the process's peak working set.
# Runs the architecture this machine shows (the 32-bit plugins as shipped where
# it can run them; QF_ARCH=x64 for the 64-bit ones, see scripts/arch.sh).
# Needs scripts/build.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/arch.sh
echo "$QF_ARCH_NOTE"
"$QF_TREE/wine-session" setup >/dev/null
run=$QF_TREE/wine-run
items=$(mktemp -d)
trap 'rm -rf "$items"; "$QF_TREE/wine-session" cleanup' EXIT

python3 - "$items" <<'PY'
import sys, os
out = sys.argv[1]
def item(desc='d', prolog='', title='t'):
    return (prolog + '<rss><channel><item><title>' + title + '</title><description>' + desc +
            '</description><link>l</link></item></channel></rss>')
def write(name, text):
    open(os.path.join(out, name + '.xml'), 'w').write(text)
write('ordinary', item())
write('nested-200', item('<a>' * 200 + 'x' + '</a>' * 200))
write('nested-100000', item('<a>' * 100000 + '</a>' * 100000))
write('description-8MB', item('x' * (8 << 20)))
write('description-64MB', item('x' * (64 << 20)))
bomb = '<!DOCTYPE rss [<!ENTITY a "aaaaaaaaaa">' + ''.join(
    '<!ENTITY %s "%s">' % (chr(98 + i), ('&%s;' % chr(97 + i)) * 10) for i in range(9)) + ']>'
write('entity-bomb', item('&j;', bomb))
quad = '<!DOCTYPE rss [<!ENTITY big "' + 'x' * 10240 + '">]>'
write('entity-10KBx10000', item('&big;' * 10000, quad))
# The same kind of entity behind prolog shapes that a careless reader of the
# prolog takes for the end of it: a comment opened as "<!-->", a processing
# instruction with ">" inside, "]>" in a comment or literal of the document
# type, "?>" inside a quoted value of the XML declaration.
entity = '<!ENTITY x "' + 'x' * 10000 + '">'
uses = '&x;' * 3000
write('prolog-comment-trick', item(prolog='<!--><x/>--><!DOCTYPE rss [' + entity + ']>', title=uses))
write('prolog-pi-trick', item(prolog='<?pi a><x/>?><!DOCTYPE rss [' + entity + ']>', title=uses))
write('subset-comment-trick', item(prolog='<!DOCTYPE rss [<!-- ]> -->' + entity + ']>', title=uses))
write('literal-trick', item(prolog='<!DOCTYPE rss SYSTEM "]>" [' + entity + ']>', title=uses))
write('double-bom-trick', item(prolog='\ufeff\ufeff<!DOCTYPE rss [' + entity + ']>', title=uses))
write('declaration-quote-trick', item(prolog='<?xml version="?><x a=\'"?><!DOCTYPE rss [' + entity + ']>', title=uses))
PY

echo "Every hostile item should return within a second, like the ordinary one."
printf '%-22s %-8s %s\n' item plugin result
for name in ordinary nested-200 nested-100000 description-8MB description-64MB entity-bomb entity-10KBx10000 \
            prolog-comment-trick prolog-pi-trick subset-comment-trick literal-trick double-bom-trick \
            declaration-quote-trick; do
  for plugin in Lantern Kestrel; do
    result=$(timeout 600 "$run" "$QF_TREE/bin/PluginHost.exe" "$QF_PLUGINS/$plugin.dll" \
               --item "$("$run" winepath -w "$items/$name.xml" 2>/dev/null)" --answer-boxes --stats |
             sed -n -e 's/^Message box .*: /box: /p' -e 's/^BlogThis took //p' | paste -sd ';' -)
    printf '%-22s %-8s %s\n' "$name" "$plugin" "${result:-no result (time-out or crash)}"
  done
done
