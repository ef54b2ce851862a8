#!/usr/bin/env bash
# Whole-process comparison of quillon-host with FFmpeg, GStreamer and a floor receiver taking
# the same live 1080p25 H.264 streams at a camera's bit rate over RTSP from one camsim on loopback
# (UDP and TCP-interleaved RTP), then the driver's frame hand-over latency.
#   bench/compare_peers.sh [--streams 1,16,64] [--seconds 20] [--transports udp,tcp]
#                          [--tools floor,quillon,ffmpeg,gst] [--size 1920x1080|1280x720]
#                          [--latency-streams 1,16] [--repeat K] [--keep-logs] [--no-build]
# Builds the release targets first unless --no-build (the clips are made on first use); the
# measuring is in compare_peers.py.
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
args=()
for a in "$@"; do
    if [ "$a" = "--no-build" ]; then build=0; else args+=("$a"); fi
done
if [ "$build" = 1 ]; then
    cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF \
        -DQUILLON_BENCH=ON >/dev/null
    cmake --build build-release -j"$(nproc)" --target quillon quillon-host camsim \
        floor_receiver handover_latency >/dev/null
fi
exec /usr/bin/python3 bench/compare_peers.py --build-dir build-release "${args[@]}"
