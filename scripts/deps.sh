#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when apt-get is
# there and they are missing. Safe to run again. Extra packages a caller needs
# (test tools, the benchmark's peers, name:i386 for the 32-bit build) are
# given as arguments.
set -euo pipefail
packages=(cmake g++ make pkg-config libjpeg62-turbo-dev libpng-dev libtiff-dev libgif-dev libdeflate-dev zlib1g-dev libgtest-dev python3-pil "$@")
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
for p in "${packages[@]}"; do
  if [[ "$p" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  if command -v apt-get >/dev/null 2>&1; then
    echo "Installing: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "Missing packages (install them by hand): ${missing[*]}" >&2
    exit 1
  fi
fi
