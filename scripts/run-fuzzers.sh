#!/usr/bin/env bash
# Builds every fuzz/*_fuzz.cpp as a libFuzzer binary with clang in its own build folder and runs
# each for a bounded time. Fails when any target finds a crash, leak or sanitizer report.
#
#   scripts/run-fuzzers.sh [seconds-per-target] [target-name ...]
#   FUZZ_SECONDS=60 scripts/run-fuzzers.sh
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-${FUZZ_SECONDS:-20}}"
shift || true
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
jobs="${FUZZ_BUILD_JOBS:-2}"

targets=()
if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  for source in "$root"/fuzz/*_fuzz.cpp; do
    [ -e "$source" ] || continue
    name="$(basename "$source" .cpp)"
    targets+=("$name")
  done
fi
if [ "${#targets[@]}" -eq 0 ]; then
  echo "no fuzz targets under fuzz/"
  exit 0
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQUILLON_TESTS=OFF \
  -DQUILLON_BENCH=OFF -DQUILLON_WERROR=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer" \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

failed=()
for name in "${targets[@]}"; do
  corpus="$build/corpus/$name"
  artifacts="$build/artifacts/$name/"
  mkdir -p "$corpus" "$artifacts"
  # Seeds kept in the repository, when a target has any.
  seeds=()
  if [ -d "$root/fuzz/corpus/$name" ]; then
    seeds=("$root/fuzz/corpus/$name")
  fi
  echo "== $name: ${seconds}s"
  if ! "$build/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts" -print_final_stats=1 "$corpus" "${seeds[@]}" \
      >"$build/$name.log" 2>&1; then
    echo "!! $name found a problem; see $build/$name.log and $artifacts"
    tail -n 40 "$build/$name.log"
    failed+=("$name")
  else
    grep -E "^stat::number_of_executed_units" "$build/$name.log" || true
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz findings in: ${failed[*]}"
  exit 1
fi
echo "all ${#targets[@]} fuzz targets ran ${seconds}s without findings"
