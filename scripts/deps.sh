#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when apt-get is
# there and they are missing. Safe to run again. Extra packages a caller needs
# (test tools, the benchmark's peers, name:i386 for the 32-bit build) are
# given as arguments.
set -euo pipefail
packages=(cmake g++ make pkg-config libjpeg62-turbo-dev libpng-dev libtiff-dev libgif-dev libdeflate-dev libisal-dev zlib1g-dev libgtest-dev python3-pil "$@")
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
    # A mirror part way through a sync fails an update now and then: the
    # lists are fetched again, and an update that fails is not the end as
    # long as the packages install from the lists there are.
    for attempt in 1 2 3; do
      $SUDO apt-get update -qq || echo "apt-get update failed (attempt $attempt)" >&2
      if DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
        exit 0
      fi
      [ "$attempt" -lt 3 ] && sleep 20
    done
    echo "Cannot install: ${missing[*]}" >&2
    exit 1
  else
    echo "Missing packages (install them by hand): ${missing[*]}" >&2
    exit 1
  fi
fi
