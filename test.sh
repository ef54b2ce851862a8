#!/usr/bin/env bash
# Installs what is missing, builds, runs the unit tests, every fuzz corpus and the interop tests,
# then the unit and integration tests under AddressSanitizer and UndefinedBehaviorSanitizer, and
# under ThreadSanitizer.
# --bench also builds the benchmarks.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
bench=OFF
if [ "${1:-}" = "--bench" ]; then
    bench=ON
fi

started=$SECONDS
stage() { echo "== $* ($((SECONDS - started)) s)"; }

# Line tables are all the sanitizers' stack traces and a debugger's backtrace need; full debug
# information makes every compile a third slower and the links several times larger.
g1=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
    -DCMAKE_CXX_FLAGS_DEBUG="-g1" -DCMAKE_C_FLAGS_DEBUG="-g1")
# Sources compiled eight to a unit: each header is parsed once per unit instead of once per file,
# which halves the CPU time of every build below. File-local names must therefore be unique.
unity=(-DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=8)
tests=(quillon_unit_tests quillon_integration_tests quillon)

scripts/install-deps.sh
scripts/check-format.sh

stage "build (warnings are errors)"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_BENCH=$bench \
    "${g1[@]}" "${unity[@]}" >/dev/null
cmake --build build-test -j"$jobs"

# The integration tests run under both sanitizers below, the ThreadSanitizer build optimised as
# this one is; here the unit tests run once without instrumentation, in one process.
stage "tests: unit"
build-test/tests/quillon_unit_tests --gtest_brief=1
(cd build-test && ctest -L fuzz -j"$jobs" --output-on-failure)  # every fuzz corpus, replayed

# The peers (GStreamer's encoders and decoders, FFmpeg) each want a core; two such tests at once
# on a small machine starve each other's real-time pipelines.
stage "tests: the Debian package, unpacked, builds a consumer and captures"
(cd build-test && ctest -L packaging --output-on-failure)

stage "tests: interop, one at a time"
(cd build-test && ctest -L interop --output-on-failure --timeout 600)

# Unoptimised: -O1 would run the tests some seconds faster but costs more to compile than that.
stage "build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON -DQUILLON_BENCH=OFF \
    "${g1[@]}" "${unity[@]}" >/dev/null
cmake --build build-asan -j"$jobs" --target "${tests[@]}"

# Every process start costs AddressSanitizer half a second, so the unit tests run in one process
# (84 s as one process per test at -j2, 16 s so); each integration test keeps its own.
stage "tests under sanitizers: unit, integration"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build-asan/tests/quillon_unit_tests --gtest_brief=1
(cd build-asan && ctest -L integration -j"$jobs" --output-on-failure --timeout 900)

stage "build with ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_TSAN=ON -DQUILLON_BENCH=OFF \
    "${g1[@]}" "${unity[@]}" >/dev/null
cmake --build build-tsan -j"$jobs" --target "${tests[@]}"

# ThreadSanitizer sleeps a second at every process exit for late races; every test joins its
# threads before it ends, so a short pause does, and the unit tests run in one process.
stage "tests under ThreadSanitizer: unit, integration"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=50
build-tsan/tests/quillon_unit_tests --gtest_brief=1
(cd build-tsan && ctest -L integration -j"$jobs" --output-on-failure --timeout 900)
stage "done"
