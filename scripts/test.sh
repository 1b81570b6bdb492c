#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: a plain optimised
# build, a clang build, then the same tests under AddressSanitizer +
# UndefinedBehaviorSanitizer, and the thread tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
jobs=$(nproc)

run_ctest() { # build dir
    # GL tests need a display; Xvfb gives one where there is none.
    if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
        xvfb-run -a -s "-screen 0 1024x768x24" ctest --test-dir "$1" --output-on-failure -j "$jobs"
    else
        ctest --test-dir "$1" --output-on-failure -j "$jobs"
    fi
}

echo "== fuzzing: 2 minutes, loader and player targets side by side, from the seeds and saved regression inputs =="
bash scripts/fuzz.sh 120

echo "== optimised build =="
# Tests and benchmarks on, warnings as errors: our own builds stay clean.
ours=(-DVLORP_WERROR=ON -DVLORP_BUILD_TESTS=ON -DVLORP_BUILD_BENCH=ON)
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${ours[@]}" >/dev/null
cmake --build build/release
run_ctest build/release

echo "== sync: the live show and vlorp-xm play against a private sound server, 20 s runs =="
# At 30 ms of server latency the median offset of picture from sound must
# stay within 20 ms, and the measurement must see a 20 ms delay injected
# on purpose (within 5 ms here: a 20 s run on a busy machine moves by a few
# ms from run to run; the whole-show runs hold it to 2 ms); at 150 ms the figures are reported (see tests/sync/measure.sh
# for the whole show and the goal's limits). A run outside its limits is made once more
# before the stage fails: a busy machine's underruns move a 20 s run by whole buffers.
bash tests/sync/measure.sh -b build/release -s 20 -l 30 -p "vlorp xm" --within 20
bash tests/sync/measure.sh -b build/release -s 20 -l 30 -p xm --inject 20 --tolerance 5
bash tests/sync/measure.sh -b build/release -s 20 -l 150 -p "vlorp xm" || true

echo "== clang: Release build, warnings as errors =="
CC=clang CXX=clang++ cmake -S . -B build/clang -G Ninja -DCMAKE_BUILD_TYPE=Release "${ours[@]}" >/dev/null
cmake --build build/clang

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVLORP_SANITIZE=address \
    "${ours[@]}" >/dev/null
cmake --build build/asan
# SDL, the audio and GL drivers keep some allocations until exit: only those are ignored.
# Thread-local storage is not scanned (use_tls=0): the checker misreads the GL
# driver's dynamic TLS and crashes at exit; skipping it can only add reports.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS=suppressions=$PWD/tests/lsan_gl.supp:print_suppressions=0:use_tls=0 run_ctest build/asan

echo "== ThreadSanitizer: the public calls racing the mixing thread =="
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVLORP_SANITIZE=thread \
    "${ours[@]}" >/dev/null
cmake --build build/tsan --target test_threads test_output test_api
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build/tsan --output-on-failure -R "^(Threads|Output|DeviceLoss|ShowTime|ApiTest)\." -E "OneThread"

echo "== Windows: cross build with mingw-w64, checked under Wine against the Linux build =="
bash scripts/deps.sh windows-test
bash scripts/build-windows.sh -DVLORP_WERROR=ON
bash tests/windows_test.sh build/release build/windows

echo "== sync under Wine: vlorp-xm.exe play and vlorp.exe --window against the private sound server, 20 s runs =="
# waveOut cannot say how far Wine's count runs ahead of the sound (91 to 96 ms
# on a quiet machine, as little as 25 ms on a busy one; the driver holds it
# back by 95 ms): the status line's median offset must stay within 80 ms, which
# a count not held back at all misses; the show's figures under Wine are
# reported.
bash tests/sync/measure.sh -b build/release -w build/windows -s 20 -l 30 -p xm-wine --within 80
bash tests/sync/measure.sh -b build/release -w build/windows -s 20 -l 30 -p vlorp-wine || true

# The README's commands on a bare Debian 12, only when asked: it takes 20 to
# 40 minutes (VLORP_FRESH_MACHINE=1 bash scripts/test.sh).
if [ "${VLORP_FRESH_MACHINE:-0}" = 1 ]; then
    echo "== fresh machine: bare Debian 12, git, the README's commands, the package =="
    bash scripts/fresh-machine.sh
fi
