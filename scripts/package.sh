#!/usr/bin/env bash
# Builds vlorp, vlorp-xm and the engine library optimised and makes three
# Debian packages of them:
#   bash scripts/package.sh  ->  build/package/vlorp_VERSION_ARCH.deb          the programs
#                                build/package/libvlorp-xm0_VERSION_ARCH.deb    the shared library
#                                build/package/libvlorp-xm-dev_VERSION_ARCH.deb header, static
#                                    library, pkg-config and CMake files
# Install them with: apt install ./build/package/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh package
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVLORP_BUILD_TESTS=OFF -DVLORP_BUILD_BENCH=OFF >/dev/null
cmake --build build/package
rm -f build/package/*.deb
(cd build/package && cpack -G DEB >cpack.log) || { cat build/package/cpack.log >&2; exit 1; }
for deb in build/package/*.deb; do
    echo "vlorp: package in $PWD/$deb"
done
