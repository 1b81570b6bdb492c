#!/usr/bin/env bash
# The sync analyser against recordings made up with a known answer
# (sync_fake): a gap in the sound (an underrun), sound lost, and a picture
# 20 ms ahead, which must be seen. The render is the soundtrack's first 14 s.
set -u
xm=$1 fake=$2 analyze=$3 soundtrack=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
"$xm" render "$soundtrack" -o "$tmp/render.raw" -t 14 -q || exit 1
# OFFSET_MS "AT GAP ...", the exit status expected, then the analyser's options.
case_() {
    local offset=$1 gaps=$2 want=$3; shift 3
    "$fake" "$tmp/render.raw" "$tmp/f" "$offset" $gaps || exit 1
    local report rc
    report=$("$analyze" "$tmp/f.raw" "$tmp/f.times" "$tmp/render.raw" "$tmp/f.log" "$@")
    rc=$?
    local what="gaps (at, length) ${gaps:-none}, $offset ms ahead"
    if [ $rc -eq "$want" ]; then echo "ok: $what: $report"
    else echo "FAIL (exit $rc, wanted $want): $what: $report"; fails=$((fails + 1)); fi
}
case_ 0 "" 0 --limits --within 0.5
# Through a gap the song stands where the sound stopped; the gap is placed
# to the frame whether it is short, inside the first stretch compared, or
# longer than the envelope search reaches.
case_ 0 "5.31 0.4" 0 --limits --within 0.5
case_ 0 "5.31 0.013" 0 --limits --within 0.5
case_ 0 "2.03 0.2" 0 --limits --within 0.5
case_ 0 "5.31 1.6" 0 --limits --within 0.5
# Sound lost: the song jumps on with it.
case_ 0 "5.31 -0.3" 0 --limits --within 0.5
case_ 0 "9.13 -1.2" 0 --limits --within 0.5
# An underrun storm: gaps of 12 to 130 ms a few stretches apart, and a loss
# between them.
case_ 0 "6.01 0.012 6.07 0.064 6.25 0.05 6.31 -0.02 6.4 0.13 6.43 0.02 6.6 0.075" 0 --limits --within 0.5
# A picture 20 ms ahead across gaps is seen as such, and fails the limits.
case_ 20 "5.31 0.4 6.01 0.05" 0 --within 20.5
case_ 20 "5.31 0.4 6.01 0.05" 1 --within 19.5
case_ 20 "5.31 0.4 6.01 0.05" 1 --limits
[ $fails -eq 0 ] || { echo "$fails failed"; exit 1; }
