#!/usr/bin/env bash
# Command-line behaviour of vlorp-xm: help, figures, and clear errors.
set -u
tool=$1
corpus=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
check() { # description, then a condition
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fails=$((fails + 1)); fi
}

"$tool" --help >"$tmp/out" 2>&1; check "--help exits 0" test $? -eq 0
check "--help names info" grep -q "info" "$tmp/out"
"$tool" info --help >"$tmp/out" 2>&1; check "info --help exits 0" test $? -eq 0
"$tool" bogus >/dev/null 2>&1; check "unknown command exits 2" test $? -eq 2
VLORP_MIXER=plain "$tool" info --help >/dev/null 2>"$tmp/err"; check "VLORP_MIXER=plain is quiet" test ! -s "$tmp/err"
VLORP_MIXER=avx1024 "$tool" info --help >/dev/null 2>"$tmp/err"
check "an unknown VLORP_MIXER is named in one line" test "$(grep -c "VLORP_MIXER=avx1024" "$tmp/err")" -eq 1

"$tool" info "$tmp/missing.xm" 2>"$tmp/err"; rc=$?
check "missing file exits 1" test $rc -eq 1
check "missing file names the file" grep -q "missing.xm: No such file" "$tmp/err"
check "one line" test "$(wc -l <"$tmp/err")" -eq 1

printf 'MOD file, not XM at all' >"$tmp/song.mod"
"$tool" info "$tmp/song.mod" 2>"$tmp/err"; rc=$?
check "non-XM exits 1" test $rc -eq 1
check "non-XM says so" grep -qx "vlorp-xm: $tmp/song.mod: not an XM module" "$tmp/err"

"$tool" info "$tmp" 2>"$tmp/err"; check "directory exits 1" test $? -eq 1

if [ -d "$corpus" ]; then
    f=$(ls "$corpus"/*.xm | head -n 1)
    "$tool" info "$f" >"$tmp/out"; check "corpus file exits 0" test $? -eq 0
    for k in song_length restart_position channel_count pattern_count referenced_pattern_count \
             instrument_count default_speed default_bpm samples sample_frames duration_ms; do
        check "info prints $k" grep -qE "^$k -?[0-9]+$" "$tmp/out"
    done
    check "info names the flags" grep -qE "^flags [0-9]+ \((linear|Amiga) frequency table" "$tmp/out"
    check "info says the module is complete" grep -qx "complete yes" "$tmp/out"
    check "info prints the title and tracker" test "$(grep -cE "^(title|tracker) " "$tmp/out")" -eq 2
    # Without a length, render stops in the block where the song first repeats.
    ms=$(sed -n 's/^duration_ms //p' "$tmp/out")
    "$tool" render "$f" -o "$tmp/song.wav" >"$tmp/len" 2>/dev/null; check "render exits 0" test $? -eq 0
    blocks=$(sed -n 's/^length [0-9.]* s, \([0-9]*\) blocks (until the song repeats)$/\1/p' "$tmp/len")
    check "render prints its length" test -n "$blocks"
    check "render length covers the song" test $((blocks * 884 * 1000 / 44100)) -ge "$ms"
    check "render length ends in its last block" test $(((blocks - 1) * 884 * 1000 / 44100)) -le "$ms"
    check "render writes those blocks" test "$(stat -c %s "$tmp/song.wav")" -eq $((44 + blocks * 884 * 4))
    "$tool" render -q "$f" -o "$tmp/quiet.wav" >"$tmp/out" 2>&1; check "render -q exits 0" test $? -eq 0
    check "render -q prints nothing" test ! -s "$tmp/out"
    check "render -q writes the same" cmp -s "$tmp/song.wav" "$tmp/quiet.wav"
    check "the WAV header states those blocks" \
        test "$(od -An -tu4 -j40 -N4 "$tmp/song.wav" | tr -d ' ')" -eq $((blocks * 884 * 4))
    # Raw PCM stops at the same block without measuring the song first.
    "$tool" render -q "$f" -o "$tmp/song.raw"; check "render .raw exits 0" test $? -eq 0
    check "raw once through is the WAV's data" cmp -s "$tmp/song.raw" <(tail -c +45 "$tmp/song.wav")
    head -c 68 "$f" >"$tmp/bad.xm"; printf '\x21\x00' >>"$tmp/bad.xm"; tail -c +71 "$f" >>"$tmp/bad.xm"
    "$tool" info "$tmp/bad.xm" 2>"$tmp/err"; check "33 channels exits 1" test $? -eq 1
    check "33 channels says why" grep -q "channel count 33" "$tmp/err"
else
    echo "skip: no corpus at $corpus"
fi
# ---- what a user types: the conventions of the established players ----
module=$(dirname "$0")/../assets/soundtrack.xm
"$tool" --version >"$tmp/out"; check "--version exits 0" test $? -eq 0
check "--version names the program" grep -qE '^vlorp-xm [0-9]+\.[0-9]+' "$tmp/out"
check "-V is --version" cmp -s "$tmp/out" <("$tool" -V)
"$tool" info "$module" >"$tmp/whole"
# Each refusal: status 2 and one line that says why.
refused() { # description, then the arguments
    local what=$1; shift
    "$tool" "$@" >/dev/null 2>"$tmp/err" </dev/null; local rc=$?
    check "$what: exits 2" test $rc -eq 2
    check "$what: one line" test "$(wc -l <"$tmp/err")" -eq 1
}
refused "info without a module" info
refused "info with an unknown option" info -x "$module"
refused "render with an unknown long option" render --bogus "$module" -o "$tmp/x.wav"
refused "-t given twice" render "$module" -o "$tmp/x.wav" -t 1 -t 2
refused "-o given twice" render "$module" -o "$tmp/x.wav" --output "$tmp/y.wav"
refused "-t with a space" render "$module" -o "$tmp/x.wav" -t " 5"
refused "-t in hex" render "$module" -o "$tmp/x.wav" -t 0x10
refused "-t infinite" render "$module" -o "$tmp/x.wav" -t inf
refused "--blocks with a sign" render "$module" -o "$tmp/x.wav" --blocks +5
refused "-t without a value" render "$module" -o "$tmp/x.wav" -t
refused "--quiet with a value" render "$module" -o "$tmp/x.wav" --quiet=yes
refused "play -s past 255" play "$module" -s 256
check "nothing written by a refusal" test ! -e "$tmp/x.wav" -a ! -e "$tmp/y.wav"
"$tool" info -x "$module" 2>"$tmp/err"
check "an unknown option is named" grep -q "unknown option '-x'" "$tmp/err"
# The same render however the options are spelled.
"$tool" render "$module" -o "$tmp/a.raw" -t 1 -q
"$tool" render -t1 -q "-o$tmp/b.raw" "$module"; check "-t1 -oFILE" cmp -s "$tmp/a.raw" "$tmp/b.raw"
"$tool" render --time=1 --quiet --output="$tmp/c.raw" "$module"
check "--time=1 --output=FILE" cmp -s "$tmp/a.raw" "$tmp/c.raw"
"$tool" render --time 1 --quiet --output "$tmp/d.raw" -- "$module"
check "-- before the module" cmp -s "$tmp/a.raw" "$tmp/d.raw"
cp "$module" "$tmp/-s.xm"
"$tool" render -q -t 1 -o "$tmp/e.raw" -- "$tmp/-s.xm"; check "-- and a module named like an option" cmp -s "$tmp/a.raw" "$tmp/e.raw"

# ---- input from anywhere, read once ----
"$tool" info - <"$module" >"$tmp/out"; check "info - reads standard input" cmp -s "$tmp/whole" "$tmp/out"
cat "$module" | "$tool" info /dev/stdin >"$tmp/out"; check "info /dev/stdin from a pipe" cmp -s "$tmp/whole" "$tmp/out"
"$tool" info <(cat "$module") >"$tmp/out"; check "info <(...)" cmp -s "$tmp/whole" "$tmp/out"
cat "$module" | "$tool" render - -o "$tmp/p.raw" -t 1 -q; check "render - from a pipe" cmp -s "$tmp/a.raw" "$tmp/p.raw"
"$tool" render <(cat "$module") -o "$tmp/q.raw" -t 1 -q; check "render <(...)" cmp -s "$tmp/a.raw" "$tmp/q.raw"
# Several modules: each one's lines after its name; a bad one does not stop the rest.
"$tool" info "$module" "$tmp/missing.xm" "$module" >"$tmp/out" 2>"$tmp/err"; rc=$?
check "info of several exits 1 when one fails" test $rc -eq 1
check "and prints the others" test "$(grep -c '^duration_ms' "$tmp/out")" -eq 2
check "each after a file line" test "$(grep -c '^file ' "$tmp/out")" -eq 3
check "the failure in one line" test "$(wc -l <"$tmp/err")" -eq 1
"$tool" info "$module" >/dev/full 2>"$tmp/err"; rc=$?
check "info into a full device exits 1" test $rc -eq 1
check "saying why" grep -q "No space left" "$tmp/err"

# ---- a module cut short: the loader says why, never a guess ----
for n in 0 5 16; do
    head -c $n "$module" | tr 'E' 'X' >"$tmp/cut.xm"
    "$tool" info "$tmp/cut.xm" 2>"$tmp/err"; rc=$?
    check "$n bytes of something else: not an XM module" test $rc -eq 1 -a "$(cat "$tmp/err")" = "vlorp-xm: $tmp/cut.xm: not an XM module"
done
for n in 10 17 40 60 68; do
    head -c $n "$module" >"$tmp/cut.xm"
    "$tool" info "$tmp/cut.xm" 2>"$tmp/err"; rc=$?
    check "cut at $n bytes exits 1" test $rc -eq 1
    check "cut at $n bytes says so" \
        test "$(cat "$tmp/err")" = "vlorp-xm: $tmp/cut.xm: header cut short at byte $n (the first 69 are needed)"
done
head -c 69 "$module" >"$tmp/cut.xm"
"$tool" info "$tmp/cut.xm" >"$tmp/out" 2>"$tmp/err"; rc=$?
check "cut at 69 bytes still loads: the channel count is there" test $rc -eq 0
check "and info says what is missing" grep -qx "complete no: the header and everything after it are missing" "$tmp/out"
head -c 1000 "$module" | "$tool" info - >"$tmp/out" 2>/dev/null
check "a cut module from a pipe names its part" grep -q "^complete no: pattern" "$tmp/out"
[ $fails -eq 0 ]
