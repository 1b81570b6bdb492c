#!/usr/bin/env bash
# Fuzzes the module loader and player with libFuzzer.
# usage: tools/fuzz.sh SECONDS [EXTRA_SEED_DIR...]
# Builds the instrumented target if needed (clang, ASan + UBSan), then runs it
# for SECONDS on the generated seed modules, the saved regression inputs and
# any extra seed folders (read only). Exits non-zero on a finding; the input
# is saved under build/fuzz/artifacts/.
set -euo pipefail
if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "usage: tools/fuzz.sh SECONDS [EXTRA_SEED_DIR...]" >&2
    exit 2
fi
seconds=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVLORP_FUZZ=ON >/dev/null
fi
cmake --build "$build" --target fuzz_song make_seeds >"$build/build.log" 2>&1 ||
    { tail -n 30 "$build/build.log" >&2; echo "fuzz.sh: build failed" >&2; exit 1; }
mkdir -p "$build/seeds" "$build/corpus" "$build/artifacts"
"$build/tests/fuzz/make_seeds" "$build/seeds"
"$build/tests/fuzz/fuzz_song" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2560 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
    "$build/corpus" "$build/seeds" "$root/tests/fuzz/regressions" "$@"
