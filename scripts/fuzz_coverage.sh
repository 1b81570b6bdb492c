#!/usr/bin/env bash
# Line coverage of the music engine reached by the fuzz corpora.
# usage: scripts/fuzz_coverage.sh [EXTRA_INPUT_DIR...]
#
# Builds both fuzz targets with clang's source-based coverage in
# build/fuzz-cov, replays once every input in build/fuzz/corpus-fuzz_loader,
# build/fuzz/corpus-fuzz_player (what scripts/fuzz.sh accumulated), the seeds,
# tests/fuzz/regressions and any extra folders, and prints llvm-cov's report
# for music/ (per file, then the functions never entered). The annotated
# sources go to build/fuzz-cov/html/index.html.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz-cov
corpora=$root/build/fuzz
for dir in "$@"; do
    [ -d "$dir" ] || { echo "fuzz_coverage.sh: $dir: not a folder" >&2; exit 2; }
done
tool() { # name: the versioned LLVM tool, or the plain one
    command -v "$1-14" || command -v "$1" ||
        { echo "fuzz_coverage.sh: $1 not found (Debian package llvm-14)" >&2; exit 1; }
}
profdata=$(tool llvm-profdata)
cov=$(tool llvm-cov)

mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
    flags="-fprofile-instr-generate -fcoverage-mapping"
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVLORP_FUZZ=ON -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
fi
cmake --build "$build" --target fuzz_loader fuzz_player make_seeds >"$build/build.log" 2>&1 ||
    { tail -n 30 "$build/build.log" >&2; echo "fuzz_coverage.sh: build failed" >&2; exit 1; }
mkdir -p "$build/seeds" "$build/profiles"
rm -f "$build"/profiles/*.profraw
LLVM_PROFILE_FILE="$build/make_seeds.profraw" "$build/tests/fuzz/make_seeds" "$build/seeds"

inputs=("$build/seeds" "$root/tests/fuzz/regressions" "$@")
for target in fuzz_loader fuzz_player; do
    dirs=("${inputs[@]}")
    [ -d "$corpora/corpus-$target" ] && dirs=("$corpora/corpus-$target" "${dirs[@]}")
    # -runs=0: run each input once, mutate nothing. Inputs are replayed whole.
    LLVM_PROFILE_FILE="$build/profiles/$target-%p.profraw" \
        "$build/tests/fuzz/$target" -runs=0 -timeout=60 -rss_limit_mb=4096 -max_len=100000000 \
        "${dirs[@]}" >"$build/$target.log" 2>&1 ||
        { tail -n 30 "$build/$target.log" >&2; echo "fuzz_coverage.sh: $target failed" >&2; exit 1; }
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$build/$target.log" | tail -n 1 | sed "s/^/$target: /"
done
"$profdata" merge -sparse "$build"/profiles/*.profraw -o "$build/fuzz.profdata"

objects=("$build/tests/fuzz/fuzz_loader" -object "$build/tests/fuzz/fuzz_player")
sources=("$root"/music/*.cpp "$root"/music/*.h)
"$cov" report "${objects[@]}" -instr-profile="$build/fuzz.profdata" "${sources[@]}" |
    sed "s|$root/||"
echo
echo "Functions of music/ never entered:"
"$cov" report -show-functions "${objects[@]}" -instr-profile="$build/fuzz.profdata" \
    "${sources[@]}" |
    # A header's inline function has a record in each program: it counts as
    # entered when any of them was.
    awk '$1 !~ /^(Name|File|-+|TOTAL)/ && NF > 6 {
             name = $1; sub(/^[^:]*:/, "", name)
             if (!(name in entered)) entered[name] = 0
             if ($2 != $3) entered[name] = 1
         }
         END { for (name in entered) if (!entered[name]) print name }' |
    sort | c++filt | sed 's/^/  /'
"$cov" show -format=html -output-dir="$build/html" "${objects[@]}" \
    -instr-profile="$build/fuzz.profdata" "${sources[@]}" >/dev/null
echo "annotated sources: $build/html/index.html"
