#!/usr/bin/env bash
# Makes the Debian package from a build folder, unpacks it into a scratch root, builds a consumer
# against the unpacked headers (pkg-config and find_package) and captures from the unpacked
# camsim with the unpacked quillon-host. Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
camsim_pid=
cleanup() {
    if [ -n "$camsim_pid" ]; then kill "$camsim_pid" 2>/dev/null || true; wait "$camsim_pid" || true; fi
    [ -n "${KEEP_SCRATCH:-}" ] || rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >cpack.log 2>&1) ||
    { cat "$scratch/cpack.log"; fail "cpack"; }
deb=$(ls "$scratch"/out/quillon_*_amd64.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "no quillon_<version>_amd64.deb in $(ls "$scratch/out")"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libcurl4 libxml2 libssl; do
    [[ "$depends" == *"$lib"* ]] || fail "$lib missing from the package's dependencies"
done

root=$scratch/root
dpkg-deb -x "$deb" "$root"
usr=$root/usr
libdir=$(dirname "$(find "$usr" -name 'libquillon.so.0' | head -1)")
[ -f "$usr/include/quillon/exports.h" ] || fail "headers not installed"
readelf -d "$libdir/libquillon.so.0" | grep -q 'SONAME.*libquillon.so.0' || fail "SONAME"
"$usr/bin/quillon-host" --help | grep -q -- '--stream' || fail "quillon-host --help"
[ -f "$usr/share/man/man1/quillon-host.1" ] || fail "no manual page"

# The consumer links the library only to prove that the headers and the link line agree.
export LD_LIBRARY_PATH=$libdir
cmake -S "$here/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$usr" >/dev/null
cmake --build "$scratch/consumer" >/dev/null || fail "find_package consumer did not build"
"$scratch/consumer/consumer" | grep -q 'driver created' || fail "find_package consumer"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++17 -o "$scratch/pc-consumer" "$here/consumer/consumer.cpp" \
    $(pkg-config --cflags --libs quillon) || fail "pkg-config consumer did not build"
"$scratch/pc-consumer" | grep -q 'driver created' || fail "pkg-config consumer"
unset LD_LIBRARY_PATH

# A short capture, every program and file taken from the unpacked package.
port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
http=$(port)
rtsp=$(port)
"$usr/bin/camsim" --profile fixed --http-port "$http" --rtsp-port "$rtsp" --run-seconds 60 \
    --print-requests >"$scratch/camsim.log" 2>&1 &
camsim_pid=$!
for _ in $(seq 1 50); do grep -q '^ready' "$scratch/camsim.log" && break; sleep 0.1; done
grep -q '^ready' "$scratch/camsim.log" || { cat "$scratch/camsim.log"; fail "camsim did not start"; }
QUILLON_PASSWORD=pass "$usr/bin/quillon-host" --address 127.0.0.1 --port "$http" --user root \
    --stream 0:0:3 --seconds 3 --null >"$scratch/host.log" 2>&1 ||
    { cat "$scratch/host.log"; fail "capture from the unpacked package"; }
# The query names 1920x1080 as the default size; a stream without a size asks for it.
grep -E '^0 +rec +I?264 +1920x1080' "$scratch/host.log" ||
    { cat "$scratch/host.log"; fail "no H.264 frames at the default size"; }
# One host process carries several cameras, as a recording server does: every stream of every
# device delivers.
QUILLON_PASSWORD=pass "$usr/bin/quillon-host" --address 127.0.0.1 --port "$http" --user root \
    --devices 3 --stream 0:0:3 --stream 0:1:3 --seconds 3 --null >"$scratch/devices.log" 2>&1 ||
    { cat "$scratch/devices.log"; fail "capture from three devices"; }
delivering=$(awk '/^dev +ch/ { table = 1; next }
                  table && $1 ~ /^d[0-2]$/ && $3 ~ /^(rec|live)$/ && $6 > 0' "$scratch/devices.log" |
    wc -l)
[ "$delivering" = 6 ] || { cat "$scratch/devices.log"; fail "$delivering of 6 streams delivered"; }
# H.265 lands in an Annex B file FFmpeg decodes without an error, every frame of it.
QUILLON_PASSWORD=pass "$usr/bin/quillon-host" --address 127.0.0.1 --port "$http" --user root \
    --stream 0:0:4 --seconds 3 --out "$scratch/out" >"$scratch/h265.log" 2>&1 ||
    { cat "$scratch/h265.log"; fail "H.265 capture"; }
h265="$scratch/out/channel0-stream0.h265"
frames=$(awk '$1 == "0" && $2 == "rec" && $3 ~ /265$/ { print $5 }' "$scratch/h265.log")
decoded=$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$h265")
[ -n "$frames" ] && [ "$frames" = "$decoded" ] ||
    { cat "$scratch/h265.log"; fail "H.265 file holds $decoded decodable frames of $frames"; }
[ -z "$(ffmpeg -nostdin -v error -i "$h265" -f null - 2>&1)" ] || fail "FFmpeg errors on $h265"
# Looking must not change the camera's stream settings: the host asks first, so the driver
# knows a current camera. (The query itself switches on a disabled first audio input to learn
# whether the loudspeaker works; that is all it may change.)
grep -q '^request GET .*param.cgi?action=list&group=Properties' "$scratch/camsim.log" ||
    fail "no query"
if grep '^request .*param.cgi?action=update' "$scratch/camsim.log" |
    grep -v 'action=update&Audio.A0.Enabled=yes$'; then
    fail "quillon-host changed the camera's parameters"
fi
echo "package test passed"
