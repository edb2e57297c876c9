#!/usr/bin/env bash
# Line and branch coverage of the library's sources (image_handler/src) by
# the whole suite, with ../shared beside the tree when it is there: a Debug
# build with --coverage in build-coverage/, the tests, then gcovr's summary
# (its line-by-line report goes to build-coverage/coverage.txt).
# Not part of the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh valgrind imagemagick gcovr
flags=--coverage
cmake -S . -B build-coverage -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" >/dev/null
cmake --build build-coverage -j"$(nproc)" >/dev/null
find build-coverage -name '*.gcda' -delete
(cd build-coverage && ctest -j"$(nproc)" --timeout 600 --output-on-failure | tail -3)
# Forked children write their counts while others run, so gcov can meet a
# count it cannot parse; such a line is left out rather than failing.
gcovr -r . --filter "$PWD/image_handler/src/" --object-directory build-coverage --exclude-unreachable-branches \
  --exclude-throw-branches --gcov-ignore-parse-errors --exclude-directories build-coverage/CMakeFiles --print-summary \
  -o build-coverage/coverage.txt build-coverage
