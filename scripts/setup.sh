#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root);
# quiet and quick when everything is already there.
set -euo pipefail
packages=(
    cmake make
    mingw-w64 g++-mingw-w64-x86-64-posix
    wine64 wine xvfb xauth x11-utils
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
    ffmpeg googletest openjdk-17-jdk-headless xxd
    clang lld
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: run as root to install packages" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
