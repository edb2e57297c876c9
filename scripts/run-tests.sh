#!/usr/bin/env bash
# Builds everything twice, plainly and with AddressSanitizer and UBSan, with
# warnings as errors, and runs the whole test suite in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh valgrind
for variant in plain sanitize; do
  dir="build-test-$variant"
  san=OFF
  [ "$variant" = sanitize ] && san=ON
  echo "== $variant build"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXMILL_WERROR=ON -DPIXMILL_SANITIZE="$san" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)")
done
