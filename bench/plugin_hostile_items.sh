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
def item(desc='d', prolog=''):
    return (prolog + '<rss><channel><item><title>t</title><description>' + desc +
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
PY

printf '%-20s %-8s %s\n' item plugin result
for name in ordinary nested-200 nested-100000 description-8MB description-64MB entity-bomb entity-10KBx10000; do
  for plugin in Lantern Kestrel; do
    result=$(timeout 600 "$run" "$QF_TREE/bin/PluginHost.exe" "$QF_PLUGINS/$plugin.dll" \
               --item "$("$run" winepath -w "$items/$name.xml" 2>/dev/null)" --answer-boxes --stats |
             sed -n -e 's/^Message box .*: /box: /p' -e 's/^BlogThis took //p' | paste -sd ';' -)
    printf '%-20s %-8s %s\n' "$name" "$plugin" "${result:-no result (time-out or crash)}"
  done
done
