#!/usr/bin/env bash
# Whole-process render speed of vlorp-xm beside two yardsticks of the
# established player: its command-line tool (`xmp`) and its library's own
# render loop, called by a small C program this script compiles on the fly
# against libxmp-dev (skipped, with a message, when the header or a C
# compiler is missing). Every module of the corpus (or of the folders and
# files given) is rendered once through, PCM thrown away, all players pinned
# to one core, taking turns module by module, N rounds. Prints each round's
# totals, the median totals and ratios, the per-module ratios (each player's
# best time of the rounds) and the worst module against each yardstick.
#
#   bash bench/compare.sh [-n ROUNDS] [-c CPU] [-t VLORP_XM] [-b OLD_VLORP_XM] [-i]
#                         [DIR|FILE.xm ...]
#
# Defaults: 5 rounds, the last CPU, build/release/tools/vlorp-xm,
# ../shared/xm-corpus. -i: the library yardstick only (no xmp command).
# -b: another vlorp-xm (an earlier build) taking turns with the others, its
# ratio the speed-up of the one measured.
# VLORP_MIXER=plain|sse2|avx2|avx512 in the environment picks vlorp-xm's
# mixer path. Installs xmp (Debian package) when it is missing. The
# yardsticks are only measured against: nothing in the build uses them.
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
rounds=5
tool="$root/build/release/tools/vlorp-xm"
cpu=""
with_cli=1
before=""
while getopts "n:c:t:b:ih" opt; do
    case $opt in
    n) rounds=$OPTARG ;;
    c) cpu=$OPTARG ;;
    t) tool=$OPTARG ;;
    b) before=$OPTARG ;;
    i) with_cli=0 ;;
    *) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; [ "$opt" = h ] && exit 0; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- "$root/../shared/xm-corpus"
if ! [[ $rounds =~ ^[1-9][0-9]*$ ]]; then
    echo "compare.sh: -n wants a count of rounds, not '$rounds'" >&2
    exit 2
fi
if [ ! -x "$tool" ]; then
    echo "compare.sh: no vlorp-xm at $tool (build first: cmake --build build/release)" >&2
    exit 1
fi

modules=()
for arg in "$@"; do
    if [ -d "$arg" ]; then
        while IFS= read -r f; do modules+=("$f"); done < <(find "$arg" -maxdepth 1 -iname '*.xm' | sort)
    elif [ -f "$arg" ]; then
        modules+=("$arg")
    else
        echo "compare.sh: $arg: no such file or folder" >&2
        exit 1
    fi
done
if [ -n "$before" ] && [ ! -x "$before" ]; then
    echo "compare.sh: no vlorp-xm at $before (-b)" >&2
    exit 1
fi
if [ ${#modules[@]} -eq 0 ]; then
    echo "compare.sh: no .xm modules in $*" >&2
    exit 1
fi

if ((with_cli)) && ! command -v xmp >/dev/null; then
    echo "installing xmp (the yardstick) ..." >&2
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get install -y -qq xmp >/dev/null || { echo "compare.sh: cannot install xmp" >&2; exit 1; }
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The library yardstick: load, play frame after frame into the library's
# own buffer at 44.1 kHz with linear interpolation until the song loops
# (at most 30 minutes, as vlorp-xm), write nothing.
players=(vlorp)
((with_cli)) && players+=(xmp)
cc=$(command -v cc || command -v gcc || command -v clang || true)
if [ -n "$cc" ] && [ -f /usr/include/xmp.h ]; then
    cat >"$tmp/libxmp_render.c" <<'C'
#include <stdio.h>
#include <xmp.h>
int main(int argc, char** argv) {
    if (argc != 2) return 2;
    xmp_context c = xmp_create_context();
    if (xmp_load_module(c, argv[1]) != 0) { fprintf(stderr, "%s: cannot load\n", argv[1]); return 1; }
    if (xmp_start_player(c, 44100, 0) != 0) return 1;
    xmp_set_player(c, XMP_PLAYER_INTERP, XMP_INTERP_LINEAR);
    struct xmp_frame_info fi;
    double ms = 0;
    unsigned sum = 0;
    while (xmp_play_frame(c) == 0) {
        xmp_get_frame_info(c, &fi);
        if (fi.loop_count > 0 || ms > 30 * 60 * 1000.0) break;
        sum += ((const unsigned char*)fi.buffer)[0]; /* touch the PCM */
        ms += fi.frame_time / 1000.0;
    }
    xmp_end_player(c);
    xmp_release_module(c);
    xmp_free_context(c);
    return sum == 0xFFFFFFFFu; /* never: keeps the loop's reads */
}
C
    if "$cc" -O2 -o "$tmp/libxmp_render" "$tmp/libxmp_render.c" -lxmp 2>"$tmp/cc.log"; then
        players+=(lib)
    else
        echo "compare.sh: the library yardstick does not build (skipped):" >&2
        cat "$tmp/cc.log" >&2
    fi
else
    echo "compare.sh: no libxmp-dev or no C compiler: the library yardstick is skipped" \
        "(Debian: apt-get install libxmp-dev)" >&2
fi
[ -n "$before" ] && players+=(old)
if [ ${#players[@]} -lt 2 ]; then
    echo "compare.sh: no yardstick to compare with" >&2
    exit 1
fi

# One core for all (the last one unless -c says), where taskset exists.
# The script pins itself once and the players inherit the core: a taskset
# per run would add its own exec (about a millisecond) to every time.
pinned="not pinned"
if command -v taskset >/dev/null; then
    core=${cpu:-$(($(nproc) - 1))}
    taskset -cp "$core" $$ >/dev/null || { echo "compare.sh: cannot pin to CPU $core" >&2; exit 1; }
    pinned="pinned to CPU $core"
fi

run() { # player module
    case $1 in
    vlorp) "$tool" render -q "$2" -o - >/dev/null ;;
    xmp) xmp -q -i linear -f 44100 -o /dev/null "$2" >/dev/null 2>&1 ;;
    lib) "$tmp/libxmp_render" "$2" >/dev/null ;;
    old) "$before" render -q "$2" -o - >/dev/null ;;
    esac || { echo "compare.sh: $1 failed on $2" >&2; exit 1; }
}
now_us() { echo "${EPOCHREALTIME/./}"; } # microseconds, without a fork

# What starting any process costs here, launched the way the players are:
# the best of 20 runs of /bin/true. It is in every time below.
floor_us() {
    local best="" t0 t1 i
    for ((i = 0; i < 20; i++)); do
        t0=$(now_us)
        /bin/true
        t1=$(now_us)
        if [ -z "$best" ] || ((t1 - t0 < best)); then best=$((t1 - t0)); fi
    done
    echo "$best"
}

declare -A name=([vlorp]=vlorp-xm [xmp]="xmp command" [lib]="xmp library" [old]="vlorp-xm -b")
echo "${#modules[@]} modules, $rounds rounds, $pinned, mixer path ${VLORP_MIXER:-widest}"
echo "process floor (/bin/true, best of 20): $(awk -v t="$(floor_us)" 'BEGIN { printf "%.2f", t / 1e3 }') ms"
printf 'players:'; for p in "${players[@]}"; do printf ' [%s]' "${name[$p]}"; done; echo
for ((r = 1; r <= rounds; r++)); do
    # Module by module, the players one right after the other, the order
    # rotating each round: all see the same load on a shared machine.
    n=${#players[@]}
    for ((m = 0; m < ${#modules[@]}; m++)); do
        f=${modules[m]}
        for ((k = 0; k < n; k++)); do
            p=${players[$(((k + r + m) % n))]}
            t0=$(now_us)
            run "$p" "$f"
            t1=$(now_us)
            echo "$r $m $((t1 - t0))" >>"$tmp/$p.times"
        done
    done
    line="round $r:"
    for p in "${players[@]}"; do
        line+=$(awk -v r="$r" -v who="${name[$p]}" '$1 == r { s += $3 } END { printf " %s %.3f s,", who, s / 1e6 }' "$tmp/$p.times")
    done
    echo "${line%,}"
done

# Totals: the median of the rounds. Per module: each player's best round.
for p in "${players[@]}"; do
    awk '{ s[$1] += $3 } END { for (r in s) print s[r] / 1e6 }' "$tmp/$p.times" | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }' >"$tmp/$p.median"
    awk '{ k = $2; if (!(k in b) || $3 < b[k]) b[k] = $3 } END { for (k in b) print k, b[k] }' \
        "$tmp/$p.times" | sort -n >"$tmp/$p.best"
done
vt=$(cat "$tmp/vlorp.median")
for p in "${players[@]:1}"; do
    awk -v v="$vt" -v x="$(cat "$tmp/$p.median")" -v who="${name[$p]}" 'BEGIN {
        printf "median total wall time: vlorp-xm %.3f s, %s %.3f s: vlorp-xm is %.2fx as fast\n", v, who, x, x / v }'
done
printf '%-48s %9s' "module (best of $rounds, ms)" vlorp-xm
for p in "${players[@]:1}"; do printf ' %12s %6s' "${name[$p]}" ratio; done
echo
for ((m = 0; m < ${#modules[@]}; m++)); do
    printf '%-48s %9.1f' "$(basename "${modules[m]}")" "$(awk -v m="$m" '$1 == m { print $2 / 1e3 }' "$tmp/vlorp.best")"
    for p in "${players[@]:1}"; do
        paste "$tmp/vlorp.best" "$tmp/$p.best" | awk -v m="$m" '$1 == m { printf " %12.1f %5.2fx", $4 / 1e3, $4 / $2 }'
    done
    echo
done
for p in "${players[@]:1}"; do
    paste "$tmp/vlorp.best" "$tmp/$p.best" | awk '{ print $4 / $2, $1 }' | sort -g | head -n 1 |
        while read -r ratio m; do
            printf 'worst module against the %s: %s, %.2fx\n' "${name[$p]}" "$(basename "${modules[m]}")" "$ratio"
        done
done
