#!/usr/bin/env bash
# Builds and runs the test suite, warnings as errors: plain x86-64 (then
# installed and used by an outside consumer, and packaged as .deb files that
# are checked and installed into a scratch root), x86-64 with AddressSanitizer
# and UBSan, the 32-bit x86 library with its tests, and the threaded and
# end-to-end tests under ThreadSanitizer; then runs each fuzz target for a
# bounded time (PIXMILL_FUZZ_SECONDS a target, 20 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
i386=(crossbuild-essential-i386 libjpeg62-turbo-dev:i386 libpng-dev:i386 libtiff-dev:i386 libgif-dev:i386 libdeflate-dev:i386
      libgtest-dev:i386)
scripts/deps.sh valgrind imagemagick pngcheck python3-distributed "${i386[@]}"
jobs="$(nproc)"
tests=""
build() {  # build DIR CMAKE-ARGS...; runs the tests matching $tests (all when empty)
  local dir="$1"
  shift
  echo "== $dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXMILL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" ${tests:+-R "$tests"})
}
build build-test-plain -DPIXMILL_SANITIZE=OFF
scripts/consumer-test.sh build-test-plain
scripts/make-debs.sh build-deb
build build-test-sanitize -DPIXMILL_SANITIZE=ON
# Some kernels are built without 32-bit x86 support: there the i386 tests run
# under qemu's user-mode emulator instead of failing to start.
i386_args=(-DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake)
probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
echo 'int main(void) { return 0; }' >"$probe/probe.c"
i686-linux-gnu-gcc -o "$probe/probe" "$probe/probe.c"
if ! "$probe/probe" 2>/dev/null; then
  echo "This kernel does not run 32-bit x86 programs: the i386 tests run under qemu-i386"
  scripts/deps.sh qemu-user
  i386_args+=(-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386)
fi
build build-test-i386 "${i386_args[@]}"
# The tests with threads or child processes of their own; the single-threaded
# save of every shape only repeats the plain run's work there.
tests="Concurrency|Boundary|Roundtrip|Fault|SaveTest.Refusals" build build-test-tsan -DPIXMILL_TSAN=ON
scripts/fuzz.sh "${PIXMILL_FUZZ_SECONDS:-20}"
