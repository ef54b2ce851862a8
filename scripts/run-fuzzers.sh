#!/usr/bin/env bash
# Builds every fuzz/*_fuzz.cpp as a libFuzzer binary with clang in its own build folder and runs
# each for a bounded time. Fails when any target finds a crash, leak or sanitizer report.
#
#   scripts/run-fuzzers.sh [seconds-per-target] [target-name ...]
#   FUZZ_SECONDS=60 scripts/run-fuzzers.sh
#   FUZZ_JOBS=2 scripts/run-fuzzers.sh 600     # two targets at a time (one per core)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-${FUZZ_SECONDS:-20}}"
shift || true
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
jobs="${FUZZ_BUILD_JOBS:-2}"
parallel="${FUZZ_JOBS:-1}"

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

# Runs one target; its outcome lands in $build/$name.result for the summary below.
run_target() {
  local name="$1"
  local corpus="$build/corpus/$name"
  local artifacts="$build/artifacts/$name/"
  mkdir -p "$corpus" "$artifacts"
  # Seeds kept in the repository, when a target has any.
  local seeds=()
  if [ -d "$root/fuzz/corpus/$name" ]; then
    seeds=("$root/fuzz/corpus/$name")
  fi
  if "$build/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts" -print_final_stats=1 "$corpus" "${seeds[@]}" \
      >"$build/$name.log" 2>&1; then
    echo "ok" >"$build/$name.result"
  else
    echo "failed" >"$build/$name.result"
  fi
}

failed=()
running=0
for name in "${targets[@]}"; do
  rm -f "$build/$name.result"
  echo "== $name: ${seconds}s"
  run_target "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

for name in "${targets[@]}"; do
  if [ "$(cat "$build/$name.result" 2>/dev/null)" != "ok" ]; then
    echo "!! $name found a problem; see $build/$name.log and $build/artifacts/$name/"
    tail -n 40 "$build/$name.log"
    failed+=("$name")
  else
    echo "$name: $(grep -E "^stat::number_of_executed_units" "$build/$name.log" || true)"
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz findings in: ${failed[*]}"
  exit 1
fi
echo "all ${#targets[@]} fuzz targets ran ${seconds}s without findings"
