#!/usr/bin/env bash
# Builds the library and roundtrip, converts the bundled sample into the five
# containers in a fresh folder (out/), and lists what was written.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPIXMILL_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target roundtrip >/dev/null
rm -rf out && mkdir out
cd out
status=0
../build/bin/roundtrip ../samples/sample.png || status=$?
ls -l
echo "roundtrip exit status: $status"
exit "$status"
