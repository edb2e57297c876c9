#!/usr/bin/env bash
# Installs a build into a fresh prefix and uses it as an outside project
# would: a C program built once through pkg-config and once through
# find_package(Pixmill), linked directly, converts the sample; and the
# installed roundtrip runs from the prefix with an empty environment.
# Usage: scripts/consumer-test.sh BUILD_DIR
#        scripts/consumer-test.sh --installed ROOT/usr  (packages unpacked
#        under ROOT, their files naming /usr: pkg-config gets ROOT as sysroot)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
sample="$root/samples/sample.png"
sysroot=""
if [ "$1" = "--installed" ]; then
  prefix="$(cd "$2" && pwd)"
  sysroot="$(dirname "$prefix")"
else
  build="$(cd "$1" && pwd)"
  prefix="$work/prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
fi
for f in bin/roundtrip bin/pixmill-convert include/pixmill.h lib/libPixmill_x64.so lib/pkgconfig/pixmill.pc lib/cmake/Pixmill/PixmillConfig.cmake; do
  [ -e "$prefix/$f" ] || { echo "consumer: $f is not installed" >&2; exit 1; }
done
soname="$(readelf -d "$prefix/lib/libPixmill_x64.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')"
[ -e "$prefix/lib/$soname" ] || { echo "consumer: no file for SONAME '$soname'" >&2; exit 1; }

# Through pkg-config.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$sysroot"
libdir="$(pkg-config --variable=libdir pixmill)"
[[ "$libdir" == "$sysroot"/* ]] || libdir="$sysroot$libdir"  # pkg-config versions differ here
# shellcheck disable=SC2046
cc -o "$work/consumer-pc" "$root/tests/consumer/consumer.c" $(pkg-config --cflags --libs pixmill) \
  -Wl,-rpath,"$libdir"
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR
"$work/consumer-pc" "$sample" "$work/pc.png"

# Through find_package.
cmake -S "$root/tests/consumer" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer-build" >/dev/null
"$work/consumer-build/consumer" "$sample" "$work/cmake.png"
cmp "$work/pc.png" "$work/cmake.png"

# From Python through ctypes, the README's example.
[ "$(python3 "$root/examples/pixmill_ctypes.py" "$prefix/lib/libPixmill_x64.so" "$sample" "$work/py.png")" = "No Error" ]
cmp "$work/pc.png" "$work/py.png"

# The installed program from the prefix, no environment at all.
mkdir "$work/run"
(cd "$work/run" && env -i "$prefix/bin/roundtrip" "$sample")
[ "$(ls "$work/run" | tr '\n' ' ')" = "output.bmp output.gif output.jpg output.png output.tif " ] || {
  echo "consumer: roundtrip wrote: $(ls "$work/run")" >&2; exit 1; }
env -i "$prefix/bin/pixmill-convert" -f png "$sample" - >"$work/convert.png"
cmp "$work/pc.png" "$work/convert.png"
echo "consumer: pkg-config, find_package, the installed roundtrip and pixmill-convert work from $prefix"
