#!/usr/bin/env bash
# Cross-builds the Windows executables with mingw-w64 (installing the
# missing Debian packages first): build/windows/host/vlorp.exe and
# build/windows/tools/vlorp-xm.exe, also copied to build/windows/, and the
# engine library: build/windows/libvlorp-xm.a (static), libvlorp-xm.dll and
# its import library libvlorp-xm.dll.a (`cmake --install build/windows
# --prefix DIR` puts them with the header and the pkg-config and CMake files).
# Extra arguments go to cmake (for example -DVLORP_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh windows
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DVLORP_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build build/windows --target vlorp vlorp-xm display_mode engine_math vlorp_xm_shared \
    vlorp_xm_static
cp build/windows/host/vlorp.exe build/windows/tools/vlorp-xm.exe build/windows/
echo "vlorp: built build/windows/vlorp.exe and build/windows/vlorp-xm.exe, and the library:" \
    "build/windows/libvlorp-xm.a, libvlorp-xm.dll, libvlorp-xm.dll.a" >&2
