#!/usr/bin/env bash
# Builds the clips the peer benchmark streams: H.264 at the bit rates cameras send (1080p25 at
# about 6.5 Mbit/s, 720p25 at about 4 Mbit/s), named so that camsim --media-dir finds them.
# They are several megabytes each, so they are made on demand and never committed.
#   scripts/make-bench-media.sh OUT_FOLDER [SECONDS]
# Needs ffmpeg with libx264 (and ffprobe to print the resulting bit rate).
set -euo pipefail

out="${1:?usage: make-bench-media.sh OUT_FOLDER [SECONDS]}"
seconds="${2:-12}"
mkdir -p "$out"

# Noise over a moving test pattern keeps every macroblock changing, so the encoder really spends
# the bits a busy scene costs instead of coasting on skipped blocks. Constant bit rate with a
# one-second buffer and a key frame every second, no B-frames: what a camera's live stream is.
for spec in 1920x1080:6500k 1280x720:4000k; do
    size="${spec%%:*}"
    rate="${spec##*:}"
    file="$out/h264_${size}.264"
    if [ -s "$file" ]; then
        continue
    fi
    ffmpeg -hide_banner -loglevel error -y -f lavfi \
        -i "testsrc2=size=${size}:rate=25:duration=${seconds},noise=alls=12:allf=t+u" \
        -c:v libx264 -profile:v main -preset veryfast -tune zerolatency -bf 0 -g 25 \
        -keyint_min 25 -sc_threshold 0 -b:v "$rate" -maxrate "$rate" \
        -bufsize "$rate" -pix_fmt yuv420p -x264-params "aud=0:repeat-headers=1" \
        -f h264 "$file.tmp"
    mv "$file.tmp" "$file"
done

for file in "$out"/h264_1920x1080.264 "$out"/h264_1280x720.264; do
    bytes=$(stat -c %s "$file")
    frames=$(ffprobe -v error -count_frames -select_streams v:0 \
        -show_entries stream=nb_read_frames -of csv=p=0 "$file")
    echo "$(basename "$file"): $frames frames, $((bytes * 8 * 25 / frames / 1000)) kbit/s"
done
