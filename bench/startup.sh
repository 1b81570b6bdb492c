#!/usr/bin/env bash
# Start-up of the show: time from launching vlorp to its first presented
# frame, windowed and full screen, on a private Xvfb display (Mesa's
# software renderer where there is no GPU), N runs each. The show's own
# --stats line stamps the moments after main (song loaded, window system
# reached, GL driver loaded, window and context made, first frame
# presented, resources built, and how long the music's start took after
# the blank second: device and pre-fill); the
# part before main (exec, loading the shared libraries; under Wine also
# Wine's own start and its DLLs) is the launch-to-main difference of the
# two clocks. The sound goes to ALSA's null device through a private
# configuration, so a run is never heard.
#
#   bash bench/startup.sh [-n RUNS] [-b VLORP]...
#
# Defaults: 7 runs, build/release/host/vlorp. Each -b adds a build, and the
# builds take turns run by run (a busy machine moves the figures a lot:
# compare builds measured together); a path ending in .exe is the Windows
# build, run under Wine (launching wine counts as the start; its prefix is
# the one tests/windows_test.sh uses, beside the executable's build, and
# its server is started and kept for the runs, as after any earlier Wine
# program). One untimed run of each build comes first. Prints every run
# and the medians. A run ends after 2.5 s: the
# Linux build with SIGTERM (SDL makes it a quit request), the Windows one
# with Escape; both print their stats then.
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
runs=7
builds=()
while getopts "n:b:h" opt; do
    case $opt in
    n) runs=$OPTARG ;;
    b) builds+=("$OPTARG") ;;
    *) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; [ "$opt" = h ] && exit 0; exit 2 ;;
    esac
done
[ ${#builds[@]} -gt 0 ] || builds=("$root/build/release/host/vlorp")
command -v Xvfb >/dev/null || { echo "startup.sh: Xvfb is needed (Debian: xvfb)" >&2; exit 1; }
wine_used=""
for b in "${builds[@]}"; do
    if [ ! -f "$b" ]; then
        echo "startup.sh: no vlorp at $b (build first)" >&2
        exit 1
    fi
    [[ "$b" == *.exe ]] && wine_used=1
done
if [ -n "$wine_used" ]; then
    WINE=${WINE:-$(command -v wine || echo /usr/lib/wine/wine64)}
    WINESERVER=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
    command -v xdotool >/dev/null || { echo "startup.sh: xdotool is needed (Debian: xdotool)" >&2; exit 1; }
    [ -x "$WINE" ] || { echo "startup.sh: wine is needed for $b (Debian: wine64)" >&2; exit 1; }
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
fi

tmp=$(mktemp -d)
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
# Never stopped half-way by a failing step: the display must not outlive the run.
cleanup() {
    set +e
    kill $xvfb 2>/dev/null
    for b in "${builds[@]}"; do
        [[ "$b" == *.exe ]] && WINEPREFIX=$(wine_prefix "$b") "$WINESERVER" -k 2>/dev/null
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
mkdir -p "$tmp/config/alsa"
echo 'pcm.!default { type null }' >"$tmp/config/alsa/asoundrc"
export DISPLAY=$display XDG_CONFIG_HOME=$tmp/config

# The Wine prefix of tests/windows_test.sh: WINDOWS_BUILD/wine.
wine_prefix() {
    local dir
    dir=$(cd "$(dirname "$1")" && pwd)
    [ "$(basename "$dir")" = host ] && dir=$(dirname "$dir")
    echo "$dir/wine"
}

# Starts the server and the prefix (made on first use, which takes a while)
# before any run is timed.
for b in "${builds[@]}"; do
    if [[ "$b" == *.exe ]]; then
        export WINEPREFIX
        WINEPREFIX=$(wine_prefix "$b")
        timeout 300 "$WINE" "$b" --version >/dev/null 2>&1 || true
        "$WINESERVER" -k 2>/dev/null || true
        "$WINESERVER" -p
        timeout 60 "$WINE" "$b" --version >/dev/null 2>&1 || true
        unset WINEPREFIX
    fi
done

# Ends a Windows run: Escape to its window (or the process, if none shows).
end_wine_run() { # pid executable-name
    local wid
    wid=$(xdotool search --onlyvisible --class "$2" 2>/dev/null | head -1)
    if [ -n "$wid" ]; then
        xdotool key --window "$wid" Escape 2>/dev/null
        for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.02; done
    fi
    kill -TERM "$1" 2>/dev/null || true
}

one_run() { # build-number mode args...
    local t0 pid b=${builds[$1 - 1]}
    t0=$EPOCHREALTIME
    if [[ "$b" == *.exe ]]; then
        WINEPREFIX=$(wine_prefix "$b") "$WINE" "$b" --stats "${@:3}" 2>"$tmp/err" >/dev/null &
        pid=$!
        sleep 2.5
        end_wine_run "$pid" "$(basename "$b")"
    else
        "$b" --stats "${@:3}" 2>"$tmp/err" >/dev/null &
        pid=$!
        sleep 2.5
        kill -TERM "$pid" 2>/dev/null || true
    fi
    wait "$pid" || true
    tr -d '\r' <"$tmp/err" | awk -v t0="$t0" -v mode="$2" -v build="$1" '
        /start-up, ms after main/ {
            gsub(/[,()]/, " ")
            for (i = 1; i <= NF; i++) {
                if ($i == "loaded") song = $(i + 1)
                if ($i == "open") display = $(i + 1)
                if ($i == "driver") driver = $(i + 1)
                if ($i == "context") win = $(i + 1)
                if ($i == "frame") first = $(i + 1)
                if ($i == "built") res = $(i + 1)
                if ($i == "in" && $(i - 1) == "started") music = $(i + 1)
                if ($i == "at") main_at = $(i + 1)
            }
        }
        END {
            if (!main_at) { print build, mode, "no stats (did the show start?)"; exit 1 }
            pre = (main_at - t0) * 1000
            printf "%s %s %.1f %.1f %.1f %.1f %.1f %.1f %.1f %.1f %.1f\n", build, mode, pre + first, pre, song, display, driver, win, first, res, music
        }'
}

for ((i = 1; i <= ${#builds[@]}; i++)); do
    echo "build $i: ${builds[$i - 1]}$([[ "${builds[$i - 1]}" == *.exe ]] && echo ' (under Wine)')"
done
# One untimed run each: a new X server's first clients and cold file
# caches would otherwise weigh on the first runs only.
for ((i = 1; i <= ${#builds[@]}; i++)); do one_run "$i" windowed --window >/dev/null || true; done
echo "ms from launch to the first frame (total), to main (pre-main), and from main to:"
printf '%-5s %-11s %7s %8s %6s %8s %7s %7s %7s %9s %7s\n' build mode total pre-main song display driver window frame resources music
for ((r = 1; r <= runs; r++)); do
    for ((i = 1; i <= ${#builds[@]}; i++)); do
        one_run "$i" windowed --window >>"$tmp/rows" || true
        one_run "$i" fullscreen >>"$tmp/rows" || true
    done
done
awk 'NF == 11 { printf "%-5s %-11s %7.1f %8.1f %6.1f %8.1f %7.1f %7.1f %7.1f %9.1f %7.1f\n", $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11; next }
     { print }' "$tmp/rows"
# Each column's median on its own, and the median of each stage's own
# length (run by run), which a busy machine moves less than the sums.
echo "medians (each column on its own; stages: each run's step, then the median):"
for ((i = 1; i <= ${#builds[@]}; i++)); do
    for mode in windowed fullscreen; do
        grep "^$i $mode [0-9]" "$tmp/rows" | awk -v m="$mode" -v b="$i" '
            function median(k,   j, t, a, n) {
                n = 0
                for (j = 1; j <= NR; j++) { a[++n] = col[k, j]; }
                for (j = 2; j <= n; j++) { t = a[j]; for (x = j - 1; x >= 1 && a[x] > t; x--) a[x + 1] = a[x]; a[x + 1] = t }
                return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
            }
            { for (k = 3; k <= 11; k++) col[k, NR] = $k
              col[12, NR] = $6 - $5; col[13, NR] = $7 - $6; col[14, NR] = $8 - $7; col[15, NR] = $9 - $8 }
            END {
                if (!NR) exit
                printf "build %s %-10s %6.1f ms to the first frame: pre-main %.1f; after main: song %.1f, display open %.1f, GL driver %.1f, window and context %.1f, first frame %.1f, resources %.1f; music start %.1f\n",
                    b, m, median(3), median(4), median(5), median(6), median(7), median(8), median(9), median(10), median(11)
                printf "build %s %-10s stages: window system %.1f, GL driver %.1f, window and context %.1f, first frame %.1f (%d runs)\n",
                    b, m, median(12), median(13), median(14), median(15), NR
            }'
    done
done
