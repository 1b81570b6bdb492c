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
"$tool" render - </dev/null >/dev/null 2>&1; check "render of standard input without -o exits 2" test $? -eq 2
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

# ---- nothing of the user's destroyed: the module is never an output ----
cp "$module" "$tmp/song.xm"
ln -s song.xm "$tmp/sym.wav"
ln "$tmp/song.xm" "$tmp/hard.wav"
for name in "$tmp/./song.xm" "$tmp/sym.wav" "$tmp/hard.wav"; do
    for option in -o --timeline; do
        args=(-o "$tmp/fine.wav")
        [ $option = -o ] && args=()
        "$tool" render "$tmp/song.xm" "${args[@]}" $option "$name" --format wav -t 1 2>"$tmp/err"; rc=$?
        check "$option ${name#$tmp/} (the module): exits 2" test $rc -eq 2
        check "$option ${name#$tmp/}: one line naming it" \
            test "$(wc -l <"$tmp/err")" -eq 1 -a "$(grep -c "is the module" "$tmp/err")" -eq 1
    done
done
check "the module is intact" cmp -s "$module" "$tmp/song.xm"
check "and nothing was written" test ! -e "$tmp/fine.wav"
"$tool" render "$tmp/song.xm" -o "$tmp/both.wav" --timeline "$tmp/./both.wav" -t 1 2>"$tmp/err"
check "-o and --timeline one file: exits 2" test $? -eq 2 -a ! -e "$tmp/both.wav"
"$tool" render "$module" -o - --timeline - -t 1 >"$tmp/out" 2>"$tmp/err"; rc=$?
check "two outputs on standard output: exits 2, nothing written" test $rc -eq 2 -a ! -s "$tmp/out"
check "saying why in one line" test "$(wc -l <"$tmp/err")" -eq 1

# ---- standard output carries one thing ----
"$tool" render "$module" -o "$tmp/one-b.wav" -t 1 --timeline - >"$tmp/stdout.tsv" 2>/dev/null
check "--timeline - is the timeline file byte for byte" cmp -s "$tmp/one.tsv" "$tmp/stdout.tsv"
"$tool" render "$module" -o - -t 1 --timeline "$tmp/t2.tsv" >"$tmp/stdout.raw" 2>/dev/null
check "-o - is only the PCM" cmp -s "$tmp/one.raw" "$tmp/stdout.raw"
"$tool" render "$module" -o - -t 5 2>"$tmp/err" | head -c 100 >/dev/null
rc=${PIPESTATUS[0]}
check "a reader closing early ends it quietly" test ! -s "$tmp/err" -a $rc -eq 141

# ---- formats from the name ----
"$tool" render "$module" -o "$tmp/x.xyz" -t 1 2>"$tmp/err"; rc=$?
check "an unknown extension exits 2" test $rc -eq 2 -a ! -e "$tmp/x.xyz"
check "listing the formats" grep -q "formats: wav, raw" "$tmp/err"
"$tool" render "$module" -o "$tmp/x.pcm" -t 1 -q; check ".pcm is raw" cmp -s "$tmp/one.raw" "$tmp/x.pcm"
"$tool" render "$module" -o "$tmp/forced.wav" --format raw -t 1 -q
check "--format overrides the name" cmp -s "$tmp/one.raw" "$tmp/forced.wav"
"$tool" render "$module" -o - --format wav -t 1 -q >"$tmp/stdout.wav"
check "--format wav on standard output" cmp -s "$tmp/one.wav" "$tmp/stdout.wav"

if "$tool" render --help | grep -q '^  flac ' && command -v ffmpeg >/dev/null; then
    "$tool" render "$module" -o "$tmp/one.flac" -t 1 -q; rc=$?
    ffmpeg -v error -i "$tmp/one.flac" -f s16le - >"$tmp/flac.raw" 2>/dev/null
    check "FLAC from the name, lossless" test $rc -eq 0 -a "$(head -c 4 "$tmp/one.flac")" = fLaC
    check "decoding to the raw PCM" cmp -s "$tmp/one.raw" "$tmp/flac.raw"
    "$tool" render "$module" -o - --format flac -t 1 -q | ffmpeg -v error -i - -f s16le - >"$tmp/flac.raw" 2>/dev/null
    check "FLAC on standard output" cmp -s "$tmp/one.raw" "$tmp/flac.raw"
    for f in ogg:44100 mp3:44100 opus:48000; do
        "$tool" render "$module" -o "$tmp/one.${f%:*}" -t 1 -q; rc=$?
        check "${f%:*} from the name decodes to stereo at ${f#*:} Hz" test $rc -eq 0 -a \
            "$(ffprobe -v error -show_entries stream=channels,sample_rate -of csv=p=0 "$tmp/one.${f%:*}")" = "${f#*:},2"
    done
    "$tool" render "$module" -o "$tmp/one.opus" -t 1 -q
    ms=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$tmp/one.opus" | awk '{ print int($1 * 1000) }')
    check "Opus keeps the length (1002 ms, not $ms)" test "$ms" -ge 1000 -a "$ms" -le 1010
    check "no temporary files from the encoder" test "$(ls "$tmp" | grep -c part)" -eq 0
else
    echo "skip: encoded formats (no libsndfile in this build, or no ffmpeg)"
fi

# ---- several modules, start order ----
mkdir "$tmp/many" "$tmp/outdir"
cp "$module" "$tmp/many/a.xm"; cp "$module" "$tmp/many/b.XM"
"$tool" render "$tmp/many/a.xm" "$tmp/many/b.XM" -t 1 -q; rc=$?
check "several modules render beside each" test $rc -eq 0 -a -s "$tmp/many/a.wav" -a -s "$tmp/many/b.wav"
check "each the same song" cmp -s "$tmp/one.wav" "$tmp/many/b.wav"
"$tool" render -O "$tmp/outdir" "$tmp/many/a.xm" "$tmp/many/b.XM" -t 1 -q --format raw
check "-O DIR takes each NAME.EXT" cmp -s "$tmp/one.raw" "$tmp/outdir/a.raw"
"$tool" render "$tmp/many/a.xm" "$tmp/many/b.XM" -o "$tmp/x.wav" 2>/dev/null
check "-o with several modules exits 2" test $? -eq 2
"$tool" render "$module" -s 18 -o "$tmp/s18.wav" -t 1 --timeline "$tmp/s18.tsv" -q
check "-s 18 starts at order 18" test "$(head -n 1 "$tmp/s18.tsv" | cut -f 2)" -eq 18
"$tool" render "$module" -s 19 -o "$tmp/s19.wav" 2>"$tmp/err"; rc=$?
check "-s past the song exits 1 in one line" test $rc -eq 1 -a "$(wc -l <"$tmp/err")" -eq 1 -a ! -e "$tmp/s19.wav"

# ---- replacing keeps what the user set ----
echo old >"$tmp/kept.wav"
chmod 640 "$tmp/kept.wav"
[ "$(id -u)" -eq 0 ] && chown nobody:nogroup "$tmp/kept.wav"
"$tool" render "$module" -o "$tmp/kept.wav" -t 1 -q
check "replacing keeps the mode" test "$(stat -c %a "$tmp/kept.wav")" = 640
check "and writes the new sound" cmp -s "$tmp/one.wav" "$tmp/kept.wav"
if [ "$(id -u)" -eq 0 ]; then
    check "and the owner and group" test "$(stat -c %U:%G "$tmp/kept.wav")" = nobody:nogroup
fi
echo old >"$tmp/linked.wav"
ln "$tmp/linked.wav" "$tmp/other-name.wav"
"$tool" render "$module" -o "$tmp/linked.wav" -t 1 -q
check "a hard-linked output is written through" cmp -s "$tmp/one.wav" "$tmp/other-name.wav"
check "keeping the link" test "$(stat -c %h "$tmp/linked.wav")" -eq 2
(ulimit -f 64; "$tool" render "$module" -o "$tmp/linked.wav" -t 5 -q 2>/dev/null)
check "a failed write through leaves the old file" cmp -s "$tmp/one.wav" "$tmp/other-name.wav"
# A writable file in a folder the user cannot write: copied into at the end.
runas=()
[ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null && runas=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
if [ "$(id -u)" -ne 0 ] || [ ${#runas[@]} -gt 0 ]; then
    mkdir "$tmp/locked"
    echo old >"$tmp/locked/out.wav"
    [ ${#runas[@]} -gt 0 ] && chown nobody "$tmp/locked/out.wav"
    chmod 755 "$tmp" "$tmp/locked"
    chmod 555 "$tmp/locked"
    cp "$module" "$tmp/public.xm"; chmod 644 "$tmp/public.xm"
    "${runas[@]}" "$tool" render "$tmp/public.xm" -o "$tmp/locked/out.wav" -t 1 -q 2>"$tmp/err"; rc=$?
    check "a writable file in a locked folder is written" test $rc -eq 0
    check "with the whole sound" cmp -s "$tmp/one.wav" "$tmp/locked/out.wav"
    check "and nothing else there" test "$(ls "$tmp/locked")" = out.wav
    chmod 755 "$tmp/locked"
else
    echo "skip: locked folder (needs a user or setpriv)"
fi

# ---- play: once, or looping ----
# One channel, one order, one empty row: 6 ticks, 0.12 s.
tiny_xm() {
    printf 'Extended Module: tiny%16s\x1avlorp test%10s\x04\x01' '' ''
    printf '\x14\x01\x00\x00\x01\x00\x00\x00\x01\x00\x01\x00\x00\x00\x01\x00\x06\x00\x7d\x00'
    head -c 256 /dev/zero
    printf '\x09\x00\x00\x00\x00\x01\x00\x00\x00'
}
tiny_xm >"$tmp/tiny.xm"
"$tool" info "$tmp/tiny.xm" >"$tmp/out"
check "the tiny module lasts 0.12 s" grep -qx "duration_ms 120" "$tmp/out"
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
    start=$(date +%s%N)
    timeout 20 "$tool" play "$tmp/tiny.xm" </dev/null 2>"$tmp/err"; rc=$?
    ms=$((($(date +%s%N) - start) / 1000000))
    # A busy machine and a fresh server's first stream take seconds; a play
    # that never ends is cut at 20.
    check "play ends by itself at the song's end (exit $rc, $ms ms)" test $rc -eq 0 -a $ms -lt 15000
    timeout 20 "$tool" play - -l -t 3 --sync-log "$tmp/loop.log" <"$tmp/tiny.xm" 2>"$tmp/err"; rc=$?
    heard=$(tail -n 1 "$tmp/loop.log" | cut -d' ' -f2 | cut -d. -f1)
    check "play --loop from standard input goes on past the end (heard ${heard:-0} frames)" \
        test $rc -eq 0 -a "${heard:-0}" -ge $((44100 / 4))
    pulse_stop
else
    echo "skipped: no private sound server for play"
fi
[ $fails -eq 0 ]
