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
             instrument_count flags default_speed default_bpm samples sample_frames duration_ms; do
        check "info prints $k" grep -qE "^$k -?[0-9]+$" "$tmp/out"
    done
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
[ $fails -eq 0 ]
