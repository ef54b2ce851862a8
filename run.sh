#!/usr/bin/env bash
# The main job: build the driver and run quillon-host.
#   ./run.sh                      run against the built-in camera simulator on loopback
#   ./run.sh --address A --user U --password P [more quillon-host options]
#                                 run against a real camera
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF \
    >/dev/null
cmake --build build-release -j"$(nproc)" --target quillon quillon-host

host=build-release/tools/host/quillon-host
if [ $# -gt 0 ]; then
    exec "$host" "$@"
fi

exec "$host" --address 127.0.0.1 --port 80 --model "Demo Camera" --param 1=5000 \
    --param 2=demo --param 3=3
