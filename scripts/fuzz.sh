#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UBSan) and runs
# each for a bounded time from seeds: ../shared/corpus and tests/data, with
# the container's signature cut off for the per-container targets. Any crash,
# leak, hang or sanitizer report fails the run; its input is kept under
# build-fuzz/findings/. Prints the executions of each target.
# Usage: scripts/fuzz.sh [SECONDS-PER-TARGET]   (default 30)
# PIXMILL_FUZZ_SEED fixes libFuzzer's random seed; under CI it is 1, so that
# a short run repeats the ground already covered rather than failing a
# change on a finding of its own random walk (run longer locally to explore).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
seed_arg=()
if [ -n "${PIXMILL_FUZZ_SEED:-}" ]; then
  seed_arg=(-seed="$PIXMILL_FUZZ_SEED")
elif [ "${CI:-}" = true ]; then
  seed_arg=(-seed=1)
fi
scripts/deps.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXMILL_FUZZ=ON \
  -DPIXMILL_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_load fuzz_png fuzz_jpeg fuzz_tiff fuzz_gif fuzz_bmp fuzz_deflate >/dev/null

corpus="../shared/corpus"
work="build-fuzz/work"
findings="build-fuzz/findings"
rm -rf "$work"
mkdir -p "$work" "$findings"

# seed TARGET PREFIX-HEX: copies the seeds that start with the prefix, cut.
seed() {
  local target="$1" prefix="$2" dir="$work/seeds-$1" n=0
  mkdir -p "$dir"
  while IFS= read -r -d '' f; do
    [ "$(stat -c %s "$f")" -le 65536 ] || continue
    if [ -z "$prefix" ]; then
      cp "$f" "$dir/$n"
    elif [ "$(head -c $((${#prefix} / 2)) "$f" | od -An -tx1 | tr -d ' \n')" = "$prefix" ]; then
      tail -c +$((${#prefix} / 2 + 1)) "$f" >"$dir/$n"
    else
      continue
    fi
    n=$((n + 1))
  done < <(find "$corpus" tests/data samples -type f ! -name '*.tsv' ! -name '*.md' ! -name '*.py' -print0 2>/dev/null)
  echo "$n"
}

status=0
total=0
for entry in load: png:89504e470d0a1a0a jpeg:ffd8ff tiff:49492a00 gif:474946383961 bmp:424d deflate:; do
  target="${entry%%:*}"
  prefix="${entry#*:}"
  seeds="$(seed "$target" "$prefix")"
  dict=()
  [ -f "tests/fuzz/$target.dict" ] && dict=(-dict="tests/fuzz/$target.dict")
  mkdir -p "$work/corpus-$target"
  log="$work/$target.log"
  if ! "build-fuzz/bin/fuzz_$target" "$work/corpus-$target" "$work/seeds-$target" "${dict[@]}" "${seed_arg[@]}" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
      -artifact_prefix="$findings/$target-" -print_final_stats=1 >"$log" 2>&1; then
    echo "fuzz_$target: FAILED, see $log and $findings" >&2
    grep -E "ERROR|SUMMARY|Test unit written" "$log" >&2 || true
    status=1
  fi
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  total=$((total + ${runs:-0}))
  printf 'fuzz_%-5s %6s seeds  %10s executions in %ss\n' "$target" "$seeds" "${runs:-?}" "$seconds"
done
echo "fuzz: $total executions in all"
exit "$status"
