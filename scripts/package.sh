#!/usr/bin/env bash
# Builds vlorp and vlorp-xm optimised and makes a Debian package of them:
#   bash scripts/package.sh      ->  build/package/vlorp_VERSION_ARCH.deb
# Install it with: apt install ./build/package/vlorp_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh package
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVLORP_BUILD_TESTS=OFF -DVLORP_BUILD_BENCH=OFF >/dev/null
cmake --build build/package
(cd build/package && cpack -G DEB >cpack.log) || { cat build/package/cpack.log >&2; exit 1; }
deb=$(ls build/package/vlorp_*.deb)
echo "vlorp: package in $PWD/$deb"
