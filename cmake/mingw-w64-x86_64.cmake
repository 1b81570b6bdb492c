# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread
# model, so std::thread and std::atomic work). Usage:
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VLORP_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VLORP_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VLORP_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VLORP_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VLORP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Nothing but the DLLs every Windows has: the C++ runtime, libgcc and
# winpthreads go into the executables.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Release executables carry no symbol tables (about half their size).
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
