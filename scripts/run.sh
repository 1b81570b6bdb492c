#!/usr/bin/env bash
# Builds vlorp if needed and runs the show. Where no display exists, it
# renders the show with its soundtrack to vlorp.mp4 instead and says where.
# Options are passed to vlorp (see: scripts/run.sh --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
# The same folder as the test command's; only the show is built here.
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target vlorp
vlorp=build/release/host/vlorp
if [ ! -x "$vlorp" ]; then
    echo "vlorp: the show was not built (SDL2, OpenGL or libpng missing?)" >&2
    exit 1
fi
if [ $# -eq 0 ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "vlorp: no display here; rendering the show to a video instead" >&2
    "$vlorp" --capture vlorp.mp4
    echo "vlorp: the show is in $PWD/vlorp.mp4 (640x480, 60 fps, with sound)"
    exit 0
fi
exec "$vlorp" "$@"
