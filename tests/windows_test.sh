#!/usr/bin/env bash
# The Windows executables under Wine, checked against the Linux build:
#   - imports: only DLLs every Windows has; vlorp.exe a GUI program, vlorp-xm.exe a console one
#   - the C library's sine, pow and rounding truncate alike over the engine's inputs
#   - vlorp-xm.exe render/info: the same bytes and lines as the Linux build,
#     for the soundtrack and every module of the corpus
#   - the library: the examples built against the DLL and the static library
#     (pkg-config), the DLL's imports and exports, xm-render.exe's bytes
#   - waveOut end to end: what `play` sends to the device (ALSA's "file"
#     plugin stands in for a sound card) equals the offline render
#   - vlorp.exe --still and --capture DIR/: the same pixels and sound as the
#     Linux build (both use Mesa)
#   - the live show, full screen and --window, on a 640x480 Xvfb screen and
#     scaled on a 1024x768 one: Escape (or closing the window) ends it with
#     status 0 within a second and the display mode afterwards is the one before
# Usage: tests/windows_test.sh LINUX_BUILD WINDOWS_BUILD [CORPUS_DIR]
set -uo pipefail
inside=""
if [ "${1:-}" = --inside-xvfb ]; then # the checks that need a display (below)
    inside=$2
    shift 2
fi
src=$(cd "$(dirname "$0")/.." && pwd)
linux=$(realpath "$1")
win=$(realpath "$2")
corpus=${3:-$src/../shared/xm-corpus}

WINE=${WINE:-$(command -v wine || echo /usr/lib/wine/wine64)}
WINESERVER=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
export WINE WINESERVER
export WINEPREFIX=$win/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
still_times=(-0.5 40 93.5 115) # blank, veil, cube, title card

# Runs inside Xvfb: the stills and the live show. Prints ok/FAIL lines.
gl_checks() {
    local screen=$1 failed=0
    report() {
        echo "$1"
        [[ "$1" == FAIL* ]] && failed=$((failed + 1))
    }
    if [ "$screen" = 640x480 ]; then
        for t in "${still_times[@]}"; do
            timeout 120 "$WINE" "$win/host/vlorp.exe" --still "$t" -o "$tmp/still-win-$t.png" \
                >/dev/null 2>"$tmp/err" ||
                report "FAIL: vlorp.exe --still $t: $(head -c 300 "$tmp/err")"
            for side in linux win; do
                ffmpeg -v error -y -i "$tmp/still-$side-$t.png" -f rawvideo -pix_fmt rgb24 \
                    "$tmp/still-$side.rgb" 2>/dev/null
            done
            if [ ! -s "$tmp/still-win.rgb" ]; then
                report "FAIL: vlorp.exe --still $t wrote no readable PNG"
                continue
            fi
            local differing
            differing=$(cmp -l "$tmp/still-linux.rgb" "$tmp/still-win.rgb" 2>/dev/null |
                awk '{print int(($1 - 1) / 3)}' | uniq | wc -l)
            if cmp -s "$tmp/still-linux.rgb" "$tmp/still-win.rgb"; then
                report "ok: still at $t s: every pixel equal to the Linux build's"
            else
                report "FAIL: still at $t s: $differing pixels differ from the Linux build's"
            fi
            rm -f "$tmp/still-win-$t.png"
        done
        timeout 300 "$WINE" "$win/host/vlorp.exe" --capture "$tmp/capture-win/" --fps 1 \
            >/dev/null 2>"$tmp/err" || report "FAIL: vlorp.exe --capture: $(head -c 300 "$tmp/err")"
        local frames differ=0
        frames=$(ls "$tmp"/capture-linux/frame*.png 2>/dev/null | wc -l)
        for side in linux win; do # all frames in one go, 640 x 480 x 3 bytes each
            ffmpeg -v error -y -i "$tmp/capture-$side/frame%06d.png" -f rawvideo -pix_fmt rgb24 \
                "$tmp/capture-$side.rgb" 2>/dev/null
        done
        if ! cmp -s "$tmp/capture-linux.rgb" "$tmp/capture-win.rgb"; then
            differ=$(cmp -l "$tmp/capture-linux.rgb" "$tmp/capture-win.rgb" 2>&1 |
                awk '{print int(($1 - 1) / 921600)}' | uniq | wc -l)
        fi
        if [ $frames -eq 0 ]; then
            report "FAIL: the Linux build's capture wrote no frames"
        elif [ $differ -ne 0 ]; then
            report "FAIL: capture at 1 fps: $differ of $frames frames differ from the Linux build's"
        elif ! cmp -s "$tmp/capture-linux/soundtrack.wav" "$tmp/capture-win/soundtrack.wav"; then
            report "FAIL: capture: soundtrack.wav differs from the Linux build's"
        else
            report "ok: capture at 1 fps: all $frames frames and soundtrack.wav equal to the Linux build's"
        fi
        live "$screen" full 640x480
        live "$screen" window ""
        live "$screen" window "" alt+F4 # a closed window ends the show too
    else
        live "$screen" full "$screen"
    fi
    "$WINESERVER" -k 2>/dev/null
    return $failed
}

# live SCREEN full|window EXPECTED_GEOMETRY [KEY]: the show for 3 s, then
# Escape (or KEY: alt+F4 closes the window).
live() {
    local screen=$1 how=$2 geometry=$3 key=${4:-Escape} args=() wid="" before after pid rc t0 t1 ms
    [ "$how" = window ] && args=(--window)
    before=$("$WINE" "$win/tests/windows/display_mode.exe" | tr -d '\r')
    XDG_CONFIG_HOME=$tmp/null "$WINE" "$win/host/vlorp.exe" "${args[@]}" >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 150); do
        wid=$(xdotool search --onlyvisible --class vlorp.exe 2>/dev/null | head -1)
        [ -n "$wid" ] && break
        sleep 0.1
    done
    sleep 3
    local label="live show ($how, $screen screen, $key)"
    if [ -z "$wid" ] || ! kill -0 $pid 2>/dev/null; then
        report "FAIL: $label: no window, or it ended by itself"
        kill $pid 2>/dev/null
        wait $pid 2>/dev/null
        return
    fi
    local size
    size=$(xdotool getwindowgeometry "$wid" | sed -n 's/.*Geometry: //p')
    if [ -n "$geometry" ] && [ "$size" != "$geometry" ]; then
        report "FAIL: $label: the window is $size, not $geometry"
    fi
    t0=$(date +%s%N)
    xdotool key --window "$wid" "$key"
    for _ in $(seq 100); do
        kill -0 $pid 2>/dev/null || break
        sleep 0.02
    done
    t1=$(date +%s%N)
    if kill -0 $pid 2>/dev/null; then
        report "FAIL: $label: still running 2 s after $key"
        kill $pid 2>/dev/null
    fi
    wait $pid
    rc=$?
    ms=$(((t1 - t0) / 1000000))
    after=$("$WINE" "$win/tests/windows/display_mode.exe" | tr -d '\r')
    if [ $rc -ne 0 ]; then
        report "FAIL: $label: exit status $rc after $key"
    elif [ $ms -gt 1000 ]; then
        report "FAIL: $label: took $ms ms to end after $key"
    elif [ "$before" != "$after" ]; then
        report "FAIL: $label: display mode $before before, $after after"
    else
        report "ok: $label: window $size, $key ended it in $ms ms with status 0, display mode $after kept"
    fi
}
if [ -n "$inside" ]; then
    gl_checks "$inside"
    exit $?
fi

tmp=$(mktemp -d)
export tmp
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
ok() { echo "ok: $*"; }
cleanup() {
    "$WINESERVER" -k 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
# A wineserver left from a run without a display spoils later runs.
"$WINESERVER" -k 2>/dev/null
started=$(date +%s)

# ---- imports and subsystems ----
allowed="kernel32.dll user32.dll gdi32.dll opengl32.dll glu32.dll winmm.dll msvcrt.dll"
for exe in host/vlorp.exe tools/vlorp-xm.exe; do
    dlls=$("$OBJDUMP" -p "$win/$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u |
        tr '\n' ' ')
    extra=""
    for d in $dlls; do [[ " $allowed " == *" $d "* ]] || extra+="$d "; done
    [ -z "$extra" ] && ok "$exe imports only $dlls" || fail "$exe imports $extra"
done
headers=$("$OBJDUMP" -p "$win/host/vlorp.exe")
grep -q "^Subsystem.*Windows GUI" <<<"$headers" &&
    ok "vlorp.exe is a GUI program" || fail "vlorp.exe is not a GUI-subsystem program"
headers=$("$OBJDUMP" -p "$win/tools/vlorp-xm.exe")
grep -q "^Subsystem.*Windows CUI" <<<"$headers" &&
    ok "vlorp-xm.exe is a console program" || fail "vlorp-xm.exe is not a console program"

# The prefix is made on first use (several seconds); windows close at once
# only when no window manager is waited for.
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

# ---- a GUI program's console output ----
first=$("$WINE" "$win/host/vlorp.exe" --help 2>/dev/null | head -1 | tr -d '\r')
[[ "$first" == "usage: vlorp [--window]"* ]] && ok "vlorp.exe --help reaches standard output" ||
    fail "vlorp.exe --help printed '$first'"
"$WINE" "$win/host/vlorp.exe" --capture "$tmp/show.mp4" >/dev/null 2>"$tmp/err"
rc=$?
if [ $rc -eq 1 ] && [ "$(grep -c . "$tmp/err")" -eq 1 ] && grep -q "ffmpeg.exe" "$tmp/err" &&
    [ ! -e "$tmp/show.mp4" ]; then
    ok "vlorp.exe --capture OUT.mp4 without ffmpeg: exit 1, one line: $(cat "$tmp/err")"
else
    fail "vlorp.exe --capture OUT.mp4 without ffmpeg: exit $rc, said: $(head -3 "$tmp/err")"
fi

# ---- the C library over the engine's inputs ----
if diff <("$linux/tests/engine_math") <("$WINE" "$win/tests/windows/engine_math.exe" | tr -d '\r') \
    >"$tmp/diff"; then
    ok "libm: sine, pow and rounding truncate alike over every input the engine passes"
else
    fail "libm: the C libraries disagree: $(tr '\n' ' ' <"$tmp/diff")"
fi

# ---- render and info: the same bytes ----
modules=("$src/assets/soundtrack.xm")
if [ -d "$corpus" ]; then
    modules+=("$corpus"/*.xm)
else
    echo "note: no corpus at $corpus; only the soundtrack is compared"
fi
same=0
for m in "${modules[@]}"; do
    name=$(basename "$m")
    "$linux/tools/vlorp-xm" render "$m" -o "$tmp/l.wav" --timeline "$tmp/l.tsv" -q >/dev/null 2>&1
    timeout 300 "$WINE" "$win/tools/vlorp-xm.exe" render "$m" -o "$tmp/w.wav" \
        --timeline "$tmp/w.tsv" -q >/dev/null 2>"$tmp/err"
    if ! cmp -s "$tmp/l.wav" "$tmp/w.wav"; then
        fail "render $name differs from the Linux build's ($(cmp "$tmp/l.wav" "$tmp/w.wav" 2>&1 |
            head -1)) $(head -c 300 "$tmp/err")"
    elif ! cmp -s "$tmp/l.tsv" "$tmp/w.tsv"; then
        fail "render --timeline of $name differs from the Linux build's"
    elif ! diff <("$linux/tools/vlorp-xm" info "$m") \
        <(timeout 300 "$WINE" "$win/tools/vlorp-xm.exe" info "$m" | tr -d '\r') >/dev/null; then
        fail "info $name differs from the Linux build's"
    else
        same=$((same + 1))
    fi
    rm -f "$tmp/l.wav" "$tmp/w.wav"
done
ok "render, timeline and info equal to the Linux build's for $same of ${#modules[@]} modules"

# ---- the library: the examples against the DLL and against the static library ----
MINGW_CC=${MINGW_CC:-x86_64-w64-mingw32-gcc-posix}
winlib=$tmp/winlib
if ! cmake --install "$win" --prefix "$winlib" >"$tmp/err" 2>&1; then
    fail "cmake --install of the Windows build: $(tail -3 "$tmp/err")"
else
    export PKG_CONFIG_PATH=$winlib/lib/pkgconfig
    mkdir -p "$tmp/ex-dll" "$tmp/ex-static"
    built=1
    for e in play render; do
        # shellcheck disable=SC2046
        "$MINGW_CC" -Wall -Wextra -Werror "$src/examples/$e.c" -o "$tmp/ex-dll/xm-$e.exe" \
            $(pkg-config --cflags --libs vlorp-xm) 2>>"$tmp/err" &&
            "$MINGW_CC" -Wall -Wextra -Werror "$src/examples/$e.c" -o "$tmp/ex-static/xm-$e.exe" \
                $(pkg-config --cflags --libs vlorp-xm-static) -static 2>>"$tmp/err" || built=0
    done
    cp "$winlib/bin/libvlorp-xm.dll" "$tmp/ex-dll/" 2>>"$tmp/err" || built=0
    [ $built = 1 ] || fail "the examples against the Windows library: $(tail -5 "$tmp/err")"
    dll_imports=$("$OBJDUMP" -p "$winlib/bin/libvlorp-xm.dll" | sed -n 's/^\s*DLL Name: //p' |
        tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
    extra=""
    for d in $dll_imports; do [[ " $allowed " == *" $d "* ]] || extra+="$d "; done
    [ -z "$extra" ] && ok "libvlorp-xm.dll imports only $dll_imports" || fail "libvlorp-xm.dll imports $extra"
    exports=$("$OBJDUMP" -p "$winlib/bin/libvlorp-xm.dll" |
        sed -n '/Ordinal\/Name Pointer/,/^$/p' | tail -n +2 | grep -oE '\] [A-Za-z_0-9]+' | cut -c3- | sort)
    others=$(grep -v '^vlorp_xm_' <<<"$exports" | tr '\n' ' ')
    [ -n "$exports" ] && [ -z "$others" ] &&
        ok "libvlorp-xm.dll exports only the $(wc -l <<<"$exports") vlorp_xm_ calls" ||
        fail "libvlorp-xm.dll exports: ${others:-nothing}"
    # (the whole listing first: grep -q ending the pipe early would fail it under pipefail)
    headers=$("$OBJDUMP" -p "$tmp/ex-dll/xm-render.exe")
    grep -qi 'DLL Name: libvlorp-xm.dll' <<<"$headers" ||
        fail "xm-render.exe built against the DLL does not import it"
    headers=$("$OBJDUMP" -p "$tmp/ex-static/xm-render.exe")
    grep -qi 'DLL Name: libvlorp-xm.dll' <<<"$headers" &&
        fail "xm-render.exe built against the static library imports the DLL"
    lib_modules=("$src/assets/soundtrack.xm")
    [ -d "$corpus" ] && lib_modules+=($(ls "$corpus"/*.xm | head -2))
    for way in dll static; do
        same=0
        for m in "${lib_modules[@]}"; do
            "$linux/tools/vlorp-xm" render "$m" -o "$tmp/l.wav" -q >/dev/null 2>&1
            (cd "$tmp/ex-$way" && timeout 300 "$WINE" ./xm-render.exe "$m" "$tmp/w.wav") \
                >/dev/null 2>"$tmp/err"
            if cmp -s "$tmp/l.wav" "$tmp/w.wav"; then
                same=$((same + 1))
            else
                fail "xm-render.exe ($way) $(basename "$m") differs from vlorp-xm render: $(head -c 300 "$tmp/err")"
            fi
            rm -f "$tmp/l.wav" "$tmp/w.wav"
        done
        ok "examples built against the $way library; xm-render.exe equals vlorp-xm render for $same of ${#lib_modules[@]} modules"
    done
fi

# ---- waveOut end to end ----
mkdir -p "$tmp/alsa/alsa" "$tmp/nodevice/alsa" "$tmp/null/alsa"
printf 'pcm.!default { type file; slave.pcm "null"; file "%s"; format "raw" }\n' \
    "$tmp/played.raw" >"$tmp/alsa/alsa/asoundrc"
echo 'pcm.!default { type hw; card 31 }' >"$tmp/nodevice/alsa/asoundrc"
echo 'pcm.!default { type null }' >"$tmp/null/alsa/asoundrc"
soundtrack=$src/assets/soundtrack.xm
"$linux/tools/vlorp-xm" render "$soundtrack" -o "$tmp/ref.raw" -q >/dev/null 2>&1
XDG_CONFIG_HOME=$tmp/alsa timeout 60 "$WINE" "$win/tools/vlorp-xm.exe" play "$soundtrack" -t 5 \
    </dev/null >/dev/null 2>"$tmp/err"
rc=$?
played=$(stat -c %s "$tmp/played.raw" 2>/dev/null || echo 0)
ring_bytes=$((88400 * 4))
if [ $rc -ne 0 ]; then
    fail "play -t 5 exited with $rc: $(grep vlorp "$tmp/err")"
elif [ "$played" -lt $((2 * ring_bytes)) ]; then
    fail "play -t 5: the device played only $played bytes (less than two rings)"
else
    # The test device plays faster than real time and keeps playing while
    # the player stops: in the last ring it may replay blocks the mixing
    # thread, already gone, did not refill. Everything before is exact.
    first=$(cmp "$tmp/played.raw" "$tmp/ref.raw" 2>/dev/null | sed -n 's/.* differ: [a-z]* \([0-9]*\).*/\1/p')
    if [ -z "$first" ] || [ "$first" -gt "$played" ]; then
        ok "play: $((played / 4)) frames played ($((played / ring_bytes)) rings), equal to the render from the first frame"
    elif [ "$first" -gt $((played - ring_bytes)) ]; then
        ok "play: $((played / 4)) frames played ($((played / ring_bytes)) rings), equal to the render from the first frame to frame $(((first - 1) / 4)), in the last ring, where stopping began"
    else
        fail "play: the frames played differ from the render from frame $(((first - 1) / 4)) of $((played / 4))"
    fi
fi
XDG_CONFIG_HOME=$tmp/nodevice timeout 60 "$WINE" "$win/tools/vlorp-xm.exe" play "$soundtrack" \
    -t 1 </dev/null >/dev/null 2>"$tmp/err"
rc=$?
if [ $rc -eq 1 ] && [ "$(grep -c '^vlorp-xm' "$tmp/err")" -eq 1 ] &&
    grep -q '^vlorp-xm: no audio device' "$tmp/err"; then
    ok "play without a device: exit 1, one line: $(grep '^vlorp-xm' "$tmp/err")"
else
    fail "play without a device: exit $rc, said: $(grep -v '^ALSA' "$tmp/err" | head -3)"
fi
"$WINESERVER" -k 2>/dev/null

# ---- stills: the same pixels ----
"$linux/host/vlorp" --capture "$tmp/capture-linux/" --fps 1 >/dev/null 2>&1 ||
    fail "the Linux build's capture failed"
for t in "${still_times[@]}"; do
    "$linux/host/vlorp" --still "$t" -o "$tmp/still-linux-$t.png" >/dev/null 2>&1 ||
        fail "the Linux build's still at $t s failed"
done


for screen in 640x480 1024x768; do
    "$WINESERVER" -k 2>/dev/null # one started without a display would serve this session
    sleep 0.5
    out=$(xvfb-run -a -s "-screen 0 ${screen}x24" bash "$0" --inside-xvfb "$screen" "$linux" "$win" \
        2>&1)
    n=$?
    echo "$out" | grep -E "^(ok|FAIL)"
    if [ $n -gt 100 ]; then
        fail "the checks on the $screen screen did not run (status $n): $(tail -3 <<<"$out")"
    else
        failures=$((failures + n))
    fi
    "$WINESERVER" -k 2>/dev/null
done

echo "windows stage: $failures failure(s) in $(($(date +%s) - started)) s"
[ $failures -eq 0 ]
