#!/usr/bin/env bash
# Builds the small synthetic clips under tests/data/ that camsim streams. The output is committed,
# so tests never need an encoder; rerun only when the clip set changes. Needs ffmpeg (libx264,
# libx265) and
# jpegtran (restart markers for the RTP/JPEG types 64/65).
set -euo pipefail

out="$(cd "$(dirname "$0")/.." && pwd)/tests/data"
mkdir -p "$out"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }

# H.264: constrained baseline-like streams without B-frames, key frame every 25 frames, 3 s at
# 25 fps. Low bit rates keep the committed set small; content moves so every frame differs.
# 176x144, 352x288 and 704x576 are the PAL QCIF/CIF/4CIF sizes of the video-server profiles.
for size in 176x144 320x240 352x288 640x480 704x576 1280x720 1920x1080; do
  case "$size" in
    176x144) rate=80k ;; 320x240 | 352x288) rate=150k ;; 640x480 | 704x576) rate=300k ;;
    1280x720) rate=500k ;; 1920x1080) rate=700k ;;
  esac
  ff -f lavfi -i "testsrc=size=${size}:rate=25:duration=3" -c:v libx264 -profile:v main \
     -preset veryfast -bf 0 -g 25 -keyint_min 25 -sc_threshold 0 -b:v "$rate" -maxrate "$rate" \
     -bufsize "$rate" -pix_fmt yuv420p -x264-params "aud=0:repeat-headers=1" \
     -f h264 "$out/h264_${size}.264"
done

# H.265: as H.264 (no B-frames, key frame every 25 frames, parameter sets before each key frame),
# 2 s each; 640x480 pictures are large enough to travel in fragmentation units.
for size in 320x240 640x480; do
  ff -f lavfi -i "testsrc=size=${size}:rate=25:duration=2" -c:v libx265 -preset ultrafast \
     -b:v 200k -pix_fmt yuv420p \
     -x265-params "log-level=error:bframes=0:keyint=25:min-keyint=25:scenecut=0:repeat-headers=1:aud=0" \
     -f hevc "$out/h265_${size}.265"
done

# MPEG-4 Visual (simple profile elementary stream), key frame every 25 frames.
for size in 320x240 352x288 640x480; do
  ff -f lavfi -i "testsrc2=size=${size}:rate=25:duration=3" -c:v mpeg4 -bf 0 -g 25 \
     -b:v 300k -pix_fmt yuv420p -f m4v "$out/mpeg4_${size}.m4v"
done

# Motion JPEG: baseline 4:2:0 pictures with the standard Huffman tables (RTP/JPEG can only
# carry those), 2 s at 10 fps; two compression levels per size. One set gets restart markers.
for size in 320x240 352x288 640x480; do
  for q in 3 12; do
    ff -f lavfi -i "testsrc=size=${size}:rate=10:duration=2" -c:v mjpeg -huffman default \
       -pix_fmt yuvj420p -q:v "$q" -f image2 "$tmp/f_%03d.jpg"
    : >"$out/mjpeg_${size}_q${q}.mjpeg"
    for f in "$tmp"/f_*.jpg; do cat "$f" >>"$out/mjpeg_${size}_q${q}.mjpeg"; done
    rm -f "$tmp"/f_*.jpg
  done
done
ff -f lavfi -i "testsrc=size=320x240:rate=10:duration=2" -c:v mjpeg -huffman default \
   -pix_fmt yuvj420p -q:v 6 -f image2 "$tmp/r_%03d.jpg"
: >"$out/mjpeg_320x240_restart.mjpeg"
for f in "$tmp"/r_*.jpg; do
  jpegtran -restart 2 "$f" >>"$out/mjpeg_320x240_restart.mjpeg"
done

# Audio as the camera's receive.cgi sends it: 2 s of raw G.711 mu-law and of G.726 at each bit
# rate, 8 kHz mono; a tone that changes pitch so a listener hears where the loop restarts.
ff -f lavfi -i "sine=frequency=440:beep_factor=2:sample_rate=8000:duration=2" -ac 1 \
   -c:a pcm_mulaw -f mulaw "$out/audio_g711.raw"
for kbit in 16 24 32 40; do
  ff -f lavfi -i "sine=frequency=440:beep_factor=2:sample_rate=8000:duration=2" -ac 1 \
     -c:a g726 -b:a "${kbit}k" -f g726 "$out/audio_g726_${kbit}.raw"
done

du -ch "$out"/*.raw "$out"/*.264 "$out"/*.265 "$out"/*.m4v "$out"/*.mjpeg | tail -n 1
