#!/usr/bin/env bash
# Builds and runs the whole test suite, warnings as errors, in three builds:
# plain x86-64 (then installed and used by an outside consumer), x86-64 with
# AddressSanitizer and UBSan, and the 32-bit x86 library with its tests.
set -euo pipefail
cd "$(dirname "$0")/.."
i386=(crossbuild-essential-i386 libjpeg62-turbo-dev:i386 libpng-dev:i386 libtiff-dev:i386 libgif-dev:i386
      libgtest-dev:i386)
scripts/deps.sh valgrind "${i386[@]}"
jobs="$(nproc)"
build() {  # build DIR CMAKE-ARGS...
  local dir="$1"
  shift
  echo "== $dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXMILL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}
build build-test-plain -DPIXMILL_SANITIZE=OFF
scripts/consumer-test.sh build-test-plain
build build-test-sanitize -DPIXMILL_SANITIZE=ON
build build-test-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
