#!/usr/bin/env bash
# Installs what is missing, builds, runs every test label, then runs the unit and integration
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

scripts/install-deps.sh
scripts/check-format.sh

echo "== build (warnings are errors)"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-test -j"$jobs"

echo "== tests: unit, integration"
(cd build-test && ctest -L 'unit|integration' -j"$jobs" --output-on-failure --timeout 600)

# The peers (GStreamer's encoders and decoders, FFmpeg) each want a core; two such tests at once
# on a small machine starve each other's real-time pipelines.
echo "== tests: interop, one at a time"
(cd build-test && ctest -L interop --output-on-failure --timeout 600)

echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON -DQUILLON_BENCH=OFF \
    >/dev/null
cmake --build build-asan -j"$jobs" --target quillon_unit_tests quillon_integration_tests quillon

echo "== tests under sanitizers: unit, integration"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest -L 'unit|integration' -j"$jobs" --output-on-failure --timeout 900)

echo "== build with ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_TSAN=ON -DQUILLON_BENCH=OFF \
    >/dev/null
cmake --build build-tsan -j"$jobs" --target quillon_unit_tests quillon_integration_tests quillon

echo "== tests under ThreadSanitizer: unit, integration"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
(cd build-tsan && ctest -L 'unit|integration' -j"$jobs" --output-on-failure --timeout 900)
