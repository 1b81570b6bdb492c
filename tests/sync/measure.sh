#!/usr/bin/env bash
# How well the live show (and vlorp-xm play) keeps step with what is heard,
# measured from outside the program:
#
#   - a private PulseAudio with a null sink, one run per latency asked of
#     the sound server (PULSE_LATENCY_MSEC, as a large PipeWire quantum or
#     a Bluetooth headset would impose);
#   - the program plays into it (the show under Xvfb) and writes its
#     --sync-log: when each frame appeared and the show time it drew;
#   - sync_record records the sink's monitor with the time each stretch
#     left the sink; sync_analyze aligns that recording to the offline
#     render by cross-correlation and reports, per run, the offset of the
#     picture from the sound: mean, median, 99th percentile, maximum, drift.
#
# The Windows build is measured the same way under Wine (vlorp.exe --window
# and vlorp-xm.exe play, waveOut through Wine's PulseAudio driver into the
# same private server, in a Wine prefix of its own made on first use).
#
# usage: tests/sync/measure.sh [options]
#   -b DIR          build folder with vlorp, vlorp-xm, sync_record, sync_analyze
#                   (default build/release)
#   -s SECONDS      length of each run (default 120: the whole show)
#   -l "MS ..."     server latencies (default "30 150")
#   -p "PROG ..."   vlorp and/or xm (vlorp-xm play), and under Wine
#                   vlorp-wine and/or xm-wine (default "vlorp xm")
#   -w DIR          the Windows build folder (default build/windows)
#   --inject MS     validation: each run is made a second time with the
#                   programs told the sound is MS later than the device says
#                   (VLORP_AUDIO_DELAY_MS); the median offset must move by
#                   -MS, within 2 ms, or the measurement cannot be trusted
#   --tolerance MS  how far from -MS the injected run may land (default 2)
#   --check         fail unless the goal's limits hold (mean within +-5 ms,
#                   99 % within +-17 ms, drift within 2 ms)
#   --within MS     fail unless the median offset is within +-MS ms
#   --keep DIR      keep recordings and logs in DIR
#   --vlorp EXE     measure this vlorp instead (one that writes its log where
#                   $SYNC_LOG names, for builds before --sync-log)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=build/release windows=build/windows seconds=120 latencies="30 150" programs="vlorp xm" inject="" tolerance=2 check=0 within=""
keep="" vlorp_exe=""
while [ $# -gt 0 ]; do
    case $1 in
    -b) build=$2; shift ;;
    -w) windows=$2; shift ;;
    -s) seconds=$2; shift ;;
    -l) latencies=$2; shift ;;
    -p) programs=$2; shift ;;
    --inject) inject=$2; shift ;;
    --tolerance) tolerance=$2; shift ;;
    --check) check=1 ;;
    --within) within=$2; shift ;;
    --keep) keep=$2; shift ;;
    --vlorp) vlorp_exe=$2; shift ;;
    *) echo "measure.sh: unknown option '$1'" >&2; exit 2 ;;
    esac
    shift
done
vlorp=${vlorp_exe:-$build/host/vlorp}
xm=$build/tools/vlorp-xm
record=$build/tests/sync_record
analyze=$build/tests/sync_analyze
needed=("$xm" "$record" "$analyze")
if [[ "$programs" == *wine* ]]; then
    needed+=("$windows/host/vlorp.exe" "$windows/tools/vlorp-xm.exe")
    WINE=${WINE:-$(command -v wine || echo /usr/lib/wine/wine64)}
    WINESERVER=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
    export WINEPREFIX=$(realpath "$windows")/wine-sync WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
fi
for f in "${needed[@]}"; do
    [ -e "$f" ] || { echo "measure.sh: $f is missing (build it first)" >&2; exit 2; }
done
work=${keep:-$(mktemp -d)}
mkdir -p "$work"
[ -n "$keep" ] || trap 'rm -rf "$work"' EXIT
. tests/sync/private_pulse.sh

"$xm" render assets/soundtrack.xm -o "$work/render.raw" -t $((seconds + 10)) -q || exit 1

# Runs one program into the private server; its sync log goes to $1.
run_vlorp() {
    local log=$1
    # Escape ends a run shorter than the show; the show ends by itself at 120 s.
    cat >"$work/show.sh" <<EOF
SYNC_LOG="$log" "$vlorp" --window \$([ -z "$vlorp_exe" ] && echo --sync-log "$log") &
pid=\$!
if [ "$seconds" -lt 120 ]; then
    sleep $((seconds + 1))
    xdotool search --name . key Escape >/dev/null 2>&1 || xdotool key Escape
fi
wait \$pid
EOF
    xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/show.sh" 2>>"$work/stderr"
}
run_xm() {
    "$xm" play assets/soundtrack.xm -t "$seconds" --sync-log "$1" </dev/null 2>>"$work/stderr"
}
# Under Wine: its clock (QueryPerformanceCounter) is CLOCK_MONOTONIC_RAW, which
# the recorder is told to use. The prefix plays through the PulseAudio driver
# only, so a run can never reach another device.
wine_prefix() {
    [ -e "$WINEPREFIX/.vlorp-sync" ] && return 0
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f >/dev/null 2>&1 &&
        "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 &&
        "$WINESERVER" -w && touch "$WINEPREFIX/.vlorp-sync"
}
run_vlorp_wine() {
    local log=$1
    cat >"$work/show.sh" <<EOF
"$WINE" "$windows/host/vlorp.exe" --window --sync-log "$log" &
pid=\$!
if [ "$seconds" -lt 120 ]; then
    sleep $((seconds + 1))
    wid=\$(xdotool search --onlyvisible --class vlorp.exe 2>/dev/null | head -1)
    [ -n "\$wid" ] && xdotool key --window "\$wid" Escape
fi
wait \$pid
"$WINESERVER" -w
EOF
    xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/show.sh" 2>>"$work/stderr"
}
run_xm_wine() {
    "$WINE" "$windows/tools/vlorp-xm.exe" play assets/soundtrack.xm -t "$seconds" --sync-log "$1" \
        </dev/null >/dev/null 2>>"$work/stderr"
    "$WINESERVER" -w
}

# One run: $1 program, $2 latency, $3 injected delay (ms); analysis args follow.
measure() {
    local program=$1 latency=$2 delay=$3 name="$1-${2}ms"
    shift 3
    [ "$delay" = 0 ] || name="$name-plus${delay}ms"
    pulse_start "$work/pulse" || { echo "measure.sh: no private sound server" >&2; exit 2; }
    local clock=()
    [[ "$program" == *-wine ]] && clock=(--raw-clock)
    "$record" "${clock[@]}" vlorp.monitor "$work/$name.raw" "$work/$name.times" $((seconds + 6)) &
    local recorder=$!
    for _ in $(seq 100); do [ -e "$work/$name.times.ready" ] && break; sleep 0.1; done
    VLORP_AUDIO_DELAY_MS=$delay PULSE_LATENCY_MSEC=$latency "run_${program//-/_}" "$work/$name.log"
    wait $recorder
    pulse_stop
    rm -f "$work/$name.times.ready"
    "$analyze" "$work/$name.raw" "$work/$name.times" "$work/render.raw" "$work/$name.log" "$@"
}

# The median offset of the last plain run against one with the delay
# injected: it must move by -$inject ms.
inject_check() { # program latency
    local base with moved verdict
    base=$("$analyze" "$work/$1-${2}ms.raw" "$work/$1-${2}ms.times" "$work/render.raw" \
        "$work/$1-${2}ms.log" --median)
    with=$(measure "$1" "$2" "$inject" --median)
    moved=$(awk -v a="$base" -v b="$with" 'BEGIN { printf "%+.1f", b - a }')
    verdict=$(awk -v m="$moved" -v d="$inject" -v t="$tolerance" \
        'BEGIN { print (m + d <= t && m + d >= -t) ? "seen" : "NOT SEEN" }')
    printf '%-12s %s ms injected: median offset moved %s ms (%s)\n' "" "$inject" "$moved" "$verdict"
    [ "$verdict" = seen ]
}

[[ "$programs" == *wine* ]] && { wine_prefix || { echo "measure.sh: no Wine prefix" >&2; exit 2; }; }
failed=0
for latency in $latencies; do
    for program in $programs; do
        args=()
        [ $check = 1 ] && args+=(--limits)
        [ -n "$within" ] && args+=(--within "$within")
        printf '%-12s ' "$program-${latency}ms"
        # A busy machine starves the player or the server now and then
        # (underruns shift the sound by whole buffers): a run outside its
        # limits is made once more, and fails only if the second one is too.
        if ! measure "$program" "$latency" 0 "${args[@]}"; then
            printf '%-12s outside the limits at load average %s: measured once more\n' "" \
                "$(cut -d ' ' -f 1 /proc/loadavg)"
            printf '%-12s ' "$program-${latency}ms"
            measure "$program" "$latency" 0 "${args[@]}" || failed=1
        fi
        [ -n "$inject" ] || continue
        inject_check "$program" "$latency" && continue
        printf '%-12s ' "$program-${latency}ms"
        measure "$program" "$latency" 0 >/dev/null; echo "measured once more, with and without"
        inject_check "$program" "$latency" || failed=1
    done
done
exit $failed
