#!/usr/bin/env bash
# The soak run: scripts/soak.sh [DURATION_SECONDS] (default 1800). Builds camsim, quillon-host
# and the driver (RelWithDebInfo in build-soak; SOAK_SANITIZE=1: ASan and UBSan in
# build-soak-asan), then runs scripts/soak.py inside a network namespace of its own that holds
# only loopback, so no stream, multicast included, can leave the machine. SOAK_BUILD_DIR uses a
# built tree instead (nothing is built); SOAK_OUT keeps the logs and results there. Exit 0 when
# the run passed, 1 when it found a fault.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
duration=${1:-1800}
case $duration in
'' | *[!0-9]*)
    echo "usage: $0 [DURATION_SECONDS]" >&2
    exit 2
    ;;
esac

if [ -z "${SOAK_IN_PRIVATE_NETWORK:-}" ]; then
    build=${SOAK_BUILD_DIR:-}
    if [ -z "$build" ]; then
        if [ "${SOAK_SANITIZE:-0}" = 1 ]; then
            build="$here/../build-soak-asan"
            config=(-DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON)
        else
            build="$here/../build-soak"
            config=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
        fi
        launcher=()
        if command -v ccache >/dev/null; then
            launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
        fi
        cmake -S "$here/.." -B "$build" "${config[@]}" "${launcher[@]}" -DQUILLON_TESTS=OFF \
            -DQUILLON_BENCH=OFF >/dev/null
        cmake --build "$build" -j"$(nproc)" --target camsim quillon-host quillon
    fi
    if ! unshare -n true 2>/dev/null || ! command -v ip >/dev/null; then
        echo "soak: needs network namespaces (unshare -n, run as root) and ip" >&2
        exit 1
    fi
    export SOAK_IN_PRIVATE_NETWORK=1 SOAK_BUILD_DIR=$build
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
    # Bounded: the run, the start and the teardown.
    exec timeout $((duration + 600)) unshare -n "$0" "$duration"
fi

ip link set lo up
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo
exec python3 "$here/soak.py" --build-dir "$SOAK_BUILD_DIR" --seconds "$duration" \
    ${SOAK_OUT:+--out "$SOAK_OUT"}
