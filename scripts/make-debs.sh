#!/usr/bin/env bash
# Builds the Debian packages (libpixmill1, libpixmill-dev, pixmill-tools)
# from a Release build into DIR (build-deb/ by default) and checks them:
# lintian must report no errors, the packages must install into a scratch
# root with the files cmake --install lays out, and the installed packages
# must serve an outside consumer and convert the sample.
# Usage: scripts/make-debs.sh [DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/deps.sh dpkg-dev lintian file
build="${1:-build-deb}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPIXMILL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/*.deb)
for deb in "${debs[@]}"; do echo "built $(basename "$deb")"; done
[ "${#debs[@]}" -eq 3 ] || { echo "make-debs: expected three packages" >&2; exit 1; }

# lintian: errors fail; warnings are printed (the README lists those accepted).
lintian --fail-on error --suppress-tags-from-file packaging/lintian-accepted "${debs[@]}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The packages' files against cmake --install's, under the same prefix.
DESTDIR="$work/cmake" cmake --install "$build" --prefix /usr >/dev/null
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$work/deb"; done
(cd "$work/cmake" && find . ! -type d | sort) >"$work/cmake.list"
(cd "$work/deb" && find . ! -type d | sort) >"$work/deb.list"
diff -u "$work/cmake.list" "$work/deb.list" || { echo "make-debs: the packages and cmake --install differ" >&2; exit 1; }

# Installed for real into a scratch root with dpkg itself, which checks the
# dependencies among the three packages; the system libraries they need
# are absent from the scratch root (dpkg is told to go on) and taken from
# the running system.
admin="$work/root/var/lib/dpkg"
mkdir -p "$admin/updates" "$admin/info"
touch "$admin/status"
dpkg --root="$work/root" --force-depends --force-script-chrootless --log=/dev/null -i "${debs[@]}" \
  >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
status="$(dpkg-query --admindir="$admin" -W -f='${Package} ${Status}\n' | sort)"
echo "$status"
[ "$(grep -c 'install ok installed' <<<"$status")" -eq 3 ] || { echo "make-debs: not all installed" >&2; exit 1; }

# roundtrip and pixmill-convert with the runtime and tools packages alone
# (no -dev link); pixmill-convert finds the library beside bin/ as it would
# in /usr/lib.
for deb in "${debs[@]}"; do
  case "$(basename "$deb")" in libpixmill-dev*) ;; *) dpkg-deb -x "$deb" "$work/tools-only" ;; esac
done
mkdir "$work/run"
(cd "$work/run" && env -i "$work/tools-only/usr/bin/roundtrip" "$root/samples/sample.png")
[ "$(ls "$work/run" | wc -l)" -eq 5 ] || { echo "make-debs: roundtrip without -dev wrote: $(ls "$work/run")" >&2; exit 1; }
env -i "$work/tools-only/usr/bin/pixmill-convert" "$root/samples/sample.png" "$work/run/convert.png"
cmp "$work/run/output.png" "$work/run/convert.png"
for f in usr/share/man/man1/pixmill-convert.1.gz usr/share/doc/pixmill-tools/README.md.gz; do
  [ -e "$work/tools-only/$f" ] || { echo "make-debs: pixmill-tools lacks $f" >&2; exit 1; }
done

# The consumer test against the installed -dev package and the installed
# roundtrip.
scripts/consumer-test.sh --installed "$work/root/usr"
echo "make-debs: three packages built, lintian clean of errors, installed and used from $work/root/usr"
