#!/bin/sh
# Makes the small elementary streams the depacketizer tests packetize themselves, from FFmpeg's
# synthetic test source. Run once from the repository root; the results are committed so that
# the tests need no encoder.
set -eu
out=tests/data/depack
mkdir -p "$out"
ff="ffmpeg -hide_banner -loglevel error -y -f lavfi"

# H.264 baseline, two slices per picture, parameter sets before every IDR, delimiters between
# access units so the test can find picture boundaries.
$ff -i testsrc=size=320x240:rate=25 -t 2 -c:v libx264 -profile:v baseline -g 10 -bf 0 \
    -x264-params slices=2:repeat-headers=1 -pix_fmt yuv420p -bsf:v h264_metadata=aud=insert \
    -f h264 "$out/h264_320x240.h264"

# H.264 interlaced (frame_mbs_only_flag 0): the SPS codes 256 rows cropped to 240.
$ff -i testsrc=size=320x240:rate=25 -t 1 -c:v libx264 -profile:v main -g 10 -bf 0 \
    -x264-params interlaced=1:repeat-headers=1 -pix_fmt yuv420p -bsf:v h264_metadata=aud=insert \
    -f h264 "$out/h264_interlaced_320x240.h264"

# MPEG-4 Visual, configuration in band before every I-VOP.
$ff -i testsrc=size=352x288:rate=25 -t 2 -c:v mpeg4 -g 10 -bf 0 -q:v 6 \
    -f m4v "$out/mpeg4_352x288.m4v"

# Baseline JPEG with the standard Huffman tables (which RTP/JPEG implies), 4:2:0. (FFmpeg
# codes 4:2:2 with 2x2 luma blocks, a layout RTP/JPEG has no type for.)
$ff -i testsrc=size=320x240:rate=5 -t 1 -c:v mjpeg -pix_fmt yuvj420p -huffman default \
    -q:v 5 -f mjpeg "$out/jpeg420_320x240.mjpeg"
