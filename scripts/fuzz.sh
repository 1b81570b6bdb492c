#!/usr/bin/env bash
# Fuzzes the module loader and the player with libFuzzer.
# usage: scripts/fuzz.sh SECONDS [EXTRA_SEED_DIR...]
#
# Builds the two instrumented targets if needed (clang, ASan + UBSan):
#   fuzz_loader  bytes -> song_load -> song_free (thousands of inputs a second)
#   fuzz_player  load, then a few blocks of playback with short ticks
# and runs both for SECONDS of wall time on all cores (half the cores each; on
# one core they take turns), starting from the generated seed modules, the
# saved regression inputs and any extra seed folders (read only). Each
# target keeps its corpus in build/fuzz/corpus-TARGET, so later runs go on
# where earlier ones stopped. Prints each target's inputs, rate and coverage,
# and the totals of every run so far (build/fuzz/history). Exits non-zero on
# a finding; the input is saved under build/fuzz/artifacts/.
# FUZZ_JOBS=N runs N processes per target instead.
# FUZZ_TARGETS="fuzz_loader" runs only the targets named (both by default).
set -euo pipefail
if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
    echo "usage: scripts/fuzz.sh SECONDS [EXTRA_SEED_DIR...]" >&2
    exit 2
fi
seconds=$1
shift
for dir in "$@"; do
    [ -d "$dir" ] || { echo "fuzz.sh: $dir: not a folder" >&2; exit 2; }
done
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
targets=(fuzz_loader fuzz_player)
if [ -n "${FUZZ_TARGETS:-}" ]; then
    read -r -a targets <<<"$FUZZ_TARGETS"
    for target in "${targets[@]}"; do
        case $target in
        fuzz_loader | fuzz_player) ;;
        *) echo "fuzz.sh: FUZZ_TARGETS: $target: not a target (fuzz_loader, fuzz_player)" >&2; exit 2 ;;
        esac
    done
fi
# Longer inputs only cost the loader time: it reaches all it can in 16 KiB.
declare -A max_len=([fuzz_loader]=16384 [fuzz_player]=65536)

# Findings are reported with function names only when a symbolizer is found.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ]; then
    for s in llvm-symbolizer-14 llvm-symbolizer /usr/lib/llvm-14/bin/llvm-symbolizer; do
        if s=$(command -v "$s"); then
            export ASAN_SYMBOLIZER_PATH=$s
            break
        fi
    done
    [ -n "${ASAN_SYMBOLIZER_PATH:-}" ] ||
        echo "fuzz.sh: no llvm-symbolizer found; findings will lack function names" >&2
fi
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVLORP_FUZZ=ON >/dev/null
fi
cmake --build "$build" --target "${targets[@]}" make_seeds >"$build/build.log" 2>&1 ||
    { tail -n 30 "$build/build.log" >&2; echo "fuzz.sh: build failed" >&2; exit 1; }
mkdir -p "$build/seeds" "$build/artifacts" "$build/logs"
"$build/tests/fuzz/make_seeds" "$build/seeds"

cores=$(nproc 2>/dev/null || echo 1)
jobs=${FUZZ_JOBS:-$((cores / ${#targets[@]}))}
[ "$jobs" -ge 1 ] || jobs=1
per_target=$seconds
if [ "$cores" -lt "${#targets[@]}" ] && [ -z "${FUZZ_JOBS:-}" ]; then
    per_target=$(((seconds + 1) / 2)) # one core: the targets take turns
fi

run_target() { # target job
    local target=$1 job=$2
    shift 2
    mkdir -p "$build/corpus-$target"
    "$build/tests/fuzz/$target" -max_total_time="$per_target" -timeout=30 -rss_limit_mb=2560 \
        -max_len="${max_len[$target]}" -print_final_stats=1 -dict="$root/tests/fuzz/xm.dict" \
        -artifact_prefix="$build/artifacts/$target-" \
        "$build/corpus-$target" "$build/seeds" "$root/tests/fuzz/regressions" "$@" \
        >"$build/logs/$target-$job.log" 2>&1
}

echo "fuzz.sh: $per_target s per target, $jobs process(es) each, logs in $build/logs"
rm -f "$build"/logs/*.log
declare -A pids
failed=0
start=$(date +%s)
for target in "${targets[@]}"; do
    for ((j = 1; j <= jobs; j++)); do
        if [ "$cores" -lt "${#targets[@]}" ] && [ -z "${FUZZ_JOBS:-}" ]; then
            # Without a second core the targets run one after the other.
            run_target "$target" "$j" "$@" ||
                { failed=1; echo "fuzz.sh: $target-$j stopped on a finding" >&2; }
        else
            run_target "$target" "$j" "$@" &
            pids[$target-$j]=$!
        fi
    done
done
for key in "${!pids[@]}"; do
    wait "${pids[$key]}" || { failed=1; echo "fuzz.sh: $key stopped on a finding" >&2; }
done
wall=$(($(date +%s) - start))

# Sums each target's processes: inputs run, coverage reached (cov = edges,
# ft = features, the highest any process saw), corpus size.
history=$build/history
for target in "${targets[@]}"; do
    runs=0 cov=0 ft=0
    for log in "$build"/logs/"$target"-*.log; do
        n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        if [ -z "$n" ]; then # stopped early: the last progress line counts
            n=$( (grep -o '^#[0-9]*' "$log" || true) | tail -n 1 | tr -d '#')
        fi
        runs=$((runs + ${n:-0}))
        c=$( (grep -o 'cov: [0-9]*' "$log" || true) | tail -n 1 | tr -dc 0-9)
        f=$( (grep -o 'ft: [0-9]*' "$log" || true) | tail -n 1 | tr -dc 0-9)
        [ "${c:-0}" -gt "$cov" ] && cov=$c
        [ "${f:-0}" -gt "$ft" ] && ft=$f
    done
    corpus=$(find "$build/corpus-$target" -type f | wc -l)
    rate=$((runs / (per_target > 0 ? per_target : 1)))
    printf '%s: %d inputs in %d s (%d/s), cov %d edges, ft %d features, corpus %d\n' \
        "$target" "$runs" "$per_target" "$rate" "$cov" "$ft" "$corpus"
    echo "$target $runs $per_target $cov $ft" >>"$history"
done
echo "fuzz.sh: all runs so far (build/fuzz/history):"
for target in "${targets[@]}"; do
    awk -v t="$target" '$1 == t { n += $2; s += $3; if ($4 > c) c = $4; if ($5 > f) f = $5 }
        END { printf "  %s: %d inputs in %d s of fuzzing, best cov %d, ft %d\n", t, n, s, c, f }' \
        "$history"
done
echo "fuzz.sh: wall time ${wall} s"
if [ "$failed" -ne 0 ]; then
    for log in "$build"/logs/*.log; do
        grep -q -E '== ?ERROR|runtime error' "$log" || continue
        echo "--- $log" >&2
        grep -m 1 -A 30 -E '== ?ERROR|runtime error' "$log" >&2
        grep -E 'Test unit written to' "$log" >&2 || true
    done
    exit 1
fi
