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
# usage: tests/sync/measure.sh [options]
#   -b DIR          build folder with vlorp, vlorp-xm, sync_record, sync_analyze
#                   (default build/release)
#   -s SECONDS      length of each run (default 120: the whole show)
#   -l "MS ..."     server latencies (default "30 150")
#   -p "PROG ..."   vlorp and/or xm (vlorp-xm play) (default "vlorp xm")
#   --inject MS     tell the programs the sound is MS later than the device
#                   says (VLORP_AUDIO_DELAY_MS): the report must show the
#                   picture MS behind, within 2 ms, or the run fails
#   --check         fail unless the goal's limits hold (mean within +-5 ms,
#                   99 % within +-17 ms, drift within 2 ms)
#   --keep DIR      keep recordings and logs in DIR
#   --vlorp EXE     measure this vlorp instead (one that writes its log where
#                   $SYNC_LOG names, for builds before --sync-log)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=build/release seconds=120 latencies="30 150" programs="vlorp xm" inject="" check=0
keep="" vlorp_exe=""
while [ $# -gt 0 ]; do
    case $1 in
    -b) build=$2; shift ;;
    -s) seconds=$2; shift ;;
    -l) latencies=$2; shift ;;
    -p) programs=$2; shift ;;
    --inject) inject=$2; shift ;;
    --check) check=1 ;;
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
for f in "$xm" "$record" "$analyze"; do
    [ -x "$f" ] || { echo "measure.sh: $f is missing (build it first)" >&2; exit 2; }
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

failed=0
for latency in $latencies; do
    for program in $programs; do
        name="$program-${latency}ms"
        pulse_start "$work/pulse" || { echo "measure.sh: no private sound server" >&2; exit 2; }
        "$record" vlorp.monitor "$work/$name.raw" "$work/$name.times" $((seconds + 6)) &
        recorder=$!
        for _ in $(seq 100); do [ -e "$work/$name.times.ready" ] && break; sleep 0.1; done
        VLORP_AUDIO_DELAY_MS=${inject:-0} PULSE_LATENCY_MSEC=$latency "run_$program" "$work/$name.log"
        wait $recorder
        pulse_stop
        rm -f "$work/$name.times.ready"
        args=()
        [ $check = 1 ] && args+=(--limits)
        [ -n "$inject" ] && args+=(--expect "-$inject")
        printf '%-12s ' "$name"
        "$analyze" "$work/$name.raw" "$work/$name.times" "$work/render.raw" "$work/$name.log" \
            "${args[@]}" || failed=1
    done
done
exit $failed
