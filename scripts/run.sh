#!/usr/bin/env bash
# Builds vlorp if needed and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVLORP_BUILD_BENCH=OFF >/dev/null
cmake --build build/release
if [ -x build/release/host/vlorp ]; then
    exec build/release/host/vlorp "$@"
fi
# Until the show exists: the engine's tool on a module.
module=${1:-}
if [ -z "$module" ]; then
    module=$(ls ../shared/xm-corpus/*.xm 2>/dev/null | head -n 1 || true)
fi
if [ -z "$module" ]; then
    echo "vlorp: the show is not built yet; give an XM file: scripts/run.sh FILE.xm" >&2
    exit 1
fi
exec build/release/tools/vlorp-xm info "$module"
