#!/bin/bash
# Installs what building and testing need on a Debian 12 machine, and only
# what is missing. Never wine32: 32-bit programs cannot run on these kernels,
# and installing it breaks the wine wrapper.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  googletest
  wine64 wine
  xvfb imagemagick
  fonts-liberation
  python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
