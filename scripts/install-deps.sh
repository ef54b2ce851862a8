#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; only what is missing.
set -euo pipefail

packages=(
  build-essential dpkg-dev help2man cmake pkg-config g++ clang clang-format libclang-rt-14-dev libfuzzer-14-dev
  libcurl4-openssl-dev libxml2-dev libssl-dev libasio-dev libcli11-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  gir1.2-gst-rtsp-server-1.0 python3-gi python3-gst-1.0
  lighttpd lighttpd-mod-openssl tinyproxy openssl curl iproute2 procps libjpeg-turbo-progs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# Debian ships these daemons enabled; the tests start their own instances on loopback.
for svc in lighttpd tinyproxy; do
  if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now "$svc" >/dev/null 2>&1 || true; fi
done
