#!/bin/bash
# Installs what building and testing need on a Debian 12 machine, and only
# what is missing. The shipped programs are 32-bit: where the kernel runs
# 32-bit programs, Wine's 32-bit side (i386 multiarch, wine32) is installed
# too, so that they run under a 64-bit prefix as on 64-bit Windows. Where it
# does not, wine32 stays away: the 64-bit programs are run with Wine's 64-bit
# loader in any case, so that a wine32 that cannot work never gets in their way.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake make
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  googletest
  wine64 wine
  xvfb imagemagick
  fonts-liberation
  python3
  iproute2
  openssl
  osslsigncode
  clang-format
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
i386=no
if bash tools/wine/i386-check.sh --kernel-only >/dev/null; then
  i386=yes
  installed wine32:i386 || missing+=(wine32:i386)
fi

if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  if [ "$i386" = yes ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
