#!/usr/bin/env bash
# Start-up of the show: time from launching vlorp to its first presented
# frame, windowed and full screen, on a private Xvfb display (Mesa's
# software renderer where there is no GPU), N runs each. The show's own
# --stats line stamps the moments after main (song loaded, window and
# context made, first frame presented, resources built, and how long the
# music's start took after the blank second: device and pre-fill); the
# part before main (exec, loading the shared libraries) is the
# launch-to-main difference of the two clocks. The sound goes to ALSA's
# null device through a private configuration, so a run is never heard.
#
#   bash bench/startup.sh [-n RUNS] [-b VLORP]
#
# Defaults: 7 runs, build/release/host/vlorp. Prints every run and the
# medians. Each run is ended with SIGTERM after 2.5 s (SDL turns it into a
# quit request, so the stats are printed).
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
runs=7
vlorp="$root/build/release/host/vlorp"
while getopts "n:b:h" opt; do
    case $opt in
    n) runs=$OPTARG ;;
    b) vlorp=$OPTARG ;;
    *) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; [ "$opt" = h ] && exit 0; exit 2 ;;
    esac
done
[ -x "$vlorp" ] || { echo "startup.sh: no vlorp at $vlorp (build first)" >&2; exit 1; }
command -v Xvfb >/dev/null || { echo "startup.sh: Xvfb is needed (Debian: xvfb)" >&2; exit 1; }

tmp=$(mktemp -d)
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
mkdir -p "$tmp/config/alsa"
echo 'pcm.!default { type null }' >"$tmp/config/alsa/asoundrc"
export DISPLAY=$display XDG_CONFIG_HOME=$tmp/config

one_run() { # mode args...
    local t0 pid
    t0=$EPOCHREALTIME
    "$vlorp" --stats "${@:2}" 2>"$tmp/err" >/dev/null &
    pid=$!
    sleep 2.5
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" || true
    awk -v t0="$t0" -v mode="$1" '
        /start-up, ms after main/ {
            gsub(/[,()]/, " ")
            for (i = 1; i <= NF; i++) {
                if ($i == "loaded") song = $(i + 1)
                if ($i == "context") win = $(i + 1)
                if ($i == "frame") first = $(i + 1)
                if ($i == "built") res = $(i + 1)
                if ($i == "in" && $(i - 1) == "started") music = $(i + 1)
                if ($i == "at") main_at = $(i + 1)
            }
        }
        END {
            if (!main_at) { print mode, "no stats (did the show start?)"; exit 1 }
            pre = (main_at - t0) * 1000
            printf "%s %.1f %.1f %.1f %.1f %.1f %.1f %.1f\n", mode, pre + first, pre, song, win, first, res, music
        }' "$tmp/err"
}

echo "ms from launch to the first frame (total), to main (pre-main), and from main to:"
printf '%-11s %8s %8s %8s %8s %9s %9s %8s\n' mode total pre-main song window 'frame' resources music
for ((r = 1; r <= runs; r++)); do
    one_run windowed --window >>"$tmp/rows"
    one_run fullscreen >>"$tmp/rows"
done
awk '{ printf "%-11s %8.1f %8.1f %8.1f %8.1f %9.1f %9.1f %8.1f\n", $1, $2, $3, $4, $5, $6, $7, $8 }' "$tmp/rows"
for mode in windowed fullscreen; do
    grep "^$mode " "$tmp/rows" | sort -k2,2g |
        awk -v m="$mode" '{ v[NR] = $0 } END { split(v[int((NR + 1) / 2)], f, " ");
            printf "median %-11s %5.1f ms to the first frame (pre-main %.1f; after main: song %.1f, window and context %.1f, first frame %.1f, resources %.1f; music start %.1f)\n",
                m, f[2], f[3], f[4], f[5], f[6], f[7], f[8] }'
done
