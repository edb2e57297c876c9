#!/usr/bin/env bash
# Builds a Release tree with the benchmark programs, then runs the side-by-side
# comparison against ImageMagick, GraphicsMagick, Pillow and libvips on the
# given images (the bench images beside the project by default), writing one
# Markdown table per image to bench/results/, and the per-step
# micro-benchmarks on the photo (skipped with PIXMILL_BENCH_MICRO=0).
# PIXMILL_BENCH_RUNS sets the counted runs (5 by default).
# With --own it instead compares them on the photographs and wallpapers
# listed in bench/own-images.tsv (bench/results/own/).
# With --scaling it instead makes photographs of a quarter to four times the
# bench photo's pixels from it (bench/scaling.py), reports each step's time
# per megapixel in bench/results/scaling.md, and compares them with the
# peers (PIXMILL_BENCH_RUNS counted runs, 1 by default) in
# bench/results/scaling/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh imagemagick graphicsmagick libvips-dev libvips-tools libimagequant-dev python3-numpy \
  libjpeg-turbo-progs libbenchmark-dev time libdeflate-dev libisal-dev libspng-dev
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPIXMILL_BUILD_TESTS=OFF -DPIXMILL_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)"
if [ "${1:-}" = --scaling ]; then
  work=build-bench/scaling
  /usr/bin/python3 bench/scaling.py --step-times build-bench/bin/step_times --out bench/results/scaling.md \
    ../shared/bench/photo-24.png "$work"
  /usr/bin/python3 bench/compare.py --roundtrip build-bench/bin/roundtrip --vips-peer build-bench/bin/vips_peer \
    --runs "${PIXMILL_BENCH_RUNS:-1}" --out bench/results/scaling \
    "$work/quarter.png" "$work/crop.png" "$work/double.png" "$work/quad.png"
  exit 0
fi
if [ "${1:-}" = --own ]; then
  # Pictures from Debian's wallpaper packages (bench/own-images.tsv), fetched
  # as .deb files, not installed.
  work=build-bench/own
  mkdir -p "$work/debs" "$work/files" "$work/images"
  packages=$(grep -v '^#' bench/own-images.tsv | tail -n +2 | cut -f2 | sort -u)
  (cd "$work/debs" && for p in $packages; do ls "${p}"_*.deb >/dev/null 2>&1 || apt-get download "$p"; done)
  for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/files"; done
  inputs=()
  while IFS=$'\t' read -r name _ path make _; do
    out="$work/images/$name"
    case "$make" in
      copy) cp "$work/files/$path" "$out" ;;
      palette) convert "$work/files/$path" -colors 256 PNG8:"$out" ;;
      grey) convert "$work/files/$path" -colorspace Gray -define png:color-type=0 -define png:bit-depth=8 "$out" ;;
    esac
    inputs+=("$out")
  done < <(grep -v '^#' bench/own-images.tsv | tail -n +2)
  mkdir -p bench/results/own
  /usr/bin/python3 bench/compare.py --roundtrip build-bench/bin/roundtrip --vips-peer build-bench/bin/vips_peer \
    --runs "${PIXMILL_BENCH_RUNS:-3}" --out bench/results/own "${inputs[@]}"
  exit 0
fi
if [ "$#" -eq 0 ]; then
  set -- ../shared/bench/photo-24.png ../shared/bench/photo-24.jpg ../shared/bench/photo-8.png \
    ../shared/bench/grey-8.png ../shared/bench/doc-1.png ../shared/bench/graphic-24.png
fi
/usr/bin/python3 bench/compare.py --roundtrip build-bench/bin/roundtrip --vips-peer build-bench/bin/vips_peer \
  --runs "${PIXMILL_BENCH_RUNS:-5}" "$@"
if [ "${PIXMILL_BENCH_MICRO:-1}" != 0 ]; then
  build-bench/bin/steps_bench --benchmark_counters_tabular=true | tee bench/results/steps.txt
fi
