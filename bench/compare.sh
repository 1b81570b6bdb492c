#!/usr/bin/env bash
# Whole-process render speed of vlorp-xm beside the xmp command (the
# established player, used only as a yardstick): every module of the corpus
# (or of the folders and files given) rendered once through, PCM thrown
# away, both players pinned to one core, alternating, N rounds. Prints each
# round, each player's median and the ratio.
#
#   bash bench/compare.sh [-n ROUNDS] [-c CPU] [-t VLORP_XM] [DIR|FILE.xm ...]
#
# Defaults: 5 rounds, the last CPU, build/release/tools/vlorp-xm,
# ../shared/xm-corpus.
# VLORP_MIXER=plain|sse2|avx2|avx512 in the environment picks vlorp-xm's
# mixer path. Installs xmp (Debian package) when it is missing.
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
rounds=5
tool="$root/build/release/tools/vlorp-xm"
cpu=""
while getopts "n:c:t:h" opt; do
    case $opt in
    n) rounds=$OPTARG ;;
    c) cpu=$OPTARG ;;
    t) tool=$OPTARG ;;
    *) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; [ "$opt" = h ] && exit 0; exit 2 ;;
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
if [ ${#modules[@]} -eq 0 ]; then
    echo "compare.sh: no .xm modules in $*" >&2
    exit 1
fi

if ! command -v xmp >/dev/null; then
    echo "installing xmp (the yardstick) ..." >&2
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get install -y -qq xmp >/dev/null || { echo "compare.sh: cannot install xmp" >&2; exit 1; }
fi

# One core for both (the last one unless -c says), where taskset exists.
pin=()
if command -v taskset >/dev/null; then
    pin=(taskset -c "${cpu:-$(($(nproc) - 1))}")
fi


exec 3>&2 # the players' own messages; stderr of `time` goes to the tally
render_vlorp() {
    "${pin[@]}" "$tool" render -q "$1" -o - >/dev/null 2>&3 ||
        { echo "compare.sh: vlorp-xm failed on $1" >&2; exit 1; }
}
render_xmp() {
    "${pin[@]}" xmp -q -i linear -f 44100 -o /dev/null "$1" >/dev/null 2>&1 ||
        { echo "compare.sh: xmp failed on $1" >&2; exit 1; }
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
TIMEFORMAT='%3R %3U %3S' # wall, user and system seconds of one render

echo "${#modules[@]} modules, $rounds rounds, ${pin[*]:-not pinned}, mixer path ${VLORP_MIXER:-widest}"
for ((r = 1; r <= rounds; r++)); do
    # Module by module, the two players one right after the other, the
    # first one alternating: both see the same load on a shared machine.
    : >"$tmp/vlorp" && : >"$tmp/xmp"
    for f in "${modules[@]}"; do
        if ((r % 2)); then
            { time render_vlorp "$f"; } 2>>"$tmp/vlorp"
            { time render_xmp "$f"; } 2>>"$tmp/xmp"
        else
            { time render_xmp "$f"; } 2>>"$tmp/xmp"
            { time render_vlorp "$f"; } 2>>"$tmp/vlorp"
        fi
    done
    for p in vlorp xmp; do # one line per round: wall and CPU seconds
        awk '{ w += $1; c += $2 + $3 } END { print w, c }' "$tmp/$p" >>"$tmp/$p.rounds"
    done
    printf 'round %d: vlorp-xm %.3f s (CPU %.3f s), xmp %.3f s (CPU %.3f s)\n' "$r" \
        $(tail -n 1 "$tmp/vlorp.rounds") $(tail -n 1 "$tmp/xmp.rounds")
done
median() { # column of a rounds file
    cut -d' ' -f"$2" "$1" | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
vw=$(median "$tmp/vlorp.rounds" 1) xw=$(median "$tmp/xmp.rounds" 1)
vc=$(median "$tmp/vlorp.rounds" 2) xc=$(median "$tmp/xmp.rounds" 2)
awk -v vw="$vw" -v xw="$xw" -v vc="$vc" -v xc="$xc" 'BEGIN {
    printf "median wall time: vlorp-xm %.3f s, xmp %.3f s: vlorp-xm is %.2fx as fast\n", vw, xw, xw / vw
    printf "median CPU time:  vlorp-xm %.3f s, xmp %.3f s: %.2fx\n", vc, xc, xc / vc
}'
