#!/usr/bin/env bash
# Installs the Debian packages vlorp needs to build, test and capture, but
# only those that are missing.
# Usage: scripts/deps.sh [build|test|package|windows|windows-test]
set -euo pipefail
# libsndfile1-dev and libsamplerate0-dev: vlorp-xm's encoded formats (FLAC,
# Ogg Vorbis, Opus, MP3, ...), opened on first use; the runtime libraries
# come with them. ALSA plays the sound (its headers to build, the library and
# the sound servers' plugin to play through PulseAudio or PipeWire).
want=(cmake ninja-build g++ pkg-config libsdl2-dev libgl-dev libglu1-mesa-dev libpng-dev
      libsndfile1-dev libsamplerate0-dev libgl1-mesa-dri libegl1 libegl-mesa0 ffmpeg
      libasound2-dev libasound2-plugins)
if [ "${1:-build}" = package ]; then
    want+=(dpkg-dev file)
fi
if [ "${1:-build}" = test ]; then
    want+=(libgtest-dev libbenchmark-dev xvfb xauth clang libclang-rt-14-dev
           libfuzzer-14-dev llvm-14 fonts-dejavu-core libfreetype-dev
           libc6-dbg # names for the C library's frames, which leak suppressions match
           # a private sound server with a null sink, its tools, and the
           # client library the sync measurement records the sink with; keys
           # to end a short run of the show
           pulseaudio pulseaudio-utils libpulse-dev xdotool)
fi
# The Windows cross build, and Wine with a display and keys for its tests.
case "${1:-build}" in
windows) want=(cmake ninja-build g++-mingw-w64-x86-64-posix libstb-dev) ;;
# Wine's X11 driver only recommends the X extensions it uses for display
# modes, keys and GL; they are asked for by name.
windows-test) want=(cmake ninja-build g++-mingw-w64-x86-64-posix libstb-dev wine64 libasound2
                    libgl1 libgl1-mesa-dri libxrandr2 libxrender1 libxi6 libxcursor1
                    libxcomposite1 libxfixes3 libxinerama1 libxxf86vm1 xvfb xauth xdotool
                    ffmpeg pkg-config) ;; # pkg-config: the examples against the DLL
esac
missing=()
for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "vlorp: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
