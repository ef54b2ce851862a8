#!/usr/bin/env bash
# The main job: build the driver and capture live video with quillon-host.
#   ./run.sh            start the camera simulator on loopback, ask it what it can do, then
#                       capture H.264 over RTSP and motion JPEG over HTTP from it
#   ./run.sh --address A --user U --password P [more quillon-host options]
#                       the same against a real camera (query first, then capture)
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF \
    >/dev/null
cmake --build build-release -j"$(nproc)" --target quillon quillon-host camsim

host=build-release/tools/host/quillon-host
out=quillon-out
mkdir -p "$out"

if [ $# -gt 0 ]; then
    exec "$host" "$@"
fi

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
http_port=$(free_port)
rtsp_port=$(free_port)

echo "== starting the camera simulator on 127.0.0.1 (HTTP $http_port, RTSP $rtsp_port)"
build-release/tools/camsim/camsim --profile fixed --http-port "$http_port" --rtsp-port "$rtsp_port" \
    --user root --password pass --auth both --run-seconds 120 >"$out/camsim.log" 2>&1 &
camsim_pid=$!
trap 'kill "$camsim_pid" 2>/dev/null || true; wait "$camsim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do
    grep -q '^ready' "$out/camsim.log" 2>/dev/null && break
    sleep 0.1
done
grep -q '^ready' "$out/camsim.log" || { cat "$out/camsim.log"; echo "camsim did not start"; exit 1; }

echo "== asking the camera what it can do"
"$host" --address 127.0.0.1 --port "$http_port" --user root --password pass --query \
    --params-file "$out/device.params"

echo "== capturing: H.264 over RTSP (recording stream) and motion JPEG over HTTP (live stream)"
"$host" --address 127.0.0.1 --port "$http_port" --user root --password pass --model "camsim fixed" \
    --params-file "$out/device.params" \
    --stream 0:0:3:640x480@25 --stream 0:1:1:320x240@10 --seconds 8 --out "$out"

echo "== files in $out/ (play them with: ffplay $out/channel0-stream0.h264)"
ls -l "$out"
