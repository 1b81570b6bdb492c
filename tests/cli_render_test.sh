#!/usr/bin/env bash
# Command-line behaviour of vlorp-xm render and play: outputs, lengths,
# timeline, and errors that leave nothing behind.
set -u
tool=$1
module=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
check() { # description, then a condition
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fails=$((fails + 1)); fi
}
size() { stat -c %s "$1"; }

"$tool" render --help >"$tmp/out" 2>&1; check "render --help exits 0" test $? -eq 0
check "render --help names --timeline" grep -q -- "--timeline" "$tmp/out"
"$tool" play --help >/dev/null 2>&1; check "play --help exits 0" test $? -eq 0
"$tool" render "$module" >/dev/null 2>&1; check "render without -o exits 2" test $? -eq 2
"$tool" render "$module" -o "$tmp/x.wav" -t 1 --blocks 2 >/dev/null 2>&1
check "-t with --blocks exits 2" test $? -eq 2
"$tool" render "$module" -o "$tmp/x.wav" -t 0 >/dev/null 2>&1; check "-t 0 exits 2" test $? -eq 2

# One second is 50 blocks of 884 frames, 4 bytes each, after a 44-byte header.
"$tool" render "$module" -o "$tmp/one.wav" -t 1 --timeline "$tmp/one.tsv" -q; rc=$?
check "render exits 0" test $rc -eq 0
check "WAV size is whole blocks" test "$(size "$tmp/one.wav")" -eq $((44 + 50 * 884 * 4))
check "WAV header" test "$(head -c 4 "$tmp/one.wav")$(tail -c +9 "$tmp/one.wav" | head -c 8)" = "RIFFWAVEfmt "
check "WAV data size" test "$(od -An -tu4 -j40 -N4 "$tmp/one.wav" | tr -d ' ')" -eq $((50 * 884 * 4))
check "timeline has one line per block" test "$(wc -l <"$tmp/one.tsv")" -eq 50
check "timeline lines are block order row ms" \
    test "$(awk -F'\t' 'NF != 4 || $1 != NR - 1 { bad++ } END { print bad + 0 }' "$tmp/one.tsv")" -eq 0
check "elapsed grows" test "$(tail -n 1 "$tmp/one.tsv" | cut -f 4)" -ge 900

"$tool" render "$module" -o "$tmp/one.raw" -t 1 -q
check "raw is the WAV's data" cmp -s "$tmp/one.raw" <(tail -c +45 "$tmp/one.wav")
"$tool" render "$module" -o - --blocks 50 -q >"$tmp/stdout.raw"
check "stdout gets the same PCM" cmp -s "$tmp/one.raw" "$tmp/stdout.raw"
check "no temporary files left" test "$(ls "$tmp" | grep -c part)" -eq 0

"$tool" render "$module" -o "$tmp/missing/x.wav" -t 1 2>"$tmp/err"; rc=$?
check "unwritable output exits 1" test $rc -eq 1
check "unwritable output names it" grep -q "missing/x.wav" "$tmp/err"
printf 'not a module' >"$tmp/bad.xm"
echo keep >"$tmp/keep.wav"
"$tool" render "$tmp/bad.xm" -o "$tmp/keep.wav" 2>"$tmp/err"; rc=$?
check "bad module exits 1" test $rc -eq 1
check "bad module leaves the old output" test "$(cat "$tmp/keep.wav")" = keep
"$tool" render "$module" -o "$tmp/t.wav" --timeline "$tmp/missing/t.tsv" -t 1 2>/dev/null
check "unwritable timeline writes nothing" test ! -e "$tmp/t.wav"

# A full disk: a file-size limit makes the writes fail part way.
(ulimit -f 64; "$tool" render "$module" -o "$tmp/full.wav" -t 5 -q 2>"$tmp/err"); rc=$?
check "full disk exits 1" test $rc -eq 1
check "full disk says so in one line" test "$(wc -l <"$tmp/err")" -eq 1
check "full disk leaves no file" test -z "$(ls "$tmp" | grep full)"
"$tool" render "$module" -o - -t 1 -q >/dev/full 2>"$tmp/err"; rc=$?
check "full standard output exits 1" test $rc -eq 1

# Outputs that are not regular files are written in place, never replaced;
# links are followed and stay links.
mkfifo "$tmp/fifo"
cat "$tmp/fifo" >"$tmp/from-fifo.wav" &
reader=$!
"$tool" render "$module" -o "$tmp/fifo" --blocks 50 -q; rc=$?
wait $reader
check "render into a named pipe exits 0" test $rc -eq 0
check "the reader gets the whole WAV" cmp -s "$tmp/one.wav" "$tmp/from-fifo.wav"
check "the pipe stays a pipe" test -p "$tmp/fifo"
mkfifo "$tmp/tl-fifo"
cat "$tmp/tl-fifo" >"$tmp/from-fifo.tsv" &
reader=$!
"$tool" render "$module" -o "$tmp/one-again.wav" -t 1 --timeline "$tmp/tl-fifo" -q
wait $reader
check "a timeline into a named pipe" cmp -s "$tmp/one.tsv" "$tmp/from-fifo.tsv"
check "a WAV into a pipe has its final header" cmp -s "$tmp/one.wav" <("$tool" render "$module" -o /dev/stdout -t 1 -q)
mkdir "$tmp/elsewhere"
ln -s elsewhere/target.wav "$tmp/link.wav"
"$tool" render "$module" -o "$tmp/link.wav" -t 1 -q
check "a link is followed to a new file" cmp -s "$tmp/one.wav" "$tmp/elsewhere/target.wav"
"$tool" render "$module" -o "$tmp/link.wav" -t 1 -q
check "and to an existing one" cmp -s "$tmp/one.wav" "$tmp/elsewhere/target.wav"
check "the link stays a link" test -L "$tmp/link.wav"
check "nothing temporary beside the link or its file" \
    test "$(ls "$tmp" "$tmp/elsewhere" | grep -c part)" -eq 0
if [ "$(id -u)" -eq 0 ]; then
    mknod "$tmp/null" c 1 3
    "$tool" render "$module" -o "$tmp/null" -t 1 --timeline "$tmp/null" -q; rc=$?
    check "render into a device node exits 0" test $rc -eq 0
    check "the device node stays a character device 1,3" \
        test "$(stat -c '%F %t,%T' "$tmp/null")" = "character special file 1,3"
else
    echo "skip: device node (mknod needs root)"
fi
ln -s loop-b "$tmp/loop-a"
ln -s loop-a "$tmp/loop-b"
"$tool" render "$module" -o "$tmp/loop-a" -t 1 -q 2>"$tmp/err"; rc=$?
check "a link loop exits 1 and says so" test $rc -eq 1 -a "$(wc -l <"$tmp/err")" -eq 1
"$tool" render "$module" -o x.wav -t 1e9 2>&1 | head -n 1 >"$tmp/err"
check "-t past its limit names the limit" grep -q "at most 10000000" "$tmp/err"

# A module cut short plays what is there, with one warning naming what is missing.
head -c 400 "$module" >"$tmp/cut.xm"
"$tool" render "$tmp/cut.xm" -o "$tmp/cut.wav" -t 1 -q 2>"$tmp/err" >/dev/null; rc=$?
check "a cut module still renders" test $rc -eq 0
check "with one warning line" test "$(wc -l <"$tmp/err")" -eq 1
check "naming the first missing part" grep -q "cut short: pattern 0 of 19" "$tmp/err"
"$tool" info "$module" 2>"$tmp/err" >/dev/null
check "a whole module gets no warning" test ! -s "$tmp/err"

# No device: ALSA's default names a card that is not there.
mkdir -p "$tmp/nodevice"
echo 'pcm.!default { type hw card 99 }' >"$tmp/nodevice/.asoundrc"
HOME="$tmp/nodevice" "$tool" play "$module" -t 1 </dev/null 2>"$tmp/err"; rc=$?
check "play without a device exits 1" test $rc -eq 1
check "with one line" test "$(wc -l <"$tmp/err")" -eq 1
check "saying so" grep -q "no audio device" "$tmp/err"
# A device: a private sound server, where one can be started.
. "$(dirname "$0")/sync/private_pulse.sh"
if pulse_start "$tmp/pulse"; then
    # A fresh server may hold its first stream back for a second and more.
    "$tool" play "$module" -t 3 --sync-log "$tmp/sync.log" </dev/null 2>"$tmp/err"
    check "play -t 3 exits 0" test $? -eq 0
    # The last position heard, in frames: some of it played.
    heard=$(tail -n 1 "$tmp/sync.log" | cut -d' ' -f2 | cut -d. -f1)
    check "and plays about a second" test "${heard:-0}" -ge $((44100 / 2))
    pulse_stop
else
    echo "skipped: no private sound server for play"
fi
[ $fails -eq 0 ]
