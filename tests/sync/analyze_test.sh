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
# AT GAP OFFSET_MS, then the analyser's options and the exit status expected.
case_() {
    local at=$1 gap=$2 offset=$3 want=$4; shift 4
    "$fake" "$tmp/render.raw" "$tmp/f" "$at" "$gap" "$offset" || exit 1
    local report rc
    report=$("$analyze" "$tmp/f.raw" "$tmp/f.times" "$tmp/render.raw" "$tmp/f.log" "$@")
    rc=$?
    if [ $rc -eq "$want" ]; then echo "ok: gap $gap s at $at s, $offset ms ahead: $report"
    else echo "FAIL (exit $rc, wanted $want): gap $gap s at $at s, $offset ms ahead: $report"; fails=$((fails + 1)); fi
}
case_ 5.31 0 0 0 --limits --within 0.5
# Through a gap the song stands where the sound stopped; the gap is placed
# to the frame whether it is short, inside the first stretch compared, or
# longer than the envelope search reaches.
case_ 5.31 0.4 0 0 --limits --within 0.5
case_ 5.31 0.013 0 0 --limits --within 0.5
case_ 2.03 0.2 0 0 --limits --within 0.5
case_ 5.31 1.6 0 0 --limits --within 0.5
# Sound lost: the song jumps on with it.
case_ 5.31 -0.3 0 0 --limits --within 0.5
case_ 9.13 -1.2 0 0 --limits --within 0.5
# A picture 20 ms ahead across a gap is seen as such, and fails the limits.
case_ 5.31 0.4 20 0 --within 20.5
case_ 5.31 0.4 20 1 --within 19.5
case_ 5.31 0.4 20 1 --limits
[ $fails -eq 0 ] || { echo "$fails failed"; exit 1; }
