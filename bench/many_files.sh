#!/usr/bin/env bash
# Files a second for the ways of converting many files to PNG: pixmill-convert
# with 1 and 2 workers, the same through GNU parallel (-S :, the local
# machine as a parallel "host"), the Python batch converter and the Dask
# example with 1 and 2 workers, over the corpus and over the six bench
# images; best of RUNS (3) wall-clock times, start-up included. Writes
# bench/results/many-files.md.
# Usage: bench/many_files.sh [RUNS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
runs="${1:-3}"
scripts/deps.sh python3-distributed parallel time >/dev/null
build=build-release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPIXMILL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
convert="$root/$build/bin/pixmill-convert"
library="$root/$build/bin/libPixmill_x64.so"
py=/usr/bin/python3
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Each set as one flat folder of links with unique names that keep their
# extension in the stem, so that every way sees the same files and no two
# outputs share a name.
flatten() {  # flatten SRC DST
  mkdir -p "$2"
  (cd "$1" && find . -type f \( -iname '*.png' -o -iname '*.jpg' -o -iname '*.jpeg' -o -iname '*.tif' \
    -o -iname '*.tiff' -o -iname '*.gif' -o -iname '*.bmp' \)) | sed 's#^\./##' | while read -r f; do
    name="${f//\//_}"
    ln -s "$1/$f" "$2/${name%.*}-${name##*.}.${name##*.}"  # a.png, a.jpg: a-png.png, a-jpg.jpg
  done
}
flatten "$(cd ../shared/corpus && pwd)" "$work/corpus"
flatten "$(cd ../shared/bench && pwd)" "$work/bench"

best() {  # best SET COMMAND...: the best wall time of $runs runs, seconds
  local set="$1" t b=""
  shift
  for _ in $(seq "$runs"); do
    rm -rf "$work/out"
    /usr/bin/time -f %e -o "$work/time" "$@" >/dev/null 2>&1 || true
    t="$(tail -1 "$work/time")"
    b="$(python3 -c "import sys; a=[float(x) for x in sys.argv[1:] if x]; print(min(a))" "$t" $b)"
  done
  echo "$b"
}

{
  echo "# Many files at once"
  echo
  echo "\`bench/many_files.sh\`, $(date -u +%Y-%m-%d), $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)."
  echo "PNG output; best of $runs wall-clock runs, start-up (process pool, Dask cluster) included."
  echo
  echo "| way | corpus s | corpus files/s | bench s | bench files/s |"
  echo "|---|---|---|---|---|"
} >"$work/table.md"
ways=(
  "pixmill-convert -j 1|$convert -j 1 -f png -o $work/out SET/*"
  "pixmill-convert -j 2|$convert -j 2 -f png -o $work/out SET/*"
  "parallel -S : pixmill-convert|parallel -S : -X -j 2 $convert -j 1 -f png -o $work/out ::: SET/*"
  "batch_convert.py, 1 worker|$py examples/batch_convert.py --library $library --workers 1 --format png SET $work/out"
  "batch_convert.py, 2 workers|$py examples/batch_convert.py --library $library --workers 2 --format png SET $work/out"
  "dask_convert.py, 1 worker|$py examples/dask_convert.py --library $library --workers 1 --format png SET $work/out"
  "dask_convert.py, 2 workers|$py examples/dask_convert.py --library $library --workers 2 --format png SET $work/out"
  "dask_convert.py, 2 workers, --return-bytes|$py examples/dask_convert.py --library $library --workers 2 --return-bytes --format png SET $work/out"
)
for way in "${ways[@]}"; do
  name="${way%%|*}"
  row="| $name |"
  for set in corpus bench; do
    files="$(ls "$work/$set" | wc -l)"
    cmd="${way#*|}"
    # shellcheck disable=SC2086
    s="$(best "$set" bash -c "${cmd//SET/$work/$set}")"
    row="$row $s | $(python3 -c "print('%.1f' % ($files / $s))") |"
  done
  echo "$row" | tee -a "$work/table.md"
done
echo >>"$work/table.md"
echo "corpus: $(ls "$work/corpus" | wc -l) files; bench: $(ls "$work/bench" | wc -l) files." >>"$work/table.md"
mkdir -p bench/results
cp "$work/table.md" bench/results/many-files.md
