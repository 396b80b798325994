# Sourced by the run command and the benchmarks: which programs this machine
# can show. The 32-bit ones, which users get, where it runs 32-bit programs;
# else the 64-bit build of the same sources. QF_ARCH=x64 asks for the 64-bit
# ones even where the 32-bit ones run. Sets:
#   QF_TREE      the test build tree whose programs and tools run under Wine
#   QF_PLUGINS   the plugins to show: as shipped (build/x86/dist, they carry
#                no address) or the 64-bit ones
#   QF_ARCH_NOTE one line that says which architecture is shown, and why
if [ "${QF_ARCH:-}" = x64 ]; then
  QF_TREE=build/x64
  QF_PLUGINS=build/x64/dist
  QF_ARCH_NOTE="Showing the 64-bit (x64) programs, as asked (QF_ARCH=x64)."
elif reason=$(bash tools/wine/i386-check.sh); then
  QF_TREE=build/x86-test
  QF_PLUGINS=build/x86/dist
  QF_ARCH_NOTE="Showing the 32-bit (x86) programs users get, under Wine's WoW64: the plugins as shipped, the updater built with the loopback publisher's address."
else
  QF_TREE=build/x64
  QF_PLUGINS=build/x64/dist
  QF_ARCH_NOTE="Showing the 64-bit (x64) build of the same sources: $reason."
fi

# Prints the note, starts the chosen tree's Wine session and ends it when the
# calling script exits.
qf_start_session() {
  echo "$QF_ARCH_NOTE"
  "$QF_TREE/wine-session" setup >/dev/null
  trap '"$QF_TREE/wine-session" cleanup' EXIT
}
